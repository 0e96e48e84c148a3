// Whole host sessions against the simulated device on the scripted line.
#include "far_end_device.h"
#include "library_fixture.h"
#include "link/exchange.h"

namespace pelcor::test {
namespace {

class SessionTest : public LibraryTest {
 protected:
  SessionTest() : far_(port_, "COM1") {}
  sim::CounterDevice& device() { return far_.device(); }
  Line& line() { return far_.line(); }
  FarEndDevice far_;
};

TEST_F(SessionTest, PresetCompareMoveReadAndSeeTheCompareOutput) {
  ASSERT_EQ(InitComm(1), 0);
  EXPECT_EQ(Ping(1), 1);
  // At power-on the count sits at the compare value 0: the output is on.
  EXPECT_EQ(PassedCompare(1), 1);

  EXPECT_EQ(SetPosition(1, 1000), 0);
  EXPECT_EQ(SetCompare(1, 1500), 0);
  EXPECT_EQ(device().count(), 1000);
  EXPECT_EQ(device().compare_value(), 1500);
  EXPECT_EQ(ReadPosition(1), 1000);
  EXPECT_EQ(PassedCompare(1), 1);  // off now
  EXPECT_EQ(PassedCompare(1), 0);

  device().Move(499);
  EXPECT_EQ(ReadPosition(1), 1499);
  EXPECT_EQ(PassedCompare(1), 0);
  device().Move(1);
  EXPECT_EQ(PassedCompare(1), 1);  // reached the compare value
  EXPECT_EQ(ReadPosition(1), 1500);

  EXPECT_EQ(SetMultiplier(1, 4), 0);
  device().Move(-10);
  EXPECT_EQ(ReadPosition(1), 1460);
  EXPECT_EQ(PassedCompare(1), 1);
  EXPECT_EQ(SetMultiplier(1, 0), 0);
  device().Move(1000);
  EXPECT_EQ(ReadPosition(1), 1460);

  // A negative preset goes out as 24 bits and comes back signed.
  EXPECT_EQ(SetPosition(1, -100), 0);
  EXPECT_EQ(ReadPosition(1), -100);
  // SetPosition loaded the compare value too.
  EXPECT_EQ(device().compare_value(), -100);

  EXPECT_EQ(EnableIndex(1), 0);
  EXPECT_TRUE(device().index_enabled());
  device().IndexPulse();
  EXPECT_EQ(ReadPosition(1), 0);
  EXPECT_EQ(DisableIndex(1), 0);
  EXPECT_FALSE(device().index_enabled());

  EXPECT_EQ(Initialize(1, 0x105, 258), 0);
  EXPECT_EQ(device().setup_byte(), 0x05);
  EXPECT_EQ(device().setup_value(), 258);
  EXPECT_EQ(ResetCounter(1), 0);
  EXPECT_EQ(ReadPosition(1), 0);
  EXPECT_EQ(CloseComm(1), 0);
}

TEST_F(SessionTest, SpeedChangesOnBothEndsKeepTheLinkAndOneEndAloneCutsIt) {
  ASSERT_EQ(InitComm(1), 0);
  ASSERT_EQ(SetPosition(1, 77), 0);
  EXPECT_EQ(ChangeBaud(1, 19200), 0);
  EXPECT_EQ(device().baud(), 19200u);
  EXPECT_EQ(line().dcb.BaudRate, 19200u);
  EXPECT_EQ(Ping(1), 1);
  EXPECT_EQ(ReadPosition(1), 77);

  // The PC side alone: the device no longer understands it.
  EXPECT_EQ(ChangeLocalBaudRate(1, 9600), 0);
  EXPECT_EQ(Ping(1), 0);
  // Reopening runs at 9600 whatever the device took; coming back to its
  // speed on the PC side alone mends the link.
  ASSERT_EQ(CloseComm(1), 0);
  ASSERT_EQ(InitComm(1), 0);
  EXPECT_EQ(Ping(1), 0);
  EXPECT_EQ(ChangeLocalBaudRate(1, 19200), 0);
  EXPECT_EQ(Ping(1), 1);
  EXPECT_EQ(ChangeBaud(1, 9600), 0);
  EXPECT_EQ(Ping(1), 1);
}

TEST_F(SessionTest, ALateDeviceAnswersTheNextAcknowledgedSend) {
  ASSERT_EQ(InitComm(1), 0);
  far_.SetFaults({.late_ns = 15 * kMs});
  EXPECT_EQ(Ping(1), 0);  // the 0x34 comes after the 12 ms window
  port_.Advance(5 * kMs);
  EXPECT_EQ(SetMultiplier(1, 2), 0);
  EXPECT_EQ(ReceiveArea[0], 0x34);  // taken as the acknowledgement
  far_.SetFaults({});
  // The late acknowledgement of SetMultiplier has come by now; the purge and
  // drain of the next checked exchange clear it.
  port_.Advance(20 * kMs);
  EXPECT_EQ(Ping(1), 1);
}

TEST_F(SessionTest, AChatteringDeviceLeavesTheCountReadUntouched) {
  ASSERT_EQ(InitComm(1), 0);
  ASSERT_EQ(SetPosition(1, 300), 0);
  ASSERT_EQ(ReadPosition(1), 300);
  far_.SetFaults({.chatter = true});
  const std::int64_t start = port_.Now();
  EXPECT_EQ(ReadPosition(1), 300);  // the old bytes, not the chatter
  EXPECT_GE(port_.Now() - start, pelcor::link::kDrainBoundNanos);
  EXPECT_EQ(line().sent.back(), 0x01);  // nothing was sent this time
  EXPECT_EQ(device().count(), 300);
}

}  // namespace
}  // namespace pelcor::test
