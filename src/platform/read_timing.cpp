#include "platform/read_timing.h"

#include <algorithm>

namespace pelcor::os {

namespace {

std::int64_t Millis(std::int64_t ms) { return ms * kNanosPerMilli; }

}  // namespace

std::int64_t ReadDeadline(const COMMTIMEOUTS& t, const ReadProgress& p) {
  if (p.got >= p.asked) return p.got > 0 ? p.last_byte_ns : p.start_ns;
  const bool interval_max = t.ReadIntervalTimeout == MAXDWORD;
  if (interval_max && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    return p.start_ns;
  }
  if (interval_max && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
      t.ReadTotalTimeoutConstant != MAXDWORD) {
    return p.got > 0 ? p.last_byte_ns
                     : p.start_ns + Millis(t.ReadTotalTimeoutConstant);
  }
  std::int64_t deadline = kNoDeadline;
  if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    deadline = p.start_ns +
               Millis(std::int64_t{t.ReadTotalTimeoutMultiplier} * p.asked +
                      t.ReadTotalTimeoutConstant);
  }
  if (p.got > 0 && t.ReadIntervalTimeout != 0 && !interval_max) {
    deadline =
        std::min(deadline, p.last_byte_ns + Millis(t.ReadIntervalTimeout));
  }
  return deadline;
}

std::int64_t WriteDeadline(const COMMTIMEOUTS& t, DWORD size,
                           std::int64_t start_ns) {
  if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) {
    return kNoDeadline;
  }
  return start_ns + Millis(std::int64_t{t.WriteTotalTimeoutMultiplier} * size +
                           t.WriteTotalTimeoutConstant);
}

}  // namespace pelcor::os
