// The serial services that the library asks of the operating system, in the
// Win32 vocabulary. The library links against exactly one implementation of
// these functions: the Win32 backend, the POSIX backend, or the tests'
// scripted port.
//
// The records and constants are our own declarations with the Win32 layout
// and values, so that the library's code never needs a platform header. The
// Win32 backend includes this header before <windows.h> and checks that the
// layouts agree.
#ifndef PELCOR_PLATFORM_SERIAL_H
#define PELCOR_PLATFORM_SERIAL_H

#include <cstdint>

namespace pelcor::os {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = std::int32_t;
// An integer wide enough for a Win32 handle or a POSIX descriptor, so that
// the port table is plain data with constant initialisation.
using HANDLE = std::intptr_t;

// A Win32 DCB, field for field.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;

inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_BREAK = 0x0040;

inline constexpr DWORD PURGE_RXCLEAR = 0x0008;
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// The last-error code that stands for "not a valid handle" on this platform:
// ERROR_INVALID_HANDLE on Windows, EBADF on POSIX systems.
#ifdef _WIN32
inline constexpr DWORD kInvalidHandleError = 6;
#else
inline constexpr DWORD kInvalidHandleError = 9;
#endif

HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode,
                   void* security, DWORD disposition, DWORD flags,
                   HANDLE template_file);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, DCB* dcb);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL WriteFile(HANDLE h, const void* data, DWORD size, DWORD* written,
               void* overlapped);
BOOL ReadFile(HANDLE h, void* data, DWORD size, DWORD* read, void* overlapped);
BOOL GetCommModemStatus(HANDLE h, DWORD* status);
DWORD GetLastError();
BOOL CloseHandle(HANDLE h);

// A monotonic clock in nanoseconds, for the bound on draining a line that
// never falls quiet. Only differences between readings mean anything.
std::int64_t MonotonicNanos();

}  // namespace pelcor::os

#endif
