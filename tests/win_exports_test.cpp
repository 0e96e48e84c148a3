// Pelcor.DLL as a host finds it at run time: every export by name and by
// ordinal, at the same address, nothing at the ordinal after the last, and
// no decorated names. On 32-bit every export must also clean its own
// arguments off the stack (__stdcall), as VB6, VBA and ctypes' windll expect.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pelcor.h"

namespace {

struct Export {
  int ordinal;
  const char* name;
  int argc;
};

const std::vector<Export>& Table() {
#define PELCOR_ROW(ordinal, name, argc, params) {ordinal, #name, argc},
  static const std::vector<Export> table = {PELCOR_EXPORT_TABLE(PELCOR_ROW)};
#undef PELCOR_ROW
  return table;
}

class DllExports : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = ::LoadLibraryA("Pelcor.DLL");
    ASSERT_NE(dll_, nullptr) << "LoadLibrary: error " << ::GetLastError();
  }
  void TearDown() override {
    if (dll_) ::FreeLibrary(dll_);
  }
  FARPROC ByName(const std::string& name) const {
    return ::GetProcAddress(dll_, name.c_str());
  }
  FARPROC ByOrdinal(int ordinal) const {
    return ::GetProcAddress(dll_, MAKEINTRESOURCEA(ordinal));
  }

  HMODULE dll_ = nullptr;
};

TEST_F(DllExports, EachExportHasOneAddressByNameAndByOrdinal) {
  ASSERT_EQ(Table().size(), 14u);
  for (const Export& e : Table()) {
    SCOPED_TRACE(e.name);
    const FARPROC by_name = ByName(e.name);
    ASSERT_NE(by_name, nullptr);
    EXPECT_EQ(ByOrdinal(e.ordinal), by_name);
  }
}

TEST_F(DllExports, NothingBeyondTheTableAndNoDecoratedNames) {
  EXPECT_EQ(ByOrdinal(15), nullptr);
  for (const Export& e : Table()) {
    SCOPED_TRACE(e.name);
    const std::string bytes = "@" + std::to_string(4 * e.argc);
    for (const std::string& name :
         {std::string(e.name) + bytes, "_" + std::string(e.name) + bytes,
          "_" + std::string(e.name)}) {
      EXPECT_EQ(ByName(name), nullptr) << name;
    }
  }
}

// Port 9 is refused by every export before the operating system is asked,
// so these calls are safe to make with no port at all.
constexpr std::int32_t kNoSuchPort = 9;

// FARPROC to a typed pointer, by way of the generic function type that
// exists for such casts.
template <typename F>
F As(FARPROC f) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(f));
}

// Calls an export with its own number of arguments.
std::int32_t Call(FARPROC f, int argc, std::int32_t port) {
  using One = std::int32_t(PELCOR_CALL*)(std::int32_t);
  using Two = std::int32_t(PELCOR_CALL*)(std::int32_t, std::int32_t);
  using Three =
      std::int32_t(PELCOR_CALL*)(std::int32_t, std::int32_t, std::int32_t);
  switch (argc) {
    case 1:
      return As<One>(f)(port);
    case 2:
      return As<Two>(f)(port, 0);
    default:
      return As<Three>(f)(port, 0, 0);
  }
}

// Through the real backend, each export answers a port it will not touch
// with its refusal (the header's table); PassedCompare with Windows'
// ERROR_INVALID_HANDLE.
TEST_F(DllExports, ARefusedPortGivesEachExportsRefusal) {
  const std::map<std::string, std::int32_t> refused = {
      {"ReadPosition", 0},        {"ResetCounter", 1},  {"Initialize", 1},
      {"SetMultiplier", 1},       {"SetPosition", 1},   {"Ping", 0},
      {"SetCompare", 1},          {"PassedCompare", 6}, {"EnableIndex", 1},
      {"DisableIndex", 1},        {"InitComm", 1},      {"CloseComm", 0},
      {"ChangeLocalBaudRate", 1}, {"ChangeBaud", 1},
  };
  for (const Export& e : Table()) {
    SCOPED_TRACE(e.name);
    const FARPROC f = ByName(e.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Call(f, e.argc, kNoSuchPort), refused.at(e.name));
  }
}

#if defined(_M_IX86) || defined(__i386__)

// Calls `f` with `argc` arguments pushed right to left, as a __stdcall
// caller does, and gives how many bytes the call left on the stack: 0 when
// the callee popped its arguments, 4 * argc when it did not.
std::int32_t StackLeftBy(const void* f, std::int32_t argc,
                         const std::int32_t* args) {
  std::int32_t left;
  std::int32_t result;
  std::int32_t n = argc;
  __asm__ volatile(
      "mov %%esp, %%edi\n\t"
      "1:\n\t"
      "test %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%%ebx,%%ecx,4)\n\t"
      "dec %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%%esi\n\t"
      "mov %%edi, %%edx\n\t"
      "sub %%esp, %%edx\n\t"
      "mov %%edi, %%esp\n\t"
      : "=a"(result), "=d"(left), "+c"(n)
      : "S"(f), "b"(args)
      : "edi", "memory", "cc");
  (void)result;
  return left;
}

std::int32_t __cdecl CallerCleans(std::int32_t a, std::int32_t b) {
  return a + b;
}
std::int32_t __stdcall CalleeCleans(std::int32_t a, std::int32_t b) {
  return a + b;
}

TEST(StackBalance, TheProbeTellsTheConventionsApart) {
  const std::int32_t args[] = {1, 2};
  EXPECT_EQ(StackLeftBy(reinterpret_cast<const void*>(&CalleeCleans), 2, args),
            0);
  EXPECT_EQ(StackLeftBy(reinterpret_cast<const void*>(&CallerCleans), 2, args),
            8);
}

TEST_F(DllExports, EveryExportPopsItsOwnArguments) {
  const std::int32_t args[] = {kNoSuchPort, 0, 0};
  for (const Export& e : Table()) {
    SCOPED_TRACE(e.name);
    const FARPROC f = ByName(e.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(StackLeftBy(reinterpret_cast<const void*>(f), e.argc, args), 0);
  }
}

#endif

}  // namespace
