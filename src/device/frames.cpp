#include "device/frames.h"

#include <initializer_list>

#include "boundary/module_state.h"

namespace pelcor::device {

namespace {

// Writes `bytes` into TransmitArea from `at` on; gives the offset after them.
std::uint32_t Put(std::uint32_t at, std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) TransmitArea[at++] = b;
  return at;
}

std::uint8_t ByteOf(std::int32_t value, int index) {
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >>
                                   (8 * index));
}

// StartLoad, then one DataFrame for each of bits 0-7, 8-15 and 16-23; bits
// 24-31 have no place in the device's 24-bit load register.
std::uint32_t PutLoad(std::uint32_t at, std::int32_t value) {
  return Put(at, {ControlLead, StartLoad, DataLead, ByteOf(value, 0), DataLead,
                  ByteOf(value, 1), DataLead, ByteOf(value, 2)});
}

struct CodeRow {
  std::int32_t key;
  std::uint8_t code;
};

constexpr CodeRow kSpeedCodes[] = {
    {115200, 0x00}, {57600, 0x01}, {38400, 0x10}, {19200, 0x11},
    {9600, 0x12},   {4800, 0x13},  {2400, 0x14},  {1200, 0x15},
};

constexpr CodeRow kMultiplierControls[] = {
    {0, 0xC0}, {1, 0xC1}, {2, 0xC2}, {4, 0xC3}};

template <std::size_t N>
std::optional<std::uint8_t> Lookup(const CodeRow (&rows)[N], std::int32_t key) {
  for (const CodeRow& row : rows) {
    if (row.key == key) return row.code;
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t BuildCommand(std::uint8_t command) { return Put(0, {command}); }

std::uint32_t BuildSpeedCommand(std::uint8_t speed_code) {
  return Put(0, {SpeedLead, speed_code});
}

std::uint32_t BuildSetupCommand(std::int32_t setup_byte,
                                std::int32_t setup_value) {
  return Put(0, {SetupLead, ByteOf(setup_byte, 0), ByteOf(setup_value, 0),
                 ByteOf(setup_value, 1), ByteOf(setup_value, 2),
                 ByteOf(setup_value, 3)});
}

std::uint32_t BuildControlFrame(std::uint8_t control) {
  return Put(0, {ControlLead, control});
}

std::uint32_t BuildPresetSequence(std::int32_t value) {
  std::uint32_t at = Put(0, {ControlLead, ClearCount});
  at = PutLoad(at, value);
  return Put(at, {ControlLead, TransferToCount});
}

std::uint32_t BuildCompareSequence(std::int32_t value) {
  return PutLoad(0, value);
}

std::optional<std::uint8_t> SpeedCode(std::int32_t speed) {
  return Lookup(kSpeedCodes, speed);
}

std::optional<std::uint8_t> MultiplierControl(std::int32_t multiplier) {
  return Lookup(kMultiplierControls, multiplier);
}

std::int32_t DecodeCount(const std::uint8_t* bytes) {
  const std::uint32_t u =
      std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
      std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  return static_cast<std::int32_t>(u);
}

}  // namespace pelcor::device
