// The terminal settings that the POSIX serial backend reads and writes, with
// the speed as a plain number of bits per second. Two implementations sit
// behind this: termios2 on Linux (any speed, standard or not) and plain
// termios elsewhere. They are separate files because <asm/termbits.h>, which
// termios2 needs, cannot share a file with <termios.h>.
//
// The flag words hold the values of <termios.h>; on Linux these are the
// kernel's own, since the C library passes them through unchanged.
#ifndef PELCOR_PLATFORM_POSIX_TTY_H
#define PELCOR_PLATFORM_POSIX_TTY_H

#include <cstdint>

namespace pelcor::os::posix {

struct TtyMode {
  std::uint32_t iflag, oflag, lflag;
  std::uint32_t cflag;  // without the speed bits
  std::uint8_t vmin, vtime, vstart, vstop;
  std::uint32_t speed;  // bits per second, input and output alike
};

// Both return 0, or -1 with errno set. Control characters other than the
// four above are left as they are. SetTtyMode applies at once (TCSANOW); a
// speed the platform cannot express fails with EINVAL and changes nothing.
int GetTtyMode(int fd, TtyMode* mode);
int SetTtyMode(int fd, const TtyMode& mode);

// Asks the driver to hand received bytes on at once instead of batching
// them (USB adapters hold bytes back up to 16 ms by default, longer than a
// reply's quiet time). Quietly does nothing where the driver has no such
// setting; errno is kept.
void RequestLowLatency(int fd);

}  // namespace pelcor::os::posix

#endif
