#include "link/port_table.h"

#include "boundary/module_state.h"
#include "link/exchange.h"
#include "platform/serial.h"

namespace pelcor::link {

namespace {

constexpr os::DWORD kFirstEventMask =
    os::EV_TXEMPTY | os::EV_CTS | os::EV_BREAK;
constexpr os::DWORD kLastEventMask = os::EV_CTS;
constexpr os::DWORD kQueueSize = 100;
constexpr os::DWORD kOpeningSpeed = 9600;

bool InRange(std::int32_t port) { return port >= 1 && port <= kPortCount; }

// Every port gets the same record: 9600 bit/s, 8N1, no flow control, DTR and
// RTS held off. Whatever the port held before is not carried over; the
// length and binary fields stay 0 as the device's hosts have always sent.
void BuildLineSettings() {
  LineSettings = os::DCB{};
  LineSettings.BaudRate = kOpeningSpeed;
  LineSettings.ByteSize = 8;
  LineSettings.Parity = os::NOPARITY;
  LineSettings.StopBits = os::ONESTOPBIT;
  LineSettings.fDtrControl = os::DTR_CONTROL_DISABLE;
  LineSettings.fRtsControl = os::RTS_CONTROL_DISABLE;
}

}  // namespace

bool PortIsOpen(std::int32_t port) {
  return InRange(port) && PortOpen[port - 1];
}

std::int32_t InitComm(std::int32_t port) {
  // A port this library already holds is not opened twice: not every
  // platform refuses a second exclusive open, and a second handle would
  // replace the first in the slot and leak it.
  if (!InRange(port) || PortOpen[port - 1]) return kNotOpened;

  DeviceNameTemplate[3] = static_cast<char>('0' + port);
  const os::HANDLE h =
      os::CreateFileA(DeviceNameTemplate, os::GENERIC_READ | os::GENERIC_WRITE,
                      0, nullptr, os::OPEN_EXISTING, 0, os::HANDLE{0});
  if (h == os::INVALID_HANDLE_VALUE) return kNotOpened;

  // From here the port is the host's to close, whatever the result.
  PortTable[port - 1] = h;
  PortOpen[port - 1] = true;

  if (!os::GetCommState(h, &LineSettings)) return kSetupFailed;
  BuildLineSettings();
  if (!os::SetCommState(h, &LineSettings)) return kSetupFailed;
  if (!os::SetCommMask(h, kFirstEventMask)) return kSetupFailed;
  os::SetupComm(h, kQueueSize, kQueueSize);
  SetLinkTimeouts(port, kLinkTimeout);
  os::SetCommMask(h, kLastEventMask);
  return kOpened;
}

void CloseComm(std::int32_t port) {
  os::CloseHandle(PortTable[port - 1]);
  PortOpen[port - 1] = false;
}

void ChangeLocalBaudRate(std::int32_t port, std::int32_t speed) {
  LineSettings.BaudRate = static_cast<os::DWORD>(speed);
  os::SetCommState(PortTable[port - 1], &LineSettings);
}

}  // namespace pelcor::link
