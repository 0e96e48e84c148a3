// libpelcor.so through its exported functions, with COMn pointed at the
// slave side of pseudo-terminals: the simulated device on the master side,
// or a bare terminal whose master the test reads. These touch real time:
// each bounds what the library promises from below, with a generous upper
// margin for a loaded machine. Lines starting "[timing]" report what was
// seen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelcor.h"
#include "pty_support.h"
#include "sim/pty_device.h"

namespace pelcor::test {
namespace {

using sim::PtyDevice;
using Clock = std::chrono::steady_clock;

constexpr double kGenerousMs = 500;  // upper bound for a loaded machine
constexpr int32_t kPtyNoModemLines = ENOTTY;

void ReportTiming(const std::string& what, double ms) {
  std::printf("[timing] %s: %.2f ms\n", what.c_str(), ms);
}

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Frames as the device saw them, in hex; a byte lost to a speed mismatch
// shows as "lost 41".
std::string Seen(const sim::Frame& f) {
  return (f.kind == sim::FrameKind::kLost ? "lost " : "") + sim::Hex(f.bytes);
}

class PtyLibraryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int p = 1; p <= 4; ++p) CloseComm(p);
  }

  // A simulated device on port `port`'s line, not yet opened.
  PtyDevice& Attach(int port, PtyDevice::Options options = {}) {
    auto& dev = devices_[port - 1];
    dev = std::make_unique<PtyDevice>(options);
    PointPortAt(port, dev->slave_path());
    dev->SetTrace([this](Clock::time_point at, const sim::Frame& f) {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(Seen(f));
      frame_times_.push_back(at);
      arrived_.notify_all();
    });
    return *dev;
  }

  // The frames seen since the last call, once there are `n` of them (or
  // what came within the patience), with the times the device took them in.
  std::vector<std::string> TakeFrames(
      std::size_t n, std::vector<Clock::time_point>* at = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(2),
                      [&] { return frames_.size() >= n; });
    std::vector<std::string> out;
    out.swap(frames_);
    if (at != nullptr) *at = frame_times_;
    frame_times_.clear();
    return out;
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> frames_;
  std::vector<Clock::time_point> frame_times_;
  std::unique_ptr<PtyDevice> devices_[4];  // last: stopped first
};

// --- Each export's main path --------------------------------------------

struct Step {
  const char* what;
  std::function<int32_t()> call;
  int32_t result;
  std::vector<std::string> frames;  // what the device took in
  std::function<bool(const sim::CounterDevice&)> model_holds;
};

TEST_F(PtyLibraryTest, EveryExportWorksEndToEnd) {
  // With check_speed a byte sent at a speed other than the device's is lost,
  // so the speed steps show on the line.
  PtyDevice& dev = Attach(1, {.check_speed = true});
  ASSERT_EQ(InitComm(1), 0);
  const Step steps[] = {
      {"Ping", [] { return Ping(1); }, 1, {"41"}, nullptr},
      {"EnableIndex", [] { return EnableIndex(1); }, 0, {"88"},
       [](auto& m) { return m.index_enabled(); }},
      {"DisableIndex", [] { return DisableIndex(1); }, 0, {"99"},
       [](auto& m) { return !m.index_enabled(); }},
      {"SetPosition 300", [] { return SetPosition(1, 300); }, 0,
       {"66 04", "66 01", "44 2C", "44 01", "44 00", "66 08"},
       [](auto& m) { return m.count() == 300; }},
      {"ReadPosition", [] { return ReadPosition(1); }, 300, {"01"}, nullptr},
      {"SetCompare -1", [] { return SetCompare(1, -1); }, 0,
       {"66 01", "44 FF", "44 FF", "44 FF"},
       [](auto& m) { return m.compare_value() == -1; }},
      {"SetMultiplier 4", [] { return SetMultiplier(1, 4); }, 0, {"66 C3"},
       [](auto& m) { return m.multiplier() == 4; }},
      {"ResetCounter", [] { return ResetCounter(1); }, 0, {"66 04"},
       [](auto& m) { return m.count() == 0; }},
      {"Initialize 0x105, 0x0A0B0C0D",
       [] { return Initialize(1, 0x105, 0x0A0B0C0D); }, 0,
       {"22 05 0D 0C 0B 0A"},
       [](auto& m) {
         return m.setup_byte() == 0x05 && m.setup_value() == 0x0A0B0C0D;
       }},
      {"ChangeBaud 19200", [] { return ChangeBaud(1, 19200); }, 0, {"77 11"},
       [](auto& m) { return m.baud() == 19200; }},
      {"Ping at 19200", [] { return Ping(1); }, 1, {"41"}, nullptr},
      {"ChangeLocalBaudRate 9600", [] { return ChangeLocalBaudRate(1, 9600); },
       0, {}, nullptr},
      {"Ping at 9600, device at 19200", [] { return Ping(1); }, 0,
       {"lost 41"}, nullptr},
      {"ChangeLocalBaudRate 19200",
       [] { return ChangeLocalBaudRate(1, 19200); }, 0, {}, nullptr},
      {"ReadPosition at 19200", [] { return ReadPosition(1); }, 0, {"01"},
       nullptr},
      {"CloseComm", [] { return CloseComm(1); }, 0, {}, nullptr},
      {"InitComm again", [] { return InitComm(1); }, 0, {}, nullptr},
      {"ChangeBaud 9600 from 9600, device at 19200",
       [] { return ChangeBaud(1, 9600); }, 0, {"lost 77", "lost 12"},
       nullptr},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(s.call(), s.result) << s.what;
    EXPECT_EQ(TakeFrames(s.frames.size()), s.frames) << s.what;
    if (s.model_holds) {
      EXPECT_TRUE(s.model_holds(*dev.model())) << s.what;
    }
  }
}

TEST_F(PtyLibraryTest, PassedCompareOnAPtyPassesTheErrnoThrough) {
  BarePty pty;
  PointPortAt(1, pty.slave_path());
  ASSERT_EQ(InitComm(1), 0);
  // What the terminal itself says when asked for its modem lines.
  const int probe = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(probe, 0);
  int lines = 0;
  ASSERT_NE(ioctl(probe, TIOCMGET, &lines), 0);
  const int32_t expected = errno;
  close(probe);
  ASSERT_EQ(expected, kPtyNoModemLines);
  EXPECT_EQ(PassedCompare(1), expected);
  EXPECT_EQ(PassedCompare(1), expected);
}

// --- Line settings as the master side reads them ------------------------

// What is not raw 8N1 without flow control in a terminal's settings.
std::string NotRaw(const termios& t) {
  std::string out;
  auto check = [&](bool bad, const char* what) {
    if (bad) out += std::string(what) + " ";
  };
  check(t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                     ICRNL | IXON | IXOFF | IXANY | INPCK),
        "iflag");
  check(t.c_oflag & OPOST, "OPOST");
  check(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), "lflag");
  check((t.c_cflag & CSIZE) != CS8, "not CS8");
  check(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL),
        "parity/stop/flow/hupcl");
  check((t.c_cflag & (CLOCAL | CREAD)) != (CLOCAL | CREAD), "CLOCAL|CREAD");
  check(t.c_cc[VMIN] != 0 || t.c_cc[VTIME] != 0, "VMIN/VTIME");
  return out;
}

TEST_F(PtyLibraryTest, LineSettingsAsTheMasterSeesThem) {
  BarePty line1, line2;
  PointPortAt(1, line1.slave_path());
  PointPortAt(2, line2.slave_path());
  struct Row {
    const char* what;
    std::function<int32_t()> call;
    int32_t result;
    std::uint32_t speed1, speed2;  // 0: port not open yet
  };
  const Row rows[] = {
      {"InitComm(1)", [] { return InitComm(1); }, 0, 9600, 0},
      {"ChangeLocalBaudRate(1, 19200)",
       [] { return ChangeLocalBaudRate(1, 19200); }, 0, 19200, 0},
      {"InitComm(2)", [] { return InitComm(2); }, 0, 19200, 9600},
      {"ChangeLocalBaudRate(2, 4800)",
       [] { return ChangeLocalBaudRate(2, 4800); }, 0, 19200, 4800},
      {"ChangeLocalBaudRate(1, 250000), no B constant",
       [] { return ChangeLocalBaudRate(1, 250000); }, 0, 250000, 4800},
      {"ChangeLocalBaudRate(1, 0), refused by the port",
       [] { return ChangeLocalBaudRate(1, 0); }, 0, 250000, 4800},
  };
  termios fresh{};
  ASSERT_EQ(tcgetattr(line1.master(), &fresh), 0);
  ASSERT_NE(NotRaw(fresh), "");  // a new terminal is cooked
  for (const Row& r : rows) {
    EXPECT_EQ(r.call(), r.result) << r.what;
    for (auto [line, speed] : {std::pair{&line1, r.speed1}, {&line2, r.speed2}}) {
      if (speed == 0) continue;
      termios t{};
      ASSERT_EQ(tcgetattr(line->master(), &t), 0);
      EXPECT_EQ(NotRaw(t), "") << r.what;
      EXPECT_EQ(LineSpeed(line->master()), speed) << r.what;
    }
  }
}

// --- Timing of a device that does not answer ------------------------------

TEST_F(PtyLibraryTest, ASilentDeviceCostsTheReadTimeouts) {
  Attach(1);
  ASSERT_EQ(InitComm(1), 0);
  ASSERT_EQ(SetPosition(1, 1234), 0);
  ASSERT_EQ(ReadPosition(1), 1234);
  devices_[0]->SetFaults({.silent = true});
  struct Row {
    const char* what;
    std::function<int32_t()> call;
    int32_t result;
    double at_least_ms;  // drain 12, then 12 for one byte, 18 for four
  };
  const Row rows[] = {
      // The count bytes that do not come keep what the last read left.
      {"ReadPosition", [] { return ReadPosition(1); }, 1234, 30},
      {"Ping", [] { return Ping(1); }, 0, 24},
      {"EnableIndex", [] { return EnableIndex(1); }, 1, 24},
      {"DisableIndex", [] { return DisableIndex(1); }, 1, 24},
      {"SetMultiplier", [] { return SetMultiplier(1, 2); }, 0, 12},
      {"Initialize", [] { return Initialize(1, 1, 2); }, 0, 12},
      {"ChangeBaud", [] { return ChangeBaud(1, 9600); }, 0, 12},
  };
  for (const Row& r : rows) {
    const double start = NowMs();
    EXPECT_EQ(r.call(), r.result) << r.what;
    const double took = NowMs() - start;
    ReportTiming(std::string("silent ") + r.what, took);
    EXPECT_GE(took, r.at_least_ms) << r.what;
    EXPECT_LT(took, kGenerousMs) << r.what;
  }
}

// --- Draining stale input ---------------------------------------------------

TEST_F(PtyLibraryTest, DrainReadsThroughChatterUntilTheLineIsQuiet) {
  PtyDevice& dev = Attach(1);
  ASSERT_EQ(InitComm(1), 0);
  constexpr auto kChatterFor = std::chrono::milliseconds(60);
  dev.SetFaults({.chatter = true});
  Clock::time_point quiet_from;
  std::thread stopper([&] {
    std::this_thread::sleep_for(kChatterFor);
    // Taken before the stop: a delay in this thread after it must not
    // shorten the quiet time measured.
    quiet_from = Clock::now();
    dev.SetFaults({});
  });
  const double start = NowMs();
  const int32_t answered = Ping(1);
  const double took = NowMs() - start;
  stopper.join();
  EXPECT_EQ(answered, 1);
  std::vector<Clock::time_point> at;
  ASSERT_EQ(TakeFrames(1, &at), std::vector<std::string>{"41"});
  const double quiet_ms = MsBetween(quiet_from, at[0]);
  ReportTiming("Ping through 60 ms of chatter", took);
  ReportTiming("quiet line before the ping went out", quiet_ms);
  // The ping went out once the line had been quiet 12 ms, less up to one
  // chatter byte time (about 1 ms) by which the last byte may precede the
  // stop.
  EXPECT_GE(quiet_ms, 12 - 1.5);
  EXPECT_LT(took, 60 + kGenerousMs);
}

TEST_F(PtyLibraryTest, EndlessChatterEndsTheDrainAfter250Ms) {
  PtyDevice& dev = Attach(1);
  ASSERT_EQ(InitComm(1), 0);
  ASSERT_EQ(SetPosition(1, 4321), 0);
  ASSERT_EQ(ReadPosition(1), 4321);
  TakeFrames(7);
  dev.SetFaults({.chatter = true});
  struct Row {
    const char* what;
    std::function<int32_t()> call;
    int32_t result;  // nothing was sent, so nothing answered
  };
  const Row rows[] = {
      {"ReadPosition", [] { return ReadPosition(1); }, 4321},
      {"Ping", [] { return Ping(1); }, 0},
  };
  for (const Row& r : rows) {
    const double start = NowMs();
    EXPECT_EQ(r.call(), r.result) << r.what;
    const double took = NowMs() - start;
    ReportTiming(std::string(r.what) + " in endless chatter", took);
    EXPECT_GE(took, 250.0) << r.what;
    EXPECT_LT(took, 250.0 + kGenerousMs) << r.what;
  }
  dev.SetFaults({});
  EXPECT_EQ(TakeFrames(0), std::vector<std::string>{});
}

// --- Ports held by someone else ------------------------------------------

// Another process that opens `path` through its own copy of the library (as
// its COM4) and holds it until this object goes.
class OtherProcess {
 public:
  explicit OtherProcess(const std::string& path) {
    int result[2], release[2];
    if (pipe(result) != 0 || pipe(release) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(result[0]);
      close(release[1]);
      PointPortAt(4, path);
      const int32_t r = InitComm(4);
      if (write(result[1], &r, sizeof r) != sizeof r) _exit(1);
      char c;
      while (read(release[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(result[1]);
    close(release[0]);
    release_ = release[1];
    if (read(result[0], &init_comm_, sizeof init_comm_) != sizeof init_comm_) {
      init_comm_ = -1;
    }
    close(result[0]);
  }
  ~OtherProcess() {
    close(release_);
    waitpid(pid_, nullptr, 0);
  }
  int32_t init_comm() const { return init_comm_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  int32_t init_comm_ = -1;
};

// Another open file of this process that takes the port's lock, as another
// library loaded beside this one would.
class OtherOpenFile {
 public:
  explicit OtherOpenFile(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    locked_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~OtherOpenFile() {
    if (fd_ >= 0) close(fd_);
  }
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

TEST_F(PtyLibraryTest, APortHeldElsewhereDoesNotOpen) {
  ASSERT_EQ(geteuid(), 0u) << "the point is that root is kept off too";
  Attach(1);
  const std::string path = devices_[0]->slave_path();
  {
    OtherProcess other(path);
    ASSERT_EQ(other.init_comm(), 0);
    EXPECT_EQ(InitComm(1), 1) << "held by another process's library";
  }
  {
    OtherOpenFile other(path);
    ASSERT_TRUE(other.locked());
    EXPECT_EQ(InitComm(1), 1) << "locked by another open file";
  }
  // Both let go: the port opens and works.
  ASSERT_EQ(InitComm(1), 0);
  EXPECT_EQ(Ping(1), 1);
}

TEST_F(PtyLibraryTest, APortThisLibraryHoldsStaysOnItsFirstHandle) {
  Attach(1);
  const std::string path = devices_[0]->slave_path();
  ASSERT_EQ(InitComm(1), 0);
  EXPECT_EQ(InitComm(1), 1);
  EXPECT_EQ(Ping(1), 1);
  {
    OtherProcess other(path);
    EXPECT_EQ(other.init_comm(), 1) << "another process, as root";
  }
  EXPECT_FALSE(OtherOpenFile(path).locked());
  EXPECT_EQ(Ping(1), 1);
  EXPECT_EQ(CloseComm(1), 0);
  EXPECT_TRUE(OtherOpenFile(path).locked());  // let go with the close
}

// --- A device that goes away ---------------------------------------------

TEST_F(PtyLibraryTest, APulledDeviceEndsTheCallAndLaterCallsFailFast) {
  PtyDevice& dev = Attach(1);
  ASSERT_EQ(InitComm(1), 0);
  ASSERT_EQ(SetPosition(1, 77), 0);
  ASSERT_EQ(ReadPosition(1), 77);
  TakeFrames(7);
  // The device takes the read command in, then is unplugged before it
  // answers, while the library waits for the count.
  dev.SetFaults({.silent = true});
  std::thread puller([&] {
    TakeFrames(1);
    dev.Vanish();
  });
  const double cpu_start = ThreadCpuMs();
  const double start = NowMs();
  const int32_t count = ReadPosition(1);
  const double took = NowMs() - start;
  const double cpu = ThreadCpuMs() - cpu_start;
  puller.join();
  ReportTiming("ReadPosition with the device pulled mid-read, wall", took);
  ReportTiming("ReadPosition with the device pulled mid-read, CPU", cpu);
  EXPECT_EQ(count, 77);  // the bytes that never came keep the last read's
  EXPECT_LT(took, kGenerousMs);
  EXPECT_LT(cpu, 5.0) << "spun instead of waiting";

  // Every later call fails without waiting out a timeout (a silent but
  // present device costs 12 ms or more for each of the first seven).
  struct Row {
    const char* what;
    std::function<int32_t()> call;
    int32_t result;
  };
  const Row rows[] = {
      {"ReadPosition", [] { return ReadPosition(1); }, 77},
      {"Ping", [] { return Ping(1); }, 0},
      {"EnableIndex", [] { return EnableIndex(1); }, 1},
      {"DisableIndex", [] { return DisableIndex(1); }, 1},
      {"SetMultiplier", [] { return SetMultiplier(1, 1); }, 0},
      {"Initialize", [] { return Initialize(1, 1, 2); }, 0},
      {"ChangeBaud", [] { return ChangeBaud(1, 19200); }, 0},
      {"ResetCounter", [] { return ResetCounter(1); }, 0},
      {"SetPosition", [] { return SetPosition(1, 5); }, 0},
      {"SetCompare", [] { return SetCompare(1, 5); }, 0},
      {"ChangeLocalBaudRate", [] { return ChangeLocalBaudRate(1, 9600); }, 0},
      {"PassedCompare", [] { return PassedCompare(1); }, EIO},
  };
  double slowest = 0;
  for (const Row& r : rows) {
    const double begin = NowMs();
    EXPECT_EQ(r.call(), r.result) << r.what;
    const double t = NowMs() - begin;
    slowest = std::max(slowest, t);
    EXPECT_LT(t, 12.0) << r.what;
  }
  ReportTiming("slowest call on the pulled port", slowest);
  EXPECT_EQ(CloseComm(1), 0);
  EXPECT_EQ(InitComm(1), 1);  // the terminal is gone
}

// --- A closed port's descriptor number in the host's hands -----------------

std::string ReadWhole(int fd) {
  std::string out(64, '\0');
  const ssize_t n = pread(fd, out.data(), out.size(), 0);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

TEST_F(PtyLibraryTest, AClosedPortLeavesTheHostsFileOnItsNumberAlone) {
  BarePty pty;
  PointPortAt(1, pty.slave_path());
  // The descriptor the library will get is the lowest free one.
  const int expected_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(expected_fd, 0);
  close(expected_fd);
  ASSERT_EQ(InitComm(1), 0);
  char link[256] = {};
  ASSERT_GT(readlink(("/proc/self/fd/" + std::to_string(expected_fd)).c_str(),
                     link, sizeof link - 1),
            0);
  ASSERT_EQ(std::string(link), pty.slave_path());
  ASSERT_EQ(CloseComm(1), 0);

  // The host's file takes the old number.
  char name[] = "/tmp/pelcor-host-file-XXXXXX";
  const int file = mkstemp(name);
  ASSERT_GE(file, 0);
  unlink(name);
  const std::string content = "the host's own data\n";
  ASSERT_EQ(write(file, content.data(), content.size()),
            static_cast<ssize_t>(content.size()));
  ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
  if (file != expected_fd) {
    ASSERT_EQ(dup2(file, expected_fd), expected_fd);
    close(file);
  }
  const int flags = fcntl(expected_fd, F_GETFL);

  const std::function<int32_t()> calls[] = {
      [] { return ReadPosition(1); },
      [] { return ResetCounter(1); },
      [] { return Initialize(1, 1, 2); },
      [] { return SetMultiplier(1, 1); },
      [] { return SetPosition(1, 5); },
      [] { return Ping(1); },
      [] { return SetCompare(1, 5); },
      [] { return PassedCompare(1); },
      [] { return EnableIndex(1); },
      [] { return DisableIndex(1); },
      [] { return ChangeLocalBaudRate(1, 19200); },
      [] { return ChangeBaud(1, 19200); },
      [] { return CloseComm(1); },
  };
  for (const auto& call : calls) call();

  EXPECT_EQ(ReadWhole(expected_fd), content);  // nothing written
  EXPECT_EQ(lseek(expected_fd, 0, SEEK_CUR), 0);  // nothing read
  EXPECT_EQ(fcntl(expected_fd, F_GETFL), flags);
  EXPECT_EQ(flock(expected_fd, LOCK_EX | LOCK_NB), 0);
  close(expected_fd);
}

}  // namespace
}  // namespace pelcor::test
