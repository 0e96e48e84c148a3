// Terminal settings on Linux through termios2, which carries the speed as a
// number: any rate the driver can make, not only the B constants.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/posix_tty.h"

namespace pelcor::os::posix {

namespace {

struct StandardSpeed {
  std::uint32_t rate;
  unsigned code;
};

// The rates that have a B constant keep it, so that tools that read the
// settings with plain termios (stty, the far end of a pseudo-terminal) see
// the usual value; any other rate goes as BOTHER with the number.
constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},
    {134, B134},         {150, B150},         {200, B200},
    {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

unsigned SpeedCode(std::uint32_t rate) {
  for (const StandardSpeed& s : kStandardSpeeds) {
    if (s.rate == rate) return s.code;
  }
  return BOTHER;
}

}  // namespace

int GetTtyMode(int fd, TtyMode* mode) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  mode->iflag = t.c_iflag;
  mode->oflag = t.c_oflag;
  mode->lflag = t.c_lflag;
  mode->cflag = t.c_cflag & ~(CBAUD | CIBAUD);
  mode->vmin = t.c_cc[VMIN];
  mode->vtime = t.c_cc[VTIME];
  mode->vstart = t.c_cc[VSTART];
  mode->vstop = t.c_cc[VSTOP];
  // The kernel keeps the number up to date for B constants too.
  mode->speed = t.c_ospeed;
  return 0;
}

int SetTtyMode(int fd, const TtyMode& mode) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  const unsigned code = SpeedCode(mode.speed);
  t.c_iflag = mode.iflag;
  t.c_oflag = mode.oflag;
  t.c_lflag = mode.lflag;
  t.c_cflag = (mode.cflag & ~(CBAUD | CIBAUD)) | code | (code << IBSHIFT);
  t.c_ispeed = mode.speed;
  t.c_ospeed = mode.speed;
  t.c_cc[VMIN] = mode.vmin;
  t.c_cc[VTIME] = mode.vtime;
  t.c_cc[VSTART] = mode.vstart;
  t.c_cc[VSTOP] = mode.vstop;
  return ioctl(fd, TCSETS2, &t);
}

void RequestLowLatency(int fd) {
  const int saved = errno;
  serial_struct s{};
  if (ioctl(fd, TIOCGSERIAL, &s) == 0 && !(s.flags & ASYNC_LOW_LATENCY)) {
    s.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &s);
  }
  errno = saved;
}

}  // namespace pelcor::os::posix
