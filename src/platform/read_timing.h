// When a read or a write ends under a COMMTIMEOUTS record, as Win32 defines
// it. Pure arithmetic on nanosecond times, shared by the POSIX backend (real
// time) and the tests' scripted port (virtual time), so both end reads alike.
#ifndef PELCOR_PLATFORM_READ_TIMING_H
#define PELCOR_PLATFORM_READ_TIMING_H

#include <cstdint>
#include <limits>

#include "platform/serial.h"

namespace pelcor::os {

inline constexpr std::int64_t kNoDeadline =
    std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kNanosPerMilli = 1'000'000;

// Where a read stands: when it started, how many bytes it asked for, how many
// have come and when the last of them came.
struct ReadProgress {
  std::int64_t start_ns;
  DWORD asked;
  DWORD got;
  std::int64_t last_byte_ns;  // meaningful only when got > 0
};

// The time at which the read ends if no further byte comes (kNoDeadline when
// it waits for the bytes asked for however long they take). The read also
// ends as soon as it has all the bytes it asked for.
//  - total timer: multiplier * asked + constant, from the start, when either
//    is nonzero;
//  - interval timer: armed by the first byte, restarted by every byte;
//  - interval MAXDWORD with both total values 0: return at once with what
//    has come;
//  - interval and multiplier MAXDWORD, constant below MAXDWORD: return as
//    soon as any byte has come, or after the constant.
std::int64_t ReadDeadline(const COMMTIMEOUTS& t, const ReadProgress& p);

// The time by which a write of `size` bytes started at `start_ns` ends,
// sent or not (kNoDeadline when the write timeouts are both 0).
std::int64_t WriteDeadline(const COMMTIMEOUTS& t, DWORD size,
                           std::int64_t start_ns);

}  // namespace pelcor::os

#endif
