#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "cli.h"

namespace pelcor::cli {

std::optional<std::int64_t> ParseNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars takes no sign of its own here, so "--5" and "0x-5" fail.
  if (text.empty() || text.front() == '-' || text.front() == '+') {
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size() ||
      magnitude > (std::uint64_t{1} << 62)) {
    return std::nullopt;
  }
  const auto v = static_cast<std::int64_t>(magnitude);
  return negative ? -v : v;
}

CLI::Validator NumberIn(std::int64_t lo, std::int64_t hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) -> std::string {
        const std::optional<std::int64_t> v = ParseNumber(text);
        if (!v) {
          return "'" + text + "' is not a number (decimal, or hex after 0x)";
        }
        if (*v < lo || *v > hi) {
          return text + " is not in " + std::to_string(lo) + " to " +
                 std::to_string(hi);
        }
        return "";
      },
      "");
}

CLI::Validator Int32Bits() { return NumberIn(INT32_MIN, UINT32_MAX); }

std::int32_t ToInt32Bits(const std::string& text) {
  // Checked by the validator; 0xFFFFFFFF is -1.
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(ParseNumber(text).value_or(0)));
}

std::string Com(int port) { return "COM" + std::to_string(port); }

bool IsDeviceSpeed(std::int64_t speed) {
  return std::find(std::begin(kDeviceSpeeds), std::end(kDeviceSpeeds), speed) !=
         std::end(kDeviceSpeeds);
}

std::string ExplainInitComm(int port, std::int32_t result) {
  char head[160];
  switch (result) {
    case 0:
      return "";
    case 1:
      std::snprintf(head, sizeof head, "InitComm(%d) = 1: %s would not open. ",
                    port, Com(port).c_str());
      return head + WhyNotOpened(port);
    case 8:
      std::snprintf(head, sizeof head,
                    "InitComm(%d) = 8: %s opened, but its set-up failed "
                    "(9600 bit/s, 8 data bits, no parity, 1 stop bit). ",
                    port, Com(port).c_str());
      return head + WhyNotSetUp(port);
    default:
      std::snprintf(head, sizeof head, "InitComm(%d) = %" PRId32 "", port,
                    result);
      return head;
  }
}

std::string ExplainModemStatusError(int port, std::int32_t code) {
  char head[200];
  std::snprintf(head, sizeof head,
                "PassedCompare(%d) = %" PRId32
                ": the modem status of %s cannot be read, %s; so the compare "
                "output on CTS cannot be watched there.",
                port, code, Com(port).c_str(), OsErrorText(code).c_str());
  const std::string hint = NoModemStatusHint(port);
  return hint.empty() ? head : std::string(head) + " " + hint;
}

}  // namespace pelcor::cli
