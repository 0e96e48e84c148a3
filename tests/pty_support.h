// Helpers for the tests that run the serial backend over pseudo-terminals:
// a bare terminal pair whose master side the test holds, the line speed as
// the kernel keeps it, and clocks for wall and CPU time.
#ifndef PELCOR_TESTS_PTY_SUPPORT_H
#define PELCOR_TESTS_PTY_SUPPORT_H

#include <cstdint>
#include <string>

namespace pelcor::test {

// A new pseudo-terminal; the test holds the master, nobody the slave.
class BarePty {
 public:
  BarePty();
  ~BarePty();
  BarePty(const BarePty&) = delete;
  BarePty& operator=(const BarePty&) = delete;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }
  // Closes the master: the slave side sees a hang-up, as when a USB adapter
  // is pulled.
  void CloseMaster();

 private:
  int master_ = -1;
  std::string slave_path_;
};

// The output speed in bits per second of the terminal behind `fd` (for a
// master: its slave's), from termios2, so that rates without a B constant
// show too. 0 when it cannot be read.
std::uint32_t LineSpeed(int fd);

// Milliseconds on the monotonic clock, and CPU time of the calling thread.
double NowMs();
double ThreadCpuMs();

// Points COMn at `path` for the library (PELCOR_COMn).
void PointPortAt(int port, const std::string& path);

}  // namespace pelcor::test

#endif
