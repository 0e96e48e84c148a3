// The link timeouts, the drain and the three exchange patterns, on the
// scripted port's virtual clock.
#include "link/exchange.h"

#include "library_fixture.h"

namespace pelcor::test {
namespace {

using link::AcknowledgedSend;
using link::CheckedExchange;
using link::DrainInput;
using link::PlainSend;
using link::SetLinkTimeouts;

// One byte at 9600 bit/s: 10 bit times.
constexpr std::int64_t kByte9600 = 10 * 1'000'000'000LL / 9600;

class ExchangeTest : public LibraryTest {
 protected:
  void SetUp() override {
    Open(1);
    port_.Advance(1000 * kMs);  // away from 0, so absolute slips show
  }
  // A far end that answers each byte it gets with `reply`, `delay` after.
  void AnswerWith(const Bytes& reply, std::int64_t delay = 1 * kMs) {
    line(1).on_byte = [reply, delay](Line& l, std::int64_t at, std::uint8_t) {
      l.Arrive(at + delay, reply);
    };
  }
  void Transmit(const Bytes& frame) {
    std::copy(frame.begin(), frame.end(), TransmitArea);
  }
};

TEST_F(ExchangeTest, SetLinkTimeoutsHandsOverTenTwoTenTwoTen) {
  EXPECT_EQ(SetLinkTimeouts(1, 10), 0);
  ASSERT_EQ(port_.CallKinds(), std::vector<Call>{Call::kSetCommTimeouts});
  const os::COMMTIMEOUTS& t = port_.calls()[0].timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 10u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);

  port_.FailNext(Call::kSetCommTimeouts, 87);
  EXPECT_EQ(SetLinkTimeouts(1, 10), 1);
}

TEST_F(ExchangeTest, DrainOnAQuietLineMakesOneTwelveMillisecondRead) {
  EXPECT_TRUE(DrainInput(1));
  const std::vector<Call> kinds = {Call::kSetCommTimeouts, Call::kPurgeComm,
                                   Call::kReadFile};
  ASSERT_EQ(port_.CallKinds(), kinds);
  EXPECT_EQ(port_.calls()[1].purge_flags, os::PURGE_RXCLEAR);
  EXPECT_EQ(port_.calls()[2].asked, 1u);
  EXPECT_EQ(port_.calls()[2].Waited(), 12 * kMs);
}

TEST_F(ExchangeTest, DrainPurgesThenReadsThroughChatterUntilQuiet) {
  const std::int64_t now = port_.Now();
  line(1).Arrive(now - 5 * kMs, {0xAA, 0xBB}, 1 * kMs);    // waiting: purged
  line(1).Arrive(now + 3 * kMs, Bytes(8, 0x33), 5 * kMs);  // every 5 ms
  ReceiveArea[0] = 0x5A;

  EXPECT_TRUE(DrainInput(1));
  const auto reads = port_.CallsOf(Call::kReadFile);
  ASSERT_EQ(reads.size(), 9u);  // eight bytes, then the empty read
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(reads[i].bytes, Bytes{0x33});
  EXPECT_TRUE(reads[8].bytes.empty());
  EXPECT_EQ(reads[8].Waited(), 12 * kMs);
  const std::int64_t last_byte = now + 3 * kMs + 7 * 5 * kMs;
  EXPECT_EQ(port_.Now(), last_byte + 12 * kMs);
  EXPECT_EQ(ReceiveArea[0], 0x5A);
}

TEST_F(ExchangeTest, DrainEndsOnAFailedRead) {
  line(1).Chatter(port_.Now(), kByte9600);
  port_.FailNext(Call::kReadFile, 22, 3);
  EXPECT_TRUE(DrainInput(1));
  EXPECT_EQ(port_.CallsOf(Call::kReadFile).size(), 4u);
}

TEST_F(ExchangeTest, DrainGivesUpOnALineThatNeverFallsQuiet) {
  const std::int64_t start = port_.Now();
  line(1).Chatter(start, kByte9600);
  EXPECT_FALSE(DrainInput(1));
  const std::int64_t took = port_.Now() - start;
  EXPECT_GE(took, link::kDrainBoundNanos);
  EXPECT_LT(took, link::kDrainBoundNanos + 2 * kByte9600);
}

TEST_F(ExchangeTest, PlainSendWritesTheFrameAndReadsNothing) {
  Transmit(
      {0x66, 0x04, 0x66, 0x01, 0x44, 1, 0x44, 2, 0x44, 3, 0x66, 0x08, 0xEE});
  std::memcpy(ReceiveArea, "\x01\x02\x03\x04", 4);

  PlainSend(1, 12);
  ASSERT_EQ(port_.CallKinds(), std::vector<Call>{Call::kWriteFile});
  const CallRecord& w = port_.calls()[0];
  EXPECT_EQ(w.asked, 12u);
  EXPECT_TRUE(w.overlapped_null);
  EXPECT_EQ(line(1).sent, Bytes(TransmitArea, TransmitArea + 12));
  EXPECT_LE(w.Waited(), 34 * kMs);
  EXPECT_EQ(w.Waited(), 12 * kByte9600);
  EXPECT_EQ(ReceiveHead(4), (Bytes{1, 2, 3, 4}));
}

TEST_F(ExchangeTest, AWriteEndsAtItsTimeoutOnASlowLine) {
  ASSERT_EQ(ChangeLocalBaudRate(1, 1200), 0);
  port_.ClearCalls();
  PlainSend(1, 12);
  const CallRecord& w = port_.calls()[0];
  EXPECT_EQ(w.Waited(), 34 * kMs);
  EXPECT_EQ(w.bytes.size(), 4u);  // 8.3 ms a byte
}

TEST_F(ExchangeTest, AcknowledgedSendOnASilentLineWaitsTwelveMilliseconds) {
  Transmit({0x66, 0xC1});
  ReceiveArea[0] = 0x99;
  AcknowledgedSend(1, 2);
  const std::vector<Call> kinds = {Call::kWriteFile, Call::kReadFile};
  ASSERT_EQ(port_.CallKinds(), kinds);
  EXPECT_EQ(port_.calls()[0].bytes, (Bytes{0x66, 0xC1}));
  EXPECT_EQ(port_.calls()[1].asked, 1u);
  EXPECT_EQ(port_.calls()[1].start_ns, port_.calls()[0].end_ns);
  EXPECT_EQ(port_.calls()[1].Waited(), 12 * kMs);
  EXPECT_EQ(ReceiveArea[0], 0x99);
}

TEST_F(ExchangeTest, AcknowledgedSendTakesAStaleByteAsItsReply) {
  line(1).Arrive(port_.Now() - 1 * kMs, {0x34});
  AnswerWith({0x06});
  Transmit({0x22, 1, 2, 3, 4, 5});
  AcknowledgedSend(1, 6);
  EXPECT_EQ(ReceiveArea[0], 0x34);
  EXPECT_EQ(line(1).Queued(port_.Now() + 100 * kMs), 6u);  // the answers
}

TEST_F(ExchangeTest, CheckedExchangeRunsTimeoutsDrainWriteRead) {
  AnswerWith({0x34});
  Transmit({0x41});
  CheckedExchange(1, 1, 0x41);
  const std::vector<Call> kinds = {
      Call::kSetCommTimeouts, Call::kSetCommTimeouts, Call::kPurgeComm,
      Call::kReadFile,        Call::kWriteFile,       Call::kReadFile};
  ASSERT_EQ(port_.CallKinds(), kinds);
  EXPECT_EQ(port_.calls()[4].bytes, Bytes{0x41});
  EXPECT_EQ(port_.calls()[5].asked, 1u);
  EXPECT_EQ(ReceiveArea[0], 0x34);
}

struct SilentCase {
  std::uint32_t reply_length;
  std::int64_t read_ms;
};

TEST_F(ExchangeTest, CheckedExchangeOnSilenceKeepsPresetAndWaitsItsBound) {
  for (const SilentCase c : {SilentCase{1, 12}, SilentCase{4, 18}}) {
    std::memcpy(ReceiveArea, "\x11\x22\x33\x44", 4);
    port_.ClearCalls();
    const std::int64_t start = port_.Now();
    Transmit({0x41});
    CheckedExchange(1, c.reply_length, 0x41);
    EXPECT_EQ(ReceiveHead(4), (Bytes{0x41, 0x22, 0x33, 0x44}));
    EXPECT_EQ(port_.calls().back().Waited(), c.read_ms * kMs);
    EXPECT_EQ(port_.Now() - start, 12 * kMs + kByte9600 + c.read_ms * kMs);
  }
}

TEST_F(ExchangeTest, ShortOrGappedRepliesKeepTheOldBytes) {
  struct Case {
    const char* what;
    Bytes reply;
    std::int64_t spacing;
    Bytes area;
  } cases[] = {
      {"full", {5, 6, 7, 8}, kByte9600, {5, 6, 7, 8}},
      {"two bytes", {5, 6}, kByte9600, {5, 6, 3, 4}},
      // More than 10 ms after the first byte: the interval timer ends it.
      {"gap past the interval", {5, 6}, 11 * kMs, {5, 2, 3, 4}},
      {"gap within the interval", {5, 6}, 10 * kMs, {5, 6, 3, 4}},
  };
  for (const Case& c : cases) {
    std::memcpy(ReceiveArea, "\x01\x02\x03\x04", 4);
    line(1).on_byte = [&c](Line& l, std::int64_t at, std::uint8_t) {
      l.Arrive(at, c.reply, c.spacing);
    };
    Transmit({0x01});
    CheckedExchange(1, 4, std::nullopt);
    EXPECT_EQ(ReceiveHead(4), c.area) << c.what;
    port_.Advance(100 * kMs);
    link::DrainInput(1);  // what came late
  }
}

TEST_F(ExchangeTest, CheckedExchangeDiscardsAStaleByteFirst) {
  line(1).Arrive(port_.Now() - 1 * kMs, {0x34});  // from an earlier command
  Transmit({0x41});
  CheckedExchange(1, 1, 0x41);
  EXPECT_EQ(ReceiveArea[0], 0x41);
}

TEST_F(ExchangeTest, AGivenUpDrainSendsNothingAndKeepsThePreset) {
  line(1).Chatter(port_.Now(), kByte9600);
  ReceiveArea[1] = 0x77;
  Transmit({0x88});
  CheckedExchange(1, 1, 0x88);
  EXPECT_TRUE(port_.CallsOf(Call::kWriteFile).empty());
  EXPECT_TRUE(line(1).sent.empty());
  EXPECT_EQ(port_.calls().back().call, Call::kReadFile);
  EXPECT_EQ(ReceiveHead(2), (Bytes{0x88, 0x77}));
}

}  // namespace
}  // namespace pelcor::test
