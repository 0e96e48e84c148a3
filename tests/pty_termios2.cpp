// Apart from pty_support.cpp: <asm/termbits.h> cannot share a file with
// <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "pty_support.h"

namespace pelcor::test {

std::uint32_t LineSpeed(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

}  // namespace pelcor::test
