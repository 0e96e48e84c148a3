// The serial services over kernel32: every call goes to the real function
// with the arguments it was given, on a handle opened without overlapped I/O.
//
// Our own records come first; <windows.h> turns the shared constant names
// into macros, so after it this file names none of them.
#include "platform/serial.h"
// clang-format off
#include <windows.h>
// clang-format on

#include <array>
#include <bit>
#include <cstddef>

namespace {

namespace os = pelcor::os;

// The records cross into kernel32 as they are, so they must be laid out bit
// for bit as Win32 lays them out. Setting one field to all ones in both (by
// decrementing it from zero) and
// comparing the bytes checks the place and width of that field, bit-fields
// included.
template <typename Ours, typename Theirs, typename Set>
constexpr bool SameBits(Set set) {
  static_assert(sizeof(Ours) == sizeof(Theirs));
  Ours ours{};
  Theirs theirs{};
  set(ours);
  set(theirs);
  using Bytes = std::array<unsigned char, sizeof(Ours)>;
  return std::bit_cast<Bytes>(ours) == std::bit_cast<Bytes>(theirs);
}

#define PELCOR_SAME_DCB_FIELD(field)                                  \
  static_assert(SameBits<os::DCB, ::DCB>([](auto& d) { --d.field; }), \
                "DCB." #field " differs from Win32")
PELCOR_SAME_DCB_FIELD(DCBlength);
PELCOR_SAME_DCB_FIELD(BaudRate);
PELCOR_SAME_DCB_FIELD(fBinary);
PELCOR_SAME_DCB_FIELD(fParity);
PELCOR_SAME_DCB_FIELD(fOutxCtsFlow);
PELCOR_SAME_DCB_FIELD(fOutxDsrFlow);
PELCOR_SAME_DCB_FIELD(fDtrControl);
PELCOR_SAME_DCB_FIELD(fDsrSensitivity);
PELCOR_SAME_DCB_FIELD(fTXContinueOnXoff);
PELCOR_SAME_DCB_FIELD(fOutX);
PELCOR_SAME_DCB_FIELD(fInX);
PELCOR_SAME_DCB_FIELD(fErrorChar);
PELCOR_SAME_DCB_FIELD(fNull);
PELCOR_SAME_DCB_FIELD(fRtsControl);
PELCOR_SAME_DCB_FIELD(fAbortOnError);
PELCOR_SAME_DCB_FIELD(fDummy2);
PELCOR_SAME_DCB_FIELD(wReserved);
PELCOR_SAME_DCB_FIELD(XonLim);
PELCOR_SAME_DCB_FIELD(XoffLim);
PELCOR_SAME_DCB_FIELD(ByteSize);
PELCOR_SAME_DCB_FIELD(Parity);
PELCOR_SAME_DCB_FIELD(StopBits);
PELCOR_SAME_DCB_FIELD(XonChar);
PELCOR_SAME_DCB_FIELD(XoffChar);
PELCOR_SAME_DCB_FIELD(ErrorChar);
PELCOR_SAME_DCB_FIELD(EofChar);
PELCOR_SAME_DCB_FIELD(EvtChar);
PELCOR_SAME_DCB_FIELD(wReserved1);
#undef PELCOR_SAME_DCB_FIELD

#define PELCOR_SAME_TIMEOUTS_FIELD(field)                                     \
  static_assert(                                                              \
      SameBits<os::COMMTIMEOUTS, ::COMMTIMEOUTS>([](auto& t) { --t.field; }), \
      "COMMTIMEOUTS." #field " differs from Win32")
PELCOR_SAME_TIMEOUTS_FIELD(ReadIntervalTimeout);
PELCOR_SAME_TIMEOUTS_FIELD(ReadTotalTimeoutMultiplier);
PELCOR_SAME_TIMEOUTS_FIELD(ReadTotalTimeoutConstant);
PELCOR_SAME_TIMEOUTS_FIELD(WriteTotalTimeoutMultiplier);
PELCOR_SAME_TIMEOUTS_FIELD(WriteTotalTimeoutConstant);
#undef PELCOR_SAME_TIMEOUTS_FIELD

static_assert(sizeof(os::DWORD) == sizeof(::DWORD));
static_assert(sizeof(os::BOOL) == sizeof(::BOOL));
static_assert(sizeof(os::HANDLE) == sizeof(::HANDLE));

::HANDLE Native(os::HANDLE h) { return reinterpret_cast<::HANDLE>(h); }

}  // namespace

namespace pelcor::os {

HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode,
                   void* security, DWORD disposition, DWORD flags,
                   HANDLE template_file) {
  return reinterpret_cast<HANDLE>(::CreateFileA(
      name, access, share_mode, static_cast<::SECURITY_ATTRIBUTES*>(security),
      disposition, flags, Native(template_file)));
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
  return ::GetCommState(Native(h), reinterpret_cast<::DCB*>(dcb));
}

BOOL SetCommState(HANDLE h, DCB* dcb) {
  return ::SetCommState(Native(h), reinterpret_cast<::DCB*>(dcb));
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  return ::SetCommMask(Native(h), mask);
}

BOOL SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue) {
  return ::SetupComm(Native(h), in_queue, out_queue);
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  return ::SetCommTimeouts(Native(h),
                           reinterpret_cast<::COMMTIMEOUTS*>(timeouts));
}

BOOL PurgeComm(HANDLE h, DWORD flags) { return ::PurgeComm(Native(h), flags); }

// The counts go through a ::DWORD of kernel32's own type (unsigned long),
// then back into the caller's 32-bit variable.
BOOL WriteFile(HANDLE h, const void* data, DWORD size, DWORD* written,
               void* overlapped) {
  ::DWORD count = 0;
  const BOOL ok = ::WriteFile(Native(h), data, size, written ? &count : nullptr,
                              static_cast<::OVERLAPPED*>(overlapped));
  if (written) *written = count;
  return ok;
}

BOOL ReadFile(HANDLE h, void* data, DWORD size, DWORD* read, void* overlapped) {
  ::DWORD count = 0;
  const BOOL ok = ::ReadFile(Native(h), data, size, read ? &count : nullptr,
                             static_cast<::OVERLAPPED*>(overlapped));
  if (read) *read = count;
  return ok;
}

BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
  ::DWORD word = 0;
  const BOOL ok = ::GetCommModemStatus(Native(h), &word);
  if (ok) *status = word;
  return ok;
}

DWORD GetLastError() { return ::GetLastError(); }

BOOL CloseHandle(HANDLE h) { return ::CloseHandle(Native(h)); }

// The performance counter runs at a fixed rate from boot; split the
// conversion so that the product cannot overflow after a long uptime.
std::int64_t MonotonicNanos() {
  ::LARGE_INTEGER count, rate;
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&rate);
  const std::int64_t whole = count.QuadPart / rate.QuadPart;
  const std::int64_t part = count.QuadPart % rate.QuadPart;
  return whole * 1'000'000'000 + part * 1'000'000'000 / rate.QuadPart;
}

}  // namespace pelcor::os
