// Opening, setting up and closing ports, and the PC side's speed.
#include <climits>
#include <cstring>
#include <functional>

#include "library_fixture.h"

namespace pelcor::test {
namespace {

// The record that every port gets: 9600 8N1, everything else zero.
os::DCB BuiltSettings(DWORD baud = 9600) {
  os::DCB d{};
  d.BaudRate = baud;
  d.ByteSize = 8;
  return d;
}

// The fields of a DCB by name, so that a mismatch says which field.
std::map<std::string, DWORD> Fields(const os::DCB& d) {
  return {{"DCBlength", d.DCBlength},
          {"BaudRate", d.BaudRate},
          {"fBinary", d.fBinary},
          {"fParity", d.fParity},
          {"fOutxCtsFlow", d.fOutxCtsFlow},
          {"fOutxDsrFlow", d.fOutxDsrFlow},
          {"fDtrControl", d.fDtrControl},
          {"fDsrSensitivity", d.fDsrSensitivity},
          {"fTXContinueOnXoff", d.fTXContinueOnXoff},
          {"fOutX", d.fOutX},
          {"fInX", d.fInX},
          {"fErrorChar", d.fErrorChar},
          {"fNull", d.fNull},
          {"fRtsControl", d.fRtsControl},
          {"fAbortOnError", d.fAbortOnError},
          {"fDummy2", d.fDummy2},
          {"wReserved", d.wReserved},
          {"XonLim", d.XonLim},
          {"XoffLim", d.XoffLim},
          {"ByteSize", d.ByteSize},
          {"Parity", d.Parity},
          {"StopBits", d.StopBits},
          {"XonChar", static_cast<DWORD>(d.XonChar)},
          {"XoffChar", static_cast<DWORD>(d.XoffChar)},
          {"ErrorChar", static_cast<DWORD>(d.ErrorChar)},
          {"EofChar", static_cast<DWORD>(d.EofChar)},
          {"EvtChar", static_cast<DWORD>(d.EvtChar)},
          {"wReserved1", d.wReserved1}};
}

bool SameBytes(const os::DCB& a, const os::DCB& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

using PortTableTest = LibraryTest;

TEST_F(PortTableTest, InitCommOpensAndSetsUpThePortInOrder) {
  ASSERT_EQ(InitComm(3), 0);

  const std::vector<Call> kinds = {Call::kCreateFileA,  Call::kGetCommState,
                                   Call::kSetCommState, Call::kSetCommMask,
                                   Call::kSetupComm,    Call::kSetCommTimeouts,
                                   Call::kSetCommMask};
  ASSERT_EQ(port_.CallKinds(), kinds);
  const auto& c = port_.calls();
  EXPECT_EQ(c[0].name, "COM3");
  EXPECT_EQ(c[0].access, os::GENERIC_READ | os::GENERIC_WRITE);
  EXPECT_EQ(c[0].share, 0u);
  EXPECT_TRUE(c[0].security_null);
  EXPECT_EQ(c[0].disposition, os::OPEN_EXISTING);
  EXPECT_EQ(c[0].flags, 0u);
  EXPECT_TRUE(c[0].template_null);
  const os::HANDLE h = c[0].handle;
  for (const CallRecord& r : c) {
    if (r.call != Call::kCreateFileA) {
      EXPECT_EQ(r.handle, h) << CallName(r.call);
    }
  }
  EXPECT_EQ(Fields(c[2].dcb), Fields(BuiltSettings()));
  EXPECT_TRUE(SameBytes(c[2].dcb, BuiltSettings()));
  EXPECT_EQ(c[3].mask, 0x4Cu);
  EXPECT_EQ(c[4].in_queue, 100u);
  EXPECT_EQ(c[4].out_queue, 100u);
  const os::COMMTIMEOUTS& t = c[5].timeouts;
  EXPECT_EQ((std::vector<DWORD>{
                t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                t.WriteTotalTimeoutConstant}),
            (std::vector<DWORD>{10, 2, 10, 2, 10}));
  EXPECT_EQ(c[6].mask, 0x08u);

  EXPECT_EQ(PortTable[2], h);
  EXPECT_STREQ(DeviceNameTemplate, "COM3");
  EXPECT_TRUE(SameBytes(LineSettings, BuiltSettings()));
  EXPECT_EQ(line(3).event_mask, 0x08u);
  EXPECT_EQ(line(3).dcb.BaudRate, 9600u);
  // Nothing goes to the device.
  EXPECT_TRUE(line(3).sent.empty());

  ASSERT_EQ(InitComm(1), 0);
  EXPECT_EQ(port_.calls()[7].name, "COM1");
  EXPECT_STREQ(DeviceNameTemplate, "COM1");
}

TEST_F(PortTableTest, InitCommRefusesNumbersOutsideOneToFour) {
  for (int32_t port : {0, 5, -1, INT_MIN, INT_MAX, 256 + 1}) {
    const StateSnapshot before = StateSnapshot::Take();
    EXPECT_EQ(InitComm(port), 1) << port;
    EXPECT_TRUE(port_.calls().empty()) << port;
    EXPECT_TRUE(StateSnapshot::Take() == before) << port;
  }
}

struct FailingStep {
  Call call;
  int skip;  // calls of that kind that succeed first
  int32_t result;
  std::size_t calls_made;  // the failing one included
};

// Each case needs a fresh port of its own, so no fixture here.
TEST(InitCommSetup, StopsAtTheFirstStepThatCounts) {
  const FailingStep steps[] = {
      {Call::kCreateFileA, 0, 1, 1},  {Call::kGetCommState, 0, 8, 2},
      {Call::kSetCommState, 0, 8, 3}, {Call::kSetCommMask, 0, 8, 4},
      {Call::kSetupComm, 0, 0, 7},    {Call::kSetCommTimeouts, 0, 0, 7},
      {Call::kSetCommMask, 1, 0, 7},
  };
  for (const FailingStep& s : steps) {
    SCOPED_TRACE(std::string(CallName(s.call)) + " skip " +
                 std::to_string(s.skip));
    ResetModuleState();
    ScriptedPort port;
    // A slot that held a closed handle before, to show what a failed open
    // leaves in it.
    PortTable[1] = 0x77;
    port.FailNext(s.call, 31, s.skip);

    EXPECT_EQ(InitComm(2), s.result);
    EXPECT_EQ(port.calls().size(), s.calls_made);
    EXPECT_STREQ(DeviceNameTemplate, "COM2");
    if (s.call == Call::kCreateFileA) {
      EXPECT_EQ(PortTable[1], 0x77);
      EXPECT_FALSE(PortOpen[1]);
      continue;
    }
    // Opened: the host now holds the port and releases it with CloseComm.
    const os::HANDLE h = port.calls()[0].handle;
    EXPECT_EQ(PortTable[1], h);
    EXPECT_TRUE(PortOpen[1]);
    if (s.call == Call::kGetCommState) {
      EXPECT_TRUE(SameBytes(LineSettings, os::DCB{}));
    } else {
      EXPECT_TRUE(SameBytes(LineSettings, BuiltSettings()));
    }
    EXPECT_EQ(CloseComm(2), 0);
    EXPECT_FALSE(port.OpenHandle("COM2"));
  }
}

TEST_F(PortTableTest, InitCommGivesOneForAPortThatWillNotOpen) {
  Open(2);
  ASSERT_EQ(CloseComm(2), 0);
  const os::HANDLE closed = PortTable[1];

  line(2).present = false;
  EXPECT_EQ(InitComm(2), 1);
  line(2).present = true;
  line(2).held_elsewhere = true;
  EXPECT_EQ(InitComm(2), 1);

  EXPECT_EQ(PortTable[1], closed);
  EXPECT_FALSE(PortOpen[1]);
  EXPECT_EQ(ChangeLocalBaudRate(2, 4800), 1);
}

TEST_F(PortTableTest, SecondInitCommLeavesTheFirstHandleWorking) {
  Open(1);
  const os::HANDLE first = PortTable[0];

  EXPECT_EQ(InitComm(1), 1);
  EXPECT_TRUE(port_.calls().empty());
  EXPECT_EQ(PortTable[0], first);

  EXPECT_EQ(ChangeLocalBaudRate(1, 19200), 0);
  ASSERT_EQ(port_.calls().size(), 1u);
  EXPECT_EQ(port_.calls()[0].handle, first);
  EXPECT_TRUE(port_.calls()[0].ok);
}

TEST_F(PortTableTest, CloseCommClosesOnceAndKeepsTheSlot) {
  Open(4);
  const os::HANDLE h = PortTable[3];

  EXPECT_EQ(CloseComm(4), 0);
  ASSERT_EQ(port_.CallKinds(), std::vector<Call>{Call::kCloseHandle});
  EXPECT_EQ(port_.calls()[0].handle, h);
  EXPECT_EQ(PortTable[3], h);
  EXPECT_FALSE(port_.OpenHandle("COM4"));

  // The closed handle is never handed to the system again.
  port_.ClearCalls();
  EXPECT_EQ(CloseComm(4), 0);
  EXPECT_TRUE(port_.calls().empty());

  // Reopening puts the new handle in the slot.
  ASSERT_EQ(InitComm(4), 0);
  EXPECT_NE(PortTable[3], h);
  EXPECT_EQ(PortTable[3], *port_.OpenHandle("COM4"));
}

TEST_F(PortTableTest, CloseCommGivesZeroWhenTheCloseFails) {
  Open(1);
  port_.FailNext(Call::kCloseHandle, 6);
  EXPECT_EQ(CloseComm(1), 0);
  // The port counts as closed: the library will not use the handle again.
  EXPECT_FALSE(PortOpen[0]);
}

TEST_F(PortTableTest, ChangeLocalBaudRateStoresAnySpeedUnchanged) {
  Open(1);
  for (int32_t speed :
       {19200, 115200, 300, 250000, 0, 1, -1, INT_MIN, INT_MAX}) {
    port_.ClearCalls();
    EXPECT_EQ(ChangeLocalBaudRate(1, speed), 0) << speed;
    EXPECT_EQ(LineSettings.BaudRate, static_cast<DWORD>(speed));
    ASSERT_EQ(port_.CallKinds(), std::vector<Call>{Call::kSetCommState});
    EXPECT_TRUE(SameBytes(port_.calls()[0].dcb,
                          BuiltSettings(static_cast<DWORD>(speed))));
  }
  // A speed the port refuses: still 0, and the record keeps it while the
  // port runs on at its former speed.
  port_.FailNext(Call::kSetCommState, 87);
  EXPECT_EQ(ChangeLocalBaudRate(1, 12345), 0);
  EXPECT_EQ(LineSettings.BaudRate, 12345u);
  EXPECT_EQ(line(1).dcb.BaudRate, static_cast<DWORD>(INT_MAX));
}

TEST_F(PortTableTest, InitCommOfAnotherPortPutsTheRecordBackTo9600) {
  Open(1);
  ASSERT_EQ(ChangeLocalBaudRate(1, 19200), 0);
  Open(2);
  EXPECT_EQ(line(2).dcb.BaudRate, 9600u);
  EXPECT_EQ(line(1).dcb.BaudRate, 19200u);
  EXPECT_EQ(LineSettings.BaudRate, 9600u);

  ASSERT_EQ(ChangeLocalBaudRate(2, 4800), 0);
  EXPECT_TRUE(SameBytes(line(2).dcb, BuiltSettings(4800)));
  EXPECT_EQ(line(1).dcb.BaudRate, 19200u);
}

}  // namespace
}  // namespace pelcor::test
