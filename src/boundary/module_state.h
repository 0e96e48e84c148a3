// All of the library's state: fixed module-wide variables that hold their
// load values from the start (constant initialisation, no constructors) and
// live until the library is unloaded.
#ifndef PELCOR_BOUNDARY_MODULE_STATE_H
#define PELCOR_BOUNDARY_MODULE_STATE_H

#include <cstdint>

#include "platform/serial.h"

namespace pelcor {

inline constexpr int kPortCount = 4;
inline constexpr int kAreaSize = 100;

// One handle per port number 1 to 4 (index 0 is port 1). Written only when a
// port has opened; never cleared, so after CloseComm it holds the old handle.
extern os::HANDLE PortTable[kPortCount];
// Whether the slot's handle is open: set when InitComm stores a handle,
// cleared by CloseComm. Nothing may reach the operating system through a slot
// that is not open.
extern bool PortOpen[kPortCount];
// The one line-settings record that every port gets.
extern os::DCB LineSettings;
// "COM0"; InitComm puts the port's digit in place of the 0 before each open.
extern char DeviceNameTemplate[5];
// Where every frame is built and every reply lands, shared by all ports.
extern std::uint8_t TransmitArea[kAreaSize];
extern std::uint8_t ReceiveArea[kAreaSize];
// The CTS state last seen by a successful PassedCompare, per port.
extern std::uint8_t CompareLatch[kPortCount];

}  // namespace pelcor

#endif
