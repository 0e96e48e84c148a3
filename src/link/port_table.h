// Opening, setting up and closing COM1 to COM4, and the PC side's speed.
#ifndef PELCOR_LINK_PORT_TABLE_H
#define PELCOR_LINK_PORT_TABLE_H

#include <cstdint>

namespace pelcor::link {

// InitComm's results.
inline constexpr std::int32_t kOpened = 0;
inline constexpr std::int32_t kNotOpened = 1;
inline constexpr std::int32_t kSetupFailed = 8;

// True for a port number 1 to 4 whose port InitComm has opened and CloseComm
// has not closed since. Every operation but InitComm asks this first.
bool PortIsOpen(std::int32_t port);

std::int32_t InitComm(std::int32_t port);
// The port must be open (PortIsOpen).
void CloseComm(std::int32_t port);
// The port must be open (PortIsOpen).
void ChangeLocalBaudRate(std::int32_t port, std::int32_t speed);

}  // namespace pelcor::link

#endif
