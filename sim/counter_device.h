// A simulated position-counter device: the far end of the serial line as a
// model that any transport can drive. Bytes go in one at a time, as the line
// delivers them; out come the reply bytes, the speed that they go at, and,
// when a byte completes a frame, a decoded record of it for traces. The model
// keeps no clock and starts no thread: pacing, latency and chatter are the
// transport's job (the scripted far end in the tests, the pseudo-terminal
// device in pty_device.h).
//
// Behaviour that the protocol leaves to the device, settled here:
//  - Frames are told by their lead byte alone: 0x01, 0x41, 0x88, 0x99 stand
//    alone; 0x66, 0x44, 0x77 take one more byte; 0x22 takes five more. A byte
//    after a lead byte may take any value. A byte that cannot start a frame
//    is dropped, with a record of kind kUnknown and no reply.
//  - The count is 32 bits, signed, and wraps around.
//  - The LoadRegister is 24 bits. It is read as a signed 24-bit value
//    (sign-extended) both when TransferToCount copies it into the count and
//    when it serves as the compare value, so a preset of -100 gives the count
//    -100 and a compare value of -1 compares against -1.
//  - CTS, the compare output, is on while count >= compare value (signed).
//    At power-on both are 0, so CTS is on.
//  - StartLoad makes the next three DataFrames fill the LoadRegister, least
//    significant byte first, each byte taking effect as it arrives; other
//    frames in between do not cancel the load. A DataFrame outside a load is
//    ignored.
//  - SpeedCommand, SetupCommand and a MultiplierControl frame are answered
//    with one acknowledgement byte, kAcknowledge (0x06, ASCII ACK).
//    ClearCount, StartLoad, TransferToCount, DataFrame and a control byte
//    without a meaning get no reply; the last is ignored.
//  - SpeedCommand is answered at the old speed; the device then runs at the
//    speed that the code names. An unknown code is answered and the speed
//    kept.
//  - The encoder: Move(edges) changes the count by edges x multiplier (either
//    sign); multiplier 0 stops counting. IndexPulse() clears the count while
//    the index input is enabled (it is disabled at power-on).
//  - Power-on: count 0, LoadRegister 0, multiplier 1, index disabled,
//    9600 bit/s, set-up byte and value 0.
//
// Faults change only what goes back on the line: a faulty device still acts
// on every frame it receives.
#ifndef PELCOR_SIM_COUNTER_DEVICE_H
#define PELCOR_SIM_COUNTER_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelcor::sim {

inline constexpr std::uint32_t kPowerOnBaud = 9600;
inline constexpr std::uint8_t kAcknowledge = 0x06;
inline constexpr std::uint8_t kPingReply = 0x34;
inline constexpr std::uint8_t kIndexOnReply = 0x45;
inline constexpr std::uint8_t kIndexOffReply = 0x44;

enum class FrameKind {
  kReadCount,  // 0x01
  kPing,       // 0x41
  kIndexOn,    // 0x88
  kIndexOff,   // 0x99
  kSpeed,      // 0x77 code
  kSetup,      // 0x22 byte value0..value3
  kControl,    // 0x66 control
  kData,       // 0x44 data
  kUnknown,    // a byte that cannot start a frame, dropped
  kLost,       // made by transports: a byte lost to a speed mismatch
};

// One frame as the device saw it.
struct Frame {
  FrameKind kind = FrameKind::kUnknown;
  std::vector<std::uint8_t> bytes;  // as received, lead byte first
  std::string meaning;              // e.g. "read count -> 300"
  // What went back on the line in answer to this frame's bytes, faults
  // applied (with echo: the frame's own bytes, sent as each one came).
  std::vector<std::uint8_t> reply;
  std::uint32_t reply_baud = 0;  // the speed the reply goes at
};

// Misbehaviour on cue. The model applies silent, echo and short_reply to its
// replies; late, chatter and unasked bytes are timing, which the transports
// apply.
struct Faults {
  // Never answers.
  bool silent = false;
  // Sends back every byte it gets, as it comes, and no normal reply.
  bool echo = false;
  // Cuts every reply to this many bytes.
  std::optional<std::size_t> short_reply = std::nullopt;
  // Starts every reply this much later.
  std::int64_t late_ns = 0;
  // Sends chatter_byte unasked, back to back, without end.
  bool chatter = false;
  std::uint8_t chatter_byte = 0x55;
};

// What one byte from the line produced.
struct ByteResult {
  std::vector<std::uint8_t> reply;  // to send now, at reply_baud
  std::uint32_t reply_baud = 0;
  std::optional<Frame> frame;  // set when this byte ended a frame
};

// What a run of bytes produced. Replies are concatenated; each frame says the
// speed its own reply goes at (a SpeedCommand in the run changes it).
struct FeedResult {
  std::vector<Frame> frames;
  std::vector<std::uint8_t> reply;
};

class CounterDevice {
 public:
  CounterDevice() = default;

  ByteResult FeedByte(std::uint8_t byte);
  FeedResult Feed(std::span<const std::uint8_t> bytes);

  // The encoder input: `edges` counted times the multiplier, either sign.
  void Move(std::int64_t edges);
  // The index input: clears the count while index is enabled.
  void IndexPulse();

  std::int32_t count() const { return count_; }
  // The raw 24-bit register, and the same read as signed 24 bits.
  std::uint32_t load_register() const { return load_register_; }
  std::int32_t compare_value() const;
  bool cts() const { return count_ >= compare_value(); }
  int multiplier() const { return multiplier_; }
  bool index_enabled() const { return index_enabled_; }
  std::uint32_t baud() const { return baud_; }
  std::uint8_t setup_byte() const { return setup_byte_; }
  std::int32_t setup_value() const { return setup_value_; }
  // Bytes of an unfinished frame held so far (0 between frames).
  std::size_t pending() const { return pending_.size(); }
  // Whether a StartLoad still waits for DataFrames, and for how many.
  int load_bytes_due() const { return 3 - load_next_; }

  const Faults& faults() const { return faults_; }
  void set_faults(const Faults& f) { faults_ = f; }

  // The frame length that a lead byte fixes, lead byte included; 0 for a
  // byte that cannot start a frame.
  static std::size_t FrameLength(std::uint8_t lead);
  // The speed that a SpeedCode names, if any.
  static std::optional<std::uint32_t> BaudOfSpeedCode(std::uint8_t code);

 private:
  // Acts on a whole frame; returns its normal reply and sets its meaning.
  std::vector<std::uint8_t> Execute(Frame& frame);
  std::vector<std::uint8_t> Control(std::uint8_t control, std::string& meaning);

  std::int32_t count_ = 0;
  std::uint32_t load_register_ = 0;
  int load_next_ = 3;  // the next DataFrame fills this byte; 3: no load
  int multiplier_ = 1;
  bool index_enabled_ = false;
  std::uint32_t baud_ = kPowerOnBaud;
  std::uint8_t setup_byte_ = 0;
  std::int32_t setup_value_ = 0;
  Faults faults_;
  std::vector<std::uint8_t> pending_;
  std::vector<std::uint8_t> echoed_;  // echoes of the pending frame's bytes
};

// The record a transport makes of a byte lost to a speed mismatch.
Frame LostBySpeed(std::uint8_t byte, std::uint32_t line_baud,
                  std::uint32_t device_baud);

// "66 04": bytes in hex, for traces.
std::string Hex(std::span<const std::uint8_t> bytes);
// One trace line: bytes, meaning, reply and its speed.
std::string Describe(const Frame& frame);

}  // namespace pelcor::sim

#endif
