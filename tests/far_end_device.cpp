#include "far_end_device.h"

#include <algorithm>

namespace pelcor::test {

FarEndDevice::FarEndDevice(ScriptedPort& port, const std::string& name)
    : port_(port), line_(port.line(name)) {
  line_.on_byte = [this](Line&, std::int64_t at_ns, std::uint8_t byte) {
    OnByte(at_ns, byte);
  };
  line_.modem_status_source = [this] {
    return (line_.modem_status & ~os::MS_CTS_ON) |
           (device_.cts() ? os::MS_CTS_ON : 0);
  };
}

FarEndDevice::~FarEndDevice() {
  line_.on_byte = nullptr;
  line_.modem_status_source = nullptr;
}

void FarEndDevice::SetFaults(const sim::Faults& faults) {
  const bool start_chatter = faults.chatter && !device_.faults().chatter;
  device_.set_faults(faults);
  if (start_chatter) Chatter(port_.Now());
}

void FarEndDevice::Chatter(std::int64_t from_ns, std::int64_t until_ns) {
  line_.Chatter(from_ns, ByteTime(device_.baud()), until_ns,
                device_.faults().chatter_byte);
}

void FarEndDevice::SendUnasked(std::int64_t at_ns, std::uint8_t byte) {
  if (line_.BaudRate() != device_.baud()) return;
  line_.Arrive(at_ns, {byte});
}

void FarEndDevice::OnByte(std::int64_t at_ns, std::uint8_t byte) {
  if (line_.BaudRate() != device_.baud()) {
    frames_.push_back(
        {at_ns, sim::LostBySpeed(byte, line_.BaudRate(), device_.baud())});
    return;
  }
  sim::ByteResult r = device_.FeedByte(byte);
  if (!r.reply.empty()) {
    const std::int64_t step = ByteTime(r.reply_baud);
    const std::int64_t start =
        std::max(at_ns + device_.faults().late_ns, transmitter_free_at_);
    line_.Arrive(start + step, r.reply, step);
    transmitter_free_at_ =
        start + step * static_cast<std::int64_t>(r.reply.size());
  }
  if (r.frame) frames_.push_back({at_ns, std::move(*r.frame)});
}

}  // namespace pelcor::test
