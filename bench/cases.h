// The benchmark's cases: one per export, with the exchange pattern it runs
// and the time that its timeouts force (its floor). The peers, the pyserial
// script and the Windows host under Wine, run the same cases, with the same
// arguments, in the same order; keep them in step with this table.
#ifndef PELCOR_BENCH_CASES_H
#define PELCOR_BENCH_CASES_H

#include <cstddef>

namespace pelcor::bench {

enum class Kind { kAnswering, kSilent };
inline constexpr Kind kKinds[] = {Kind::kAnswering, Kind::kSilent};
inline constexpr const char* KindName(Kind k) {
  return k == Kind::kAnswering ? "answering" : "silent";
}

// What a real line at 9600 bit/s adds for each byte out and back of an
// answered exchange (10 bits a byte). A pseudo-terminal has no line rate, so
// the floors below leave it out.
inline constexpr double kByteMs9600 = 10.0 * 1000.0 / 9600.0;

// The read that the drain makes on a quiet line, and the reply reads: 10 ms
// plus 2 ms a byte.
inline constexpr double kDrainQuietMs = 12.0;
inline constexpr double ReadBoundMs(int bytes) { return 10.0 + 2.0 * bytes; }

struct Case {
  const char* name;
  const char* pattern;
  // The floor, answering and silent: what the timeouts force. On a
  // pseudo-terminal the simulated device answers at once and writes never
  // wait, so an answer costs nothing and only timeouts count.
  double floor_ms[2];
  // Bytes written, and bytes the device sends back when it answers.
  int bytes_out;
  int bytes_back;
  const char* floor_reason;
  // How many of those timeouts run out, answering and silent: each costs
  // what the system adds to a timed wait.
  int expiring_waits[2];
};

// clang-format off
inline constexpr Case kCases[] = {
  {"ReadPosition", "CheckedExchange 1 out, 4 back",
   {kDrainQuietMs, kDrainQuietMs + ReadBoundMs(4)}, 1, 4,
   "12 ms quiet drain, reply at once | drain + 18 ms reply timeout", {1, 2}},
  {"ResetCounter", "PlainSend 2", {0, 0}, 2, 0, "the write alone", {0, 0}},
  {"Initialize", "AcknowledgedSend 6", {0, ReadBoundMs(1)}, 6, 1,
   "reply at once | 12 ms reply timeout", {0, 1}},
  {"SetMultiplier", "AcknowledgedSend 2", {0, ReadBoundMs(1)}, 2, 1,
   "reply at once | 12 ms reply timeout", {0, 1}},
  {"SetPosition", "PlainSend 12", {0, 0}, 12, 0, "the write alone", {0, 0}},
  {"Ping", "CheckedExchange 1 out, 1 back",
   {kDrainQuietMs, kDrainQuietMs + ReadBoundMs(1)}, 1, 1,
   "12 ms quiet drain, reply at once | drain + 12 ms reply timeout", {1, 2}},
  {"SetCompare", "PlainSend 8", {0, 0}, 8, 0, "the write alone", {0, 0}},
  {"PassedCompare", "modem status", {0, 0}, 0, 0, "no exchange", {0, 0}},
  {"EnableIndex", "CheckedExchange 1 out, 1 back",
   {kDrainQuietMs, kDrainQuietMs + ReadBoundMs(1)}, 1, 1,
   "12 ms quiet drain, reply at once | drain + 12 ms reply timeout", {1, 2}},
  {"DisableIndex", "CheckedExchange 1 out, 1 back",
   {kDrainQuietMs, kDrainQuietMs + ReadBoundMs(1)}, 1, 1,
   "12 ms quiet drain, reply at once | drain + 12 ms reply timeout", {1, 2}},
  {"InitComm", "open and set up", {0, 0}, 0, 0, "no exchange", {0, 0}},
  {"CloseComm", "close", {0, 0}, 0, 0, "no exchange", {0, 0}},
  {"ChangeLocalBaudRate", "line settings", {0, 0}, 0, 0, "no exchange", {0, 0}},
  {"ChangeBaud", "AcknowledgedSend 2 + speed", {0, ReadBoundMs(1)}, 2, 1,
   "reply at once | 12 ms reply timeout", {0, 1}},
};
// clang-format on
inline constexpr std::size_t kCaseCount = sizeof kCases / sizeof kCases[0];

// The arguments of sample i (warm-up calls included), shared with the peers.
inline constexpr int kSetupByte = 0x5A;
inline constexpr int SetupValue(int i) { return 0x10000 + i; }
inline constexpr int Multiplier(int i) {
  constexpr int kCycle[] = {1, 2, 4};
  return kCycle[i % 3];
}
inline constexpr int PositionValue(int i) { return 1000 + i; }
inline constexpr int CompareValue(int i) { return 2000 + i; }
// Speed changes go back and forth; each batch ends back at 9600.
inline constexpr int Speed(int i) { return i % 2 == 0 ? 19200 : 9600; }
inline constexpr int kHomeSpeed = 9600;

}  // namespace pelcor::bench

#endif
