// The device's command protocol: every frame the library sends, the codes it
// looks up, and what it reads back. Multi-byte values go least significant
// byte first in both directions.
#ifndef PELCOR_DEVICE_FRAMES_H
#define PELCOR_DEVICE_FRAMES_H

#include <cstdint>
#include <optional>

namespace pelcor::device {

// One-byte commands and the replies they expect. Each reply differs from its
// command, so a command byte left in place marks a reply that never came.
inline constexpr std::uint8_t ReadCountCommand = 0x01;
inline constexpr std::uint8_t PingCommand = 0x41;
inline constexpr std::uint8_t IndexOnCommand = 0x88;
inline constexpr std::uint8_t IndexOffCommand = 0x99;
inline constexpr std::uint8_t PingReply = 0x34;
inline constexpr std::uint8_t IndexOnReply = 0x45;
inline constexpr std::uint8_t IndexOffReply = 0x44;

// Lead bytes of the longer frames.
inline constexpr std::uint8_t SpeedLead = 0x77;
inline constexpr std::uint8_t SetupLead = 0x22;
inline constexpr std::uint8_t ControlLead = 0x66;
inline constexpr std::uint8_t DataLead = 0x44;

// Control bytes of a ControlFrame (besides the MultiplierControl bytes).
inline constexpr std::uint8_t ClearCount = 0x04;
inline constexpr std::uint8_t StartLoad = 0x01;
inline constexpr std::uint8_t TransferToCount = 0x08;

// Each builder writes its frame into TransmitArea from byte 0 and gives the
// number of bytes to send.
std::uint32_t BuildCommand(std::uint8_t command);
std::uint32_t BuildSpeedCommand(std::uint8_t speed_code);
// The low 8 bits of the set-up byte, then all 32 bits of the value.
std::uint32_t BuildSetupCommand(std::int32_t setup_byte,
                                std::int32_t setup_value);
std::uint32_t BuildControlFrame(std::uint8_t control);
// ClearCount, a load of the low 24 bits of the value, TransferToCount.
std::uint32_t BuildPresetSequence(std::int32_t value);
// A load of the low 24 bits of the value alone.
std::uint32_t BuildCompareSequence(std::int32_t value);

// The SpeedCode of a link speed in bit/s, if it has one.
std::optional<std::uint8_t> SpeedCode(std::int32_t speed);
// The MultiplierControl byte of a count multiplier (0, 1, 2 or 4).
std::optional<std::uint8_t> MultiplierControl(std::int32_t multiplier);

// The signed count from the four reply bytes, least significant first.
std::int32_t DecodeCount(const std::uint8_t* bytes);

}  // namespace pelcor::device

#endif
