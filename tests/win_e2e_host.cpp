// The host of the end-to-end test under Wine: drives the simulated device on
// COM2 through Pelcor.DLL (linked by its import library) and prints one line
// per call, "<call> = <result>". The test on the Linux side compares these
// with the frames that the device saw.
//
// First it asks Wine itself for COM2's modem status, so that PassedCompare's
// error code can be checked against the operating system's own.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "pelcor.h"

namespace {

#define SHOW(call) std::printf("%s = %ld\n", #call, static_cast<long>(call))

}  // namespace

int main() {
  HANDLE h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("CreateFileA(COM2) failed: error %lu\n", ::GetLastError());
    return 1;
  }
  DWORD status = 0;
  const BOOL read = ::GetCommModemStatus(h, &status);
  std::printf("modem status: %s %lu\n", read ? "ok" : "error",
              read ? status : ::GetLastError());
  ::CloseHandle(h);

  SHOW(InitComm(2));
  SHOW(InitComm(2));
  SHOW(Ping(2));
  SHOW(SetPosition(2, 0x12345678));
  SHOW(SetCompare(2, -1));
  SHOW(ReadPosition(2));
  SHOW(SetMultiplier(2, 4));
  SHOW(SetMultiplier(2, 3));
  SHOW(EnableIndex(2));
  SHOW(DisableIndex(2));
  SHOW(ChangeBaud(2, 19200));
  SHOW(Ping(2));
  SHOW(Initialize(2, 0x105, 0x0A0B0C0D));
  SHOW(PassedCompare(2));
  SHOW(CloseComm(2));
  // Reopened, the PC side starts at 9600 again while the device stays at
  // 19200, until the host moves its side alone.
  SHOW(InitComm(2));
  SHOW(Ping(2));
  SHOW(ChangeLocalBaudRate(2, 19200));
  SHOW(Ping(2));
  SHOW(ChangeBaud(2, 9600));
  SHOW(ReadPosition(2));
  SHOW(CloseComm(2));
  return 0;
}
