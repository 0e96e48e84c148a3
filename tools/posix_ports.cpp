// Port names and error words on POSIX systems. The library opens COMn as
// the path in PELCOR_COMn when it is set, else /dev/ttyS(n-1); when it fails
// it says only 1 or 8, so the reason is found by trying the path again here.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace pelcor::cli {

namespace {

std::string Variable(int port) { return "PELCOR_COM" + std::to_string(port); }

std::string PathOf(int port) {
  const char* path = std::getenv(Variable(port).c_str());
  if (path != nullptr && *path != '\0') return path;
  return "/dev/ttyS" + std::to_string(port - 1);
}

bool FromVariable(int port) {
  const char* path = std::getenv(Variable(port).c_str());
  return path != nullptr && *path != '\0';
}

std::string HowToPoint(int port) {
  return FromVariable(port)
             ? "Check the path in " + Variable(port) +
                   " (`pelcor sim` prints the one of its device)."
             : "Set " + Variable(port) +
                   " to the device's path, e.g. /dev/ttyUSB0, or to the path "
                   "that `pelcor sim` prints.";
}

}  // namespace

std::string PortPlace(int port) {
  return PathOf(port) +
         (FromVariable(port) ? " (from " + Variable(port) + ")" : "");
}

std::string WhyNotOpened(int port) {
  const std::string path = PathOf(port);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return PortPlace(port) + ": " + std::strerror(errno) + ". " +
           HowToPoint(port);
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int e = errno;
    if (e == EACCES || e == EPERM) {
      return path + ": " + std::strerror(e) +
             ". You need read and write access: see `ls -l " + path +
             "` (serial ports usually belong to the group dialout: `sudo "
             "usermod -aG dialout $USER`, then log in again).";
    }
    if (e == EBUSY) {
      return path + ": " + std::strerror(e) +
             ". Another program holds it for exclusive use; close that "
             "program first.";
    }
    return path + ": " + std::strerror(e) + ".";
  }
  std::string why;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    why = path +
          " is locked by another program (a terminal program, another "
          "pelcor, ModemManager?); close that program first.";
  } else {
    why = path +
          " opens now; another program may have held it a moment ago. Try "
          "again.";
  }
  ::close(fd);
  return why;
}

std::string WhyNotSetUp(int port) {
  const std::string path = PathOf(port);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  bool terminal = false;
  if (fd >= 0) {
    terminal = ::isatty(fd) != 0;
    ::close(fd);
  }
  if (!terminal) {
    return PortPlace(port) + " is not a serial port. " + HowToPoint(port);
  }
  return "The driver of " + PortPlace(port) +
         " refused those settings; is it a serial port that can run at "
         "9600 bit/s?";
}

std::string OsErrorText(std::int32_t code) {
  return "error " + std::to_string(code) + " (" + std::strerror(code) + ")";
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) != 0; }

std::string NoModemStatusHint(int port) {
  const std::string path = PathOf(port);
  if (path.rfind("/dev/pts/", 0) == 0) {
    return path +
           " is a pseudo-terminal, which has no modem lines: `pelcor sim` "
           "prints its compare output in its own trace instead.";
  }
  return "";
}

}  // namespace pelcor::cli
