#include "link/exchange.h"

#include "boundary/module_state.h"
#include "platform/serial.h"

namespace pelcor::link {

namespace {

constexpr os::DWORD kPerByteMillis = 2;

os::HANDLE Handle(std::int32_t port) { return PortTable[port - 1]; }

}  // namespace

std::int32_t SetLinkTimeouts(std::int32_t port, std::uint32_t timeout_ms) {
  os::COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = timeout_ms;
  t.ReadTotalTimeoutMultiplier = kPerByteMillis;
  t.ReadTotalTimeoutConstant = timeout_ms;
  t.WriteTotalTimeoutMultiplier = kPerByteMillis;
  t.WriteTotalTimeoutConstant = timeout_ms;
  return os::SetCommTimeouts(Handle(port), &t) ? 0 : 1;
}

bool DrainInput(std::int32_t port) {
  const os::HANDLE h = Handle(port);
  SetLinkTimeouts(port, kLinkTimeout);
  os::PurgeComm(h, os::PURGE_RXCLEAR);
  const std::int64_t start = os::MonotonicNanos();
  for (;;) {
    std::uint8_t scratch = 0;
    os::DWORD count = 0;
    if (!os::ReadFile(h, &scratch, 1, &count, nullptr) || count == 0) {
      return true;
    }
    if (os::MonotonicNanos() - start >= kDrainBoundNanos) return false;
  }
}

void PlainSend(std::int32_t port, std::uint32_t n) {
  os::DWORD count = 0;
  os::WriteFile(Handle(port), TransmitArea, n, &count, nullptr);
}

void AcknowledgedSend(std::int32_t port, std::uint32_t n) {
  const os::HANDLE h = Handle(port);
  os::DWORD count = 0;
  os::WriteFile(h, TransmitArea, n, &count, nullptr);
  os::ReadFile(h, ReceiveArea, 1, &count, nullptr);
}

void CheckedExchange(std::int32_t port, std::uint32_t reply_length,
                     std::optional<std::uint8_t> preset) {
  if (preset) ReceiveArea[0] = *preset;
  SetLinkTimeouts(port, kLinkTimeout);
  // A device that never falls quiet would answer with its chatter; better to
  // leave ReceiveArea (and so the preset) as it was.
  if (!DrainInput(port)) return;
  const os::HANDLE h = Handle(port);
  os::DWORD count = 0;
  os::WriteFile(h, TransmitArea, 1, &count, nullptr);
  os::ReadFile(h, ReceiveArea, reply_length, &count, nullptr);
}

}  // namespace pelcor::link
