#include "boundary/module_state.h"
#include "device/operations.h"
#include "platform/serial.h"

namespace pelcor::device {

// The device shows its compare output on CTS. Rising and falling changes are
// reported alike; a failed read leaves the latch for the next call to compare
// against.
std::int32_t PassedCompare(std::int32_t port) {
  os::DWORD status = 0;
  if (!os::GetCommModemStatus(PortTable[port - 1], &status)) {
    return static_cast<std::int32_t>(os::GetLastError());
  }
  const std::uint8_t cts = (status & os::MS_CTS_ON) ? 1 : 0;
  const bool changed = cts != CompareLatch[port - 1];
  CompareLatch[port - 1] = cts;
  return changed ? 1 : 0;
}

}  // namespace pelcor::device
