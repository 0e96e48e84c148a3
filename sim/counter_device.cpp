#include "sim/counter_device.h"

#include <cstdarg>
#include <cstdio>

namespace pelcor::sim {

namespace {

constexpr std::uint8_t kClearCount = 0x04;
constexpr std::uint8_t kStartLoad = 0x01;
constexpr std::uint8_t kTransferToCount = 0x08;

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[160];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::int32_t SignExtend24(std::uint32_t v) {
  return static_cast<std::int32_t>(v << 8) >> 8;
}

}  // namespace

std::size_t CounterDevice::FrameLength(std::uint8_t lead) {
  switch (lead) {
    case 0x01:
    case 0x41:
    case 0x88:
    case 0x99:
      return 1;
    case 0x66:
    case 0x44:
    case 0x77:
      return 2;
    case 0x22:
      return 6;
    default:
      return 0;
  }
}

std::optional<std::uint32_t> CounterDevice::BaudOfSpeedCode(std::uint8_t code) {
  switch (code) {
    case 0x00:
      return 115200;
    case 0x01:
      return 57600;
    case 0x10:
      return 38400;
    case 0x11:
      return 19200;
    case 0x12:
      return 9600;
    case 0x13:
      return 4800;
    case 0x14:
      return 2400;
    case 0x15:
      return 1200;
    default:
      return std::nullopt;
  }
}

std::int32_t CounterDevice::compare_value() const {
  return SignExtend24(load_register_);
}

void CounterDevice::Move(std::int64_t edges) {
  // Modular arithmetic throughout: any number of edges wraps the count as a
  // 32-bit counter would.
  const std::uint64_t delta = static_cast<std::uint64_t>(edges) *
                              static_cast<std::uint64_t>(multiplier_);
  count_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(count_) +
                                     static_cast<std::uint32_t>(delta));
}

void CounterDevice::IndexPulse() {
  if (index_enabled_) count_ = 0;
}

ByteResult CounterDevice::FeedByte(std::uint8_t byte) {
  ByteResult out;
  out.reply_baud = baud_;
  if (faults_.echo && !faults_.silent) {
    out.reply.push_back(byte);
    echoed_.push_back(byte);
  }
  pending_.push_back(byte);
  const std::size_t length = FrameLength(pending_[0]);
  if (length != 0 && pending_.size() < length) return out;

  Frame frame;
  frame.bytes.swap(pending_);
  frame.reply_baud = baud_;  // before a speed change takes effect
  std::vector<std::uint8_t> reply = Execute(frame);
  if (faults_.silent) {
    reply.clear();
  } else if (faults_.echo) {
    reply.swap(echoed_);  // already sent, byte by byte
  } else {
    if (faults_.short_reply && reply.size() > *faults_.short_reply) {
      reply.resize(*faults_.short_reply);
    }
    out.reply = reply;
  }
  echoed_.clear();
  frame.reply = std::move(reply);
  out.frame = std::move(frame);
  return out;
}

FeedResult CounterDevice::Feed(std::span<const std::uint8_t> bytes) {
  FeedResult out;
  for (std::uint8_t b : bytes) {
    ByteResult r = FeedByte(b);
    out.reply.insert(out.reply.end(), r.reply.begin(), r.reply.end());
    if (r.frame) out.frames.push_back(std::move(*r.frame));
  }
  return out;
}

std::vector<std::uint8_t> CounterDevice::Execute(Frame& frame) {
  const std::vector<std::uint8_t>& b = frame.bytes;
  switch (b[0]) {
    case 0x01: {
      frame.kind = FrameKind::kReadCount;
      frame.meaning = Format("read count -> %d", count_);
      const auto c = static_cast<std::uint32_t>(count_);
      return {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
              static_cast<std::uint8_t>(c >> 16),
              static_cast<std::uint8_t>(c >> 24)};
    }
    case 0x41:
      frame.kind = FrameKind::kPing;
      frame.meaning = "ping";
      return {kPingReply};
    case 0x88:
      frame.kind = FrameKind::kIndexOn;
      frame.meaning = "index on";
      index_enabled_ = true;
      return {kIndexOnReply};
    case 0x99:
      frame.kind = FrameKind::kIndexOff;
      frame.meaning = "index off";
      index_enabled_ = false;
      return {kIndexOffReply};
    case 0x77: {
      frame.kind = FrameKind::kSpeed;
      const std::optional<std::uint32_t> baud = BaudOfSpeedCode(b[1]);
      if (baud) {
        frame.meaning = Format("speed %u (code 0x%02X), was %u", *baud, b[1],
                               static_cast<unsigned>(baud_));
        baud_ = *baud;
      } else {
        frame.meaning = Format("speed code 0x%02X unknown, stays %u", b[1],
                               static_cast<unsigned>(baud_));
      }
      return {kAcknowledge};
    }
    case 0x22:
      frame.kind = FrameKind::kSetup;
      setup_byte_ = b[1];
      setup_value_ =
          static_cast<std::int32_t>(b[2] | (b[3] << 8) | (b[4] << 16) |
                                    (static_cast<std::uint32_t>(b[5]) << 24));
      frame.meaning =
          Format("setup byte 0x%02X, value %d", setup_byte_, setup_value_);
      return {kAcknowledge};
    case 0x66:
      frame.kind = FrameKind::kControl;
      return Control(b[1], frame.meaning);
    case 0x44:
      frame.kind = FrameKind::kData;
      if (load_next_ < 3) {
        const int shift = 8 * load_next_;
        load_register_ = (load_register_ & ~(0xFFu << shift)) |
                         (static_cast<std::uint32_t>(b[1]) << shift);
        frame.meaning = Format("load byte %d = 0x%02X", load_next_, b[1]);
        if (++load_next_ == 3) {
          frame.meaning += Format(", LoadRegister 0x%06X = %d", load_register_,
                                  compare_value());
        }
      } else {
        frame.meaning = Format("data 0x%02X outside a load, ignored", b[1]);
      }
      return {};
    default:
      frame.kind = FrameKind::kUnknown;
      frame.meaning = Format("unknown lead byte 0x%02X, dropped", b[0]);
      return {};
  }
}

std::vector<std::uint8_t> CounterDevice::Control(std::uint8_t control,
                                                 std::string& meaning) {
  switch (control) {
    case kClearCount:
      count_ = 0;
      meaning = "clear count";
      return {};
    case kStartLoad:
      load_next_ = 0;
      meaning = "start load";
      return {};
    case kTransferToCount:
      count_ = compare_value();
      meaning = Format("transfer to count -> %d", count_);
      return {};
    case 0xC0:
    case 0xC1:
    case 0xC2:
    case 0xC3: {
      static constexpr int kMultipliers[] = {0, 1, 2, 4};
      multiplier_ = kMultipliers[control - 0xC0];
      meaning = Format("multiplier %d", multiplier_);
      return {kAcknowledge};
    }
    default:
      meaning = Format("control 0x%02X unknown, ignored", control);
      return {};
  }
}

Frame LostBySpeed(std::uint8_t byte, std::uint32_t line_baud,
                  std::uint32_t device_baud) {
  Frame f;
  f.kind = FrameKind::kLost;
  f.bytes = {byte};
  f.meaning = Format("lost: sent at %u bit/s, device at %u bit/s",
                     static_cast<unsigned>(line_baud),
                     static_cast<unsigned>(device_baud));
  f.reply_baud = device_baud;
  return f;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += Format("%02X", b);
  }
  return out;
}

std::string Describe(const Frame& frame) {
  std::string out = Hex(frame.bytes) + "  " + frame.meaning;
  if (!frame.reply.empty()) {
    out += Format("  => %s at %u", Hex(frame.reply).c_str(),
                  static_cast<unsigned>(frame.reply_baud));
  }
  return out;
}

}  // namespace pelcor::sim
