/*
 * pelcor.h - drive a position-counter device on a serial port, COM1 to COM4.
 *
 * Every argument and result is a 32-bit integer passed by value. The first
 * argument of every function is the port number, 1 to 4 for COM1 to COM4.
 * Calls are synchronous and must not overlap, even on different ports: call
 * the library from one thread at a time.
 *
 * Results (the sense differs from function to function):
 *
 *   function             done / success          failure           refused (*)
 *   ReadPosition         the count               (none)            0
 *   ResetCounter         0                       0                 1
 *   Initialize           0                       0                 1
 *   SetMultiplier        0                       0                 1 (also for
 * a multiplier not 0,1,2,4) SetPosition          0                       0 1
 *   Ping                 1                       0                 0
 *   SetCompare           0                       0                 1
 *   PassedCompare        1 changed, 0 not        OS error code invalid-handle
 * code EnableIndex          0                       1                 1
 *   DisableIndex         0                       1                 1
 *   InitComm             0                       1 no port, 8 set-up failed
 *   CloseComm            0                       0                 0
 *   ChangeLocalBaudRate  0                       0                 1
 *   ChangeBaud           0                       0                 1 (also for
 * a speed without a code)
 *
 * (*) A call naming a port outside 1 to 4, or a port that InitComm has not
 * opened (or that CloseComm has closed), is refused: it touches no port,
 * sends nothing and changes nothing. A refused result is the host's sign that
 * it broke the calling order. The invalid-handle code is ERROR_INVALID_HANDLE
 * (6) on Windows and EBADF on POSIX systems.
 */
#ifndef PELCOR_H
#define PELCOR_H

#include <stdint.h>

/* 32-bit Windows hosts (VB6 and VBA Declare, LabVIEW's WINAPI, C#, ctypes'
 * windll) expect __stdcall; everywhere else the platform's one convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define PELCOR_CALL __stdcall
#else
#define PELCOR_CALL
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#define PELCOR_API __attribute__((visibility("default")))
#else
#define PELCOR_API
#endif

/*
 * The export table: ordinal, name, argument count, parameter list. This one
 * table declares the functions below; the build reads it to write the Windows
 * .def files and the shared library's symbol list, and the export checks
 * compare the built libraries with it. Each entry starts a line with its
 * ordinal, name and argument count.
 */
/* clang-format off */
#define PELCOR_EXPORT_TABLE(X)                                                 \
  X(1, ReadPosition, 1, (int32_t PortNumber))                                  \
  X(2, ResetCounter, 1, (int32_t PortNumber))                                  \
  X(3, Initialize, 3,                                                          \
    (int32_t PortNumber, int32_t SetupByte, int32_t SetupValue))               \
  X(4, SetMultiplier, 2, (int32_t PortNumber, int32_t Multiplier))             \
  X(5, SetPosition, 2, (int32_t PortNumber, int32_t Value))                    \
  X(6, Ping, 1, (int32_t PortNumber))                                          \
  X(7, SetCompare, 2, (int32_t PortNumber, int32_t Value))                     \
  X(8, PassedCompare, 1, (int32_t PortNumber))                                 \
  X(9, EnableIndex, 1, (int32_t PortNumber))                                   \
  X(10, DisableIndex, 1, (int32_t PortNumber))                                 \
  X(11, InitComm, 1, (int32_t PortNumber))                                     \
  X(12, CloseComm, 1, (int32_t PortNumber))                                    \
  X(13, ChangeLocalBaudRate, 2, (int32_t PortNumber, int32_t BaudRate))        \
  X(14, ChangeBaud, 2, (int32_t PortNumber, int32_t BaudRate))

/* clang-format on */

#ifdef __cplusplus
extern "C" {
#endif

#define PELCOR_DECLARE_EXPORT(ordinal, name, argc, params) \
  PELCOR_API int32_t PELCOR_CALL name params;
PELCOR_EXPORT_TABLE(PELCOR_DECLARE_EXPORT)
#undef PELCOR_DECLARE_EXPORT

#ifdef __cplusplus
}
#endif

#endif /* PELCOR_H */
