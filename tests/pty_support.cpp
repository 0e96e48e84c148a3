#include "pty_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace pelcor::test {

BarePty::BarePty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  slave_path_ = name;
}

BarePty::~BarePty() { CloseMaster(); }

void BarePty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

double NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double ThreadCpuMs() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void PointPortAt(int port, const std::string& path) {
  char name[] = "PELCOR_COM0";
  name[10] = static_cast<char>('0' + port);
  setenv(name, path.c_str(), 1);
}

}  // namespace pelcor::test
