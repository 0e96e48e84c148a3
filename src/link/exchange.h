// Moving bytes between the shared areas and a port: the link timeouts, the
// drain of stale input and the three patterns that every command uses. Each
// takes the number of a port that is open (PortIsOpen).
#ifndef PELCOR_LINK_EXCHANGE_H
#define PELCOR_LINK_EXCHANGE_H

#include <cstdint>
#include <optional>

namespace pelcor::link {

// The one timeout value every caller passes: 10 ms interval and constants,
// 2 ms a byte. A one-byte read waits at most 12 ms, a four-byte read 18 ms.
inline constexpr std::uint32_t kLinkTimeout = 10;
// The drain gives up on a line that has not been quiet for 12 ms in this long.
inline constexpr std::int64_t kDrainBoundNanos = 250'000'000;

// 0 when the port took the timeouts, 1 when it refused them.
std::int32_t SetLinkTimeouts(std::int32_t port, std::uint32_t timeout_ms);

// Purges the input queue, then reads and discards bytes until a read comes
// back empty (the line was quiet for 12 ms) or fails. False when the line
// kept talking past kDrainBoundNanos. Never touches ReceiveArea.
bool DrainInput(std::int32_t port);

// Writes TransmitArea[0..n) in one write. Reads nothing.
void PlainSend(std::int32_t port, std::uint32_t n);

// Writes TransmitArea[0..n) in one write, then reads one byte into
// ReceiveArea[0] under the port's current timeouts. The byte is not judged.
void AcknowledgedSend(std::int32_t port, std::uint32_t n);

// Presets ReceiveArea[0] (when given), sets the timeouts, drains, writes the
// command byte TransmitArea[0] and reads up to `reply_length` bytes into
// ReceiveArea. Bytes that do not come keep what ReceiveArea held. When the
// drain gives up, nothing is written or read.
void CheckedExchange(std::int32_t port, std::uint32_t reply_length,
                     std::optional<std::uint8_t> preset);

}  // namespace pelcor::link

#endif
