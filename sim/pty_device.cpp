#include "sim/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>

namespace pelcor::sim {

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool SetFdFlags(int fd, bool nonblock) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || (nonblock && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)) {
    return false;
  }
  const int fd_fl = ::fcntl(fd, F_GETFD);
  return fd_fl >= 0 && ::fcntl(fd, F_SETFD, fd_fl | FD_CLOEXEC) == 0;
}

std::uint32_t BaudOf(speed_t s) {
  switch (s) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;  // matches no device speed
  }
}

std::chrono::nanoseconds ByteTime(std::uint32_t baud) {
  return std::chrono::nanoseconds(10 * 1'000'000'000LL / baud);
}

}  // namespace

// --- Locked ---------------------------------------------------------------

PtyDevice::Locked::Locked(PtyDevice* owner)
    : owner_(owner), lock_(owner->mutex_) {}

PtyDevice::Locked::~Locked() {
  lock_.unlock();
  owner_->Wake();
}

// --- PtyDevice --------------------------------------------------------------

PtyDevice::PtyDevice(Options options) : options_(options) {
  try {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) Fail("posix_openpt");
    if (::grantpt(master_) != 0) Fail("grantpt");
    if (::unlockpt(master_) != 0) Fail("unlockpt");
    char name[128];
    if (const int e = ::ptsname_r(master_, name, sizeof name); e != 0) {
      errno = e;
      Fail("ptsname_r");
    }
    slave_path_ = name;
    if (!SetFdFlags(master_, true)) Fail("fcntl master");

    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) Fail("open slave");
    // A fresh terminal echoes and buffers lines; the device must see raw
    // bytes, and never its own replies echoed back, even before a client
    // sets the line up.
    termios t{};
    if (::tcgetattr(slave_, &t) != 0) Fail("tcgetattr");
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    if (::tcsetattr(slave_, TCSANOW, &t) != 0) Fail("tcsetattr");

    if (::pipe(wake_) != 0) Fail("pipe");
    if (!SetFdFlags(wake_[0], true) || !SetFdFlags(wake_[1], true)) {
      Fail("fcntl pipe");
    }
  } catch (...) {
    CloseFd(master_);
    CloseFd(slave_);
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
    throw;
  }
  started_at_ = Clock::now();
  running_ = true;
  thread_ = std::thread(&PtyDevice::Run, this);
}

PtyDevice::~PtyDevice() {
  Stop();
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

void PtyDevice::Move(std::int64_t edges) { model()->Move(edges); }
void PtyDevice::IndexPulse() { model()->IndexPulse(); }
bool PtyDevice::Cts() { return model()->cts(); }
void PtyDevice::SetFaults(const Faults& faults) { model()->set_faults(faults); }

void PtyDevice::SendUnasked(std::uint8_t byte) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unasked_.push_back(byte);
  }
  Wake();
}

void PtyDevice::SetTrace(Trace trace) {
  std::lock_guard<std::mutex> lock(mutex_);
  trace_ = std::move(trace);
}

void PtyDevice::Stop() { End(false); }
void PtyDevice::Vanish() { End(true); }

void PtyDevice::End(bool vanish) {
  std::lock_guard<std::mutex> end(end_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  CloseFd(master_);
  if (!vanish) CloseFd(slave_);
}

void PtyDevice::Wake() {
  if (wake_[1] < 0) return;
  const std::uint8_t b = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &b, 1);
}

std::uint32_t PtyDevice::TerminalBaud() const {
  termios t{};
  if (::tcgetattr(master_, &t) != 0) return 0;
  return BaudOf(::cfgetospeed(&t));
}

void PtyDevice::TakeIn(const std::uint8_t* bytes, std::size_t n,
                       Clock::time_point now) {
  const std::uint32_t line_baud = options_.check_speed ? TerminalBaud() : 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<Frame> frame;
    ByteResult r;
    std::int64_t late_ns = 0;
    Trace trace;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (options_.check_speed && line_baud != model_.baud()) {
        frame = LostBySpeed(bytes[i], line_baud, model_.baud());
      } else {
        r = model_.FeedByte(bytes[i]);
        frame = std::move(r.frame);
      }
      late_ns = model_.faults().late_ns;
      if (frame) trace = trace_;
    }
    if (!r.reply.empty()) {
      outgoing_.push_back(
          {now + std::chrono::nanoseconds(late_ns), std::move(r.reply)});
    }
    if (trace) trace(now, *frame);
  }
}

void PtyDevice::WriteDue(Clock::time_point now) {
  while (!outgoing_.empty() && outgoing_.front().due <= now) {
    std::vector<std::uint8_t>& b = outgoing_.front().bytes;
    const ssize_t n = ::write(master_, b.data(), b.size());
    if (n < 0) return;  // full (EAGAIN): wait until it can take more
    b.erase(b.begin(), b.begin() + n);
    if (!b.empty()) return;
    outgoing_.pop_front();
  }
}

void PtyDevice::Run() {
  std::uint8_t buf[256];
  for (;;) {
    std::vector<std::uint8_t> unasked;
    bool chatter = false;
    std::uint8_t chatter_byte = 0;
    std::chrono::nanoseconds byte_time{};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) break;
      unasked.swap(unasked_);
      chatter = model_.faults().chatter;
      chatter_byte = model_.faults().chatter_byte;
      byte_time = ByteTime(model_.baud());
    }
    Clock::time_point now = Clock::now();
    if (!unasked.empty()) outgoing_.push_back({now, std::move(unasked)});
    if (chatter && !chattering_) next_chatter_ = now;
    chattering_ = chatter;

    WriteDue(now);
    if (chattering_ && now >= next_chatter_) {
      // A byte that finds the queue full is lost, as it would be on a line.
      [[maybe_unused]] const ssize_t n = ::write(master_, &chatter_byte, 1);
      // Never faster than the line: a late wake-up does not bunch bytes.
      next_chatter_ = now + byte_time;
    }

    // Sleep until a byte comes in, a reply falls due, a chatter byte is due,
    // the queue can take a reply that is waiting, or someone wakes us.
    std::optional<Clock::time_point> until;
    bool want_out = false;
    if (!outgoing_.empty()) {
      if (outgoing_.front().due <= now) {
        want_out = true;
      } else {
        until = outgoing_.front().due;
      }
    }
    if (chattering_)
      until = std::min(until.value_or(next_chatter_), next_chatter_);
    pollfd fds[2] = {
        {master_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
        {wake_[0], POLLIN, 0}};
    timespec ts{};
    if (until) {
      const auto left =
          std::max(std::chrono::nanoseconds(0),
                   std::chrono::duration_cast<std::chrono::nanoseconds>(
                       *until - Clock::now()));
      ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
      ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    }
    if (::ppoll(fds, 2, until ? &ts : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) {
      while (::read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) TakeIn(buf, static_cast<std::size_t>(n), Clock::now());
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // Not expected while the held slave is open; do not spin on it.
      ::usleep(1000);
    }
  }
  running_ = false;
}

bool PtyDevice::running() const { return running_; }

}  // namespace pelcor::sim
