// Turns its input into a session of export calls with arbitrary arguments
// against the scripted port, whose far end sends arbitrary bytes at arbitrary
// times and whose calls fail at arbitrary points, and checks what must hold
// whatever happens:
//  - a refused call (port out of range or not open) makes no system call and
//    changes no state;
//  - TransmitArea changes only within the frame the call sends, ReceiveArea
//    only within the reply it reads;
//  - only PassedCompare changes a latch, only InitComm the port table;
//  - every call ends (the scripted port aborts on a read without a bound).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "module_state_support.h"
#include "pelcor.h"
#include "scripted_port.h"

namespace pelcor::test {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The bytes of each area that a call may change.
struct Reach {
  std::size_t tx = 0, rx = 0;
};

struct Op {
  const char* name;
  int32_t (*call)(int32_t port, int32_t a, int32_t b);
  Reach reach;
};

const Op kOps[] = {
    {"ReadPosition", [](int32_t p, int32_t, int32_t) { return ReadPosition(p); },
     {1, 4}},
    {"ResetCounter", [](int32_t p, int32_t, int32_t) { return ResetCounter(p); },
     {2, 0}},
    {"Initialize",
     [](int32_t p, int32_t a, int32_t b) { return Initialize(p, a, b); },
     {6, 1}},
    {"SetMultiplier",
     [](int32_t p, int32_t a, int32_t) { return SetMultiplier(p, a); },
     {2, 1}},
    {"SetPosition",
     [](int32_t p, int32_t a, int32_t) { return SetPosition(p, a); },
     {12, 0}},
    {"Ping", [](int32_t p, int32_t, int32_t) { return Ping(p); }, {1, 1}},
    {"SetCompare",
     [](int32_t p, int32_t a, int32_t) { return SetCompare(p, a); },
     {8, 0}},
    {"PassedCompare",
     [](int32_t p, int32_t, int32_t) { return PassedCompare(p); },
     {0, 0}},
    {"EnableIndex", [](int32_t p, int32_t, int32_t) { return EnableIndex(p); },
     {1, 1}},
    {"DisableIndex",
     [](int32_t p, int32_t, int32_t) { return DisableIndex(p); },
     {1, 1}},
    {"InitComm", [](int32_t p, int32_t, int32_t) { return InitComm(p); },
     {0, 0}},
    {"CloseComm", [](int32_t p, int32_t, int32_t) { return CloseComm(p); },
     {0, 0}},
    {"ChangeLocalBaudRate",
     [](int32_t p, int32_t a, int32_t) { return ChangeLocalBaudRate(p, a); },
     {0, 0}},
    {"ChangeBaud",
     [](int32_t p, int32_t a, int32_t) { return ChangeBaud(p, a); },
     {2, 1}},
};

constexpr Call kCalls[] = {
    Call::kCreateFileA,     Call::kGetCommState, Call::kSetCommState,
    Call::kSetCommMask,     Call::kSetupComm,    Call::kSetCommTimeouts,
    Call::kPurgeComm,       Call::kWriteFile,    Call::kReadFile,
    Call::kGetCommModemStatus, Call::kCloseHandle};

int32_t PickPort(FuzzedDataProvider& in) {
  // Mostly real ports, sometimes anything at all.
  if (in.ConsumeIntegralInRange(0, 7) == 0) return in.ConsumeIntegral<int32_t>();
  return in.ConsumeIntegralInRange(0, 5);
}

int32_t PickValue(FuzzedDataProvider& in) {
  static constexpr int32_t kNice[] = {0,    1,     2,     3,     4,
                                      1200, 9600,  19200, 115200, -1};
  if (in.ConsumeBool()) return in.PickValueInArray(kNice);
  return in.ConsumeIntegral<int32_t>();
}

void FarEndAction(FuzzedDataProvider& in, ScriptedPort& port) {
  Line& line = port.line("COM" + std::to_string(in.ConsumeIntegralInRange(1, 4)));
  const std::int64_t at =
      port.Now() + in.ConsumeIntegralInRange<std::int64_t>(-20, 60) * kMs / 2;
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      line.Arrive(at, in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 8)),
                  in.ConsumeIntegralInRange<std::int64_t>(0, 25) * kMs / 2);
      break;
    case 1: {
      const std::int64_t period =
          in.ConsumeIntegralInRange<std::int64_t>(1, 30) * kMs / 2;
      const std::int64_t until =
          in.ConsumeBool() ? os::kNoDeadline
                           : at + in.ConsumeIntegralInRange(0, 600) * kMs;
      line.Chatter(at, period, until, in.ConsumeIntegral<std::uint8_t>());
      break;
    }
    case 2:
      port.FailNext(in.PickValueInArray(kCalls), in.ConsumeIntegral<DWORD>(),
                    in.ConsumeIntegralInRange(0, 3));
      break;
    case 3:
      line.modem_status = in.ConsumeIntegral<DWORD>();
      break;
    case 4:
      line.present = in.ConsumeBool();
      line.held_elsewhere = in.ConsumeBool();
      break;
    case 5:
      port.Advance(in.ConsumeIntegralInRange(0, 100) * kMs);
      break;
  }
}

bool SameFrom(const std::uint8_t* a, const std::uint8_t* b, std::size_t from) {
  return std::memcmp(a + from, b + from, kAreaSize - from) == 0;
}

void CallOne(FuzzedDataProvider& in, ScriptedPort& port) {
  const Op& op = in.PickValueInArray(kOps);
  const int32_t p = PickPort(in);
  const int32_t a = PickValue(in);
  const int32_t b = in.ConsumeIntegral<int32_t>();
  const bool open = p >= 1 && p <= kPortCount && PortOpen[p - 1];
  const bool init = op.call == kOps[10].call;
  const StateSnapshot before = StateSnapshot::Take();
  const std::size_t calls_before = port.calls().size();

  op.call(p, a, b);

  const StateSnapshot after = StateSnapshot::Take();
  if (!open && !init) {
    Check(port.calls().size() == calls_before, "refused call reached the system");
    Check(after == before, "refused call changed state");
    return;
  }
  Check(SameFrom(after.tx, before.tx, op.reach.tx), "TransmitArea beyond the frame");
  Check(SameFrom(after.rx, before.rx, op.reach.rx), "ReceiveArea beyond the reply");
  if (op.call != kOps[7].call) {
    Check(std::memcmp(after.latch, before.latch, sizeof after.latch) == 0,
          "latch changed outside PassedCompare");
  }
  if (!init) {
    Check(std::memcmp(after.table, before.table, sizeof after.table) == 0,
          "port table changed outside InitComm");
  }
}

}  // namespace
}  // namespace pelcor::test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace pelcor::test;
  FuzzedDataProvider in(data, size);
  ResetModuleState();
  ScriptedPort port;
  // The timeouts a port has before the library sets its own; they matter only
  // when setting the library's fails, and then a port that waits for ever
  // would hang the run rather than show a fault of the library's.
  for (const char* name : {"COM1", "COM2", "COM3", "COM4"}) {
    port.line(name).timeouts = {pelcor::os::MAXDWORD, 0, 0, 0, 0};
  }
  for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
    if (in.ConsumeBool()) {
      CallOne(in, port);
    } else {
      FarEndAction(in, port);
    }
  }
  return 0;
}
