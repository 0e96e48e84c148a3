// Port names and error words on Windows, where COMn is the system's own
// port of that name. There are no pseudo-terminals here, so no `sim` or
// `demo`: those run on Linux.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "cli.h"

namespace pelcor::cli {

std::string PortPlace(int port) { return Com(port); }

std::string WhyNotOpened(int port) {
  return "Check in Device Manager (Ports (COM & LPT)) that " + Com(port) +
         " exists, and that no other program (a terminal program, another "
         "pelcor) has it open.";
}

std::string WhyNotSetUp(int port) {
  return "The driver of " + Com(port) +
         " refused the line settings; is it a serial port that can run at "
         "9600 bit/s?";
}

std::string OsErrorText(std::int32_t code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string words(text, n);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  return "error " + std::to_string(code) +
         (words.empty() ? "" : " (" + words + ")");
}

std::string NoModemStatusHint(int) { return ""; }

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void AddSimulatorCommands(CLI::App&, int&) {}

}  // namespace pelcor::cli
