// The simulated counter device at the far end of a scripted line, on the
// scripted port's virtual clock.
//
//  - Each byte that the PC writes reaches the device at the time it has fully
//    left the line, and the device acts on it then.
//  - A reply goes back as bytes one byte time (10 bits) apart at the speed
//    the device answers at: the first has arrived one byte time after the
//    device starts sending, which is when the frame has come in, plus the
//    late fault's delay. A reply waits for the device's previous one to end.
//  - A byte written at a speed other than the device's is lost, and no reply
//    comes: a speed mismatch cuts the link. Such a byte shows in frames() as
//    a record of kind kLost.
//  - CTS shows as MS_CTS_ON in the line's modem status, read from the model
//    at the time the library asks; the line's other modem bits stay as the
//    test set them.
//  - The chatter fault sends its byte back to back at the device's speed,
//    from the time it is set, without end. Chatter() gives it bounds.
//
// The adapter takes over the line's on_byte and modem_status_source and must
// not outlive the scripted port.
#ifndef PELCOR_TESTS_FAR_END_DEVICE_H
#define PELCOR_TESTS_FAR_END_DEVICE_H

#include <cstdint>
#include <string>
#include <vector>

#include "scripted_port.h"
#include "sim/counter_device.h"

namespace pelcor::test {

class FarEndDevice {
 public:
  struct TimedFrame {
    std::int64_t at_ns;  // when its last byte reached the device
    sim::Frame frame;
  };

  explicit FarEndDevice(ScriptedPort& port, const std::string& name = "COM1");
  ~FarEndDevice();
  FarEndDevice(const FarEndDevice&) = delete;
  FarEndDevice& operator=(const FarEndDevice&) = delete;

  // The model itself: move its encoder, pulse its index, read its state.
  sim::CounterDevice& device() { return device_; }
  Line& line() { return line_; }

  // Sets the model's faults; chatter, when newly set, starts now.
  void SetFaults(const sim::Faults& faults);
  // Chatter from `from_ns` until `until_ns`, one byte time apart at the
  // device's speed.
  void Chatter(std::int64_t from_ns, std::int64_t until_ns = os::kNoDeadline);
  // One byte sent unasked, fully arrived at `at_ns`; lost if the PC's side
  // is at another speed now.
  void SendUnasked(std::int64_t at_ns, std::uint8_t byte);

  // Every frame the device has seen, in order.
  const std::vector<TimedFrame>& frames() const { return frames_; }

  // One byte time at `baud`: 10 bits.
  static std::int64_t ByteTime(std::uint32_t baud) {
    return 10 * 1'000'000'000LL / baud;
  }

 private:
  void OnByte(std::int64_t at_ns, std::uint8_t byte);

  ScriptedPort& port_;
  Line& line_;
  sim::CounterDevice device_;
  std::vector<TimedFrame> frames_;
  std::int64_t transmitter_free_at_ = 0;
};

}  // namespace pelcor::test

#endif
