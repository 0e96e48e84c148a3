// `pelcor sim` and `pelcor demo`: the simulated counter device on a
// pseudo-terminal, alone with a protocol trace, or driven through every
// export by the library in the same process. POSIX only.

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "pelcor.h"
#include "sim/pty_device.h"

namespace pelcor::cli {

namespace {

using sim::PtyDevice;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void SleepMs(double ms) {
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

// The frames the device takes in. Its trace runs on the device's thread, so
// they are kept here under a lock and printed by the main thread.
class FrameLog {
 public:
  struct Entry {
    Clock::time_point at;
    sim::Frame frame;
  };

  void Attach(PtyDevice& device) {
    device.SetTrace([this](Clock::time_point at, const sim::Frame& f) {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back({at, f});
      arrived_.notify_all();
    });
  }

  // Waits until `n` frames are in, or for `patience`, then takes them all.
  std::vector<Entry> Take(std::size_t n = 0,
                          Clock::duration patience = Clock::duration::zero()) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, patience, [&] { return entries_.size() >= n; });
    std::vector<Entry> out;
    out.swap(entries_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Entry> entries_;
};

std::string Answer(const sim::Frame& f) {
  if (f.reply.empty()) return "";
  return sim::Hex(f.reply) + " at " + std::to_string(f.reply_baud) + " bit/s";
}

struct CompareState {
  bool cts;
  std::int32_t count;
  std::int32_t compare;
};

CompareState Sample(PtyDevice& device) {
  auto m = device.model();
  return {m->cts(), m->count(), m->compare_value()};
}

std::string CompareText(const CompareState& s) {
  char buf[96];
  std::snprintf(buf, sizeof buf,
                "%s (count %" PRId32 " %s compare value %" PRId32 ")",
                s.cts ? "on" : "off", s.count, s.cts ? ">=" : "<", s.compare);
  return buf;
}

// The encoder turning at a steady rate: whole edges go to the device as
// time passes, the fraction is kept for later.
class Motion {
 public:
  explicit Motion(double edges_per_s) : rate_(edges_per_s) {}
  void Advance(PtyDevice& device, Clock::time_point now) {
    if (rate_ != 0) {
      owed_ += rate_ * Seconds(now - last_);
      const double whole = std::trunc(owed_);
      if (whole != 0) {
        device.Move(static_cast<std::int64_t>(whole));
        owed_ -= whole;
      }
    }
    last_ = now;
  }

 private:
  double rate_;
  double owed_ = 0;
  Clock::time_point last_ = Clock::now();
};

// --- pelcor sim -------------------------------------------------------------

struct SimOptions {
  int port = 1;
  double motion = 0;
  bool silent = false, echo = false, chatter = false, any_speed = false;
  int short_reply = -1;
  double late_ms = 0;
  std::string chatter_byte = "0x55";
  double for_s = 0;
};

std::string FaultText(const sim::Faults& f) {
  std::string out;
  auto add = [&](const std::string& s) {
    out += (out.empty() ? "" : ", ") + s;
  };
  if (f.silent) add("silent (never answers)");
  if (f.echo) add("echo (sends back what it gets)");
  if (f.short_reply) {
    add("short (replies cut to " + std::to_string(*f.short_reply) + " bytes)");
  }
  if (f.late_ns) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "late (replies %.3g ms late)",
                  static_cast<double>(f.late_ns) / 1e6);
    add(buf);
  }
  if (f.chatter) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "chatter (sends 0x%02X unasked, nonstop)",
                  f.chatter_byte);
    add(buf);
  }
  return out.empty() ? "none" : out;
}

int RunSim(const SimOptions& o) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Before the path is out: a host may start and stop at once.
  CatchInterrupts();
  FrameLog log;  // outlives the device, whose trace writes into it
  PtyDevice device(PtyDevice::Options{.check_speed = !o.any_speed});
  sim::Faults faults;
  faults.silent = o.silent;
  faults.echo = o.echo;
  if (o.short_reply >= 0) faults.short_reply = o.short_reply;
  faults.late_ns = static_cast<std::int64_t>(o.late_ms * 1e6);
  faults.chatter = o.chatter;
  faults.chatter_byte = static_cast<std::uint8_t>(ToInt32Bits(o.chatter_byte));
  device.SetFaults(faults);
  log.Attach(device);

  const std::string& path = device.slave_path();
  std::printf("pelcor sim: a simulated counter device on %s\n", path.c_str());
  std::printf(
      "Point the library's COM%d at it (in the shell that runs the "
      "host):\n",
      o.port);
  std::printf("  export PELCOR_COM%d=%s\n", o.port, path.c_str());
  std::printf(
      "Device: %u bit/s, count 0, compare value 0, multiplier 1; "
      "motion %g edges/s; faults: %s.\n",
      sim::kPowerOnBaud, o.motion, FaultText(faults).c_str());
  CompareState last = Sample(device);
  std::printf(
      "A pseudo-terminal has no modem lines: the compare output "
      "(CTS) shows here. Now %s.\n",
      CompareText(last).c_str());
  std::printf(
      "Each frame received: seconds, bytes (hex), meaning, -> the "
      "answer. Ctrl-C ends.\n");

  Motion motion(o.motion);
  const Clock::time_point t0 = device.started_at();
  std::size_t frames = 0;
  auto print_frames = [&] {
    for (const FrameLog::Entry& e : log.Take()) {
      const std::string answer = Answer(e.frame);
      std::printf("%10.3f  %-17s  %s%s%s\n", Seconds(e.at - t0),
                  sim::Hex(e.frame.bytes).c_str(), e.frame.meaning.c_str(),
                  answer.empty() ? "" : "  -> ", answer.c_str());
      ++frames;
    }
  };
  while (!Interrupted() &&
         (o.for_s <= 0 || Seconds(Clock::now() - t0) < o.for_s)) {
    print_frames();
    const Clock::time_point now = Clock::now();
    motion.Advance(device, now);
    const CompareState s = Sample(device);
    if (s.cts != last.cts) {
      std::printf("%10.3f  compare output (CTS) %s\n", Seconds(now - t0),
                  CompareText(s).c_str());
    }
    last = s;
    SleepMs(10);
  }
  device.Stop();
  print_frames();  // those that came in since the last look
  std::printf("pelcor sim: stopped after %zu frame%s; %s is gone.\n", frames,
              frames == 1 ? "" : "s", path.c_str());
  return kExitOk;
}

// --- pelcor demo -----------------------------------------------------------

constexpr int kPort = 1;

struct Step {
  std::string call;  // as a host writes it
  std::string what;  // what it is for
  std::function<std::int32_t()> run;
  std::optional<std::int32_t> expected;  // unset: depends on the platform
  std::size_t frames;                    // how many the device takes in
  std::function<std::string(std::int32_t)> meaning;
};

std::string Fixed(const char* text) { return text; }

class Demo {
 public:
  Demo() : device_(PtyDevice::Options{.check_speed = true}) {
    log_.Attach(device_);
    tty_ = StdoutIsTerminal();
  }

  int Run() {
    const Clock::time_point t0 = Clock::now();
    const std::string& path = device_.slave_path();
    // The library finds COM1 here when it opens it, in InitComm.
    ::setenv("PELCOR_COM1", path.c_str(), 1);
    std::printf(
        "Pelcor demo: the library's functions driving a simulated counter "
        "device.\nThe device runs in this process on the pseudo-terminal %s, "
        "and COM1 points at it:\n  PELCOR_COM1=%s\nEach step shows the call, "
        "the bytes on the line as the device decoded them (> from the PC,\n"
        "< the device's answer) and the call's result (=).\n",
        path.c_str(), path.c_str());
    CatchInterrupts();

    int n = 0;
    for (const Step& s : Steps()) {
      if (Interrupted()) break;
      Show(++n, s);
      Pause();
    }
    if (!Interrupted()) {
      LiveReadOut(++n);
      Pause();
    }
    Show(++n,
         {"CloseComm(1)", "close COM1", [] { return CloseComm(kPort); }, 0, 0,
          [](std::int32_t) {
            return Fixed("COM1 is closed; nothing goes on the line");
          }});
    device_.Stop();

    const double took = Seconds(Clock::now() - t0);
    if (Interrupted()) {
      std::printf("\ninterrupted after %.1f s\n", took);
      return kExitInterrupted;
    }
    if (surprises_ != 0) {
      std::printf(
          "\n%d step(s) did not give the result expected (marked "
          "!!), in %.1f s\n",
          surprises_, took);
      return kExitDevice;
    }
    std::printf("\nAll %d steps gave the results expected, in %.1f s.\n", n,
                took);
    return kExitOk;
  }

 private:
  std::vector<Step> Steps() {
    auto done = [](const char* text) {
      return [text](std::int32_t) { return Fixed(text); };
    };
    return {
        {"InitComm(1)", "open COM1: 9600 bit/s, 8N1, DTR and RTS off",
         [] { return InitComm(kPort); }, 0, 0,
         done("COM1 is open and set up; nothing goes on the line")},
        {"Ping(1)", "check that the device answers", [] { return Ping(kPort); },
         1, 1, done("the device answered 0x34")},
        {"ResetCounter(1)", "clear the count",
         [] { return ResetCounter(kPort); }, 0, 1,
         done("done; no reply is read")},
        {"SetPosition(1, 1000)", "preset the count to 1000",
         [] { return SetPosition(kPort, 1000); }, 0, 6,
         done("done; no reply is read")},
        {"ReadPosition(1)", "read the count",
         [] { return ReadPosition(kPort); }, 1000, 1, done("the count")},
        {"SetCompare(1, 1500)", "load the compare value 1500",
         [] { return SetCompare(kPort, 1500); }, 0, 4,
         done("done; the compare output is on while the count is >= 1500")},
        {"SetMultiplier(1, 4)", "count each encoder edge four times",
         [] { return SetMultiplier(kPort, 4); }, 0, 1,
         done("done; the one-byte reply is read, not checked")},
        {"SetMultiplier(1, 3)", "ask for a multiplier the device lacks",
         [] { return SetMultiplier(kPort, 3); }, 1, 0,
         done("refused, nothing sent: the multipliers are 0, 1, 2 and 4")},
        {"EnableIndex(1)", "enable the index input",
         [] { return EnableIndex(kPort); }, 0, 1,
         done("the device confirmed with 0x45")},
        {"DisableIndex(1)", "disable the index input",
         [] { return DisableIndex(kPort); }, 0, 1,
         done("the device confirmed with 0x44")},
        {"Initialize(1, 0x05, 0x0A0B0C0D)", "send the set-up command",
         [] { return Initialize(kPort, 0x05, 0x0A0B0C0D); }, 0, 1,
         done("done; the one-byte reply is read, not checked")},
        {"ChangeBaud(1, 19200)", "move both ends to 19200 bit/s",
         [] { return ChangeBaud(kPort, 19200); }, 0, 1,
         done("the device answered at the old speed; then both ends "
              "switched")},
        {"Ping(1)", "check the device at 19200 bit/s",
         [] { return Ping(kPort); }, 1, 1, done("the device answered")},
        {"ChangeLocalBaudRate(1, 9600)", "move the PC side alone to 9600",
         [] { return ChangeLocalBaudRate(kPort, 9600); }, 0, 0,
         done("done; the device still runs at 19200 bit/s")},
        {"Ping(1)", "ping with the two ends at different speeds",
         [] { return Ping(kPort); }, 0, 1,
         done("no answer: the byte was lost to the speed mismatch")},
        {"ChangeLocalBaudRate(1, 19200)", "the PC side back to 19200",
         [] { return ChangeLocalBaudRate(kPort, 19200); }, 0, 0,
         done("done; both ends at 19200 bit/s again")},
        {"ChangeBaud(1, 9600)", "both ends back to 9600 bit/s",
         [] { return ChangeBaud(kPort, 9600); }, 0, 1,
         done("both ends at 9600 bit/s")},
        {"ChangeBaud(1, 300)", "ask for a speed the device lacks",
         [] { return ChangeBaud(kPort, 300); }, 1, 0,
         [](std::int32_t) {
           return std::string("refused, nothing sent: the speeds are ") +
                  kSpeeds + " bit/s";
         }},
        {"PassedCompare(1)", "has the compare output (CTS) changed?",
         [] { return PassedCompare(kPort); }, std::nullopt, 0,
         [](std::int32_t r) {
           if (r == 0 || r == 1) {
             return std::string(r ? "changed" : "not changed");
           }
           return "the system's " + OsErrorText(r) +
                  ": a pseudo-terminal has no CTS line to read";
         }},
    };
  }

  void Pause() {
    if (tty_) SleepMs(150);
  }

  void Frames(const std::vector<FrameLog::Entry>& entries) {
    if (entries.empty()) std::printf("      (nothing on the line)\n");
    for (const FrameLog::Entry& e : entries) {
      std::printf("      > %-18s %s\n", sim::Hex(e.frame.bytes).c_str(),
                  e.frame.meaning.c_str());
      if (!e.frame.reply.empty()) {
        std::printf("      < %-18s at %u bit/s\n",
                    sim::Hex(e.frame.reply).c_str(), e.frame.reply_baud);
      }
    }
  }

  void Show(int n, const Step& s) {
    std::printf("\n%2d  %-32s %s\n", n, s.call.c_str(), s.what.c_str());
    std::fflush(stdout);
    const std::int32_t r = s.run();
    // Frames without a reply may still be on their way to the device.
    const auto patience =
        s.frames ? std::chrono::seconds(1) : std::chrono::milliseconds(20);
    Frames(log_.Take(s.frames, patience));
    const bool surprise = s.expected && r != *s.expected;
    std::printf("      = %-18" PRId32 " %s\n", r, s.meaning(r).c_str());
    if (surprise) {
      std::printf("      !! expected %" PRId32 "\n", *s.expected);
      ++surprises_;
    }
    std::fflush(stdout);
  }

  // The encoder swings the count between 1000 and 2000 and back, so that it
  // crosses the compare value; the library reads it every 50 ms.
  void LiveReadOut(int n) {
    constexpr double kSeconds = 6, kEveryMs = 50, kEdgesPerS = 125;
    constexpr double kPeriodS = 4;
    std::printf(
        "\n%2d  live read-out for %.0f s: ReadPosition(1) and "
        "PassedCompare(1) every %.0f ms\n",
        n, kSeconds, kEveryMs);
    std::printf(
        "      the encoder swings back and forth at %.0f edges/s, "
        "x4 = %.0f counts/s;\n      each read is > 01 and < the four "
        "count bytes (not shown one by one)\n",
        kEdgesPerS, kEdgesPerS * 4);
    const Clock::time_point t0 = Clock::now();
    std::int64_t edges_done = 0;
    CompareState last = Sample(device_);
    int changes = 0, reads = 0, wrong_reads = 0;
    double last_line = -1;
    auto line = [&](double t, std::int32_t count, std::int32_t passed,
                    bool cts) {
      char buf[160];
      std::snprintf(buf, sizeof buf,
                    "      %5.2f s  ReadPosition = %-6" PRId32
                    " PassedCompare = %-3" PRId32
                    " simulated compare output: %s",
                    t, count, passed, cts ? "on" : "off");
      return std::string(buf);
    };
    std::string shown;
    for (;;) {
      const double t = Seconds(Clock::now() - t0);
      if (t >= kSeconds || Interrupted()) break;
      // Triangle: up for half the period, down for the other half.
      const double phase = std::fmod(t, kPeriodS);
      const double target =
          kEdgesPerS * (phase < kPeriodS / 2 ? phase : kPeriodS - phase);
      const auto edges = static_cast<std::int64_t>(target);
      device_.Move(edges - edges_done);
      edges_done = edges;

      const std::int32_t count = ReadPosition(kPort);
      const std::int32_t passed = PassedCompare(kPort);
      ++reads;
      const CompareState s = Sample(device_);
      if (count != s.count) ++wrong_reads;
      if (s.cts != last.cts) {
        ++changes;
        const std::string note = [&] {
          char buf[160];
          std::snprintf(buf, sizeof buf,
                        "      %5.2f s  compare output turned %s", t,
                        CompareText(s).c_str());
          return std::string(buf);
        }();
        if (tty_) {
          std::printf("\r%-*s\n", static_cast<int>(shown.size()), note.c_str());
        } else {
          std::printf("%s\n", note.c_str());
        }
      }
      last = s;
      const std::string next = line(t, count, passed, s.cts);
      if (tty_) {
        // Spaces over what is left of a longer line before.
        std::printf("\r%s%*s", next.c_str(),
                    static_cast<int>(shown.size() > next.size()
                                         ? shown.size() - next.size()
                                         : 0),
                    "");
      } else if (t - last_line >= 0.5) {
        std::printf("%s\n", next.c_str());
        last_line = t;
      }
      shown = next;
      std::fflush(stdout);
      SleepMs(kEveryMs);
    }
    if (tty_) std::printf("\n");
    const std::size_t frames = log_.Take(reads, std::chrono::seconds(1)).size();
    std::printf(
        "      = %d reads (%zu frames on the line), %d compare-output "
        "changes\n",
        reads, frames, changes);
    if (wrong_reads != 0 || changes < 2) {
      std::printf(
          "      !! expected every read to match the device's count "
          "(%d did not) and at least 2 changes\n",
          wrong_reads);
      ++surprises_;
    }
  }

  FrameLog log_;  // outlives the device, whose trace writes into it
  PtyDevice device_;
  bool tty_ = false;
  int surprises_ = 0;
};

}  // namespace

void AddSimulatorCommands(CLI::App& app, int& exit_code) {
  static SimOptions so;
  CLI::App* sim = app.add_subcommand(
      "sim",
      "run a simulated counter device on a new pseudo-terminal and trace "
      "every frame it gets");
  sim->add_option("-p,--port", so.port,
                  "print the PELCOR_COMn line for this port, 1 to 4")
      ->check(CLI::Range(1, 4))
      ->capture_default_str();
  sim->add_option("--motion", so.motion,
                  "encoder edges per second (negative: backwards); the count "
                  "moves by this times the multiplier")
      ->capture_default_str();
  sim->add_flag("--silent", so.silent, "never answer");
  sim->add_flag("--echo", so.echo, "send back every byte received instead");
  sim->add_option("--short", so.short_reply,
                  "cut every reply to this many bytes")
      ->check(CLI::Range(0, 3));
  sim->add_option("--late", so.late_ms, "start every reply this many ms late")
      ->check(CLI::Range(0.0, 10000.0));
  sim->add_flag("--chatter", so.chatter, "send a byte unasked, nonstop");
  sim->add_option("--chatter-byte", so.chatter_byte, "the byte to chatter")
      ->check(NumberIn(0, 255))
      ->type_name("BYTE")
      ->capture_default_str();
  sim->add_flag("--any-speed", so.any_speed,
                "take bytes sent at any speed (by default a byte sent at "
                "another speed than the device's is lost, as on a line)");
  sim->add_option("--for", so.for_s, "stop after this many seconds")
      ->check(CLI::NonNegativeNumber);
  sim->callback([&exit_code] { exit_code = RunSim(so); });

  app.add_subcommand("demo",
                     "walk through every operation against a simulated "
                     "device in this process (about 10 s)")
      ->callback([&exit_code] {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        exit_code = Demo().Run();
      });
}

}  // namespace pelcor::cli
