/*
 * A host built the way an MSVC project builds one: clang in MSVC mode, linked
 * by lld-link against Pelcor.lib, with no MinGW runtime at all (so no C
 * library either: output goes straight to kernel32).
 *
 * Without arguments it checks the exports' refusals, which need no port.
 * With the argument "com2" it also drives the simulated device on COM2.
 * Prints "<call> = <result>" per call; exits 1 if a refusal is wrong.
 */
#include "pelcor.h"

typedef void *HANDLE;
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void *data,
                                              unsigned long size,
                                              unsigned long *written,
                                              void *overlapped);
__declspec(dllimport) char *__stdcall GetCommandLineA(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)

static void Write(const char *text) {
  unsigned long n = 0, written = 0;
  while (text[n]) ++n;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, n, &written, 0);
}

static void WriteNumber(int32_t value) {
  char digits[16];
  int i = 15;
  uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
  digits[i] = 0;
  do {
    digits[--i] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  if (value < 0) digits[--i] = '-';
  Write(digits + i);
}

static int32_t Show(const char *call, int32_t result) {
  Write(call);
  Write(" = ");
  WriteNumber(result);
  Write("\n");
  return result;
}

#define SHOW(call) Show(#call, call)

static int HasArgument(const char *word) {
  const char *line = GetCommandLineA();
  for (; *line; ++line) {
    int i = 0;
    if (*line != ' ') continue;
    while (word[i] && line[1 + i] == word[i]) ++i;
    if (!word[i] && (line[1 + i] == 0 || line[1 + i] == ' ')) return 1;
  }
  return 0;
}

void Start(void) {
  int wrong = 0;
  /* Ports the library will not touch: out of range, or never opened. */
  wrong |= SHOW(InitComm(0)) != 1;
  wrong |= SHOW(InitComm(5)) != 1;
  wrong |= SHOW(ChangeLocalBaudRate(3, 9600)) != 1;
  wrong |= SHOW(SetMultiplier(4, 1)) != 1;
  wrong |= SHOW(Initialize(3, 1, 2)) != 1;
  wrong |= SHOW(PassedCompare(4)) != 6; /* ERROR_INVALID_HANDLE */
  wrong |= SHOW(CloseComm(1)) != 0;
  if (HasArgument("com2")) {
    SHOW(InitComm(2));
    SHOW(Ping(2));
    SHOW(SetPosition(2, -2));
    SHOW(ReadPosition(2));
    SHOW(CloseComm(2));
  }
  ExitProcess(wrong ? 1 : 0);
}
