// The device operations behind the exports. Each takes the number of a port
// that is open (link::PortIsOpen); the exports refuse the others first.
#ifndef PELCOR_DEVICE_OPERATIONS_H
#define PELCOR_DEVICE_OPERATIONS_H

#include <cstdint>

namespace pelcor::device {

// Counter operations.
std::int32_t ReadPosition(std::int32_t port);
void ResetCounter(std::int32_t port);
void SetPosition(std::int32_t port, std::int32_t value);
void SetCompare(std::int32_t port, std::int32_t value);
// False, with nothing sent, for a multiplier other than 0, 1, 2 or 4.
bool SetMultiplier(std::int32_t port, std::int32_t multiplier);

// Adapter operations. The three with an expected reply give whether it came.
bool Ping(std::int32_t port);
bool EnableIndex(std::int32_t port);
bool DisableIndex(std::int32_t port);
// False, with nothing sent and neither end changed, for a speed that has no
// SpeedCode.
bool ChangeBaud(std::int32_t port, std::int32_t speed);
void Initialize(std::int32_t port, std::int32_t setup_byte,
                std::int32_t setup_value);

// Compare-output monitor: 1 when CTS differs from the state seen at the last
// successful call for the port, 0 when not; the system's error code when the
// modem status cannot be read.
std::int32_t PassedCompare(std::int32_t port);

}  // namespace pelcor::device

#endif
