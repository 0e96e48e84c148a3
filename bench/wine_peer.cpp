// The Windows peer of the benchmark: a host that loads Pelcor.DLL and calls
// its exports on COM1 through the same cases as pelcor_bench (cases.h), for
// running under Wine with the prefix's COM1 mapped to the simulated device's
// terminal. Prints one line per timed call, "sample NAME WALL_NS CPU_NS",
// and "wrong NAME TEXT" for a result that the device kind rules out.
//
//   pelcor_wine_peer --kind answering|silent --samples N --warmup N
//                    [--dll PATH] [--server-pid PID]
//
// CPU time: under Wine the calling thread is a Linux thread, and the
// wineserver does part of the work of each serial call (the timed waits).
// GetThreadTimes counts there in 10 ms ticks, so the peer asks Linux for the
// thread's CPU clock with a system call of its own, and adds the wineserver's
// run time from /proc (Z:\proc\PID\schedstat) when given its pid. On
// Windows itself it falls back to GetThreadTimes.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/cases.h"
#include "pelcor.h"

namespace {

using namespace pelcor::bench;

// One pointer per export, by name, from the header's table.
#define PELCOR_POINTER(ordinal, name, argc, params) \
  int32_t(PELCOR_CALL* name) params = nullptr;
struct Exports {
  PELCOR_EXPORT_TABLE(PELCOR_POINTER)
};
#undef PELCOR_POINTER

bool Load(HMODULE dll, Exports* e) {
  bool all = true;
#define PELCOR_LOAD(ordinal, name, argc, params)              \
  e->name = reinterpret_cast<decltype(e->name)>(              \
      reinterpret_cast<void*>(GetProcAddress(dll, #name)));   \
  if (e->name == nullptr) {                                   \
    std::printf("skip Pelcor.DLL has no export %s\n", #name); \
    all = false;                                              \
  }
  PELCOR_EXPORT_TABLE(PELCOR_LOAD)
#undef PELCOR_LOAD
  return all;
}

std::int64_t WallNanos() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::int64_t>(static_cast<double>(now.QuadPart) * 1e9 /
                                   static_cast<double>(frequency.QuadPart));
}

// A /proc schedstat file: its first field is the run time in nanoseconds.
class RunTime {
 public:
  explicit RunTime(const std::string& path) {
    h_ = CreateFileA(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     0, nullptr);
  }
  ~RunTime() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  RunTime(const RunTime&) = delete;
  RunTime& operator=(const RunTime&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  std::int64_t Nanos() const {
    char buf[128] = {};
    DWORD n = 0;
    SetFilePointer(h_, 0, nullptr, FILE_BEGIN);
    if (!ReadFile(h_, buf, sizeof buf - 1, &n, nullptr)) return 0;
    return std::strtoll(buf, nullptr, 10);
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

std::int64_t ThreadTimesNanos() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ns = [](const FILETIME& f) {
    return (static_cast<std::int64_t>(f.dwHighDateTime) << 32 |
            f.dwLowDateTime) *
           100;
  };
  return ns(kernel) + ns(user);
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version");
}

// clock_gettime(CLOCK_THREAD_CPUTIME_ID), straight to the Linux kernel: only
// under Wine on x86-64 Linux, where the host's code runs as a Linux thread.
std::int64_t LinuxThreadCpuNanos() {
#if defined(__x86_64__)
  struct {
    long long sec, nsec;
  } ts{};
  long result = 0;
  asm volatile("syscall"
               : "=a"(result)
               : "0"(228L), "D"(3L), "S"(&ts)
               : "rcx", "r11", "memory");
  return result == 0 ? ts.sec * 1'000'000'000LL + ts.nsec : -1;
#else
  return -1;
#endif
}

struct Cpu {
  bool linux_clock = UnderWine() && LinuxThreadCpuNanos() >= 0;
  RunTime* server = nullptr;
  std::int64_t Nanos() const {
    if (!linux_clock) return ThreadTimesNanos();
    return LinuxThreadCpuNanos() + (server ? server->Nanos() : 0);
  }
};

std::int32_t Expected(const char* name, bool answering, bool* settled) {
  *settled = true;
  if (!std::strcmp(name, "Ping")) return answering ? 1 : 0;
  if (!std::strcmp(name, "EnableIndex") || !std::strcmp(name, "DisableIndex"))
    return answering ? 0 : 1;
  if (!std::strcmp(name, "ReadPosition") ||
      !std::strcmp(name, "PassedCompare")) {
    *settled = false;
  }
  return 0;
}

std::int32_t Call(const Exports& e, const char* name, int i) {
  constexpr int32_t p = 1;
  const std::string n = name;
  if (n == "ReadPosition") return e.ReadPosition(p);
  if (n == "ResetCounter") return e.ResetCounter(p);
  if (n == "Initialize") return e.Initialize(p, kSetupByte, SetupValue(i));
  if (n == "SetMultiplier") return e.SetMultiplier(p, Multiplier(i));
  if (n == "SetPosition") return e.SetPosition(p, PositionValue(i));
  if (n == "Ping") return e.Ping(p);
  if (n == "SetCompare") return e.SetCompare(p, CompareValue(i));
  if (n == "PassedCompare") return e.PassedCompare(p);
  if (n == "EnableIndex") return e.EnableIndex(p);
  if (n == "DisableIndex") return e.DisableIndex(p);
  if (n == "InitComm") return e.InitComm(p);
  if (n == "CloseComm") return e.CloseComm(p);
  if (n == "ChangeLocalBaudRate") return e.ChangeLocalBaudRate(p, Speed(i));
  if (n == "ChangeBaud") return e.ChangeBaud(p, Speed(i));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind, dll = "Pelcor.DLL", server_pid;
  int samples = 40, warmup = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--kind") kind = argv[i + 1];
    if (a == "--samples") samples = std::atoi(argv[i + 1]);
    if (a == "--warmup") warmup = std::atoi(argv[i + 1]);
    if (a == "--dll") dll = argv[i + 1];
    if (a == "--server-pid") server_pid = argv[i + 1];
  }
  if (kind != "answering" && kind != "silent") {
    std::fprintf(stderr, "usage: %s --kind answering|silent ...\n", argv[0]);
    return 2;
  }
  const bool answering = kind == "answering";

  HMODULE module = LoadLibraryA(dll.c_str());
  if (module == nullptr) {
    std::printf("skip cannot load %s (error %lu)\n", dll.c_str(),
                GetLastError());
    return 0;
  }
  Exports e;
  if (!Load(module, &e)) return 0;

  Cpu cpu;
  RunTime server("Z:\\proc\\" + server_pid + "\\schedstat");
  if (!server_pid.empty() && server.ok()) cpu.server = &server;
  std::printf("clock %s\n",
              !cpu.linux_clock ? "GetThreadTimes of the calling thread"
              : cpu.server     ? "Linux CPU clock of the calling thread plus "
                                 "the wineserver's run time"
                               : "Linux CPU clock of the calling thread");

  if (e.InitComm(1) != 0) {
    std::printf("skip InitComm(1) failed: is COM1 mapped to the terminal?\n");
    return 0;
  }
  std::string out;
  for (const Case& c : kCases) {
    const std::string name = c.name;
    for (int i = 0; i < warmup + samples; ++i) {
      if (name == "InitComm") e.CloseComm(1);
      if (name == "CloseComm" && i > 0) e.InitComm(1);
      const std::int64_t c0 = cpu.Nanos();
      const std::int64_t t0 = WallNanos();
      const std::int32_t got = Call(e, c.name, i);
      const std::int64_t t1 = WallNanos();
      const std::int64_t c1 = cpu.Nanos();
      if (i >= warmup) {
        out += "sample " + name + " " + std::to_string(t1 - t0) + " " +
               std::to_string(c1 - c0) + "\n";
      }
      bool settled = false;
      const std::int32_t want = Expected(c.name, answering, &settled);
      if (settled && got != want) {
        std::printf("wrong %s gave %d, expected %d\n", c.name,
                    static_cast<int>(got), static_cast<int>(want));
      }
    }
    if (name == "CloseComm") e.InitComm(1);
    if (name == "ChangeLocalBaudRate") e.ChangeLocalBaudRate(1, kHomeSpeed);
    if (name == "ChangeBaud") e.ChangeBaud(1, kHomeSpeed);
  }
  e.CloseComm(1);
  std::fputs(out.c_str(), stdout);
  return 0;
}
