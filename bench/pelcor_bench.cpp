// Times every export of libpelcor.so against the simulated device on a
// pseudo-terminal, answering and silent, and the same exchanges on the same
// terminal and device by two peers: a pyserial script, and the Windows DLL
// under Wine. Prints one table and writes the figures as JSON.
//
// Per export and device: median and 95th-percentile wall time of one call,
// the CPU time of the calling thread per call (the device runs on a thread
// of its own, which this leaves out), and the overhead: the median above the
// floor, the time that the timeouts force (cases.h). Beside them, the
// terminal measured bare (how late a timed wait wakes, how soon the device
// answers), so that the library's own share of the overhead shows.
//
//   pelcor_bench [--samples N] [--rounds N] [--warmup N] [--json FILE]
//                [--python EXE --peer-script FILE]
//                [--wine EXE --wine-peer EXE --wine-dll FILE
//                 --wine-com-link PATH [--wine-server-pid PID]]
//                [--wine-skip TEXT]
//
// ./run-bench.sh builds everything and passes the peers' arguments.
// A peer left out shows in the table with the reason. Results that the device
// kind rules out are listed; exit status 1 when they are most of an export's
// calls (the figures would then time a broken exchange, not a late answer).
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/cases.h"
#include "pelcor.h"
#include "sim/pty_device.h"

extern char** environ;

namespace pelcor::bench {
namespace {

constexpr int kPort = 1;

std::int64_t Nanos(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

struct Sample {
  std::int64_t wall_ns;
  std::int64_t cpu_ns;
};

struct Options {
  int samples = 40;
  int warmup = 3;
  // The samples are taken in this many rounds, the parties in turn, so that
  // a load that comes and goes on the machine falls on all of them alike.
  int rounds = 4;
  std::string json = "bench.json";
  std::string python, peer_script;
  std::string wine, wine_peer, wine_dll, wine_com_link, wine_server_pid;
  std::string wine_skip = "skipped: no Wine";
};

// One party's figures for one kind of device: samples per export, or the
// reason there are none.
struct Run {
  std::map<std::string, std::vector<Sample>> samples;
  std::vector<std::string> wrong;  // results the device kind rules out
  std::string skipped;
  std::string cpu_clock;
};

const char* const kParties[] = {"libpelcor.so", "pyserial", "Wine DLL"};
using Results = std::map<std::string, std::map<Kind, Run>>;  // party, kind

// --- The library ---

// Times `call` once: wall and thread CPU.
Sample TimeOne(const std::function<void()>& call) {
  const std::int64_t c0 = Nanos(CLOCK_THREAD_CPUTIME_ID);
  const std::int64_t t0 = Nanos(CLOCK_MONOTONIC);
  call();
  const std::int64_t t1 = Nanos(CLOCK_MONOTONIC);
  const std::int64_t c1 = Nanos(CLOCK_THREAD_CPUTIME_ID);
  return {t1 - t0, c1 - c0};
}

// The expected result of each export on this kind of device, where it has
// one that the kind settles; std::nullopt otherwise.
std::optional<int32_t> Expected(const std::string& name, Kind kind) {
  const bool answers = kind == Kind::kAnswering;
  if (name == "Ping") return answers ? 1 : 0;
  if (name == "EnableIndex" || name == "DisableIndex") return answers ? 0 : 1;
  if (name == "ReadPosition" || name == "PassedCompare") return std::nullopt;
  return 0;
}

Run RunLibrary(sim::PtyDevice& device, Kind kind, const Options& o) {
  Run run;
  run.cpu_clock = "CLOCK_THREAD_CPUTIME_ID of the calling thread";
  if (InitComm(kPort) != 0) {
    run.skipped = "InitComm failed on " + device.slave_path();
    return run;
  }
  for (const Case& c : kCases) {
    const std::string name = c.name;
    std::vector<Sample>& out = run.samples[name];
    for (int i = 0; i < o.warmup + o.samples; ++i) {
      int32_t got = 0;
      std::function<void()> call;
      if (name == "ReadPosition") {
        call = [&] { got = ReadPosition(kPort); };
      } else if (name == "ResetCounter") {
        call = [&] { got = ResetCounter(kPort); };
      } else if (name == "Initialize") {
        call = [&] { got = Initialize(kPort, kSetupByte, SetupValue(i)); };
      } else if (name == "SetMultiplier") {
        call = [&] { got = SetMultiplier(kPort, Multiplier(i)); };
      } else if (name == "SetPosition") {
        call = [&] { got = SetPosition(kPort, PositionValue(i)); };
      } else if (name == "Ping") {
        call = [&] { got = Ping(kPort); };
      } else if (name == "SetCompare") {
        call = [&] { got = SetCompare(kPort, CompareValue(i)); };
      } else if (name == "PassedCompare") {
        call = [&] { got = PassedCompare(kPort); };
      } else if (name == "EnableIndex") {
        call = [&] { got = EnableIndex(kPort); };
      } else if (name == "DisableIndex") {
        call = [&] { got = DisableIndex(kPort); };
      } else if (name == "InitComm") {
        CloseComm(kPort);
        call = [&] { got = InitComm(kPort); };
      } else if (name == "CloseComm") {
        if (i > 0) InitComm(kPort);  // the port is open on the first
        call = [&] { got = CloseComm(kPort); };
      } else if (name == "ChangeLocalBaudRate") {
        call = [&] { got = ChangeLocalBaudRate(kPort, Speed(i)); };
      } else if (name == "ChangeBaud") {
        call = [&] { got = ChangeBaud(kPort, Speed(i)); };
      }
      const Sample s = TimeOne(call);
      if (i >= o.warmup) out.push_back(s);
      std::optional<int32_t> want = Expected(name, kind);
      if (name == "ReadPosition" && kind == Kind::kAnswering) {
        want = device.model()->count();
      }
      if (want && got != *want) {
        run.wrong.push_back(name + " gave " + std::to_string(got) +
                            ", expected " + std::to_string(*want));
      }
    }
    // Leave the port open, and both ends at the opening speed.
    if (name == "CloseComm") InitComm(kPort);
    if (name == "ChangeLocalBaudRate") ChangeLocalBaudRate(kPort, kHomeSpeed);
    if (name == "ChangeBaud") ChangeBaud(kPort, kHomeSpeed);
  }
  CloseComm(kPort);
  return run;
}

// --- The peers ---

// Runs argv with its standard output in a scratch file, and gives that
// output, or std::nullopt when it could not start or did not exit 0. A file
// rather than a pipe: Wine leaves daemons behind that inherit the output and
// would hold a pipe open long after the peer has exited.
std::optional<std::string> Capture(const std::vector<std::string>& argv,
                                   std::string* failure) {
  char path[] = "/tmp/pelcor-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    *failure = "no scratch file";
    return std::nullopt;
  }
  unlink(path);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int e =
      posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (e != 0) {
    close(fd);
    *failure = argv[0] + ": " + std::strerror(e);
    return std::nullopt;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::string out;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *failure = argv[2] + " failed (status " + std::to_string(status) + ")";
    return std::nullopt;
  }
  return out;
}

// A peer reports one line per timed call, "sample NAME WALL_NS CPU_NS",
// plus "wrong NAME TEXT" for a result its kind rules out, "clock TEXT" for
// how it reads CPU time, and "skip TEXT" when it cannot run.
Run ParsePeer(const std::string& out) {
  Run run;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string tag, name;
    words >> tag;
    if (tag == "sample") {
      Sample s{};
      words >> name >> s.wall_ns >> s.cpu_ns;
      if (words) run.samples[name].push_back(s);
    } else if (tag == "wrong" || tag == "skip" || tag == "clock") {
      std::string rest;
      std::getline(words, rest);
      if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
      if (tag == "wrong") run.wrong.push_back(rest);
      if (tag == "skip") run.skipped = rest;
      if (tag == "clock") run.cpu_clock = rest;
    }
  }
  if (run.samples.empty() && run.skipped.empty()) {
    run.skipped = "the peer reported no samples";
  }
  return run;
}

std::vector<std::string> CommonArgs(Kind kind, const Options& o) {
  return {"--kind",    KindName(kind),
          "--samples", std::to_string(o.samples),
          "--warmup",  std::to_string(o.warmup)};
}

Run RunPython(const sim::PtyDevice& device, Kind kind, const Options& o) {
  if (o.python.empty() || o.peer_script.empty()) {
    Run r;
    r.skipped = "skipped: no pyserial peer given";
    return r;
  }
  std::vector<std::string> argv = {
      "timeout", "300", o.python, o.peer_script, "--path", device.slave_path()};
  for (const std::string& a : CommonArgs(kind, o)) argv.push_back(a);
  std::string failure;
  const std::optional<std::string> out = Capture(argv, &failure);
  if (!out) {
    Run r;
    r.skipped = "failed: " + failure;
    return r;
  }
  return ParsePeer(*out);
}

// A POSIX path as Wine sees it, on its Z: drive.
std::string WinePath(const std::string& path) {
  std::string w = "Z:" + path;
  std::replace(w.begin(), w.end(), '/', '\\');
  return w;
}

Run RunWine(const sim::PtyDevice& device, Kind kind, const Options& o) {
  Run r;
  if (o.wine.empty() || o.wine_peer.empty() || o.wine_dll.empty() ||
      o.wine_com_link.empty()) {
    r.skipped = o.wine_skip;
    return r;
  }
  // The prefix maps COM1 to this link; point it at today's terminal.
  unlink(o.wine_com_link.c_str());
  if (symlink(device.slave_path().c_str(), o.wine_com_link.c_str()) != 0) {
    r.skipped = "failed: cannot link " + o.wine_com_link;
    return r;
  }
  std::vector<std::string> argv = {"timeout",   "300",   o.wine,
                                   o.wine_peer, "--dll", WinePath(o.wine_dll)};
  if (!o.wine_server_pid.empty()) {
    argv.push_back("--server-pid");
    argv.push_back(o.wine_server_pid);
  }
  for (const std::string& a : CommonArgs(kind, o)) argv.push_back(a);
  std::string failure;
  const std::optional<std::string> out = Capture(argv, &failure);
  if (!out) {
    r.skipped = "failed: " + failure;
    return r;
  }
  return ParsePeer(*out);
}

// --- The terminal itself ---

// What the machine adds below any library: the simulated device's answer on
// the bare terminal, and how late a 12 ms wait on a quiet line wakes.
// Taken in each round, beside the parties.
struct Reference {
  std::vector<double> idle_trips, busy_trips, poll_lates, ppoll_lates;  // us
  // Medians: write a ping, poll, read the reply, once the device has slept
  // for 12 ms (as it has after a drain), and right after another ping.
  double idle_trip_us = 0;
  double busy_trip_us = 0;
  double poll_late_us = 0;   // how late poll(..., 12 ms) returns
  double ppoll_late_us = 0;  // how late ppoll(12.000000 ms) returns
  // A bare Ping: purge, poll 12 ms, write, poll, read. Its median time over
  // 12 ms, and its median CPU time: what the system calls alone cost.
  std::vector<double> bare_over_us, bare_cpu_us;
  double bare_ping_over_us = 0;
  double bare_ping_cpu_us = 0;
};

double MedianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void MeasureTerminal(const sim::PtyDevice& device, int samples,
                     Reference* ref) {
  const int fd =
      open(device.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return;
  // A ping's round trip in us, or a negative number when it got no reply.
  auto trip = [fd] {
    const std::uint8_t ping = 0x41;
    std::uint8_t reply = 0;
    const std::int64_t t0 = Nanos(CLOCK_MONOTONIC);
    if (write(fd, &ping, 1) != 1) return -1.0;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1 || read(fd, &reply, 1) != 1) return -1.0;
    return (Nanos(CLOCK_MONOTONIC) - t0) / 1e3;
  };
  std::vector<double>& late_poll = ref->poll_lates;
  std::vector<double>& late_ppoll = ref->ppoll_lates;
  tcflush(fd, TCIFLUSH);
  for (int i = 0; i < samples; ++i) {
    const double idle = trip();
    trip();  // the device is busy from the second on
    const double busy = trip();
    if (idle < 0 || busy < 0) break;
    ref->idle_trips.push_back(idle);
    ref->busy_trips.push_back(busy);

    pollfd q{fd, POLLIN, 0};
    const std::int64_t t1 = Nanos(CLOCK_MONOTONIC);
    poll(&q, 1, 12);
    late_poll.push_back((Nanos(CLOCK_MONOTONIC) - t1) / 1e3 - 12'000);

    const timespec twelve{0, 12'000'000};
    const std::int64_t t2 = Nanos(CLOCK_MONOTONIC);
    ppoll(&q, 1, &twelve, nullptr);
    late_ppoll.push_back((Nanos(CLOCK_MONOTONIC) - t2) / 1e3 - 12'000);

    // A ping exchange in the fewest system calls: purge, a 12 ms quiet
    // wait, the command, the answer.
    const std::int64_t c3 = Nanos(CLOCK_THREAD_CPUTIME_ID);
    const std::int64_t t3 = Nanos(CLOCK_MONOTONIC);
    tcflush(fd, TCIFLUSH);
    poll(&q, 1, 12);
    const double answer = trip();
    const std::int64_t t4 = Nanos(CLOCK_MONOTONIC);
    const std::int64_t c4 = Nanos(CLOCK_THREAD_CPUTIME_ID);
    if (answer < 0) break;
    ref->bare_over_us.push_back((t4 - t3) / 1e3 - 12'000);
    ref->bare_cpu_us.push_back((c4 - c3) / 1e3);
  }
  close(fd);
  ref->idle_trip_us = MedianOf(ref->idle_trips);
  ref->busy_trip_us = MedianOf(ref->busy_trips);
  ref->poll_late_us = MedianOf(late_poll);
  ref->ppoll_late_us = MedianOf(late_ppoll);
  ref->bare_ping_over_us = MedianOf(ref->bare_over_us);
  ref->bare_ping_cpu_us = MedianOf(ref->bare_cpu_us);
}

// Adds one round's figures to those so far.
void Merge(Run& into, Run&& round) {
  for (auto& [name, samples] : round.samples) {
    std::vector<Sample>& all = into.samples[name];
    all.insert(all.end(), samples.begin(), samples.end());
  }
  for (std::string& w : round.wrong) into.wrong.push_back(std::move(w));
  if (!round.cpu_clock.empty()) into.cpu_clock = round.cpu_clock;
  if (!round.skipped.empty() && into.skipped.empty()) {
    into.skipped = round.skipped;
  }
}

// The 1-minute load average, to show how busy the machine was.
double LoadAverage() {
  double load = -1;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1;
    std::fclose(f);
  }
  return load;
}

// --- Figures ---

struct Stats {
  std::size_t n = 0;
  double median_ms = 0, p95_ms = 0, min_ms = 0, max_ms = 0;
  double overhead_ms = 0;
  // The overhead less what the terminal itself costs: the lateness of each
  // timed wait that runs out, and the device's round trip for an answer.
  double own_ms = 0;
  double cpu_us = 0;  // CPU time per call, over the whole batch
  double cpu_median_us = 0;
};

// The median (the mean of the middle two for an even count) and the
// nearest-rank 95th percentile.
Stats Summarise(const std::vector<Sample>& samples, double floor_ms,
                double terminal_ms) {
  Stats s;
  s.n = samples.size();
  if (s.n == 0) return s;
  std::vector<double> wall, cpu;
  double cpu_total = 0;
  for (const Sample& x : samples) {
    wall.push_back(x.wall_ns / 1e6);
    cpu.push_back(x.cpu_ns / 1e3);
    cpu_total += x.cpu_ns / 1e3;
  }
  s.cpu_median_us = MedianOf(cpu);
  std::sort(wall.begin(), wall.end());
  s.median_ms = MedianOf(wall);
  const std::size_t rank =
      static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(s.n)));
  s.p95_ms = wall[std::max<std::size_t>(rank, 1) - 1];
  s.min_ms = wall.front();
  s.max_ms = wall.back();
  s.overhead_ms = s.median_ms - floor_ms;
  s.own_ms = s.overhead_ms - terminal_ms;
  s.cpu_us = cpu_total / static_cast<double>(s.n);
  return s;
}

const Stats* Find(const std::map<std::string, Stats>& m, const std::string& k) {
  const auto it = m.find(k);
  return it == m.end() || it->second.n == 0 ? nullptr : &it->second;
}

std::string Key(const std::string& party, Kind kind, const std::string& name) {
  return party + "/" + KindName(kind) + "/" + name;
}

// Targets: median overhead under this, and CPU per call under this.
constexpr double kOverheadTargetMs = 0.2;
constexpr double kCpuTargetUs = 100;

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", ch);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// What the terminal itself adds to one call of `c` on `kind`.
double TerminalMs(const Case& c, Kind kind, const Reference& ref) {
  const int k = static_cast<int>(kind);
  double us = c.expiring_waits[k] * ref.poll_late_us;
  if (kind == Kind::kAnswering && c.bytes_back > 0) {
    // An answer after a drain wakes a device that has slept for 12 ms.
    us += c.expiring_waits[k] > 0 ? ref.idle_trip_us : ref.busy_trip_us;
  }
  return us / 1e3;
}

int Report(const Results& results, const Reference& ref,
           const sim::PtyDevice& device, const Options& o, double load_before,
           double load_after) {
  std::map<std::string, Stats> stats;
  for (const auto& [party, kinds] : results) {
    for (const auto& [kind, run] : kinds) {
      for (const Case& c : kCases) {
        const auto it = run.samples.find(c.name);
        if (it == run.samples.end()) continue;
        stats[Key(party, kind, c.name)] =
            Summarise(it->second, c.floor_ms[static_cast<int>(kind)],
                      TerminalMs(c, kind, ref));
      }
    }
  }

  utsname u{};
  uname(&u);
  std::printf(
      "\nPelcor benchmark: %d samples per export and device in %d rounds "
      "(each after %d warm-up calls), simulated device on %s\n"
      "%s %s %s, load average %.2f before, %.2f after\n",
      o.samples, o.rounds, o.warmup, device.slave_path().c_str(), u.sysname,
      u.release, u.machine, load_before, load_after);
  std::printf(
      "floor = what the timeouts force on a pseudo-terminal (no line rate: "
      "replies come at once, writes never wait); over = median - floor;\n"
      "own = over less the terminal's own costs, measured on it bare: the "
      "device's round trip for an answer (%.0f us after a drain, %.0f us\n"
      "otherwise), and for each timeout that runs out how late a 12 ms "
      "poll() returns on this machine (%.0f us; ppoll() %.0f us).\n"
      "A bare Ping in system calls alone (purge, poll 12 ms, write, poll, "
      "read) takes 12 ms %+.3f ms and %.0f us of CPU.\n\n",
      ref.idle_trip_us, ref.busy_trip_us, ref.poll_late_us, ref.ppoll_late_us,
      ref.bare_ping_over_us / 1e3, ref.bare_ping_cpu_us);
  std::printf("%-19s %-9s %5s | %-39s | %-17s | %-17s\n", "", "", "",
              "libpelcor.so", "pyserial", "Wine DLL");
  std::printf("%-19s %-9s %5s | %7s %7s %7s %7s %7s | %8s %8s | %8s %8s\n",
              "export", "device", "floor", "median", "p95", "over", "own",
              "cpu us", "over", "cpu us", "over", "cpu us");
  std::printf("%-19s %-9s %5s | %7s %7s %7s %7s %7s | %8s %8s | %8s %8s\n", "",
              "", "ms", "ms", "ms", "ms", "ms", "", "ms", "", "ms", "");

  std::vector<std::string> missed;
  for (Kind kind : kKinds) {
    for (const Case& c : kCases) {
      const double floor = c.floor_ms[static_cast<int>(kind)];
      std::printf("%-19s %-9s %5.1f |", c.name, KindName(kind), floor);
      const Stats* lib = Find(stats, Key(kParties[0], kind, c.name));
      if (lib) {
        std::printf(" %7.3f %7.3f %+7.3f %+7.3f %7.1f |", lib->median_ms,
                    lib->p95_ms, lib->overhead_ms, lib->own_ms, lib->cpu_us);
      } else {
        std::printf(" %-39s |", "no samples");
      }
      for (int p = 1; p <= 2; ++p) {
        const Stats* peer = Find(stats, Key(kParties[p], kind, c.name));
        const auto& run = results.at(kParties[p]).at(kind);
        if (peer) {
          std::printf(" %+8.3f %8.1f", peer->overhead_ms, peer->cpu_us);
        } else {
          std::printf(" %-17.17s",
                      run.skipped.empty() ? "no samples" : run.skipped.c_str());
        }
        std::printf(p == 1 ? " |" : "\n");
      }
      const std::string what =
          std::string(c.name) + " (" + KindName(kind) + ")";
      if (!lib) {
        missed.push_back(what + ": no samples");
        continue;
      }
      if (lib->overhead_ms >= kOverheadTargetMs) {
        char m[160];
        std::snprintf(m, sizeof m, "%s: overhead %.3f ms, target < %.1f ms",
                      what.c_str(), lib->overhead_ms, kOverheadTargetMs);
        missed.push_back(m);
      }
      if (lib->cpu_us >= kCpuTargetUs) {
        char m[240];
        std::snprintf(m, sizeof m,
                      "%s: CPU %.1f us a call over the batch (median %.1f us, "
                      "slowest call %.1f ms), target < %.0f us",
                      what.c_str(), lib->cpu_us, lib->cpu_median_us,
                      lib->max_ms, kCpuTargetUs);
        missed.push_back(m);
      }
      for (int p = 1; p <= 2; ++p) {
        const Stats* peer = Find(stats, Key(kParties[p], kind, c.name));
        if (peer && lib->overhead_ms > peer->overhead_ms) {
          char m[200];
          std::snprintf(m, sizeof m, "%s: overhead %.3f ms, %s %.3f ms",
                        what.c_str(), lib->overhead_ms, kParties[p],
                        peer->overhead_ms);
          missed.push_back(m);
        }
      }
    }
  }

  std::printf(
      "\ntargets for libpelcor.so: median overhead < %.1f ms, no more than "
      "either peer's, CPU < %.0f us a call\n",
      kOverheadTargetMs, kCpuTargetUs);
  if (missed.empty()) {
    std::printf("all targets met\n");
  } else {
    std::printf("missed (%zu):\n", missed.size());
    for (const std::string& m : missed) std::printf("  %s\n", m.c_str());
  }
  // A stray wrong result is an answer that came after its timeout on a busy
  // machine; most of an export's calls wrong is an exchange that is broken.
  bool broken = false;
  for (const auto& [party, kinds] : results) {
    for (const auto& [kind, run] : kinds) {
      std::map<std::string, int> per_export;
      for (const std::string& w : run.wrong) {
        std::printf("wrong result, %s (%s): %s\n", party.c_str(),
                    KindName(kind), w.c_str());
        ++per_export[w.substr(0, w.find(' '))];
      }
      for (const auto& [name, count] : per_export) {
        if (2 * count > o.samples) {
          std::printf("BROKEN: %s (%s) %s wrong in %d of %d calls\n",
                      party.c_str(), KindName(kind), name.c_str(), count,
                      o.samples + o.rounds * o.warmup);
          broken = true;
        }
      }
    }
  }

  // JSON: the setting, the floors, and every party's figures.
  std::FILE* f = std::fopen(o.json.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", o.json.c_str());
    return 1;
  }
  std::fprintf(f,
               "{\n  \"samples\": %d,\n  \"rounds\": %d,\n  \"warmup\": "
               "%d,\n  \"load_average\": [%.2f, %.2f],\n",
               o.samples, o.rounds, o.warmup, load_before, load_after);
  std::fprintf(
      f, "  \"machine\": %s,\n",
      JsonString(std::string(u.sysname) + " " + u.release + " " + u.machine)
          .c_str());
  std::fprintf(f,
               "  \"terminal\": {\"device_round_trip_after_drain_us\": %.1f, "
               "\"device_round_trip_us\": %.1f, \"poll_12ms_late_us\": %.1f, "
               "\"ppoll_12ms_late_us\": %.1f, \"bare_ping_overhead_us\": "
               "%.1f, \"bare_ping_cpu_us\": %.1f},\n",
               ref.idle_trip_us, ref.busy_trip_us, ref.poll_late_us,
               ref.ppoll_late_us, ref.bare_ping_over_us, ref.bare_ping_cpu_us);
  std::fprintf(f,
               "  \"targets\": {\"overhead_ms_below\": %.1f, "
               "\"cpu_us_below\": %.0f, \"at_most_peers_overhead\": true},\n",
               kOverheadTargetMs, kCpuTargetUs);
  std::fprintf(f, "  \"exports\": [\n");
  for (std::size_t i = 0; i < kCaseCount; ++i) {
    const Case& c = kCases[i];
    std::fprintf(f,
                 "    {\"name\": \"%s\", \"pattern\": \"%s\", \"floor_ms\": "
                 "{\"answering\": %.3f, \"silent\": %.3f}, \"floor_reason\": "
                 "%s, \"bytes_out\": %d, \"bytes_back\": %d, "
                 "\"line_9600_extra_ms\": %.3f}%s\n",
                 c.name, c.pattern, c.floor_ms[0], c.floor_ms[1],
                 JsonString(c.floor_reason).c_str(), c.bytes_out, c.bytes_back,
                 c.bytes_back ? (c.bytes_out + c.bytes_back) * kByteMs9600 : 0,
                 i + 1 < kCaseCount ? "," : "");
  }
  std::fprintf(f, "  ],\n  \"parties\": {\n");
  bool first_party = true;
  for (const char* party : kParties) {
    std::fprintf(f, "%s    %s: {\n", first_party ? "" : ",\n",
                 JsonString(party).c_str());
    first_party = false;
    bool first_kind = true;
    for (Kind kind : kKinds) {
      const Run& run = results.at(party).at(kind);
      std::fprintf(f, "%s      \"%s\": {", first_kind ? "" : ",\n",
                   KindName(kind));
      first_kind = false;
      if (!run.skipped.empty()) {
        std::fprintf(f, "\"skipped\": %s}", JsonString(run.skipped).c_str());
        continue;
      }
      std::fprintf(f, "\"cpu_clock\": %s, \"wrong\": %zu, \"exports\": {",
                   JsonString(run.cpu_clock).c_str(), run.wrong.size());
      bool first = true;
      for (const Case& c : kCases) {
        const Stats* s = Find(stats, Key(party, kind, c.name));
        if (!s) continue;
        std::fprintf(f,
                     "%s\n        \"%s\": {\"n\": %zu, \"median_ms\": %.4f, "
                     "\"p95_ms\": %.4f, \"min_ms\": %.4f, \"max_ms\": %.4f, "
                     "\"overhead_ms\": %.4f, \"own_ms\": %.4f, "
                     "\"cpu_us\": %.2f, \"cpu_median_us\": %.2f}",
                     first ? "" : ",", c.name, s->n, s->median_ms, s->p95_ms,
                     s->min_ms, s->max_ms, s->overhead_ms, s->own_ms, s->cpu_us,
                     s->cpu_median_us);
        first = false;
      }
      std::fprintf(f, "}}");
    }
    std::fprintf(f, "\n    }");
  }
  std::fprintf(f, "\n  },\n  \"missed\": [");
  for (std::size_t i = 0; i < missed.size(); ++i) {
    std::fprintf(f, "%s\n    %s", i ? "," : "", JsonString(missed[i]).c_str());
  }
  std::fprintf(f, "%s]\n}\n", missed.empty() ? "" : "\n  ");
  std::fclose(f);
  std::printf("figures written to %s\n", o.json.c_str());
  return broken ? 1 : 0;
}

bool ParseArgs(int argc, char** argv, Options* o) {
  const std::map<std::string, std::string*> strings = {
      {"--json", &o->json},
      {"--python", &o->python},
      {"--peer-script", &o->peer_script},
      {"--wine", &o->wine},
      {"--wine-peer", &o->wine_peer},
      {"--wine-dll", &o->wine_dll},
      {"--wine-com-link", &o->wine_com_link},
      {"--wine-server-pid", &o->wine_server_pid},
      {"--wine-skip", &o->wine_skip},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--samples" || a == "--warmup" || a == "--rounds") {
      const int n = std::atoi(v.c_str());
      if (n < (a == "--warmup" ? 0 : 1)) return false;
      int* field = a == "--samples"  ? &o->samples
                   : a == "--rounds" ? &o->rounds
                                     : &o->warmup;
      *field = n;
    } else if (const auto it = strings.find(a); it != strings.end()) {
      *it->second = v;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace pelcor::bench

int main(int argc, char** argv) {
  using namespace pelcor::bench;
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s [--samples N] [--rounds N] [--warmup N] "
                 "[--json FILE] "
                 "[--python EXE --peer-script FILE] [--wine EXE --wine-peer "
                 "EXE --wine-dll FILE --wine-com-link PATH "
                 "[--wine-server-pid PID]] [--wine-skip TEXT]\n",
                 argv[0]);
    return 2;
  }
  pelcor::sim::PtyDevice device;
  setenv("PELCOR_COM1", device.slave_path().c_str(), 1);
  Reference ref;

  const double load_before = LoadAverage();
  o.rounds = std::min(o.rounds, o.samples);
  Results results;
  for (int r = 0; r < o.rounds; ++r) {
    Options round = o;
    round.samples = o.samples / o.rounds + (r < o.samples % o.rounds ? 1 : 0);
    device.SetFaults({});
    MeasureTerminal(device, 8, &ref);
    for (Kind kind : kKinds) {
      device.SetFaults({.silent = kind == Kind::kSilent});
      std::fprintf(stderr, "round %d/%d, %s device: library, pyserial, Wine\n",
                   r + 1, o.rounds, KindName(kind));
      Merge(results[kParties[0]][kind], RunLibrary(device, kind, round));
      Merge(results[kParties[1]][kind], RunPython(device, kind, round));
      Merge(results[kParties[2]][kind], RunWine(device, kind, round));
    }
  }
  const int status =
      Report(results, ref, device, o, load_before, LoadAverage());
  device.Stop();
  return status;
}
