// The exported functions. Each refuses a port number outside 1 to 4, or a
// port that is not open, before anything reaches the operating system: a slot
// that is not open holds zero or a closed handle that the system may since
// have given to another file of the host. The refused result is fixed per
// function (pelcor.h lists them).
#include "device/operations.h"
#include "link/port_table.h"
#include "pelcor.h"
#include "platform/serial.h"

namespace {

using pelcor::link::PortIsOpen;
namespace device = pelcor::device;
namespace link = pelcor::link;

// Runs `op` on an open port, else gives `refused`.
template <typename Op>
int32_t OnOpenPort(int32_t port, int32_t refused, Op op) {
  return PortIsOpen(port) ? op() : refused;
}

int32_t Flag(bool b) { return b ? 1 : 0; }

}  // namespace

extern "C" {

int32_t PELCOR_CALL ReadPosition(int32_t PortNumber) {
  return OnOpenPort(PortNumber, 0,
                    [&] { return device::ReadPosition(PortNumber); });
}

int32_t PELCOR_CALL ResetCounter(int32_t PortNumber) {
  return OnOpenPort(PortNumber, 1, [&] {
    device::ResetCounter(PortNumber);
    return 0;
  });
}

int32_t PELCOR_CALL Initialize(int32_t PortNumber, int32_t SetupByte,
                               int32_t SetupValue) {
  return OnOpenPort(PortNumber, 1, [&] {
    device::Initialize(PortNumber, SetupByte, SetupValue);
    return 0;
  });
}

int32_t PELCOR_CALL SetMultiplier(int32_t PortNumber, int32_t Multiplier) {
  return OnOpenPort(PortNumber, 1, [&] {
    return Flag(!device::SetMultiplier(PortNumber, Multiplier));
  });
}

int32_t PELCOR_CALL SetPosition(int32_t PortNumber, int32_t Value) {
  return OnOpenPort(PortNumber, 1, [&] {
    device::SetPosition(PortNumber, Value);
    return 0;
  });
}

int32_t PELCOR_CALL Ping(int32_t PortNumber) {
  return OnOpenPort(PortNumber, 0,
                    [&] { return Flag(device::Ping(PortNumber)); });
}

int32_t PELCOR_CALL SetCompare(int32_t PortNumber, int32_t Value) {
  return OnOpenPort(PortNumber, 1, [&] {
    device::SetCompare(PortNumber, Value);
    return 0;
  });
}

int32_t PELCOR_CALL PassedCompare(int32_t PortNumber) {
  return OnOpenPort(PortNumber,
                    static_cast<int32_t>(pelcor::os::kInvalidHandleError),
                    [&] { return device::PassedCompare(PortNumber); });
}

int32_t PELCOR_CALL EnableIndex(int32_t PortNumber) {
  return OnOpenPort(PortNumber, 1,
                    [&] { return Flag(!device::EnableIndex(PortNumber)); });
}

int32_t PELCOR_CALL DisableIndex(int32_t PortNumber) {
  return OnOpenPort(PortNumber, 1,
                    [&] { return Flag(!device::DisableIndex(PortNumber)); });
}

int32_t PELCOR_CALL InitComm(int32_t PortNumber) {
  return link::InitComm(PortNumber);
}

int32_t PELCOR_CALL CloseComm(int32_t PortNumber) {
  // Closing what is not open does nothing; the result is 0 either way.
  return OnOpenPort(PortNumber, 0, [&] {
    link::CloseComm(PortNumber);
    return 0;
  });
}

int32_t PELCOR_CALL ChangeLocalBaudRate(int32_t PortNumber, int32_t BaudRate) {
  return OnOpenPort(PortNumber, 1, [&] {
    link::ChangeLocalBaudRate(PortNumber, BaudRate);
    return 0;
  });
}

int32_t PELCOR_CALL ChangeBaud(int32_t PortNumber, int32_t BaudRate) {
  return OnOpenPort(PortNumber, 1, [&] {
    return Flag(!device::ChangeBaud(PortNumber, BaudRate));
  });
}

}  // extern "C"
