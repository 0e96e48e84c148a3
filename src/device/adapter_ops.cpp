#include "boundary/module_state.h"
#include "device/frames.h"
#include "device/operations.h"
#include "link/exchange.h"
#include "link/port_table.h"

namespace pelcor::device {

namespace {

// The command byte doubles as the preset of ReceiveArea[0]: it differs from
// the expected reply, so silence reads as a wrong answer.
bool ExpectReply(std::int32_t port, std::uint8_t command, std::uint8_t reply) {
  BuildCommand(command);
  link::CheckedExchange(port, 1, command);
  return ReceiveArea[0] == reply;
}

}  // namespace

bool Ping(std::int32_t port) {
  return ExpectReply(port, PingCommand, PingReply);
}

bool EnableIndex(std::int32_t port) {
  return ExpectReply(port, IndexOnCommand, IndexOnReply);
}

bool DisableIndex(std::int32_t port) {
  return ExpectReply(port, IndexOffCommand, IndexOffReply);
}

// The device answers at the old speed and then switches; the PC side follows
// as soon as that answer (or its timeout) is in.
bool ChangeBaud(std::int32_t port, std::int32_t speed) {
  const std::optional<std::uint8_t> code = SpeedCode(speed);
  if (!code) return false;
  link::AcknowledgedSend(port, BuildSpeedCommand(*code));
  link::ChangeLocalBaudRate(port, speed);
  return true;
}

void Initialize(std::int32_t port, std::int32_t setup_byte,
                std::int32_t setup_value) {
  link::AcknowledgedSend(port, BuildSetupCommand(setup_byte, setup_value));
}

}  // namespace pelcor::device
