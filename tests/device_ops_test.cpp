// Each device export's exchange on the line, against far ends that answer,
// stay silent, echo, or answer short; and how ReceiveArea carries over.
#include <climits>
#include <functional>
#include <map>

#include "library_fixture.h"

namespace pelcor::test {
namespace {

constexpr std::int64_t kByte9600 = 10 * 1'000'000'000LL / 9600;

enum Device { kAnswers, kSilent, kEchoes, kShort };
const char* const kDeviceNames[] = {"answers", "silent", "echoes", "short"};

// The reply of a well-behaved device to each whole frame.
Bytes Answer(const Bytes& frame) {
  static const std::map<std::uint8_t, Bytes> replies = {
      {0x01, {0x2C, 0x01, 0x00, 0x00}},  // count 300
      {0x41, {0x34}},
      {0x88, {0x45}},
      {0x99, {0x44}},
      {0x77, {0x06}},
      {0x22, {0x06}},
  };
  if (frame.size() == 2 && frame[0] == 0x66 && frame[1] >= 0xC0) return {0x06};
  auto it = replies.find(frame[0]);
  return it == replies.end() ? Bytes{} : it->second;
}

void Attach(Line& line, Device device) {
  line.on_write = [device](Line& l, std::int64_t at, const Bytes& frame) {
    Bytes reply;
    switch (device) {
      case kAnswers:
        reply = Answer(frame);
        break;
      case kSilent:
        break;
      case kEchoes:
        reply = frame;
        break;
      case kShort:
        reply = Answer(frame);
        if (reply.size() > 2) reply.resize(2);
        break;
    }
    l.Arrive(at + 1 * kMs, reply);
  };
}

enum Pattern { kChecked, kPlain, kAcknowledged, kAcknowledgedThenSpeed };

std::vector<Call> Calls(Pattern p) {
  switch (p) {
    case kChecked:
      return {Call::kSetCommTimeouts, Call::kSetCommTimeouts, Call::kPurgeComm,
              Call::kReadFile,        Call::kWriteFile,       Call::kReadFile};
    case kPlain:
      return {Call::kWriteFile};
    case kAcknowledged:
      return {Call::kWriteFile, Call::kReadFile};
    case kAcknowledgedThenSpeed:
      return {Call::kWriteFile, Call::kReadFile, Call::kSetCommState};
  }
  return {};
}

struct ExportCase {
  const char* name;
  std::function<int32_t()> call;
  Pattern pattern;
  Bytes out;
  DWORD asked;            // bytes asked for by the last read (0: none)
  int32_t results[4];     // by Device
  std::uint8_t area0[4];  // ReceiveArea[0] afterwards, by Device
};

// ReceiveArea holds AA BB CC DD before every call.
const ExportCase kExports[] = {
    {"ReadPosition",
     [] { return ReadPosition(1); },
     kChecked,
     {0x01},
     4,
     {300, static_cast<int32_t>(0xDDCCBBAA), static_cast<int32_t>(0xDDCCBB01),
      static_cast<int32_t>(0xDDCC012C)},
     {0x2C, 0xAA, 0x01, 0x2C}},
    {"ResetCounter",
     [] { return ResetCounter(1); },
     kPlain,
     {0x66, 0x04},
     0,
     {0, 0, 0, 0},
     {0xAA, 0xAA, 0xAA, 0xAA}},
    {"SetPosition",
     [] { return SetPosition(1, 0x12345678); },
     kPlain,
     {0x66, 0x04, 0x66, 0x01, 0x44, 0x78, 0x44, 0x56, 0x44, 0x34, 0x66, 0x08},
     0,
     {0, 0, 0, 0},
     {0xAA, 0xAA, 0xAA, 0xAA}},
    {"SetCompare",
     [] { return SetCompare(1, -1); },
     kPlain,
     {0x66, 0x01, 0x44, 0xFF, 0x44, 0xFF, 0x44, 0xFF},
     0,
     {0, 0, 0, 0},
     {0xAA, 0xAA, 0xAA, 0xAA}},
    {"SetMultiplier",
     [] { return SetMultiplier(1, 4); },
     kAcknowledged,
     {0x66, 0xC3},
     1,
     {0, 0, 0, 0},
     {0x06, 0xAA, 0x66, 0x06}},
    {"Ping",
     [] { return Ping(1); },
     kChecked,
     {0x41},
     1,
     {1, 0, 0, 1},
     {0x34, 0x41, 0x41, 0x34}},
    {"EnableIndex",
     [] { return EnableIndex(1); },
     kChecked,
     {0x88},
     1,
     {0, 1, 1, 0},
     {0x45, 0x88, 0x88, 0x45}},
    {"DisableIndex",
     [] { return DisableIndex(1); },
     kChecked,
     {0x99},
     1,
     {0, 1, 1, 0},
     {0x44, 0x99, 0x99, 0x44}},
    {"ChangeBaud",
     [] { return ChangeBaud(1, 19200); },
     kAcknowledgedThenSpeed,
     {0x77, 0x11},
     1,
     {0, 0, 0, 0},
     {0x06, 0xAA, 0x77, 0x06}},
    {"Initialize",
     [] { return Initialize(1, 0x105, 0x0A0B0C0D); },
     kAcknowledged,
     {0x22, 0x05, 0x0D, 0x0C, 0x0B, 0x0A},
     1,
     {0, 0, 0, 0},
     {0x06, 0xAA, 0x22, 0x06}},
};

// Each case needs a fresh library and port, so no fixture here.
TEST(DeviceExports, ExchangeAsTheirPatternSaysOnEveryKindOfDevice) {
  for (const ExportCase& c : kExports) {
    for (Device d : {kAnswers, kSilent, kEchoes, kShort}) {
      SCOPED_TRACE(std::string(c.name) + ", device " + kDeviceNames[d]);
      ResetModuleState();
      ScriptedPort port;
      ASSERT_EQ(InitComm(1), 0);
      Line& line = port.line("COM1");
      Attach(line, d);
      std::memcpy(ReceiveArea, "\xAA\xBB\xCC\xDD", 4);
      port.ClearCalls();

      EXPECT_EQ(c.call(), c.results[d]);
      EXPECT_EQ(port.CallKinds(), Calls(c.pattern));
      EXPECT_EQ(line.sent, c.out);
      const auto reads = port.CallsOf(Call::kReadFile);
      EXPECT_EQ(reads.empty() ? 0 : reads.back().asked, c.asked);
      EXPECT_EQ(ReceiveArea[0], c.area0[d]);
      for (const CallRecord& r : port.calls()) {
        EXPECT_EQ(r.handle, PortTable[0]) << CallName(r.call);
        EXPECT_TRUE(r.overlapped_null) << CallName(r.call);
      }
    }
  }
}

class DeviceOpsTest : public LibraryTest {
 protected:
  void SetUp() override {
    Open(1);
    Open(2);
    port_.Advance(1000 * kMs);
  }
};

TEST_F(DeviceOpsTest, ReadPositionDecodesTheCount) {
  const std::pair<Bytes, int32_t> cases[] = {{{0x64, 0x00, 0x00, 0x00}, 100},
                                             {{0xFE, 0xFF, 0xFF, 0xFF}, -2}};
  for (const auto& [reply, count] : cases) {
    line(1).on_write = [reply](Line& l, std::int64_t at, const Bytes&) {
      l.Arrive(at, reply);
    };
    EXPECT_EQ(ReadPosition(1), count);
  }
}

TEST_F(DeviceOpsTest, FirstReadPositionOnASilentDeviceGivesZero) {
  EXPECT_EQ(ReadPosition(1), 0);
}

TEST_F(DeviceOpsTest, AShortCountReplyKeepsTheOlderBytes) {
  line(1).on_write = [](Line& l, std::int64_t at, const Bytes&) {
    l.Arrive(at, {0x01, 0x02, 0x03, 0x04});
    l.on_write = [](Line& l2, std::int64_t at2, const Bytes&) {
      l2.Arrive(at2, {0x05, 0x00});
    };
  };
  EXPECT_EQ(ReadPosition(1), 0x04030201);
  EXPECT_EQ(ReadPosition(1), 0x04030005);
}

TEST_F(DeviceOpsTest, ReceiveAreaCarriesOverBetweenExportsAndPorts) {
  // A ping that got no answer leaves its command byte, and a count read on
  // another port that gets none either is built from it.
  EXPECT_EQ(Ping(1), 0);
  EXPECT_EQ(ReceiveArea[0], 0x41);
  EXPECT_EQ(ReadPosition(2), 0x41);
  // A stale byte in ReceiveArea[0] never counts as a reply: the preset
  // overwrites it first.
  ReceiveArea[0] = 0x34;
  EXPECT_EQ(Ping(2), 0);
}

TEST_F(DeviceOpsTest, FurtherReplyBytesWaitForTheNextExchange) {
  line(1).on_write = [](Line& l, std::int64_t at, const Bytes&) {
    l.Arrive(at, {0x34, 0x99});
    l.on_write = nullptr;
  };
  EXPECT_EQ(Ping(1), 1);
  // The next acknowledged send takes the left-over byte as its reply...
  Initialize(1, 0, 0);
  EXPECT_EQ(ReceiveArea[0], 0x99);
  // ...while a checked exchange drains such bytes before it writes.
  line(1).Arrive(port_.Now(), {0x34});
  EXPECT_EQ(Ping(1), 0);
}

TEST_F(DeviceOpsTest, WrongReplyBytesFailTheIndexCommands) {
  const std::tuple<std::function<int32_t()>, std::uint8_t, int32_t> cases[] = {
      {[] { return EnableIndex(1); }, 0x44, 1},
      {[] { return DisableIndex(1); }, 0x45, 1},
      {[] { return Ping(1); }, 0x35, 0},
  };
  for (const auto& [call, reply, result] : cases) {
    line(1).on_write = [r = reply](Line& l, std::int64_t at, const Bytes&) {
      l.Arrive(at, {r});
    };
    EXPECT_EQ(call(), result) << int{reply};
  }
}

TEST_F(DeviceOpsTest, SilentExchangesTakeTheirTimeoutBounds) {
  struct Case {
    const char* name;
    std::function<int32_t()> call;
    std::int64_t ns;
  } cases[] = {
      // Drain's quiet read, the command byte, the reply's read bound.
      {"Ping", [] { return Ping(1); }, 12 * kMs + kByte9600 + 12 * kMs},
      {"ReadPosition", [] { return ReadPosition(1); },
       12 * kMs + kByte9600 + 18 * kMs},
      {"SetMultiplier", [] { return SetMultiplier(1, 2); },
       2 * kByte9600 + 12 * kMs},
      {"SetPosition", [] { return SetPosition(1, 1); }, 12 * kByte9600},
  };
  for (const Case& c : cases) {
    const std::int64_t start = port_.Now();
    c.call();
    EXPECT_EQ(port_.Now() - start, c.ns) << c.name;
  }
}

TEST_F(DeviceOpsTest, RefusedMultipliersAndSpeedsSendNothing) {
  const std::pair<const char*, std::function<int32_t()>> cases[] = {
      {"SetMultiplier 3", [] { return SetMultiplier(1, 3); }},
      {"SetMultiplier 5", [] { return SetMultiplier(1, 5); }},
      {"SetMultiplier 8", [] { return SetMultiplier(1, 8); }},
      {"SetMultiplier -1", [] { return SetMultiplier(1, -1); }},
      {"ChangeBaud 300", [] { return ChangeBaud(1, 300); }},
      {"ChangeBaud 0", [] { return ChangeBaud(1, 0); }},
      {"ChangeBaud 9601", [] { return ChangeBaud(1, 9601); }},
      {"ChangeBaud INT_MIN", [] { return ChangeBaud(1, INT_MIN); }},
  };
  std::fill(std::begin(TransmitArea), std::end(TransmitArea), 0x11);
  std::fill(std::begin(ReceiveArea), std::end(ReceiveArea), 0x22);
  for (const auto& [what, call] : cases) {
    const StateSnapshot before = StateSnapshot::Take();
    EXPECT_EQ(call(), 1) << what;
    EXPECT_TRUE(port_.calls().empty()) << what;
    EXPECT_TRUE(StateSnapshot::Take() == before) << what;
  }
  EXPECT_EQ(line(1).dcb.BaudRate, 9600u);
}

TEST_F(DeviceOpsTest, ChangeBaudSwitchesThePcSideAfterTheAnswerWindow) {
  for (int32_t speed : {19200, 19200, 115200, 2400, 9600}) {
    port_.ClearCalls();
    const std::int64_t old_byte_time = line(1).ByteTimeNanos();
    EXPECT_EQ(ChangeBaud(1, speed), 0);
    const auto& c = port_.calls();
    ASSERT_EQ(c.size(), 3u);
    // The command and the answer window run at the old speed.
    EXPECT_EQ(c[0].Waited(), 2 * old_byte_time);
    EXPECT_EQ(c[1].Waited(), 12 * kMs);
    EXPECT_EQ(c[2].start_ns, c[1].end_ns);
    EXPECT_EQ(c[2].dcb.BaudRate, static_cast<DWORD>(speed));
    EXPECT_EQ(line(1).dcb.BaudRate, static_cast<DWORD>(speed));
    EXPECT_EQ(LineSettings.BaudRate, static_cast<DWORD>(speed));
  }
}

TEST_F(DeviceOpsTest, FailedWritesAndReadsDoNotChangeTheFixedResults) {
  for (Call failing : {Call::kWriteFile, Call::kReadFile}) {
    port_.FailAlways(failing, 1117);
    EXPECT_EQ(ResetCounter(1), 0);
    EXPECT_EQ(SetPosition(1, 5), 0);
    EXPECT_EQ(SetCompare(1, 5), 0);
    EXPECT_EQ(SetMultiplier(1, 1), 0);
    EXPECT_EQ(Initialize(1, 1, 1), 0);
    EXPECT_EQ(ChangeBaud(1, 9600), 0);
    EXPECT_EQ(Ping(1), 0);
    EXPECT_EQ(EnableIndex(1), 1);
    port_.Heal(failing);
  }
}

}  // namespace
}  // namespace pelcor::test
