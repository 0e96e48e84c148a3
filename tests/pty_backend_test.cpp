// The POSIX serial services on their own, over bare pseudo-terminals whose
// master side the test holds: what the library's calls cannot show from
// outside (error codes, signals, handles it never opened).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "platform/serial.h"
#include "pty_support.h"

namespace pelcor::test {
namespace {

using namespace pelcor::os;

constexpr COMMTIMEOUTS kLinkTimeouts = {10, 2, 10, 2, 10};

// What the library sets: 9600 8N1, DTR and RTS off, no flow control.
DCB LibraryDcb() {
  DCB d{};
  d.BaudRate = 9600;
  d.ByteSize = 8;
  return d;
}

// One port opened as the library opens it, closed at the end.
class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PointPortAt(1, pty_.slave_path());
    h_ = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, 0);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE) << std::strerror(errno);
    DCB d = LibraryDcb();
    ASSERT_TRUE(SetCommState(h_, &d));
    COMMTIMEOUTS t = kLinkTimeouts;
    ASSERT_TRUE(SetCommTimeouts(h_, &t));
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  void FromDevice(const std::string& bytes) {
    ASSERT_EQ(write(pty_.master(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    usleep(5000);  // through the terminal's buffer to the slave
  }

  BarePty pty_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Every call that takes a handle, with arguments that would succeed on an
// open port.
struct HandleCall {
  const char* name;
  std::function<BOOL(HANDLE)> call;
};

const HandleCall kHandleCalls[] = {
    {"GetCommState",
     [](HANDLE h) {
       DCB d{};
       return GetCommState(h, &d);
     }},
    {"SetCommState",
     [](HANDLE h) {
       DCB d = LibraryDcb();
       return SetCommState(h, &d);
     }},
    {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_CTS); }},
    {"SetupComm", [](HANDLE h) { return SetupComm(h, 100, 100); }},
    {"SetCommTimeouts",
     [](HANDLE h) {
       COMMTIMEOUTS t = kLinkTimeouts;
       return SetCommTimeouts(h, &t);
     }},
    {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
    {"WriteFile",
     [](HANDLE h) {
       DWORD n = 0;
       return WriteFile(h, "A", 1, &n, nullptr);
     }},
    {"ReadFile",
     [](HANDLE h) {
       char c;
       DWORD n = 0;
       return ReadFile(h, &c, 1, &n, nullptr);
     }},
    {"GetCommModemStatus",
     [](HANDLE h) {
       DWORD s = 0;
       return GetCommModemStatus(h, &s);
     }},
};

TEST(BackendHandles, HandlesNotOpenedHereAreRefusedAndLeftAlone) {
  // A host's pipe with a byte in it: a call that reached it would take the
  // byte, add one, or change its flags.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "h", 1), 1);
  const int flags = fcntl(fds[0], F_GETFL);
  for (const HandleCall& c : kHandleCalls) {
    for (HANDLE h : {HANDLE{fds[0]}, HANDLE{fds[1]}, HANDLE{-1},
                     HANDLE{INT_MAX} + 1}) {
      errno = 0;
      EXPECT_FALSE(c.call(h)) << c.name << " " << h;
      EXPECT_EQ(GetLastError(), DWORD{EBADF}) << c.name << " " << h;
    }
  }
  EXPECT_FALSE(CloseHandle(fds[1]));
  EXPECT_EQ(GetLastError(), DWORD{EBADF});
  EXPECT_EQ(fcntl(fds[0], F_GETFL), flags);
  char buf[4];
  EXPECT_EQ(read(fds[0], buf, sizeof buf), 1);  // the host's byte, alone
  close(fds[0]);
  close(fds[1]);
}

TEST(BackendNames, OnlyComOneToFourOpen) {
  BarePty pty;
  for (int port = 1; port <= 4; ++port) PointPortAt(port, pty.slave_path());
  for (const char* name : {"COM0", "COM5", "com1", "COM10", "COM", "", "X"}) {
    EXPECT_EQ(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, 0),
              INVALID_HANDLE_VALUE)
        << name;
    EXPECT_EQ(GetLastError(), DWORD{ENOENT}) << name;
  }
  PointPortAt(3, "/nonexistent/port");
  EXPECT_EQ(CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, 0, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ENOENT});
}

TEST_F(BackendTest, ExclusiveOpenRefusesAnotherLockerWithItsErrno) {
  EXPECT_EQ(CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, 0, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{EWOULDBLOCK});
  const int other = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  ASSERT_TRUE(CloseHandle(h_));
  h_ = INVALID_HANDLE_VALUE;
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // released with the close
  close(other);
}

TEST_F(BackendTest, ReadTakesNoMoreBytesThanAskedFor) {
  FromDevice("xyz");
  char buf[4] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h_, buf, 1, &n, nullptr));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 'x');
  ASSERT_TRUE(ReadFile(h_, buf, 2, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "yz");
}

TEST_F(BackendTest, PurgeDropsWhatHasCome) {
  FromDevice("stale");
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR));
  char c;
  DWORD n = 1;
  ASSERT_TRUE(ReadFile(h_, &c, 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
}

void OnAlarm(int) {}

TEST_F(BackendTest, SignalsNeitherCutNorStretchARead) {
  struct sigaction sa {};
  sa.sa_handler = OnAlarm;  // no SA_RESTART: poll sees EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  const itimerval every_2ms = {{0, 2000}, {0, 2000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every_2ms, nullptr), 0);
  char c;
  DWORD n = 1;
  const double start = NowMs();
  const BOOL ok = ReadFile(h_, &c, 1, &n, nullptr);
  const double waited = NowMs() - start;
  const itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_TRUE(ok);
  EXPECT_EQ(n, 0u);
  // One byte, nothing came: 2 + 10 ms from the start, however often the
  // wait was interrupted.
  EXPECT_GE(waited, 12.0);
  EXPECT_LT(waited, 100.0);
}

// A record that the terminal cannot take fails with EINVAL and leaves the
// line as it was, speed included.
TEST_F(BackendTest, RefusedSettingsLeaveTheLineAlone) {
  struct Case {
    const char* what;
    std::function<void(DCB&)> change;
  };
  const Case cases[] = {
      {"speed 0 (hang-up on a terminal)", [](DCB& d) { d.BaudRate = 0; }},
      {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
      {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
      {"7 data bits, which a pty does not keep",
       [](DCB& d) { d.ByteSize = 7; }},
      {"even parity, which a pty does not keep", [](DCB& d) { d.Parity = 2; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
      {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
      {"1.5 stop bits at 8 data bits", [](DCB& d) { d.StopBits = 1; }},
      {"DSR flow control", [](DCB& d) { d.fOutxDsrFlow = 1; }},
      {"DTR handshake", [](DCB& d) { d.fDtrControl = 2; }},
      {"RTS toggle", [](DCB& d) { d.fRtsControl = 3; }},
      {"null stripping", [](DCB& d) { d.fNull = 1; }},
  };
  DCB at_19200 = LibraryDcb();
  at_19200.BaudRate = 19200;
  ASSERT_TRUE(SetCommState(h_, &at_19200));
  termios before{};
  ASSERT_EQ(tcgetattr(pty_.master(), &before), 0);
  for (const Case& c : cases) {
    DCB d = at_19200;
    c.change(d);
    errno = 0;
    EXPECT_FALSE(SetCommState(h_, &d)) << c.what;
    EXPECT_EQ(GetLastError(), DWORD{EINVAL}) << c.what;
    termios after{};
    ASSERT_EQ(tcgetattr(pty_.master(), &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << c.what;
    EXPECT_EQ(LineSpeed(pty_.master()), 19200u) << c.what;
  }
}

// A pty has no modem lines: TIOCMBIC fails there, yet dropping DTR and RTS
// on a line that has none is done, so the settings are not refused for it.
TEST_F(BackendTest, SettingsTakeOnALineWithoutModemLines) {
  int lines = 0;
  ASSERT_NE(ioctl(pty_.master(), TIOCMGET, &lines), 0);
  DCB d = LibraryDcb();
  d.BaudRate = 31250;  // no B constant
  EXPECT_TRUE(SetCommState(h_, &d));
  EXPECT_EQ(LineSpeed(pty_.master()), 31250u);
  DCB read_back{};
  ASSERT_TRUE(GetCommState(h_, &read_back));
  EXPECT_EQ(read_back.BaudRate, 31250u);
  EXPECT_EQ(read_back.ByteSize, 8);
  EXPECT_EQ(read_back.Parity, NOPARITY);
  EXPECT_EQ(read_back.StopBits, ONESTOPBIT);
}

TEST_F(BackendTest, AGoneDeviceFailsEveryCallAtOnceUntilClosed) {
  pty_.CloseMaster();
  char c;
  DWORD n = 1;
  const double start = NowMs();
  EXPECT_FALSE(ReadFile(h_, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{EIO});
  EXPECT_EQ(n, 0u);
  for (const HandleCall& call : kHandleCalls) {
    errno = 0;
    EXPECT_FALSE(call.call(h_)) << call.name;
    EXPECT_EQ(GetLastError(), DWORD{EIO}) << call.name;
  }
  // Each of these would wait 12 ms or more on a live but silent line.
  EXPECT_LT(NowMs() - start, 12.0);
  EXPECT_TRUE(CloseHandle(h_));
  h_ = INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace pelcor::test
