#include "platform/read_timing.h"

#include <gtest/gtest.h>

namespace pelcor::os {
namespace {

constexpr std::int64_t kMs = kNanosPerMilli;
constexpr COMMTIMEOUTS kLink{10, 2, 10, 2, 10};

struct ReadCase {
  const char* what;
  COMMTIMEOUTS timeouts;
  ReadProgress progress;
  std::int64_t deadline;
};

// Starts are at 100 ms so that a deadline measured from 0 by mistake shows.
TEST(ReadDeadline, FollowsTheWin32Rules) {
  const std::int64_t t0 = 100 * kMs;
  const ReadCase cases[] = {
      {"1 byte, none yet: 2*1+10", kLink, {t0, 1, 0, 0}, t0 + 12 * kMs},
      {"4 bytes, none yet: 2*4+10", kLink, {t0, 4, 0, 0}, t0 + 18 * kMs},
      {"first byte arms the interval",
       kLink,
       {t0, 4, 1, t0 + 3 * kMs},
       t0 + 13 * kMs},
      {"total timer still bounds",
       kLink,
       {t0, 4, 2, t0 + 9 * kMs},
       t0 + 18 * kMs},
      {"all bytes in: ends with the last",
       kLink,
       {t0, 4, 4, t0 + 5 * kMs},
       t0 + 5 * kMs},
      {"nothing asked: ends at once", kLink, {t0, 0, 0, 0}, t0},
      {"MAXDWORD/0/0: at once", {MAXDWORD, 0, 0, 0, 0}, {t0, 4, 0, 0}, t0},
      {"MAXDWORD/MAXDWORD/c: waits c",
       {MAXDWORD, MAXDWORD, 50, 0, 0},
       {t0, 4, 0, 0},
       t0 + 50 * kMs},
      {"MAXDWORD/MAXDWORD/c: ends on a byte",
       {MAXDWORD, MAXDWORD, 50, 0, 0},
       {t0, 4, 1, t0 + 7 * kMs},
       t0 + 7 * kMs},
      {"no timeouts: waits for ever",
       {0, 0, 0, 0, 0},
       {t0, 4, 1, t0},
       kNoDeadline},
      {"interval alone, no byte yet",
       {5, 0, 0, 0, 0},
       {t0, 4, 0, 0},
       kNoDeadline},
      {"interval alone, after a byte",
       {5, 0, 0, 0, 0},
       {t0, 4, 1, t0 + 2 * kMs},
       t0 + 7 * kMs},
      {"huge values do not overflow",
       {0, MAXDWORD, MAXDWORD, 0, 0},
       {t0, 100, 0, 0},
       t0 + (std::int64_t{MAXDWORD} * 100 + MAXDWORD) * kMs},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(ReadDeadline(c.timeouts, c.progress), c.deadline) << c.what;
  }
}

TEST(WriteDeadline, IsTwoMillisecondsAByteAndTen) {
  const std::int64_t t0 = 100 * kMs;
  const std::pair<DWORD, std::int64_t> cases[] = {
      {1, 12}, {2, 14}, {6, 22}, {8, 26}, {12, 34}};
  for (const auto& [size, ms] : cases) {
    EXPECT_EQ(WriteDeadline(kLink, size, t0), t0 + ms * kMs) << size;
  }
  EXPECT_EQ(WriteDeadline({10, 2, 10, 0, 0}, 12, t0), kNoDeadline);
}

}  // namespace
}  // namespace pelcor::os
