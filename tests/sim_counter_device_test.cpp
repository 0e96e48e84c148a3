// The simulated counter device as a model: its frame parser, its count,
// compare and CTS, its speed change and its faults.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "sim/counter_device.h"

namespace pelcor::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Load(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {0x66, 0x01,
          0x44, static_cast<std::uint8_t>(u),
          0x44, static_cast<std::uint8_t>(u >> 8),
          0x44, static_cast<std::uint8_t>(u >> 16)};
}
Bytes Preset(std::int32_t v) {
  Bytes b = {0x66, 0x04};
  const Bytes load = Load(v);
  b.insert(b.end(), load.begin(), load.end());
  b.insert(b.end(), {0x66, 0x08});
  return b;
}
Bytes CountBytes(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
          static_cast<std::uint8_t>(u >> 16),
          static_cast<std::uint8_t>(u >> 24)};
}

// --- Parser -----------------------------------------------------------------

TEST(CounterDevice, EachLeadByteFixesItsFrameLength) {
  struct Case {
    std::uint8_t lead;
    std::size_t length;
    FrameKind kind;
  } cases[] = {
      {0x01, 1, FrameKind::kReadCount}, {0x41, 1, FrameKind::kPing},
      {0x88, 1, FrameKind::kIndexOn},   {0x99, 1, FrameKind::kIndexOff},
      {0x66, 2, FrameKind::kControl},   {0x44, 2, FrameKind::kData},
      {0x77, 2, FrameKind::kSpeed},     {0x22, 6, FrameKind::kSetup},
  };
  for (const Case& c : cases) {
    CounterDevice d;
    // The bytes after the lead are all 0x01, itself a lead byte, so a
    // parser that looked at values would end the frame early.
    Bytes frame(c.length, 0x01);
    frame[0] = c.lead;
    for (std::size_t i = 0; i < c.length; ++i) {
      ByteResult r = d.FeedByte(frame[i]);
      if (i + 1 < c.length) {
        EXPECT_FALSE(r.frame) << int(c.lead) << " byte " << i;
        EXPECT_EQ(d.pending(), i + 1);
      } else {
        ASSERT_TRUE(r.frame) << int(c.lead);
        EXPECT_EQ(r.frame->kind, c.kind);
        EXPECT_EQ(r.frame->bytes, frame);
        EXPECT_EQ(d.pending(), 0u);
      }
    }
    EXPECT_EQ(CounterDevice::FrameLength(c.lead), c.length);
  }
}

TEST(CounterDevice, DataBytesMayTakeLeadByteValues) {
  CounterDevice d;
  // A load whose data bytes are 0x44, 0x66 and 0x22; then a set-up command
  // whose data bytes are 0x01, 0x41, 0x22, 0x88, 0x99.
  FeedResult r = d.Feed(Bytes{0x66, 0x01, 0x44, 0x44, 0x44, 0x66, 0x44, 0x22,
                              0x22, 0x01, 0x41, 0x22, 0x88, 0x99});
  ASSERT_EQ(r.frames.size(), 5u);
  EXPECT_EQ(d.load_register(), 0x226644u);
  EXPECT_EQ(r.frames[4].kind, FrameKind::kSetup);
  EXPECT_EQ(d.setup_byte(), 0x01);
  EXPECT_EQ(d.setup_value(), static_cast<std::int32_t>(0x99882241u));
  EXPECT_EQ(r.reply, Bytes{kAcknowledge});  // nothing for 0x41 or 0x01 inside
}

TEST(CounterDevice, FramesSplitAcrossFeedsActAsOne) {
  const Bytes stream = [] {
    Bytes b = Preset(0x123456);
    b.insert(b.end(), {0x22, 0x05, 0x0D, 0x0C, 0x0B, 0x0A, 0x01});
    return b;
  }();
  CounterDevice whole;
  const FeedResult expected = whole.Feed(stream);
  ASSERT_EQ(expected.frames.size(), 8u);
  for (std::size_t a = 1; a < stream.size(); ++a) {
    for (std::size_t b = a; b < stream.size(); ++b) {
      CounterDevice d;
      const std::span<const std::uint8_t> s(stream);
      FeedResult r1 = d.Feed(s.subspan(0, a));
      FeedResult r2 = d.Feed(s.subspan(a, b - a));
      FeedResult r3 = d.Feed(s.subspan(b));
      EXPECT_EQ(r1.frames.size() + r2.frames.size() + r3.frames.size(), 8u);
      Bytes reply = r1.reply;
      reply.insert(reply.end(), r2.reply.begin(), r2.reply.end());
      reply.insert(reply.end(), r3.reply.begin(), r3.reply.end());
      EXPECT_EQ(reply, expected.reply) << a << ", " << b;
      EXPECT_EQ(d.count(), 0x123456);
      EXPECT_EQ(d.setup_value(), 0x0A0B0C0D);
    }
  }
  EXPECT_EQ(expected.reply, (Bytes{kAcknowledge, 0x56, 0x34, 0x12, 0x00}));
}

TEST(CounterDevice, WhatItDropsOrIgnoresGetsNoReply) {
  struct Case {
    const char* what;
    Bytes bytes;
    FrameKind kind;
  } cases[] = {
      {"unknown lead byte", {0x55}, FrameKind::kUnknown},
      {"zero", {0x00}, FrameKind::kUnknown},
      {"unknown control byte", {0x66, 0x02}, FrameKind::kControl},
      {"data outside a load", {0x44, 0x12}, FrameKind::kData},
  };
  for (const Case& c : cases) {
    CounterDevice d;
    d.Move(7);
    FeedResult r = d.Feed(c.bytes);
    ASSERT_EQ(r.frames.size(), 1u) << c.what;
    EXPECT_EQ(r.frames[0].kind, c.kind) << c.what;
    EXPECT_TRUE(r.reply.empty()) << c.what;
    EXPECT_EQ(d.count(), 7) << c.what;
    EXPECT_EQ(d.load_register(), 0u) << c.what;
    // The next frame is read as one.
    EXPECT_EQ(d.Feed(Bytes{0x41}).reply, Bytes{kPingReply}) << c.what;
  }
}

TEST(CounterDevice, EachFrameIsDescribedForTheTrace) {
  CounterDevice d;
  d.Move(300);
  struct Case {
    Bytes bytes;
    const char* meaning;
  } cases[] = {
      {{0x01}, "read count -> 300"},
      {{0x66, 0x01}, "start load"},
      {{0x44, 0x78}, "load byte 0 = 0x78"},
      {{0x44, 0x56}, "load byte 1 = 0x56"},
      {{0x44, 0xFF}, "load byte 2 = 0xFF, LoadRegister 0xFF5678 = -43400"},
      {{0x66, 0x08}, "transfer to count -> -43400"},
      {{0x66, 0xC3}, "multiplier 4"},
      {{0x77, 0x11}, "speed 19200 (code 0x11), was 9600"},
      {{0x77, 0x42}, "speed code 0x42 unknown, stays 19200"},
      {{0x22, 0x05, 0xFE, 0xFF, 0xFF, 0xFF}, "setup byte 0x05, value -2"},
      {{0x88}, "index on"},
      {{0x55}, "unknown lead byte 0x55, dropped"},
  };
  for (const Case& c : cases) {
    FeedResult r = d.Feed(c.bytes);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].meaning, c.meaning);
  }
  const Frame read = d.Feed(Bytes{0x01}).frames.at(0);
  EXPECT_EQ(Describe(read),
            "01  read count -> -43400  => 78 56 FF FF at 19200");
}

// --- Count, compare and CTS -------------------------------------------------

TEST(CounterDevice, PresetAndCompareReadTheRegisterAsSigned24Bits) {
  struct Case {
    std::int32_t value;
    std::uint32_t reg;
    std::int32_t as_count;
  } cases[] = {
      {0x123456, 0x123456, 0x123456},
      {0x12345678, 0x345678, 0x345678},  // bits 24-31 are not sent
      {-100, 0xFFFF9C, -100},
      {-1, 0xFFFFFF, -1},
      {0x7FFFFF, 0x7FFFFF, 8388607},
      {0x800000, 0x800000, -8388608},
      {0, 0, 0},
  };
  for (const Case& c : cases) {
    CounterDevice d;
    d.Move(5);
    FeedResult r = d.Feed(Preset(c.value));
    EXPECT_TRUE(r.reply.empty());
    EXPECT_EQ(d.load_register(), c.reg) << c.value;
    EXPECT_EQ(d.count(), c.as_count) << c.value;
    EXPECT_EQ(d.compare_value(), c.as_count) << c.value;
    EXPECT_EQ(d.Feed(Bytes{0x01}).reply, CountBytes(c.as_count)) << c.value;

    CounterDevice e;
    e.Feed(Load(c.value));  // CompareSequence: the count stays
    EXPECT_EQ(e.compare_value(), c.as_count) << c.value;
    EXPECT_EQ(e.count(), 0) << c.value;
  }
}

TEST(CounterDevice, CtsIsOnWhileTheCountIsAtOrPastTheCompareValue) {
  struct Case {
    std::int32_t count, compare;
    bool cts;
  } cases[] = {
      {0, 0, true},
      {99, 100, false},
      {100, 100, true},
      {101, 100, true},
      {0, -1, true},
      {-2, -1, false},
      {-1, -1, true},
      {-100, 5, false},
      {8388607, 8388607, true},
      {-8388608, -8388608, true},
  };
  for (const Case& c : cases) {
    CounterDevice d;
    d.Feed(Preset(c.count));
    d.Feed(Load(c.compare));
    EXPECT_EQ(d.count(), c.count);
    EXPECT_EQ(d.cts(), c.cts) << c.count << " vs " << c.compare;
  }
  CounterDevice d;
  EXPECT_TRUE(d.cts()) << "power-on: 0 >= 0";
}

TEST(CounterDevice, TheEncoderCountsTimesTheMultiplierEitherWay) {
  struct Case {
    std::uint8_t control;
    int multiplier;
    std::int64_t edges;
    std::int32_t count;
  } cases[] = {
      {0xC0, 0, 5, 0},  {0xC0, 0, -5, 0},  {0xC1, 1, 5, 5},  {0xC1, 1, -7, -7},
      {0xC2, 2, 5, 10}, {0xC2, 2, -3, -6}, {0xC3, 4, 5, 20}, {0xC3, 4, -3, -12},
  };
  for (const Case& c : cases) {
    CounterDevice d;
    EXPECT_EQ(d.Feed(Bytes{0x66, c.control}).reply, Bytes{kAcknowledge});
    EXPECT_EQ(d.multiplier(), c.multiplier);
    d.Move(c.edges);
    EXPECT_EQ(d.count(), c.count) << int(c.control) << " " << c.edges;
  }
  CounterDevice d;
  EXPECT_EQ(d.multiplier(), 1) << "power-on";
}

TEST(CounterDevice, TheCountWrapsAroundAt32Bits) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  CounterDevice d;
  d.Move(kMax);
  d.Move(1);
  EXPECT_EQ(d.count(), kMin);
  d.Move(-1);
  EXPECT_EQ(d.count(), kMax);
  d.Move(std::int64_t{1} << 32);  // a whole turn of the counter
  EXPECT_EQ(d.count(), kMax);
  d.Feed(Bytes{0x66, 0xC3});
  d.Move(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(d.count(), kMax);
  EXPECT_EQ(d.Feed(Bytes{0x01}).reply, (Bytes{0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST(CounterDevice, AnIndexPulseClearsTheCountOnlyWhileIndexIsOn) {
  CounterDevice d;
  d.Move(40);
  d.IndexPulse();
  EXPECT_EQ(d.count(), 40) << "index is off at power-on";
  EXPECT_EQ(d.Feed(Bytes{0x88}).reply, Bytes{kIndexOnReply});
  EXPECT_TRUE(d.index_enabled());
  d.IndexPulse();
  EXPECT_EQ(d.count(), 0);
  d.Move(3);
  EXPECT_EQ(d.Feed(Bytes{0x99}).reply, Bytes{kIndexOffReply});
  d.IndexPulse();
  EXPECT_EQ(d.count(), 3);
}

TEST(CounterDevice, ALoadSurvivesFramesInBetweenAndClearCountClears) {
  CounterDevice d;
  d.Move(9);
  FeedResult r =
      d.Feed(Bytes{0x66, 0x01, 0x44, 0x21, 0x01, 0x44, 0x43, 0x41, 0x44, 0x65});
  EXPECT_EQ(d.load_register(), 0x654321u);
  EXPECT_EQ(r.reply, (Bytes{9, 0, 0, 0, kPingReply}));
  EXPECT_EQ(d.load_bytes_due(), 0);
  d.Feed(Bytes{0x44, 0x99});  // the load is over
  EXPECT_EQ(d.load_register(), 0x654321u);
  d.Feed(Bytes{0x66, 0x04});
  EXPECT_EQ(d.count(), 0);
}

// --- Speed ------------------------------------------------------------------

TEST(CounterDevice, ASpeedCommandIsAnsweredAtTheOldSpeedThenTaken) {
  struct Case {
    std::uint8_t code;
    std::uint32_t baud;
  } cases[] = {
      {0x00, 115200}, {0x01, 57600}, {0x10, 38400}, {0x11, 19200},
      {0x12, 9600},   {0x13, 4800},  {0x14, 2400},  {0x15, 1200},
      {0x02, 9600},   {0xFF, 9600},  {0x16, 9600},  // unknown: kept
  };
  for (const Case& c : cases) {
    CounterDevice d;
    EXPECT_EQ(d.baud(), kPowerOnBaud);
    FeedResult r = d.Feed(Bytes{0x77, c.code, 0x41});
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0].reply, Bytes{kAcknowledge});
    EXPECT_EQ(r.frames[0].reply_baud, 9600u) << int(c.code);
    EXPECT_EQ(r.frames[1].reply_baud, c.baud) << int(c.code);
    EXPECT_EQ(d.baud(), c.baud);
    EXPECT_EQ(CounterDevice::BaudOfSpeedCode(c.code).value_or(9600), c.baud);
  }
}

// --- Faults -----------------------------------------------------------------

TEST(CounterDevice, FaultsChangeTheRepliesButNotWhatTheDeviceDoes) {
  // A read of 258, an index-on, a clear and a ping, under each fault.
  const Bytes stream = {0x01, 0x88, 0x66, 0x04, 0x41};
  struct Case {
    const char* what;
    Faults faults;
    Bytes reply;
  } cases[] = {
      {"none", {}, {0x02, 0x01, 0, 0, 0x45, 0x34}},
      {"silent", {.silent = true}, {}},
      {"echo", {.echo = true}, stream},
      {"short 2", {.short_reply = 2}, {0x02, 0x01, 0x45, 0x34}},
      {"short 0", {.short_reply = 0}, {}},
      // Timing is the transports' job: the model's replies stay.
      {"late", {.late_ns = 5'000'000}, {0x02, 0x01, 0, 0, 0x45, 0x34}},
      {"chatter", {.chatter = true}, {0x02, 0x01, 0, 0, 0x45, 0x34}},
  };
  for (const Case& c : cases) {
    CounterDevice d;
    d.Move(258);
    d.set_faults(c.faults);
    FeedResult r = d.Feed(stream);
    EXPECT_EQ(r.reply, c.reply) << c.what;
    EXPECT_TRUE(d.index_enabled()) << c.what;
    EXPECT_EQ(d.count(), 0) << c.what;
    Bytes traced;
    for (const Frame& f : r.frames) {
      traced.insert(traced.end(), f.reply.begin(), f.reply.end());
    }
    EXPECT_EQ(traced, c.reply) << c.what;
  }
}

TEST(CounterDevice, AnEchoGoesBackAsEachByteComes) {
  CounterDevice d;
  d.set_faults({.echo = true});
  ByteResult first = d.FeedByte(0x77);
  EXPECT_EQ(first.reply, Bytes{0x77});
  EXPECT_FALSE(first.frame);
  ByteResult second = d.FeedByte(0x11);
  EXPECT_EQ(second.reply, Bytes{0x11});
  ASSERT_TRUE(second.frame);
  EXPECT_EQ(second.frame->reply, (Bytes{0x77, 0x11}));
  EXPECT_EQ(d.baud(), 19200u);
}

}  // namespace
}  // namespace pelcor::sim
