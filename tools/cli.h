// The pelcor command: what its parts share. The device commands work on any
// platform through the library's fourteen exports; the simulated device and
// the demo need pseudo-terminals and live in a file of their own that only
// POSIX builds compile, as do the port-name hints of each platform.
#ifndef PELCOR_TOOLS_CLI_H
#define PELCOR_TOOLS_CLI_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelcor::cli {

// Exit statuses, the same for every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDevice = 1;  // no answer, wrong answer, refused
inline constexpr int kExitUsage = 2;   // a bad command line
inline constexpr int kExitPort = 3;    // the port would not open or set up
inline constexpr int kExitInterrupted = 130;

inline constexpr const char* kMultipliers = "0, 1, 2 and 4";
inline constexpr const char* kSpeeds =
    "1200, 2400, 4800, 9600, 19200, 38400, 57600 and 115200";
inline constexpr std::int32_t kDeviceSpeeds[] = {1200,  2400,  4800,  9600,
                                                 19200, 38400, 57600, 115200};
inline constexpr std::int32_t kOpeningSpeed = 9600;

// A number as people type it: decimal, or hexadecimal after 0x, either with
// a leading minus. No octal: "010" is ten.
std::optional<std::int64_t> ParseNumber(std::string_view text);
// A CLI11 check that the text is such a number within [lo, hi].
CLI::Validator NumberIn(std::int64_t lo, std::int64_t hi);
// The same for a value of 32 bits, signed or not: -2147483648 to 0xFFFFFFFF,
// given to the library as the int32 with those bits.
CLI::Validator Int32Bits();
std::int32_t ToInt32Bits(const std::string& text);

std::string Com(int port);
bool IsDeviceSpeed(std::int64_t speed);

// What InitComm's result tells, for a person: which step failed and what to
// check. Empty for 0.
std::string ExplainInitComm(int port, std::int32_t result);
// What a PassedCompare result other than 0 and 1 (an operating-system error
// code) tells.
std::string ExplainModemStatusError(int port, std::int32_t code);

// Ctrl-C and termination end loops cleanly: after CatchInterrupts(),
// Interrupted() turns true at the first SIGINT or SIGTERM.
void CatchInterrupts();
bool Interrupted();

// --- Per platform ---------------------------------------------------------

// Where the library finds COMn, e.g. "/dev/ttyS0" or "/dev/pts/3 (from
// PELCOR_COM1)".
std::string PortPlace(int port);
// Why COMn would not open, found out by trying it the same way; and why it
// opened but would not take the line settings.
std::string WhyNotOpened(int port);
std::string WhyNotSetUp(int port);
// The operating system's words for an error code that the library passed on.
std::string OsErrorText(std::int32_t code);
// A hint for a port that has no modem status (e.g. a pseudo-terminal); may be
// empty.
std::string NoModemStatusHint(int port);
// Whether standard output is a terminal, where live read-outs update in
// place.
bool StdoutIsTerminal();
// `sim` and `demo`, where the platform has pseudo-terminals.
void AddSimulatorCommands(CLI::App& app, int& exit_code);

}  // namespace pelcor::cli

#endif
