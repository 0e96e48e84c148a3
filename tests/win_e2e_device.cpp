// The simulated device on a pseudo-terminal, for the end-to-end test under
// Wine (a Linux program: Wine's COM2 is linked to its terminal). Prints
//   slave <path>
// then one line per frame that the device takes in, as it comes:
//   frame <bytes> reply <bytes> baud <speed of the reply>
// and stops when its standard input closes. Bytes sent at a speed other
// than the device's are lost, as on a real line.
#include <cstdio>
#include <mutex>

#include "sim/pty_device.h"

int main() {
  using pelcor::sim::Frame;
  using pelcor::sim::PtyDevice;
  PtyDevice::Options options;
  options.check_speed = true;
  PtyDevice device(options);
  std::mutex out;
  device.SetTrace([&out](PtyDevice::Clock::time_point, const Frame& f) {
    std::lock_guard<std::mutex> lock(out);
    std::printf(
        "frame %s reply %s baud %u\n", pelcor::sim::Hex(f.bytes).c_str(),
        pelcor::sim::Hex(f.reply).c_str(), static_cast<unsigned>(f.reply_baud));
    std::fflush(stdout);
  });
  {
    std::lock_guard<std::mutex> lock(out);
    std::printf("slave %s\n", device.slave_path().c_str());
    std::fflush(stdout);
  }
  char buffer[256];
  while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
  }
  device.Stop();
  return 0;
}
