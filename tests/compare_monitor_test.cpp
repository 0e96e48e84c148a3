// PassedCompare and the per-port latch on CTS.
#include "library_fixture.h"

namespace pelcor::test {
namespace {

class CompareMonitorTest : public LibraryTest {
 protected:
  void SetUp() override {
    Open(1);
    Open(2);
  }
  void Cts(int port, bool on) {
    line(port).modem_status = on ? os::MS_CTS_ON : 0;
  }
};

TEST_F(CompareMonitorTest, FollowsTheLatchTable) {
  // CTS at each call, and what the call reports.
  const std::pair<bool, int32_t> steps[] = {
      {false, 0},  // first call, CTS off: no change from the load value
      {true, 1},  {true, 0}, {false, 1}, {false, 0}, {true, 1},
  };
  for (const auto& [cts, result] : steps) {
    Cts(1, cts);
    EXPECT_EQ(PassedCompare(1), result);
    EXPECT_EQ(CompareLatch[0], cts ? 1 : 0);
  }
  // Only CTS counts; every other modem line is ignored.
  line(1).modem_status = 0xFFFFFFFFu & ~os::MS_CTS_ON;
  EXPECT_EQ(PassedCompare(1), 1);
  EXPECT_EQ(PassedCompare(1), 0);
}

TEST_F(CompareMonitorTest, FirstCallReportsCtsOnAsAChange) {
  Cts(1, true);
  EXPECT_EQ(PassedCompare(1), 1);
}

TEST_F(CompareMonitorTest, ComparesOnlyTheStatesAtTheCalls) {
  Cts(1, true);
  ASSERT_EQ(PassedCompare(1), 1);
  Cts(1, false);  // off and on again between calls: not seen
  Cts(1, true);
  EXPECT_EQ(PassedCompare(1), 0);
}

TEST_F(CompareMonitorTest, AFailedReadPassesTheCodeOnAndKeepsTheLatch) {
  Cts(1, true);
  ASSERT_EQ(PassedCompare(1), 1);
  port_.ClearCalls();
  for (DWORD code : {31u, 0u, 1u, 0xFFFFFFFFu}) {
    port_.FailNext(Call::kGetCommModemStatus, code);
    EXPECT_EQ(PassedCompare(1), static_cast<int32_t>(code));
    EXPECT_EQ(CompareLatch[0], 1);
  }
  // The system's error is read at once after the failed call.
  const std::vector<Call> kinds = {
      Call::kGetCommModemStatus, Call::kGetLastError,
      Call::kGetCommModemStatus, Call::kGetLastError,
      Call::kGetCommModemStatus, Call::kGetLastError,
      Call::kGetCommModemStatus, Call::kGetLastError};
  EXPECT_EQ(port_.CallKinds(), kinds);
  Cts(1, false);
  EXPECT_EQ(PassedCompare(1), 1);  // against the state before the failures
}

TEST_F(CompareMonitorTest, PortsHaveLatchesOfTheirOwn) {
  Cts(1, true);
  Cts(2, false);
  EXPECT_EQ(PassedCompare(1), 1);
  EXPECT_EQ(PassedCompare(2), 0);
  EXPECT_EQ(CompareLatch[1], 0);
  Cts(2, true);
  EXPECT_EQ(PassedCompare(2), 1);
  EXPECT_EQ(PassedCompare(1), 0);
}

TEST_F(CompareMonitorTest, LatchOutlivesCloseAndReopenAndDeviceCalls) {
  Cts(1, true);
  ASSERT_EQ(PassedCompare(1), 1);
  ASSERT_EQ(CloseComm(1), 0);
  Open(1);
  // Device operations on any port leave every latch alone.
  Ping(1);
  EnableIndex(2);
  ReadPosition(1);
  SetPosition(2, 5);
  ChangeBaud(1, 19200);
  Initialize(2, 1, 2);
  EXPECT_EQ(CompareLatch[0], 1);
  EXPECT_EQ(CompareLatch[1], 0);
  EXPECT_EQ(PassedCompare(1), 0);
}

}  // namespace
}  // namespace pelcor::test
