#include "boundary/module_state.h"
#include "device/frames.h"
#include "device/operations.h"
#include "link/exchange.h"

namespace pelcor::device {

// No reply byte is preset: bytes that do not come keep what ReceiveArea held,
// and the count has no failure value to report them by.
std::int32_t ReadPosition(std::int32_t port) {
  BuildCommand(ReadCountCommand);
  link::CheckedExchange(port, 4, std::nullopt);
  return DecodeCount(ReceiveArea);
}

void ResetCounter(std::int32_t port) {
  link::PlainSend(port, BuildControlFrame(ClearCount));
}

void SetPosition(std::int32_t port, std::int32_t value) {
  link::PlainSend(port, BuildPresetSequence(value));
}

void SetCompare(std::int32_t port, std::int32_t value) {
  link::PlainSend(port, BuildCompareSequence(value));
}

bool SetMultiplier(std::int32_t port, std::int32_t multiplier) {
  const std::optional<std::uint8_t> control = MultiplierControl(multiplier);
  if (!control) return false;
  link::AcknowledgedSend(port, BuildControlFrame(*control));
  return true;
}

}  // namespace pelcor::device
