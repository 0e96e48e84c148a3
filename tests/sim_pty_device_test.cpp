// The simulated device on a pseudo-terminal, driven through the slave side
// as a client would drive a serial port. These touch real time: they bound
// only what the device promises, with generous upper margins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/pty_device.h"

namespace pelcor::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{2000};  // a loaded 2-core machine

int OpenSlave(const PtyDevice& dev) {
  return ::open(dev.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

void WriteAll(int fd, const Bytes& b) {
  ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

// Reads until `n` bytes have come or `patience` has passed.
Bytes ReadBytes(int fd, std::size_t n, milliseconds patience = kPatience) {
  Bytes out;
  const auto deadline = Clock::now() + patience;
  while (out.size() < n) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::uint8_t buf[64];
    const ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

class PtyDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = std::make_unique<PtyDevice>(options_);
    dev_->SetTrace([this, started = dev_->started_at()](Clock::time_point at,
                                                        const Frame& f) {
      EXPECT_GE(at, started);
      std::lock_guard<std::mutex> lock(m_);
      frames_.push_back(f);
      cv_.notify_all();
    });
    fd_ = OpenSlave(*dev_);
    ASSERT_GE(fd_, 0) << dev_->slave_path();
  }
  void TearDown() override {
    dev_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  // Waits until the device has taken in `n` frames in all.
  bool WaitFrames(std::size_t n) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, kPatience, [&] { return frames_.size() >= n; });
  }
  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(m_);
    return frames_;
  }

  PtyDevice::Options options_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Frame> frames_;
  std::unique_ptr<PtyDevice> dev_;
  int fd_ = -1;
};

TEST_F(PtyDeviceTest, AnswersPingAndReadCountThroughTheSlave) {
  WriteAll(fd_, {0x41});
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0x34});
  dev_->Move(-2);
  WriteAll(fd_, {0x01});
  EXPECT_EQ(ReadBytes(fd_, 4), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  const std::vector<Frame> f = Frames();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].meaning, "ping");
  EXPECT_EQ(f[1].meaning, "read count -> -2");
  EXPECT_EQ(f[1].reply, (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST_F(PtyDeviceTest, SurvivesTheClientClosingAndReopening) {
  ::close(fd_);
  dev_->SendUnasked(0x7E);  // waits in the queue, as on a real port
  fd_ = OpenSlave(*dev_);
  ASSERT_GE(fd_, 0);
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0x7E});
  WriteAll(fd_, {0x88});
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0x45});
  EXPECT_TRUE(dev_->model()->index_enabled());
  EXPECT_TRUE(dev_->running());
}

TEST_F(PtyDeviceTest, TheEncoderMovesFromAnotherThreadWhileTheClientReads) {
  std::thread mover([this] {
    for (int i = 0; i < 1000; ++i) dev_->Move(1);
  });
  for (int i = 0; i < 20; ++i) {
    WriteAll(fd_, {0x01});
    ASSERT_EQ(ReadBytes(fd_, 4).size(), 4u);
  }
  mover.join();
  WriteAll(fd_, {0x01});
  EXPECT_EQ(ReadBytes(fd_, 4), (Bytes{0xE8, 0x03, 0, 0}));
  // No modem lines on a pty: the compare output is the model's.
  WriteAll(fd_, {0x66, 0x01, 0x44, 0xE9, 0x44, 0x03, 0x44, 0x00});
  ASSERT_TRUE(WaitFrames(21 + 4));
  EXPECT_FALSE(dev_->Cts());
  dev_->Move(1);
  EXPECT_TRUE(dev_->Cts());
}

TEST_F(PtyDeviceTest, ALateReplyComesNoSoonerThanItsDelay) {
  dev_->SetFaults({.late_ns = 60'000'000});
  const auto start = Clock::now();
  WriteAll(fd_, {0x41});
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0x34});
  EXPECT_GE(Clock::now() - start, milliseconds(60));
}

TEST_F(PtyDeviceTest, ChatterComesNoFasterThanOneByteTimeApart) {
  dev_->SetFaults({.chatter = true, .chatter_byte = 0xA5});
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0xA5});
  const auto first = Clock::now();
  EXPECT_EQ(ReadBytes(fd_, 29), Bytes(29, 0xA5));
  // 29 more bytes at 9600 bit/s; one byte time of slack for the first read.
  EXPECT_GE(Clock::now() - first,
            std::chrono::nanoseconds(28 * 10 * 1'000'000'000LL / 9600));
  dev_->SetFaults({});
}

TEST_F(PtyDeviceTest, EchoSilenceAndShortRepliesComeFromTheModel) {
  dev_->SetFaults({.echo = true});
  WriteAll(fd_, {0x41, 0x66, 0x04});
  EXPECT_EQ(ReadBytes(fd_, 3), (Bytes{0x41, 0x66, 0x04}));
  dev_->SetFaults({.silent = true});
  WriteAll(fd_, {0x41});
  ASSERT_TRUE(WaitFrames(3));
  dev_->SetFaults({.short_reply = 1});
  WriteAll(fd_, {0x01});
  // Had the silent device answered, 0x34 would come before this.
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0x00});
  ASSERT_TRUE(WaitFrames(4));
  EXPECT_EQ(Frames()[3].reply, Bytes{0x00});
}

class PtySpeedCheckTest : public PtyDeviceTest {
 protected:
  PtySpeedCheckTest() { options_.check_speed = true; }
  void SetSpeed(speed_t s) {
    termios t{};
    ASSERT_EQ(::tcgetattr(fd_, &t), 0);
    ::cfsetispeed(&t, s);
    ::cfsetospeed(&t, s);
    ASSERT_EQ(::tcsetattr(fd_, TCSANOW, &t), 0);
  }
};

TEST_F(PtySpeedCheckTest, AByteAtTheWrongSpeedIsLost) {
  SetSpeed(B19200);
  WriteAll(fd_, {0x41});
  ASSERT_TRUE(WaitFrames(1));  // taken in while the line is at 19200
  SetSpeed(B9600);
  WriteAll(fd_, {0x01});
  EXPECT_EQ(ReadBytes(fd_, 4), Bytes(4, 0));  // no 0x34 before it

  WriteAll(fd_, {0x77, 0x11});  // answered at 9600, then the device moves
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{kAcknowledge});
  SetSpeed(B19200);
  WriteAll(fd_, {0x41});
  EXPECT_EQ(ReadBytes(fd_, 1), Bytes{0x34});
  std::vector<FrameKind> kinds;
  for (const Frame& f : Frames()) kinds.push_back(f.kind);
  EXPECT_EQ(kinds,
            (std::vector<FrameKind>{FrameKind::kLost, FrameKind::kReadCount,
                                    FrameKind::kSpeed, FrameKind::kPing}));
}

TEST_F(PtyDeviceTest, WhenTheDeviceVanishesTheSlaveHangsUp) {
  WriteAll(fd_, {0x41});
  ASSERT_EQ(ReadBytes(fd_, 1), Bytes{0x34});
  dev_->Vanish();
  EXPECT_FALSE(dev_->running());
  pollfd p = {fd_, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, static_cast<int>(kPatience.count())), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  std::uint8_t b;
  EXPECT_LE(::read(fd_, &b, 1), 0);
  const int again = OpenSlave(*dev_);
  EXPECT_LT(again, 0) << "the terminal is gone";
  if (again >= 0) ::close(again);
  dev_->Stop();  // after Vanish, still clean
}

}  // namespace
}  // namespace pelcor::sim
