// pelcor: the library's operations from a shell, one subcommand each, as a
// host of the library through its exports. Every device subcommand opens the
// port, checks that the device answers (Ping), does its work, tells what the
// result means, and closes the port.
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "pelcor.h"

namespace pelcor::cli {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

// What every device subcommand takes.
struct PortOptions {
  int port = 1;
  std::string speed = "9600";
  bool no_ping = false;
};

void AddPortOptions(CLI::App* sub, PortOptions& o, bool ping_check) {
  sub->add_option("-p,--port", o.port, "the port, 1 to 4 for COM1 to COM4")
      ->check(CLI::Range(1, 4))
      ->capture_default_str();
  sub->add_option("--speed", o.speed,
                  "the speed the device runs at now, in bit/s (after an "
                  "earlier `pelcor baud`); one of 1200 to 115200")
      ->check(NumberIn(1, INT32_MAX))
      ->type_name("BAUD")
      ->capture_default_str();
  if (ping_check) {
    sub->add_flag("--no-ping", o.no_ping,
                  "skip the check that the device answers (Ping) before the "
                  "command");
  }
}

void Say(const std::string& text) { std::printf("%s\n", text.c_str()); }
void Complain(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string Fmt(const char* format, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

std::string NoAnswer(int port, std::int32_t speed) {
  return Fmt(
      "no answer from the device on %s (Ping(%d) = 0). Check that it is "
      "powered and cabled to %s, and that it runs at %d bit/s (if an "
      "earlier `pelcor baud` changed its speed, give --speed).",
      Com(port).c_str(), port, PortPlace(port).c_str(),
      static_cast<int>(speed));
}

// Opens the port at the device's speed and checks that the device answers,
// runs `work`, closes the port. Every exit status comes through here.
int OnDevice(const PortOptions& o, const std::function<int()>& work) {
  const int port = o.port;
  const std::int32_t speed = ToInt32Bits(o.speed);
  if (!IsDeviceSpeed(speed)) {
    Complain(Fmt("--speed %s: the device runs at %s bit/s", o.speed.c_str(),
                 kSpeeds));
    return kExitUsage;
  }
  const std::int32_t opened = InitComm(port);
  if (opened != 0) {
    Complain(ExplainInitComm(port, opened));
    if (opened == 8) CloseComm(port);
    return kExitPort;
  }
  if (speed != kOpeningSpeed) ChangeLocalBaudRate(port, speed);
  int status = kExitOk;
  if (!o.no_ping && Ping(port) != 1) {
    Complain(NoAnswer(port, speed));
    status = kExitDevice;
  } else {
    status = work();
  }
  CloseComm(port);
  return status;
}

// Bits of a value beyond what the device's 24-bit register takes.
std::string Only24Bits(std::int32_t value) {
  if (value >= -0x800000 && value <= 0xFFFFFF) return "";
  return Fmt(" (the device takes the low 24 bits only: 0x%06X)",
             static_cast<unsigned>(value) & 0xFFFFFFu);
}

void SleepMs(double ms) {
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// --- The subcommands ------------------------------------------------------

int DoPing(const PortOptions& o) {
  PortOptions without_check = o;
  without_check.no_ping = true;
  return OnDevice(without_check, [&] {
    if (Ping(o.port) == 1) {
      Say(Fmt("Ping(%d) = 1: the device on %s answered", o.port,
              Com(o.port).c_str()));
      return kExitOk;
    }
    Complain(NoAnswer(o.port, ToInt32Bits(o.speed)));
    return kExitDevice;
  });
}

struct ReadOptions {
  bool watch = false;
  double interval_ms = 100;
  double for_s = 0;
};

int DoRead(const PortOptions& o, const ReadOptions& r) {
  return OnDevice(o, [&] {
    if (!r.watch) {
      Say(Fmt("ReadPosition(%d) = %" PRId32 ": the count on %s", o.port,
              ReadPosition(o.port), Com(o.port).c_str()));
      return kExitOk;
    }
    // On a terminal the count updates in place; piped, one line per change.
    const bool tty = StdoutIsTerminal();
    std::printf("watching the count on %s every %g ms (Ctrl-C ends)\n",
                Com(o.port).c_str(), r.interval_ms);
    CatchInterrupts();
    const Clock::time_point t0 = Clock::now();
    bool first = true;
    std::int32_t last = 0;
    while (!Interrupted() && (r.for_s <= 0 || SecondsSince(t0) < r.for_s)) {
      const std::int32_t count = ReadPosition(o.port);
      if (tty) {
        std::printf("\r%10.3f s  count %-12" PRId32, SecondsSince(t0), count);
        std::fflush(stdout);
      } else if (first || count != last) {
        std::printf("%10.3f s  count %" PRId32 "\n", SecondsSince(t0), count);
        std::fflush(stdout);
      }
      first = false;
      last = count;
      SleepMs(r.interval_ms);
    }
    if (tty) std::printf("\n");
    return Interrupted() ? kExitInterrupted : kExitOk;
  });
}

int DoReset(const PortOptions& o) {
  return OnDevice(o, [&] {
    ResetCounter(o.port);
    Say(
        Fmt("ResetCounter(%d) = 0: clear-count sent; the count on %s is 0 "
            "(the device does not reply to it)",
            o.port, Com(o.port).c_str()));
    return kExitOk;
  });
}

int DoPreset(const PortOptions& o, const std::string& text) {
  const std::int32_t value = ToInt32Bits(text);
  return OnDevice(o, [&] {
    SetPosition(o.port, value);
    Say(Fmt("SetPosition(%d, %" PRId32 ") = 0: the count on %s is preset to "
            "%" PRId32 "%s (the device does not reply to a preset)",
            o.port, value, Com(o.port).c_str(), value,
            Only24Bits(value).c_str()));
    return kExitOk;
  });
}

int DoCompare(const PortOptions& o, const std::string& text) {
  const std::int32_t value = ToInt32Bits(text);
  return OnDevice(o, [&] {
    SetCompare(o.port, value);
    Say(Fmt("SetCompare(%d, %" PRId32 ") = 0: the compare value on %s is "
            "%" PRId32 "%s (the device does not reply to it)",
            o.port, value, Com(o.port).c_str(), value,
            Only24Bits(value).c_str()));
    return kExitOk;
  });
}

int DoMultiplier(const PortOptions& o, const std::string& text) {
  const std::int32_t m = ToInt32Bits(text);
  return OnDevice(o, [&] {
    if (SetMultiplier(o.port, m) != 0) {
      Complain(Fmt("SetMultiplier(%d, %" PRId32 ") = 1: multiplier %" PRId32
                   " refused, nothing sent; the multipliers are %s",
                   o.port, m, m, kMultipliers));
      return kExitDevice;
    }
    Say(Fmt("SetMultiplier(%d, %" PRId32 ") = 0: the device on %s counts "
            "each encoder edge %" PRId32 " times%s",
            o.port, m, Com(o.port).c_str(), m,
            m == 0 ? " (it stops counting)" : ""));
    return kExitOk;
  });
}

int DoIndex(const PortOptions& o, const std::string& state) {
  const bool on = state == "on";
  return OnDevice(o, [&] {
    const std::int32_t r = on ? EnableIndex(o.port) : DisableIndex(o.port);
    const char* call = on ? "EnableIndex" : "DisableIndex";
    if (r != 0) {
      Complain(Fmt("%s(%d) = %" PRId32 ": the device on %s did not confirm "
                   "(no reply, or not the 0x%02X it gives)",
                   call, o.port, r, Com(o.port).c_str(), on ? 0x45 : 0x44));
      return kExitDevice;
    }
    Say(Fmt("%s(%d) = 0: the index input of the device on %s is %s", call,
            o.port, Com(o.port).c_str(), on ? "enabled" : "disabled"));
    return kExitOk;
  });
}

int DoBaud(const PortOptions& o, const std::string& text, bool local) {
  const std::int32_t speed = ToInt32Bits(text);
  return OnDevice(o, [&] {
    if (local) {
      ChangeLocalBaudRate(o.port, speed);
      Say(Fmt(
          "ChangeLocalBaudRate(%d, %" PRId32
          ") = 0: the PC side of %s "
          "runs at %" PRId32
          " bit/s until the port closes; the device "
          "keeps its speed%s",
          o.port, speed, Com(o.port).c_str(), speed,
          IsDeviceSpeed(speed)
              ? ""
              : Fmt(" (the device itself runs only at %s)", kSpeeds).c_str()));
      return kExitOk;
    }
    if (ChangeBaud(o.port, speed) != 0) {
      Complain(Fmt("ChangeBaud(%d, %" PRId32 ") = 1: %" PRId32
                   " bit/s refused, nothing sent; the speeds are %s bit/s",
                   o.port, speed, speed, kSpeeds));
      return kExitDevice;
    }
    if (!o.no_ping && Ping(o.port) != 1) {
      Complain(Fmt("ChangeBaud(%d, %" PRId32 ") = 0: the speed command went "
                   "out, but then %s",
                   o.port, speed, NoAnswer(o.port, speed).c_str()));
      return kExitDevice;
    }
    Say(Fmt("ChangeBaud(%d, %" PRId32 ") = 0: the device on %s now runs at "
            "%" PRId32 " bit/s%s; give later commands --speed %" PRId32,
            o.port, speed, Com(o.port).c_str(), speed,
            o.no_ping ? "" : " and answers there", speed));
    return kExitOk;
  });
}

int DoSetup(const PortOptions& o, const std::string& byte_text,
            const std::string& value_text) {
  const std::int32_t byte = ToInt32Bits(byte_text);
  const std::int32_t value = ToInt32Bits(value_text);
  return OnDevice(o, [&] {
    Initialize(o.port, byte, value);
    Say(
        Fmt("Initialize(%d, 0x%02X, 0x%08X) = 0: set-up command sent to the "
            "device on %s (its one-byte reply is not checked)",
            o.port, static_cast<unsigned>(byte), static_cast<unsigned>(value),
            Com(o.port).c_str()));
    return kExitOk;
  });
}

int DoWatchCompare(const PortOptions& o, const ReadOptions& r) {
  return OnDevice(o, [&] {
    std::printf(
        "watching the compare output of %s every %g ms (Ctrl-C "
        "ends)\n",
        Com(o.port).c_str(), r.interval_ms);
    std::fflush(stdout);
    CatchInterrupts();
    const Clock::time_point t0 = Clock::now();
    // The first call compares with "off", the state before any call, so its
    // flag gives the level; each later change flips it. Changes closer
    // together than the interval go unseen.
    bool on = false;
    bool first = true;
    while (!Interrupted() && (r.for_s <= 0 || SecondsSince(t0) < r.for_s)) {
      const std::int32_t result = PassedCompare(o.port);
      if (result != 0 && result != 1) {
        Complain(ExplainModemStatusError(o.port, result));
        return kExitDevice;
      }
      if (result == 1) on = !on;
      if (first || result == 1) {
        std::printf("%10.3f s  PassedCompare(%d) = %" PRId32
                    ": compare output %s%s\n",
                    SecondsSince(t0), o.port, result, on ? "on" : "off",
                    first ? "" : " (changed)");
        std::fflush(stdout);
      }
      first = false;
      SleepMs(r.interval_ms);
    }
    return Interrupted() ? kExitInterrupted : kExitOk;
  });
}

}  // namespace

void CatchInterrupts() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

bool Interrupted() { return interrupted != 0; }

int Main(int argc, char** argv) {
  CLI::App app{
      "pelcor: drive a position-counter device on COM1 to COM4 through the "
      "Pelcor library, or run a simulated one.",
      "pelcor"};
  app.require_subcommand(1);
  app.footer(
      "Values are decimal or hexadecimal after 0x. Exit status: 0 done, 1 "
      "the device did not answer or a value was refused, 2 a bad command "
      "line, 3 the port would not open.\nOn Linux COM1 to COM4 are the paths "
      "in PELCOR_COM1 to PELCOR_COM4, else /dev/ttyS0 to /dev/ttyS3.");
  int exit_code = kExitOk;

  // Options live here for the whole parse; each subcommand's callback runs
  // its work once the command line is in.
  PortOptions po;
  ReadOptions read_o, watch_o;
  std::string value, second;
  bool local = false;
  auto device = [&](const char* name, const char* what) {
    CLI::App* sub = app.add_subcommand(name, what);
    AddPortOptions(sub, po, std::string_view(name) != "ping");
    return sub;
  };
  auto add_watch_options = [](CLI::App* sub, ReadOptions& o) {
    sub->add_option("--interval", o.interval_ms, "milliseconds between polls")
        ->check(CLI::Range(1.0, 60000.0))
        ->capture_default_str();
    sub->add_option("--for", o.for_s, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
  };

  device("ping", "check that the device answers (Ping)")->callback([&] {
    exit_code = DoPing(po);
  });

  CLI::App* read = device("read", "read the count (ReadPosition)");
  read->add_flag("-w,--watch", read_o.watch, "poll and show the count live");
  add_watch_options(read, read_o);
  read->callback([&] { exit_code = DoRead(po, read_o); });

  device("reset", "clear the count (ResetCounter)")->callback([&] {
    exit_code = DoReset(po);
  });

  CLI::App* preset = device("preset", "preset the count (SetPosition)");
  preset->add_option("VALUE", value, "the new count (24 bits)")
      ->required()
      ->check(Int32Bits())
      ->type_name("INT");
  preset->callback([&] { exit_code = DoPreset(po, value); });

  CLI::App* compare = device("compare", "load the compare value (SetCompare)");
  compare->add_option("VALUE", value, "the compare value (24 bits)")
      ->required()
      ->check(Int32Bits())
      ->type_name("INT");
  compare->callback([&] { exit_code = DoCompare(po, value); });

  CLI::App* mult =
      device("multiplier", "choose the count multiplier (SetMultiplier)");
  mult->add_option("N", value, "0, 1, 2 or 4")
      ->required()
      ->check(Int32Bits())
      ->type_name("INT");
  mult->callback([&] { exit_code = DoMultiplier(po, value); });

  CLI::App* index = device(
      "index", "enable or disable the index input (EnableIndex, DisableIndex)");
  index->add_option("STATE", value, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}))
      ->type_name("");
  index->callback([&] { exit_code = DoIndex(po, value); });

  CLI::App* baud = device(
      "baud",
      "change the link speed on both ends (ChangeBaud), or with --local on "
      "the PC side alone (ChangeLocalBaudRate)");
  baud->add_option("SPEED", value, "bit/s: 1200 ... 115200")
      ->required()
      ->check(NumberIn(1, INT32_MAX))
      ->type_name("INT");
  baud->add_flag("--local", local, "change the PC side only");
  baud->callback([&] { exit_code = DoBaud(po, value, local); });

  CLI::App* setup = device("setup", "send the set-up command (Initialize)");
  setup->add_option("BYTE", value, "the set-up byte, 0 to 255")
      ->required()
      ->check(NumberIn(0, 255))
      ->type_name("INT");
  setup->add_option("VALUE", second, "the set-up value, 32 bits")
      ->required()
      ->check(Int32Bits())
      ->type_name("INT");
  setup->callback([&] { exit_code = DoSetup(po, value, second); });

  CLI::App* watch =
      device("watch-compare",
             "poll the compare output (PassedCompare) and print each change");
  watch_o.interval_ms = 10;
  add_watch_options(watch, watch_o);
  watch->callback([&] { exit_code = DoWatchCompare(po, watch_o); });

  AddSimulatorCommands(app, exit_code);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? kExitOk : kExitUsage;
  }
  return exit_code;
}

}  // namespace pelcor::cli

int main(int argc, char** argv) {
  try {
    return pelcor::cli::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pelcor: %s\n", e.what());
    return 1;
  }
}
