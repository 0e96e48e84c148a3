// The simulated device at the far end of a scripted line: bytes reach it as
// they leave the PC, and its replies come back one byte time apart on the
// virtual clock.
#include <gtest/gtest.h>

#include "far_end_device.h"

namespace pelcor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kByte9600 = 10 * 1'000'000'000LL / 9600;
constexpr std::int64_t kByte19200 = 10 * 1'000'000'000LL / 19200;

class FarEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = os::CreateFileA("COM1", os::GENERIC_READ | os::GENERIC_WRITE, 0,
                              nullptr, os::OPEN_EXISTING, 0, 0);
    ASSERT_NE(handle_, os::INVALID_HANDLE_VALUE);
    os::COMMTIMEOUTS t = {10, 2, 10, 2, 10};
    ASSERT_TRUE(os::SetCommTimeouts(handle_, &t));
    port_.Advance(1000 * kMs);
  }
  void Write(const Bytes& bytes) {
    os::DWORD n = 0;
    ASSERT_TRUE(os::WriteFile(handle_, bytes.data(),
                              static_cast<os::DWORD>(bytes.size()), &n,
                              nullptr));
    ASSERT_EQ(n, bytes.size());
  }
  // Reads under the timeouts; gives what came.
  Bytes Read(os::DWORD n) {
    Bytes b(n);
    os::DWORD got = 0;
    EXPECT_TRUE(os::ReadFile(handle_, b.data(), n, &got, nullptr));
    b.resize(got);
    return b;
  }
  void SetBaud(os::DWORD baud) {
    os::DCB dcb{};
    dcb.BaudRate = baud;
    ASSERT_TRUE(os::SetCommState(handle_, &dcb));
  }
  os::DWORD ModemStatus() {
    os::DWORD s = 0;
    EXPECT_TRUE(os::GetCommModemStatus(handle_, &s));
    return s;
  }
  Line& line() { return port_.line("COM1"); }

  ScriptedPort port_;
  FarEndDevice far_{port_};
  os::HANDLE handle_ = 0;
};

TEST_F(FarEndTest, TheCountComesBackOneByteTimeAfterTheCommandLeft) {
  far_.device().Move(300);
  Write({0x01});
  const std::int64_t left = line().sent_at.at(0);
  EXPECT_EQ(line().Queued(left + kByte9600 - 1), 0u);
  EXPECT_EQ(line().Queued(left + kByte9600), 1u);
  EXPECT_EQ(Read(4), (Bytes{0x2C, 0x01, 0x00, 0x00}));
  EXPECT_EQ(port_.Now(), left + 4 * kByte9600);
  ASSERT_EQ(far_.frames().size(), 1u);
  EXPECT_EQ(far_.frames()[0].at_ns, left);
  EXPECT_EQ(far_.frames()[0].frame.meaning, "read count -> 300");
}

TEST_F(FarEndTest, ALateDeviceStartsItsReplyThatMuchLater) {
  far_.SetFaults({.late_ns = 7 * kMs});
  Write({0x41});
  const std::int64_t left = line().sent_at.at(0);
  EXPECT_EQ(Read(1), Bytes{0x34});
  EXPECT_EQ(port_.Now(), left + 7 * kMs + kByte9600);
}

TEST_F(FarEndTest, RepliesQueueBehindEachOther) {
  far_.SetFaults({.echo = true});
  Write({0x66, 0x04, 0x41});  // written back to back: echoes back to back
  const std::int64_t first = line().sent_at.at(0);
  EXPECT_EQ(Read(3), (Bytes{0x66, 0x04, 0x41}));
  EXPECT_EQ(port_.Now(), first + 3 * kByte9600);

  // Two pings in one write, the device four byte times late: the second
  // reply follows the first, one byte time after it.
  far_.SetFaults({.late_ns = 4 * kByte9600});
  Write({0x41, 0x41});
  const std::int64_t left = line().sent_at.at(3);
  EXPECT_EQ(Read(2), (Bytes{0x34, 0x34}));
  EXPECT_EQ(port_.Now(), left + 4 * kByte9600 + 2 * kByte9600);
}

TEST_F(FarEndTest, ASpeedChangeIsAnsweredAtTheOldSpeedAndAMismatchCutsTheLink) {
  Write({0x77, 0x11});
  const std::int64_t left = line().sent_at.at(1);
  EXPECT_EQ(Read(1), Bytes{sim::kAcknowledge});
  EXPECT_EQ(port_.Now(), left + kByte9600);
  EXPECT_EQ(far_.device().baud(), 19200u);

  // The PC still at 9600: lost, nothing comes back.
  Write({0x41});
  EXPECT_TRUE(Read(1).empty());
  EXPECT_EQ(far_.frames().back().frame.kind, sim::FrameKind::kLost);
  EXPECT_EQ(far_.device().pending(), 0u);

  SetBaud(19200);
  Write({0x01});
  const std::int64_t now_left = line().sent_at.back();
  EXPECT_EQ(Read(4), Bytes(4, 0));
  EXPECT_EQ(port_.Now(), now_left + 4 * kByte19200);
}

TEST_F(FarEndTest, CtsFollowsTheCompareOutputAndLeavesOtherBitsAlone) {
  line().modem_status = 0x20 | os::MS_CTS_ON;  // DSR; a stale CTS bit
  Write({0x66, 0x01, 0x44, 0x64, 0x44, 0x00, 0x44, 0x00});  // compare 100
  EXPECT_EQ(ModemStatus(), 0x20u);
  far_.device().Move(100);
  EXPECT_EQ(ModemStatus(), 0x20u | os::MS_CTS_ON);
  far_.device().Move(-1);
  EXPECT_EQ(ModemStatus(), 0x20u);
}

TEST_F(FarEndTest, ChatterAndUnaskedBytesArriveWhenSaid) {
  const std::int64_t now = port_.Now();
  far_.SendUnasked(now + 3 * kMs, 0x7E);
  EXPECT_EQ(line().Queued(now + 3 * kMs - 1), 0u);
  EXPECT_EQ(line().Queued(now + 3 * kMs), 1u);

  // Chatter from now: a byte every byte time, the unasked one among them.
  far_.SetFaults({.chatter = true, .chatter_byte = 0xA5});
  EXPECT_EQ(line().Queued(now + 10 * kByte9600), 11u + 1u);
  port_.Advance(5 * kMs);
  EXPECT_EQ(Read(4), (Bytes{0xA5, 0xA5, 0xA5, 0x7E}));
}

}  // namespace
}  // namespace pelcor::test
