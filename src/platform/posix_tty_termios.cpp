// Terminal settings through plain termios, for POSIX systems other than
// Linux. Where speed_t is the rate itself (the BSDs, macOS) any rate goes to
// the driver as it is; elsewhere only the rates that have a B constant.
#include <termios.h>

#include <cerrno>

#include "platform/posix_tty.h"

namespace pelcor::os::posix {

namespace {

struct StandardSpeed {
  std::uint32_t rate;
  speed_t code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},
    {150, B150},   {200, B200},     {300, B300},     {600, B600},
    {1200, B1200}, {1800, B1800},   {2400, B2400},   {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
};

constexpr bool kSpeedIsRate = B9600 == 9600 && B38400 == 38400;

// Where the speed lives in c_cflag, it is not part of TtyMode::cflag.
#ifdef CBAUD
constexpr tcflag_t kSpeedBits = CBAUD;
#else
constexpr tcflag_t kSpeedBits = 0;
#endif

bool CodeOf(std::uint32_t rate, speed_t* code) {
  if constexpr (kSpeedIsRate) {
    *code = static_cast<speed_t>(rate);
    return true;
  }
  for (const StandardSpeed& s : kStandardSpeeds) {
    if (s.rate == rate) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

std::uint32_t RateOf(speed_t code) {
  if constexpr (kSpeedIsRate) return static_cast<std::uint32_t>(code);
  for (const StandardSpeed& s : kStandardSpeeds) {
    if (s.code == code) return s.rate;
  }
  return 0;
}

}  // namespace

int GetTtyMode(int fd, TtyMode* mode) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return -1;
  mode->iflag = static_cast<std::uint32_t>(t.c_iflag);
  mode->oflag = static_cast<std::uint32_t>(t.c_oflag);
  mode->lflag = static_cast<std::uint32_t>(t.c_lflag);
  mode->cflag = static_cast<std::uint32_t>(t.c_cflag & ~kSpeedBits);
  mode->vmin = t.c_cc[VMIN];
  mode->vtime = t.c_cc[VTIME];
  mode->vstart = t.c_cc[VSTART];
  mode->vstop = t.c_cc[VSTOP];
  mode->speed = RateOf(cfgetospeed(&t));
  return 0;
}

int SetTtyMode(int fd, const TtyMode& mode) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return -1;
  speed_t code = 0;
  if (!CodeOf(mode.speed, &code)) {
    errno = EINVAL;
    return -1;
  }
  t.c_iflag = static_cast<tcflag_t>(mode.iflag);
  t.c_oflag = static_cast<tcflag_t>(mode.oflag);
  t.c_lflag = static_cast<tcflag_t>(mode.lflag);
  t.c_cflag = static_cast<tcflag_t>(mode.cflag) & ~kSpeedBits;
  t.c_cc[VMIN] = mode.vmin;
  t.c_cc[VTIME] = mode.vtime;
  t.c_cc[VSTART] = mode.vstart;
  t.c_cc[VSTOP] = mode.vstop;
  if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) return -1;
  return tcsetattr(fd, TCSANOW, &t);
}

void RequestLowLatency(int) {}

}  // namespace pelcor::os::posix
