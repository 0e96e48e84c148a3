// Every export but InitComm refuses a port that is out of range or not open,
// without a system call and without changing any state.
#include <climits>
#include <functional>

#include "library_fixture.h"

namespace pelcor::test {
namespace {

struct Refusal {
  const char* name;
  std::function<int32_t(int32_t)> call;
  int32_t result;
};

const Refusal kRefusals[] = {
    {"ReadPosition", [](int32_t p) { return ReadPosition(p); }, 0},
    {"ResetCounter", [](int32_t p) { return ResetCounter(p); }, 1},
    {"Initialize", [](int32_t p) { return Initialize(p, 1, 2); }, 1},
    {"SetMultiplier", [](int32_t p) { return SetMultiplier(p, 1); }, 1},
    {"SetPosition", [](int32_t p) { return SetPosition(p, 7); }, 1},
    {"Ping", [](int32_t p) { return Ping(p); }, 0},
    {"SetCompare", [](int32_t p) { return SetCompare(p, 7); }, 1},
    {"PassedCompare", [](int32_t p) { return PassedCompare(p); },
     static_cast<int32_t>(os::kInvalidHandleError)},
    {"EnableIndex", [](int32_t p) { return EnableIndex(p); }, 1},
    {"DisableIndex", [](int32_t p) { return DisableIndex(p); }, 1},
    {"CloseComm", [](int32_t p) { return CloseComm(p); }, 0},
    {"ChangeLocalBaudRate",
     [](int32_t p) { return ChangeLocalBaudRate(p, 19200); }, 1},
    {"ChangeBaud", [](int32_t p) { return ChangeBaud(p, 19200); }, 1},
};

using RefusalTest = LibraryTest;

TEST_F(RefusalTest, PortsNotOpenAreRefusedWithoutASystemCall) {
  Open(1);
  ASSERT_EQ(CloseComm(1), 0);  // closed: the slot still holds the handle
  Open(3);                     // open, and must stay untouched
  CompareLatch[0] = 1;
  std::fill(std::begin(ReceiveArea), std::end(ReceiveArea), 0x5A);
  port_.ClearCalls();
  for (const Refusal& r : kRefusals) {
    for (int32_t port : {1, 2, 0, 5, -1, INT_MIN, INT_MAX}) {
      const StateSnapshot before = StateSnapshot::Take();
      EXPECT_EQ(r.call(port), r.result) << r.name << " " << port;
      EXPECT_TRUE(port_.calls().empty()) << r.name << " " << port;
      EXPECT_TRUE(StateSnapshot::Take() == before) << r.name << " " << port;
    }
  }
  EXPECT_TRUE(line(1).sent.empty());
}

TEST_F(RefusalTest, EveryExportButInitCommIsInTheTable) {
  int rows = 0;
#define PELCOR_COUNT_EXPORT(ordinal, name, argc, params) ++rows;
  PELCOR_EXPORT_TABLE(PELCOR_COUNT_EXPORT)
#undef PELCOR_COUNT_EXPORT
  EXPECT_EQ(std::size(kRefusals), static_cast<std::size_t>(rows - 1));
}

}  // namespace
}  // namespace pelcor::test
