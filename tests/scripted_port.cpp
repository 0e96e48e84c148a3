#include "scripted_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelcor::test {

namespace {

ScriptedPort* current = nullptr;

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorAccessDenied = 5;

}  // namespace

const char* CallName(Call c) {
  switch (c) {
    case Call::kCreateFileA:
      return "CreateFileA";
    case Call::kGetCommState:
      return "GetCommState";
    case Call::kSetCommState:
      return "SetCommState";
    case Call::kSetCommMask:
      return "SetCommMask";
    case Call::kSetupComm:
      return "SetupComm";
    case Call::kSetCommTimeouts:
      return "SetCommTimeouts";
    case Call::kPurgeComm:
      return "PurgeComm";
    case Call::kWriteFile:
      return "WriteFile";
    case Call::kReadFile:
      return "ReadFile";
    case Call::kGetCommModemStatus:
      return "GetCommModemStatus";
    case Call::kGetLastError:
      return "GetLastError";
    case Call::kCloseHandle:
      return "CloseHandle";
  }
  return "?";
}

// --- Line -----------------------------------------------------------------

void Line::Arrive(std::int64_t at_ns, const std::vector<std::uint8_t>& bytes,
                  std::optional<std::int64_t> spacing_ns) {
  const std::int64_t step = spacing_ns.value_or(ByteTimeNanos());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    incoming_.emplace(at_ns + static_cast<std::int64_t>(i) * step, bytes[i]);
  }
}

void Line::Chatter(std::int64_t from_ns, std::int64_t period_ns,
                   std::int64_t until_ns, std::uint8_t byte) {
  chatter_next_ = from_ns;
  chatter_period_ = period_ns;
  chatter_until_ = until_ns;
  chatter_byte_ = byte;
}

DWORD Line::BaudRate() const { return dcb.BaudRate ? dcb.BaudRate : 9600; }

std::int64_t Line::ByteTimeNanos() const {
  return 10 * 1'000'000'000LL / BaudRate();
}

std::optional<std::int64_t> Line::NextArrival() const {
  std::optional<std::int64_t> next;
  if (!incoming_.empty()) next = incoming_.begin()->first;
  if (chatter_next_ <= chatter_until_ && (!next || chatter_next_ < *next)) {
    next = chatter_next_;
  }
  return next;
}

std::uint8_t Line::Take() {
  if (chatter_next_ <= chatter_until_ &&
      (incoming_.empty() || chatter_next_ < incoming_.begin()->first)) {
    chatter_next_ += chatter_period_;
    return chatter_byte_;
  }
  const std::uint8_t b = incoming_.begin()->second;
  incoming_.erase(incoming_.begin());
  return b;
}

void Line::Purge(std::int64_t now) {
  incoming_.erase(incoming_.begin(), incoming_.upper_bound(now));
  while (chatter_next_ <= chatter_until_ && chatter_next_ <= now) {
    chatter_next_ += chatter_period_;
  }
}

std::size_t Line::Queued(std::int64_t now) const {
  std::size_t n = static_cast<std::size_t>(
      std::distance(incoming_.begin(), incoming_.upper_bound(now)));
  if (chatter_next_ <= std::min(now, chatter_until_)) {
    n += static_cast<std::size_t>(
        (std::min(now, chatter_until_) - chatter_next_) / chatter_period_ + 1);
  }
  return n;
}

// --- ScriptedPort ---------------------------------------------------------

ScriptedPort::ScriptedPort() {
  if (current != nullptr) {
    std::fprintf(stderr, "two scripted ports at once\n");
    std::abort();
  }
  current = this;
  for (const char* name : {"COM1", "COM2", "COM3", "COM4"}) {
    Line& l = lines_[name];
    // Whatever a port held before the library opened it; the library must
    // not carry any of it over.
    l.state_before.DCBlength = sizeof(os::DCB);
    l.state_before.BaudRate = 115200;
    l.state_before.fBinary = 1;
    l.state_before.fOutxCtsFlow = 1;
    l.state_before.fDtrControl = 1;
    l.state_before.fRtsControl = 2;
    l.state_before.ByteSize = 7;
    l.state_before.Parity = 2;
    l.state_before.StopBits = 2;
    l.state_before.XonChar = 0x11;
    l.state_before.XoffChar = 0x13;
  }
}

ScriptedPort::~ScriptedPort() { current = nullptr; }

ScriptedPort& ScriptedPort::Current() {
  if (current == nullptr) {
    std::fprintf(stderr, "serial call with no scripted port in place\n");
    std::abort();
  }
  return *current;
}

void ScriptedPort::FailNext(Call call, DWORD error, int skip) {
  auto& cues = fail_next_[call];
  cues.insert(cues.end(), static_cast<std::size_t>(skip), std::nullopt);
  cues.push_back(error);
}
void ScriptedPort::FailAlways(Call call, DWORD error) {
  fail_always_[call] = error;
}
void ScriptedPort::Heal(Call call) {
  fail_always_.erase(call);
  fail_next_.erase(call);
}

std::vector<CallRecord> ScriptedPort::CallsOf(Call call) const {
  std::vector<CallRecord> out;
  for (const CallRecord& r : calls_) {
    if (r.call == call) out.push_back(r);
  }
  return out;
}

std::vector<Call> ScriptedPort::CallKinds() const {
  std::vector<Call> out;
  for (const CallRecord& r : calls_) out.push_back(r.call);
  return out;
}

std::optional<os::HANDLE> ScriptedPort::OpenHandle(
    const std::string& name) const {
  for (const auto& [h, n] : open_) {
    if (n == name) return h;
  }
  return std::nullopt;
}

CallRecord& ScriptedPort::Begin(Call call, os::HANDLE h) {
  CallRecord& rec = calls_.emplace_back();
  rec.call = call;
  rec.handle = h;
  rec.start_ns = rec.end_ns = now_;
  return rec;
}

bool ScriptedPort::Failing(CallRecord& rec) {
  std::optional<DWORD> error;
  auto next = fail_next_.find(rec.call);
  if (next != fail_next_.end() && !next->second.empty()) {
    error = next->second.front();
    next->second.pop_front();
    if (!error) return false;
  } else if (auto always = fail_always_.find(rec.call);
             always != fail_always_.end()) {
    error = always->second;
  }
  if (!error) return false;
  last_error_ = *error;
  rec.ok = false;
  return true;
}

Line* ScriptedPort::LineOf(CallRecord& rec) {
  auto it = open_.find(rec.handle);
  if (it == open_.end()) {
    last_error_ = os::kInvalidHandleError;
    rec.ok = false;
    return nullptr;
  }
  return &lines_[it->second];
}

os::HANDLE ScriptedPort::CreateFileA(const char* name, DWORD access,
                                     DWORD share, void* security,
                                     DWORD disposition, DWORD flags,
                                     os::HANDLE template_file) {
  CallRecord& rec = Begin(Call::kCreateFileA, 0);
  rec.name = name;
  rec.access = access;
  rec.share = share;
  rec.security_null = security == nullptr;
  rec.disposition = disposition;
  rec.flags = flags;
  rec.template_null = template_file == 0;
  if (Failing(rec)) return os::INVALID_HANDLE_VALUE;
  auto it = lines_.find(rec.name);
  if (it == lines_.end() || !it->second.present) {
    last_error_ = kErrorFileNotFound;
    rec.ok = false;
    return os::INVALID_HANDLE_VALUE;
  }
  if (it->second.held_elsewhere || (share == 0 && OpenHandle(rec.name))) {
    last_error_ = kErrorAccessDenied;
    rec.ok = false;
    return os::INVALID_HANDLE_VALUE;
  }
  const os::HANDLE h = next_handle_;
  next_handle_ += 4;
  open_[h] = rec.name;
  rec.handle = h;
  return h;
}

os::BOOL ScriptedPort::GetCommState(os::HANDLE h, os::DCB* dcb) {
  CallRecord& rec = Begin(Call::kGetCommState, h);
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  *dcb = line->dcb.BaudRate ? line->dcb : line->state_before;
  rec.dcb = *dcb;
  return 1;
}

os::BOOL ScriptedPort::SetCommState(os::HANDLE h, os::DCB* dcb) {
  CallRecord& rec = Begin(Call::kSetCommState, h);
  rec.dcb = *dcb;
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  line->dcb = *dcb;
  return 1;
}

os::BOOL ScriptedPort::SetCommMask(os::HANDLE h, DWORD mask) {
  CallRecord& rec = Begin(Call::kSetCommMask, h);
  rec.mask = mask;
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  line->event_mask = mask;
  return 1;
}

os::BOOL ScriptedPort::SetupComm(os::HANDLE h, DWORD in_queue,
                                 DWORD out_queue) {
  CallRecord& rec = Begin(Call::kSetupComm, h);
  rec.in_queue = in_queue;
  rec.out_queue = out_queue;
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  line->in_queue = in_queue;
  line->out_queue = out_queue;
  return 1;
}

os::BOOL ScriptedPort::SetCommTimeouts(os::HANDLE h, os::COMMTIMEOUTS* t) {
  CallRecord& rec = Begin(Call::kSetCommTimeouts, h);
  rec.timeouts = *t;
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  line->timeouts = *t;
  return 1;
}

os::BOOL ScriptedPort::PurgeComm(os::HANDLE h, DWORD flags) {
  CallRecord& rec = Begin(Call::kPurgeComm, h);
  rec.purge_flags = flags;
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  if (flags & os::PURGE_RXCLEAR) line->Purge(now_);
  return 1;
}

// The write lasts as long as its bytes take on the line at the port's speed,
// and no longer than the write timeouts allow; bytes that have not left by
// then are not sent.
os::BOOL ScriptedPort::WriteFile(os::HANDLE h, const void* data, DWORD size,
                                 DWORD* written, void* overlapped) {
  const std::size_t index = calls_.size();
  {
    CallRecord& rec = Begin(Call::kWriteFile, h);
    rec.asked = size;
    rec.overlapped_null = overlapped == nullptr;
  }
  *written = 0;
  CallRecord* rec = &calls_[index];
  Line* line = LineOf(*rec);
  if (!line || Failing(*rec)) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::int64_t deadline = os::WriteDeadline(line->timeouts, size, now_);
  const std::int64_t byte_time = line->ByteTimeNanos();
  for (DWORD i = 0; i < size; ++i) {
    const std::int64_t done = now_ + byte_time;
    if (done > deadline) {
      now_ = deadline;
      break;
    }
    now_ = done;
    line->sent.push_back(bytes[i]);
    line->sent_at.push_back(now_);
    // The far end may answer; that can add records, so refer by index.
    if (line->on_byte) line->on_byte(*line, now_, bytes[i]);
    calls_[index].bytes.push_back(bytes[i]);
    ++*written;
  }
  calls_[index].end_ns = now_;
  if (line->on_write) {
    const std::vector<std::uint8_t> frame = calls_[index].bytes;
    line->on_write(*line, now_, frame);
  }
  return 1;
}

os::BOOL ScriptedPort::ReadFile(os::HANDLE h, void* data, DWORD size,
                                DWORD* read, void* overlapped) {
  CallRecord& rec = Begin(Call::kReadFile, h);
  rec.asked = size;
  rec.overlapped_null = overlapped == nullptr;
  *read = 0;
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  auto* out = static_cast<std::uint8_t*>(data);
  os::ReadProgress p{now_, size, 0, 0};
  while (p.got < size) {
    const std::int64_t deadline = os::ReadDeadline(line->timeouts, p);
    const std::optional<std::int64_t> next = line->NextArrival();
    if (!next || std::max(*next, now_) > deadline) {
      if (deadline == os::kNoDeadline) {
        std::fprintf(stderr, "scripted read would wait forever\n");
        std::abort();
      }
      now_ = std::max(now_, deadline);
      break;
    }
    now_ = std::max(now_, *next);
    out[p.got] = line->Take();
    rec.bytes.push_back(out[p.got]);
    ++p.got;
    p.last_byte_ns = now_;
  }
  *read = p.got;
  rec.end_ns = now_;
  return 1;
}

os::BOOL ScriptedPort::GetCommModemStatus(os::HANDLE h, DWORD* status) {
  CallRecord& rec = Begin(Call::kGetCommModemStatus, h);
  Line* line = LineOf(rec);
  if (!line || Failing(rec)) return 0;
  *status = line->modem_status_source ? line->modem_status_source()
                                      : line->modem_status;
  rec.result = *status;
  return 1;
}

DWORD ScriptedPort::GetLastError() {
  CallRecord& rec = Begin(Call::kGetLastError, 0);
  rec.result = last_error_;
  return last_error_;
}

os::BOOL ScriptedPort::CloseHandle(os::HANDLE h) {
  CallRecord& rec = Begin(Call::kCloseHandle, h);
  if (!LineOf(rec) || Failing(rec)) return 0;
  open_.erase(h);
  return 1;
}

}  // namespace pelcor::test

// --- The serial services, answered by the scripted port --------------------

namespace pelcor::os {

using test::ScriptedPort;

HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode,
                   void* security, DWORD disposition, DWORD flags,
                   HANDLE template_file) {
  return ScriptedPort::Current().CreateFileA(name, access, share_mode, security,
                                             disposition, flags, template_file);
}
BOOL GetCommState(HANDLE h, DCB* dcb) {
  return ScriptedPort::Current().GetCommState(h, dcb);
}
BOOL SetCommState(HANDLE h, DCB* dcb) {
  return ScriptedPort::Current().SetCommState(h, dcb);
}
BOOL SetCommMask(HANDLE h, DWORD mask) {
  return ScriptedPort::Current().SetCommMask(h, mask);
}
BOOL SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue) {
  return ScriptedPort::Current().SetupComm(h, in_queue, out_queue);
}
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  return ScriptedPort::Current().SetCommTimeouts(h, timeouts);
}
BOOL PurgeComm(HANDLE h, DWORD flags) {
  return ScriptedPort::Current().PurgeComm(h, flags);
}
BOOL WriteFile(HANDLE h, const void* data, DWORD size, DWORD* written,
               void* overlapped) {
  return ScriptedPort::Current().WriteFile(h, data, size, written, overlapped);
}
BOOL ReadFile(HANDLE h, void* data, DWORD size, DWORD* read, void* overlapped) {
  return ScriptedPort::Current().ReadFile(h, data, size, read, overlapped);
}
BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
  return ScriptedPort::Current().GetCommModemStatus(h, status);
}
DWORD GetLastError() { return ScriptedPort::Current().GetLastError(); }
BOOL CloseHandle(HANDLE h) { return ScriptedPort::Current().CloseHandle(h); }
std::int64_t MonotonicNanos() { return ScriptedPort::Current().Now(); }

}  // namespace pelcor::os
