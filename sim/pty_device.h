// The simulated counter device on a new pseudo-terminal (POSIX only): a
// background thread runs a CounterDevice on the master side, and anything
// that opens slave_path() talks to it as to a device on a serial port.
//
//  - The slave is put in raw mode at creation, and one slave descriptor stays
//    open inside this object for its whole life, so the master never sees a
//    hang-up: a client may open, close and reopen the slave at will. Bytes
//    the device sends while no client has the slave open wait in its input
//    queue, as on a real port. Because the terminal never closes, state kept
//    per terminal outlives a client's close: a client that takes it with
//    TIOCEXCL should give it back with TIOCNXCL before closing, or a reopen
//    fails with EBUSY (except for root).
//  - Replies are written as soon as the frame is in, or late_ns later with
//    the late fault. Chatter writes its byte one byte time apart at the
//    device's speed; a chatter byte that does not fit into a full queue is
//    lost. Silent, echo and short replies come from the model.
//  - A pseudo-terminal has no modem lines, so the compare output (CTS) is
//    only available from the model: model()->cts(), or Cts().
//  - With Options::check_speed, a byte is lost when the speed set on the
//    terminal differs from the device's, as on a real line. The speed is read
//    when the device takes the byte in, not when it was written, so a client
//    that changes speed right after a write may race it; the option is off by
//    default.
//  - Vanish() makes the device go away: the master is closed, so the slave
//    side sees a hang-up (reads give end of file or EIO, writes EIO).
//
// Thread safety: model() locks the model for the life of the handle it
// gives; the other public calls may come from any thread. The trace callback
// runs on the device's thread, with no lock held.
#ifndef PELCOR_SIM_PTY_DEVICE_H
#define PELCOR_SIM_PTY_DEVICE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/counter_device.h"

namespace pelcor::sim {

class PtyDevice {
 public:
  using Clock = std::chrono::steady_clock;
  // Called for each frame the device has taken in, at the time it came.
  using Trace = std::function<void(Clock::time_point, const Frame&)>;

  struct Options {
    bool check_speed = false;
  };

  // The model, locked while the handle lives. Releasing it wakes the device,
  // so new faults (chatter) take effect at once.
  class Locked {
   public:
    CounterDevice* operator->() const { return &owner_->model_; }
    CounterDevice& operator*() const { return owner_->model_; }
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    friend class PtyDevice;
    explicit Locked(PtyDevice* owner);
    PtyDevice* owner_;
    std::unique_lock<std::mutex> lock_;
  };

  // Opens the pseudo-terminal and starts the device. Throws std::system_error
  // if the terminal cannot be made.
  PtyDevice() : PtyDevice(Options()) {}
  explicit PtyDevice(Options options);
  // Stops the device.
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // The terminal to open, e.g. "/dev/pts/3".
  const std::string& slave_path() const { return slave_path_; }
  Clock::time_point started_at() const { return started_at_; }

  Locked model() { return Locked(this); }
  // Shorthands that take the lock for one call.
  void Move(std::int64_t edges);
  void IndexPulse();
  bool Cts();
  void SetFaults(const Faults& faults);

  // One byte sent unasked, at once.
  void SendUnasked(std::uint8_t byte);
  // Replaces the trace callback (an empty one turns tracing off).
  void SetTrace(Trace trace);

  // Stops the thread and closes the terminal; waits until both are done.
  // Idempotent.
  void Stop();
  // Closes the master, as if the device were unplugged, and stops the
  // thread; waits until both are done. The slave path then stays dead.
  void Vanish();
  bool running() const;

 private:
  struct Pending {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
  };

  void Run();
  void Wake();
  void End(bool vanish);
  void TakeIn(const std::uint8_t* bytes, std::size_t n, Clock::time_point now);
  void WriteDue(Clock::time_point now);
  std::uint32_t TerminalBaud() const;

  Options options_;
  std::string slave_path_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master never hangs up
  int wake_[2] = {-1, -1};
  Clock::time_point started_at_;

  std::mutex mutex_;  // guards model_, trace_, unasked_, stop_
  CounterDevice model_;
  Trace trace_;
  std::vector<std::uint8_t> unasked_;
  bool stop_ = false;
  std::atomic<bool> running_{false};

  // The device thread's own.
  std::deque<Pending> outgoing_;
  Clock::time_point next_chatter_{};
  bool chattering_ = false;

  std::mutex end_mutex_;  // serialises Stop() and Vanish()
  std::thread thread_;
};

}  // namespace pelcor::sim

#endif
