// The serial services over POSIX terminals: the Win32 calls of serial.h,
// done with open, flock, termios, poll, read and write on a descriptor.
//
// The handle is the descriptor itself. What a Win32 serial driver keeps for
// an open port (timeouts, event mask, queue sizes) lives here in a small
// fixed table, with a mark for a device that has gone away. A handle that is
// not in the table is refused with EBADF before anything reaches the
// descriptor, so a closed port's number, since given to another file of the
// host, is never read, written or set.
//
// Every call that fails leaves errno as the reason, and GetLastError returns
// errno, so the code the host sees is the one the failing system call gave.
//
// Port names: "COM1" to "COM4" open the path in PELCOR_COM1 to PELCOR_COM4
// when it is set, else /dev/ttyS0 to /dev/ttyS3.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix_tty.h"
#include "platform/read_timing.h"
#include "platform/serial.h"

namespace pelcor::os {

namespace {

using posix::TtyMode;

// The Win32 values this backend understands beyond those in serial.h.
constexpr DWORD kPurgeTxClear = 0x0004;
constexpr DWORD kDtrControlEnable = 1;
constexpr DWORD kRtsControlEnable = 1;
constexpr DWORD kRtsControlHandshake = 2;
constexpr BYTE kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
               kSpaceParity = 4;
constexpr BYTE kOne5StopBits = 1, kTwoStopBits = 2;
constexpr DWORD kMsDsrOn = 0x0020, kMsRingOn = 0x0040, kMsRlsdOn = 0x0080;

#ifdef CMSPAR
constexpr tcflag_t kMarkSpaceParity = CMSPAR;
#else
constexpr tcflag_t kMarkSpaceParity = 0;  // no mark or space parity here
#endif

// The settings that a driver may quietly refuse; SetCommState reads them
// back and fails when they did not take.
constexpr tcflag_t kFramingBits =
    CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | kMarkSpaceParity;
// How far the driver's speed may lie from the one asked for (in parts per
// thousand) and still count as that speed: what a UART at the other end
// takes in without framing errors.
constexpr std::int64_t kSpeedTolerancePermille = 30;

// The library opens COM1 to COM4, each at most once.
constexpr int kMaxOpenPorts = 4;

struct OpenPort {
  bool used;
  int fd;
  bool exclusive;  // TIOCEXCL set by us
  // Nonzero once the device has gone (hang-up, EIO, ENXIO): every later
  // call but CloseHandle fails at once with it.
  int gone_error;
  COMMTIMEOUTS timeouts;
  DWORD event_mask, in_queue, out_queue;
};

constinit OpenPort open_ports[kMaxOpenPorts] = {};

BOOL Fail(int error) {
  errno = error;
  return 0;
}

bool MeansGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// Fails with the errno of the system call that just failed, and marks the
// port when that errno says the device has gone.
BOOL FailFrom(OpenPort& port) {
  if (MeansGone(errno)) port.gone_error = errno;
  return 0;
}

BOOL Gone(OpenPort& port) {
  port.gone_error = EIO;
  return Fail(EIO);
}

OpenPort* Find(HANDLE h) {
  if (h < 0 || h > INT_MAX) return nullptr;
  for (OpenPort& p : open_ports) {
    if (p.used && p.fd == static_cast<int>(h)) return &p;
  }
  return nullptr;
}

// The port behind `h`, ready for use; null with errno set for a handle this
// backend did not open, or whose device has gone.
OpenPort* Usable(HANDLE h) {
  OpenPort* p = Find(h);
  if (p == nullptr) {
    errno = EBADF;
    return nullptr;
  }
  if (p->gone_error != 0) {
    errno = p->gone_error;
    return nullptr;
  }
  return p;
}

// Opens the path that stands for "COM1" to "COM4"; -1 with errno set.
int OpenPortPath(const char* name, int flags) {
  if (name == nullptr || std::strlen(name) != 4 ||
      std::strncmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '4') {
    errno = ENOENT;
    return -1;
  }
  char variable[] = "PELCOR_COM0";
  variable[10] = name[3];
  char fallback[] = "/dev/ttyS0";
  fallback[9] = static_cast<char>(name[3] - 1);
  const char* path = std::getenv(variable);
  if (path == nullptr || *path == '\0') path = fallback;
  int fd;
  do {
    fd = open(path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::int64_t NowNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// poll's timeout for a deadline: rounded up to whole milliseconds, so a
// wait never ends before its deadline; -1 for none.
int PollTimeout(std::int64_t deadline) {
  if (deadline == kNoDeadline) return -1;
  const std::int64_t left = deadline - NowNanos();
  if (left <= 0) return 0;
  const std::int64_t ms = (left + kNanosPerMilli - 1) / kNanosPerMilli;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits until `fd` reports one of `events` or something wrong, or until the
// deadline. Returns the events seen, 0 at the deadline, or -1 with errno.
// A signal does not end the wait, and does not move the deadline.
int WaitUntil(int fd, short events, std::int64_t deadline) {
  for (;;) {
    pollfd pfd{fd, events, 0};
    const int r = poll(&pfd, 1, PollTimeout(deadline));
    if (r > 0) return pfd.revents;
    if (r < 0 && errno != EINTR) return -1;
    if (r == 0 && NowNanos() >= deadline) return 0;
  }
}

// A DCB as terminal settings: raw bytes, no waiting in read (VMIN = VTIME =
// 0: the deadlines are ours), the modem's carrier ignored, no hang-up on
// close. False for what termios cannot express, and for speed 0, which on a
// terminal means "hang up" rather than a rate.
bool ModeOf(const DCB& dcb, TtyMode* mode) {
  if (dcb.BaudRate == 0 || dcb.fOutxDsrFlow || dcb.fDsrSensitivity ||
      dcb.fDtrControl > kDtrControlEnable || dcb.fRtsControl > 2 ||
      dcb.fNull || dcb.fErrorChar || dcb.fAbortOnError) {
    return false;
  }
  tcflag_t cflag = CREAD | CLOCAL;
  switch (dcb.ByteSize) {
    case 5:
      cflag |= CS5;
      break;
    case 6:
      cflag |= CS6;
      break;
    case 7:
      cflag |= CS7;
      break;
    case 8:
      cflag |= CS8;
      break;
    default:
      return false;
  }
  switch (dcb.Parity) {
    case NOPARITY:
      break;
    case kOddParity:
      cflag |= PARENB | PARODD;
      break;
    case kEvenParity:
      cflag |= PARENB;
      break;
    case kMarkParity:
    case kSpaceParity:
      if (kMarkSpaceParity == 0) return false;
      cflag |= PARENB | kMarkSpaceParity;
      if (dcb.Parity == kMarkParity) cflag |= PARODD;
      break;
    default:
      return false;
  }
  switch (dcb.StopBits) {
    case ONESTOPBIT:
      break;
    case kOne5StopBits:  // a UART sends 1.5 stop bits for "two" at 5 bits
      if (dcb.ByteSize != 5) return false;
      cflag |= CSTOPB;
      break;
    case kTwoStopBits:
      cflag |= CSTOPB;
      break;
    default:
      return false;
  }
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsControlHandshake) {
    cflag |= CRTSCTS;
  }
  tcflag_t iflag = 0;
  if (dcb.fParity) iflag |= INPCK;
  if (dcb.fOutX) iflag |= IXON;
  if (dcb.fInX) iflag |= IXOFF;

  mode->iflag = static_cast<std::uint32_t>(iflag);
  mode->oflag = 0;
  mode->lflag = 0;
  mode->cflag = static_cast<std::uint32_t>(cflag);
  mode->vmin = 0;
  mode->vtime = 0;
  mode->speed = dcb.BaudRate;
  return true;
}

// Whether the driver took what was asked: the framing as set, the speed
// within tolerance. A pseudo-terminal, for one, keeps only 8 bits and no
// parity, whatever it is given.
bool Took(const TtyMode& asked, const TtyMode& got) {
  if ((asked.cflag & kFramingBits) != (got.cflag & kFramingBits)) return false;
  const std::int64_t diff =
      std::int64_t{got.speed} - std::int64_t{asked.speed};
  const std::int64_t off = diff < 0 ? -diff : diff;
  return off * 1000 <= std::int64_t{asked.speed} * kSpeedTolerancePermille;
}

// Sets or clears modem-control lines. A device without them (a
// pseudo-terminal) refuses the request with ENOTTY or EINVAL; a line that
// does not exist is as good as dropped, so that is not a failure there.
bool SetModemLines(int fd, unsigned long request, int bits) {
  if (bits == 0 || ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, void*,
                   DWORD, DWORD, HANDLE) {
  OpenPort* slot = nullptr;
  for (OpenPort& p : open_ports) {
    if (!p.used) {
      slot = &p;
      break;
    }
  }
  if (slot == nullptr) {
    errno = EMFILE;
    return INVALID_HANDLE_VALUE;
  }
  const bool reads = access & GENERIC_READ, writes = access & GENERIC_WRITE;
  const int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  const int fd = OpenPortPath(name, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;

  if (share_mode == 0) {
    // The lock keeps any other opener that asks for it off the port, root
    // included, and goes with the close. TIOCEXCL keeps off the openers
    // that do not lock, except root; not every device takes it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      errno = error;
      return INVALID_HANDLE_VALUE;
    }
  }
  *slot = OpenPort{};
  slot->used = true;
  slot->fd = fd;
  slot->exclusive = share_mode == 0 && ioctl(fd, TIOCEXCL) == 0;
  posix::RequestLowLatency(fd);
  return fd;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  TtyMode mode{};
  if (posix::GetTtyMode(p->fd, &mode) != 0) return FailFrom(*p);
  const tcflag_t cflag = static_cast<tcflag_t>(mode.cflag);
  const tcflag_t iflag = static_cast<tcflag_t>(mode.iflag);
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = mode.speed;
  dcb->fBinary = 1;
  dcb->fParity = (iflag & INPCK) != 0;
  dcb->fOutxCtsFlow = (cflag & CRTSCTS) != 0;
  dcb->fRtsControl = (cflag & CRTSCTS) ? kRtsControlHandshake : 0;
  dcb->fOutX = (iflag & IXON) != 0;
  dcb->fInX = (iflag & IXOFF) != 0;
  switch (cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  if (cflag & PARENB) {
    const bool odd = cflag & PARODD;
    if (cflag & kMarkSpaceParity) {
      dcb->Parity = odd ? kMarkParity : kSpaceParity;
    } else {
      dcb->Parity = odd ? kOddParity : kEvenParity;
    }
  }
  if (cflag & CSTOPB) {
    dcb->StopBits = dcb->ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
  }
  dcb->XonChar = static_cast<char>(mode.vstart);
  dcb->XoffChar = static_cast<char>(mode.vstop);
  return 1;
}

BOOL SetCommState(HANDLE h, DCB* dcb) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  TtyMode asked{};
  if (!ModeOf(*dcb, &asked)) return Fail(EINVAL);
  TtyMode before{};
  if (posix::GetTtyMode(p->fd, &before) != 0) return FailFrom(*p);
  asked.vstart = dcb->fOutX || dcb->fInX
                     ? static_cast<std::uint8_t>(dcb->XonChar)
                     : before.vstart;
  asked.vstop = dcb->fOutX || dcb->fInX
                    ? static_cast<std::uint8_t>(dcb->XoffChar)
                    : before.vstop;
  if (posix::SetTtyMode(p->fd, asked) != 0) return FailFrom(*p);
  // Drivers round a speed they cannot make, or keep the old one, without
  // saying so; a record that did not take is refused whole, as a Win32
  // driver refuses it, and the port keeps what it had.
  TtyMode got{};
  if (posix::GetTtyMode(p->fd, &got) != 0) return FailFrom(*p);
  if (!Took(asked, got)) {
    posix::SetTtyMode(p->fd, before);
    return Fail(EINVAL);
  }
  // Lines after the settings: leaving speed 0 raises DTR and RTS.
  int clear = 0, set = 0;
  (dcb->fDtrControl == kDtrControlEnable ? set : clear) |= TIOCM_DTR;
  if (dcb->fRtsControl != kRtsControlHandshake) {
    (dcb->fRtsControl == kRtsControlEnable ? set : clear) |= TIOCM_RTS;
  }
  if (!SetModemLines(p->fd, TIOCMBIC, clear) ||
      !SetModemLines(p->fd, TIOCMBIS, set)) {
    return FailFrom(*p);
  }
  return 1;
}

// Nothing here waits for communication events; the mask is kept for its
// own sake, as the driver would keep it.
BOOL SetCommMask(HANDLE h, DWORD mask) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  p->event_mask = mask;
  return 1;
}

// The terminal's queues have sizes of their own; the request is kept.
BOOL SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  p->in_queue = in_queue;
  p->out_queue = out_queue;
  return 1;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  p->timeouts = *timeouts;
  return 1;
}

// Reads and writes are synchronous, so there is nothing to abort; the
// clear flags flush the terminal's queues.
BOOL PurgeComm(HANDLE h, DWORD flags) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  const bool rx = flags & PURGE_RXCLEAR, tx = flags & kPurgeTxClear;
  if (!rx && !tx) return 1;
  const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
  if (tcflush(p->fd, queue) != 0) return FailFrom(*p);
  return 1;
}

// Ends when every byte is with the driver or at the write deadline, whichever
// is first; a write that the deadline cuts short succeeds with the count
// that went, as a Win32 write timeout does.
BOOL WriteFile(HANDLE h, const void* data, DWORD size, DWORD* written,
               void* overlapped) {
  if (written != nullptr) *written = 0;
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  if (overlapped != nullptr) return Fail(EINVAL);  // never opened overlapped
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::int64_t deadline = WriteDeadline(p->timeouts, size, NowNanos());
  DWORD done = 0;
  while (done < size) {
    const ssize_t n = write(p->fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      if (written != nullptr) *written = done;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return FailFrom(*p);
    // The output queue is full: wait for room.
    const int events = WaitUntil(p->fd, POLLOUT, deadline);
    if (events < 0) return FailFrom(*p);
    if (events == 0) break;
    if (events & POLLNVAL) return Fail(EBADF);
    if (!(events & POLLOUT)) return Gone(*p);
  }
  return 1;
}

// Ends with the bytes asked for, or when the timeouts say (the same rules as
// Win32's, from read_timing.h, against the monotonic clock), or at once when
// the device has gone. Takes no byte beyond those asked for.
BOOL ReadFile(HANDLE h, void* data, DWORD size, DWORD* read_count,
              void* overlapped) {
  if (read_count != nullptr) *read_count = 0;
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  if (overlapped != nullptr) return Fail(EINVAL);
  auto* out = static_cast<std::uint8_t*>(data);
  ReadProgress progress{NowNanos(), size, 0, 0};
  while (progress.got < size) {
    const int events =
        WaitUntil(p->fd, POLLIN, ReadDeadline(p->timeouts, progress));
    if (events < 0) return FailFrom(*p);
    if (events == 0) break;
    if (events & POLLNVAL) return Fail(EBADF);
    // Bytes first: a hang-up may come with bytes still to read.
    if (!(events & POLLIN)) return Gone(*p);
    const ssize_t n = read(p->fd, out + progress.got, size - progress.got);
    if (n > 0) {
      progress.got += static_cast<DWORD>(n);
      progress.last_byte_ns = NowNanos();
      if (read_count != nullptr) *read_count = progress.got;
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return FailFrom(*p);
    // Readable, yet nothing to read: the line has been hung up.
    return Gone(*p);
  }
  return 1;
}

BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
  OpenPort* p = Usable(h);
  if (p == nullptr) return 0;
  int lines = 0;
  if (ioctl(p->fd, TIOCMGET, &lines) != 0) return FailFrom(*p);
  *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) |
            ((lines & TIOCM_DSR) ? kMsDsrOn : 0) |
            ((lines & TIOCM_RNG) ? kMsRingOn : 0) |
            ((lines & TIOCM_CAR) ? kMsRlsdOn : 0);
  return 1;
}

DWORD GetLastError() { return static_cast<DWORD>(errno); }

BOOL CloseHandle(HANDLE h) {
  OpenPort* p = Find(h);
  if (p == nullptr) return Fail(EBADF);
  const int fd = p->fd;
  const bool exclusive = p->exclusive;
  *p = OpenPort{};
  // Exclusive mode belongs to the terminal, not to this descriptor; the
  // lock goes with the close.
  if (exclusive) ioctl(fd, TIOCNXCL);
  // After EINTR the descriptor is closed all the same on Linux and most
  // other systems; trying again could close someone else's.
  if (close(fd) != 0 && errno != EINTR) return 0;
  return 1;
}

std::int64_t MonotonicNanos() { return NowNanos(); }

}  // namespace pelcor::os
