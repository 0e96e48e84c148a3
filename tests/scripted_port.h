// A scripted serial port for tests: it stands in for the operating system's
// serial services, records every call with its arguments, fails any call on
// cue, and plays the far end of each line as bytes that arrive at chosen
// times on a virtual clock. Reads and writes advance the clock by the same
// rules that end them on a real port, so a test can say "this read waited
// exactly 12 ms" without sleeping.
#ifndef PELCOR_TESTS_SCRIPTED_PORT_H
#define PELCOR_TESTS_SCRIPTED_PORT_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/read_timing.h"
#include "platform/serial.h"

namespace pelcor::test {

using os::DWORD;

inline constexpr std::int64_t kMs = os::kNanosPerMilli;

enum class Call {
  kCreateFileA,
  kGetCommState,
  kSetCommState,
  kSetCommMask,
  kSetupComm,
  kSetCommTimeouts,
  kPurgeComm,
  kWriteFile,
  kReadFile,
  kGetCommModemStatus,
  kGetLastError,
  kCloseHandle,
};
const char* CallName(Call c);

// One call as the library made it. Only the fields that the call has are set.
struct CallRecord {
  Call call{};
  os::HANDLE handle = 0;
  std::string name;  // CreateFileA: the device name
  DWORD access = 0, share = 0, disposition = 0, flags = 0;
  bool security_null = true, template_null = true, overlapped_null = true;
  os::DCB dcb{};   // SetCommState: the record passed
  DWORD mask = 0;  // SetCommMask
  DWORD in_queue = 0, out_queue = 0;
  os::COMMTIMEOUTS timeouts{};      // SetCommTimeouts
  DWORD purge_flags = 0;            // PurgeComm
  DWORD asked = 0;                  // ReadFile, WriteFile: bytes asked to move
  std::vector<std::uint8_t> bytes;  // WriteFile: sent; ReadFile: delivered
  std::int64_t start_ns = 0, end_ns = 0;
  bool ok = true;    // what the call reported
  DWORD result = 0;  // GetLastError: the code it gave

  std::int64_t Waited() const { return end_ns - start_ns; }
};

// The far end of one device name, and what the library has set on it.
class Line {
 public:
  bool present = true;          // CreateFileA finds the device
  bool held_elsewhere = false;  // another process has it open
  os::DCB state_before{};       // what GetCommState reports before any set
  os::DCB dcb{};                // the settings in force
  os::COMMTIMEOUTS timeouts{};  // the timeouts in force
  DWORD event_mask = 0, in_queue = 0, out_queue = 0;
  DWORD modem_status = 0;
  // When set, GetCommModemStatus asks it instead of modem_status.
  std::function<DWORD()> modem_status_source;

  // Every byte that the library put on the line, with the time at which it
  // had fully left the PC.
  std::vector<std::uint8_t> sent;
  std::vector<std::int64_t> sent_at;

  // Called for each byte as it leaves the PC, at that time, so a far-end
  // model can answer by scheduling bytes with Arrive().
  std::function<void(Line&, std::int64_t at_ns, std::uint8_t byte)> on_byte;
  // Called once a write has ended, with the bytes it put on the line: for a
  // far end that answers whole frames.
  std::function<void(Line&, std::int64_t at_ns,
                     const std::vector<std::uint8_t>& frame)>
      on_write;

  // Bytes that reach the PC's input queue: the first at `at_ns`, the next
  // ones `spacing_ns` apart (by default one byte time at the line's speed).
  void Arrive(std::int64_t at_ns, const std::vector<std::uint8_t>& bytes,
              std::optional<std::int64_t> spacing_ns = std::nullopt);
  // A byte every `period_ns` from `from_ns` until `until_ns`: a device that
  // will not stop talking.
  void Chatter(std::int64_t from_ns, std::int64_t period_ns,
               std::int64_t until_ns = os::kNoDeadline,
               std::uint8_t byte = 0x55);

  // The speed in force (9600 before any SetCommState), and the time that
  // one byte of 10 bits takes at it.
  DWORD BaudRate() const;
  std::int64_t ByteTimeNanos() const;

  // Bytes that have arrived by `now` and not been read or purged.
  std::size_t Queued(std::int64_t now) const;

 private:
  friend class ScriptedPort;
  std::optional<std::int64_t> NextArrival() const;
  std::uint8_t Take();
  void Purge(std::int64_t now);

  std::multimap<std::int64_t, std::uint8_t> incoming_;
  std::int64_t chatter_next_ = os::kNoDeadline;
  std::int64_t chatter_period_ = 0;
  std::int64_t chatter_until_ = 0;
  std::uint8_t chatter_byte_ = 0;
};

class ScriptedPort {
 public:
  // The new port stands in for the operating system until it is destroyed.
  // COM1 to COM4 are present; each starts at the virtual time 0.
  ScriptedPort();
  ~ScriptedPort();
  ScriptedPort(const ScriptedPort&) = delete;
  ScriptedPort& operator=(const ScriptedPort&) = delete;

  static ScriptedPort& Current();

  Line& line(const std::string& name) { return lines_[name]; }

  // The next call of that kind, after `skip` that succeed, fails with
  // `error`. Several such cues queue up in order.
  void FailNext(Call call, DWORD error, int skip = 0);
  // Every call of that kind fails with `error` until Heal().
  void FailAlways(Call call, DWORD error);
  void Heal(Call call);

  std::int64_t Now() const { return now_; }
  void Advance(std::int64_t ns) { now_ += ns; }

  const std::vector<CallRecord>& calls() const { return calls_; }
  std::vector<CallRecord> CallsOf(Call call) const;
  std::vector<Call> CallKinds() const;
  void ClearCalls() { calls_.clear(); }

  // The handle that CreateFileA gave for `name` and has not been closed.
  std::optional<os::HANDLE> OpenHandle(const std::string& name) const;

  // The operating-system calls, as the backend functions forward them.
  os::HANDLE CreateFileA(const char* name, DWORD access, DWORD share,
                         void* security, DWORD disposition, DWORD flags,
                         os::HANDLE template_file);
  os::BOOL GetCommState(os::HANDLE h, os::DCB* dcb);
  os::BOOL SetCommState(os::HANDLE h, os::DCB* dcb);
  os::BOOL SetCommMask(os::HANDLE h, DWORD mask);
  os::BOOL SetupComm(os::HANDLE h, DWORD in_queue, DWORD out_queue);
  os::BOOL SetCommTimeouts(os::HANDLE h, os::COMMTIMEOUTS* t);
  os::BOOL PurgeComm(os::HANDLE h, DWORD flags);
  os::BOOL WriteFile(os::HANDLE h, const void* data, DWORD size, DWORD* written,
                     void* overlapped);
  os::BOOL ReadFile(os::HANDLE h, void* data, DWORD size, DWORD* read,
                    void* overlapped);
  os::BOOL GetCommModemStatus(os::HANDLE h, DWORD* status);
  DWORD GetLastError();
  os::BOOL CloseHandle(os::HANDLE h);

 private:
  CallRecord& Begin(Call call, os::HANDLE h);
  // Whether the call in `rec` fails; if so, sets the last error.
  bool Failing(CallRecord& rec);
  Line* LineOf(CallRecord& rec);

  std::map<std::string, Line> lines_;
  std::map<os::HANDLE, std::string> open_;
  os::HANDLE next_handle_ = 0x100;
  std::map<Call, std::deque<std::optional<DWORD>>> fail_next_;
  std::map<Call, DWORD> fail_always_;
  std::vector<CallRecord> calls_;
  DWORD last_error_ = 0;
  std::int64_t now_ = 0;
};

}  // namespace pelcor::test

#endif
