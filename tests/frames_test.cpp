// Every frame byte for byte, the code lookups and the count decoder.
#include "device/frames.h"

#include <climits>
#include <functional>

#include "library_fixture.h"

namespace pelcor::device {
namespace {

using test::Bytes;

struct FrameCase {
  const char* what;
  std::function<std::uint32_t()> build;
  Bytes bytes;
};

TEST(Frames, AreBuiltByteForByteFromTheStartOfTheTransmitArea) {
  const FrameCase cases[] = {
      {"read count", [] { return BuildCommand(ReadCountCommand); }, {0x01}},
      {"ping", [] { return BuildCommand(PingCommand); }, {0x41}},
      {"index on", [] { return BuildCommand(IndexOnCommand); }, {0x88}},
      {"index off", [] { return BuildCommand(IndexOffCommand); }, {0x99}},
      {"speed 19200", [] { return BuildSpeedCommand(0x11); }, {0x77, 0x11}},
      {"clear count",
       [] { return BuildControlFrame(ClearCount); },
       {0x66, 0x04}},
      {"multiplier 4", [] { return BuildControlFrame(0xC3); }, {0x66, 0xC3}},
      {"preset 0x12345678: top byte dropped",
       [] { return BuildPresetSequence(0x12345678); },
       {0x66, 0x04, 0x66, 0x01, 0x44, 0x78, 0x44, 0x56, 0x44, 0x34, 0x66,
        0x08}},
      {"preset 0x00345678: the same twelve bytes",
       [] { return BuildPresetSequence(0x00345678); },
       {0x66, 0x04, 0x66, 0x01, 0x44, 0x78, 0x44, 0x56, 0x44, 0x34, 0x66,
        0x08}},
      {"preset -1",
       [] { return BuildPresetSequence(-1); },
       {0x66, 0x04, 0x66, 0x01, 0x44, 0xFF, 0x44, 0xFF, 0x44, 0xFF, 0x66,
        0x08}},
      {"compare -1",
       [] { return BuildCompareSequence(-1); },
       {0x66, 0x01, 0x44, 0xFF, 0x44, 0xFF, 0x44, 0xFF}},
      {"compare INT_MIN: low 24 bits are zero",
       [] { return BuildCompareSequence(INT_MIN); },
       {0x66, 0x01, 0x44, 0x00, 0x44, 0x00, 0x44, 0x00}},
      {"setup 0x105, 0x0A0B0C0D",
       [] { return BuildSetupCommand(0x105, 0x0A0B0C0D); },
       {0x22, 0x05, 0x0D, 0x0C, 0x0B, 0x0A}},
      {"setup 0x1FF, 258",
       [] { return BuildSetupCommand(0x1FF, 258); },
       {0x22, 0xFF, 0x02, 0x01, 0x00, 0x00}},
      {"setup -1, -2",
       [] { return BuildSetupCommand(-1, -2); },
       {0x22, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}},
  };
  for (const FrameCase& c : cases) {
    std::fill(std::begin(TransmitArea), std::end(TransmitArea), 0xEE);
    const std::uint32_t n = c.build();
    EXPECT_EQ(Bytes(TransmitArea, TransmitArea + n), c.bytes) << c.what;
    // The bytes behind the frame keep what they held.
    EXPECT_EQ(TransmitArea[n], 0xEE) << c.what;
  }
}

TEST(SpeedCode, HasEightSpeedsAndNoNearbyRow) {
  const std::pair<std::int32_t, std::optional<std::uint8_t>> cases[] = {
      {115200, 0x00}, {57600, 0x01}, {38400, 0x10}, {19200, 0x11},
      {9600, 0x12},   {4800, 0x13},  {2400, 0x14},  {1200, 0x15},
      {300, {}},      {0, {}},       {9601, {}},    {-9600, {}},
      {230400, {}},   {INT_MIN, {}}, {INT_MAX, {}},
  };
  for (const auto& [speed, code] : cases) {
    EXPECT_EQ(SpeedCode(speed), code) << speed;
  }
}

TEST(MultiplierControl, HasZeroOneTwoAndFourOnly) {
  const std::pair<std::int32_t, std::optional<std::uint8_t>> cases[] = {
      {0, 0xC0}, {1, 0xC1}, {2, 0xC2}, {4, 0xC3},  {3, {}},
      {5, {}},   {8, {}},   {-1, {}},  {0xC1, {}}, {INT_MIN, {}},
  };
  for (const auto& [multiplier, control] : cases) {
    EXPECT_EQ(MultiplierControl(multiplier), control) << multiplier;
  }
}

TEST(DecodeCount, PutsFourBytesTogetherLeastSignificantFirst) {
  const std::pair<Bytes, std::int32_t> cases[] = {
      {{0x2C, 0x01, 0x00, 0x00}, 300},
      {{0x64, 0x00, 0x00, 0x00}, 100},
      {{0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {{0xFE, 0xFF, 0xFF, 0xFF}, -2},
      {{0x00, 0x00, 0x00, 0x80}, INT_MIN},
      {{0xFF, 0xFF, 0xFF, 0x7F}, INT_MAX},
      {{0x78, 0x56, 0x34, 0x12}, 0x12345678},
  };
  for (const auto& [bytes, count] : cases) {
    EXPECT_EQ(DecodeCount(bytes.data()), count) << count;
  }
}

}  // namespace
}  // namespace pelcor::device
