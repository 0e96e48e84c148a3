#include "boundary/module_state.h"

namespace pelcor {

constinit os::HANDLE PortTable[kPortCount] = {};
constinit bool PortOpen[kPortCount] = {};
constinit os::DCB LineSettings = {};
constinit char DeviceNameTemplate[5] = "COM0";
constinit std::uint8_t TransmitArea[kAreaSize] = {};
constinit std::uint8_t ReceiveArea[kAreaSize] = {};
constinit std::uint8_t CompareLatch[kPortCount] = {};

}  // namespace pelcor
