#include "support/scripted_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "platform/window.h"

namespace {

uint64_t read_le(const uint8_t* in, DWORD size) {
  uint64_t v = 0;
  for (DWORD i = 0; i < size; ++i) v |= static_cast<uint64_t>(in[i]) << (8 * i);
  return v;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::chrono::milliseconds ms(int n) { return std::chrono::milliseconds(n); }

}  // namespace

ScriptedDriver::ScriptedDriver() {
  QbDevice d = {&ScriptedDriver::open_thunk, &ScriptedDriver::control_thunk, &ScriptedDriver::close_thunk, this};
  qb_register_device(kDeviceName, &d);
}

ScriptedDriver::~ScriptedDriver() {
  qb_register_device(kDeviceName, nullptr);
  if (thread_handle_ != nullptr) CloseHandle(thread_handle_);
}

BOOL ScriptedDriver::open_thunk(void* self) {
  auto* d = static_cast<ScriptedDriver*>(self);
  std::lock_guard<std::mutex> g(d->lock_);
  if (d->open_failures_ != 0) {
    if (d->open_failures_ > 0) --d->open_failures_;
    return fail(d->open_error_);
  }
  ++d->opens_;
  return TRUE;
}

void ScriptedDriver::close_thunk(void* self) {
  auto* d = static_cast<ScriptedDriver*>(self);
  HANDLE thread = nullptr;
  {
    std::lock_guard<std::mutex> g(d->lock_);
    ++d->closes_;
    // Unloaded: what was registered goes with it.
    thread = d->thread_handle_;
    d->thread_handle_ = nullptr;
    d->handler_ = 0;
    d->handler_thread_ = 0;
    d->event_token_ = 0;
    d->window_ = nullptr;
    d->changed_.notify_all();
  }
  if (thread != nullptr) CloseHandle(thread);
}

BOOL ScriptedDriver::control_thunk(void* self, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                                   DWORD* returned) {
  *returned = 0;
  auto* d = static_cast<ScriptedDriver*>(self);
  const BOOL ok = d->control(code, static_cast<const uint8_t*>(in), in_size);
  if (ok && code == kDriverAcknowledge && out != nullptr && out_size >= 4) {
    const DWORD behind = d->behind_;
    std::memcpy(out, &behind, 4);
    *returned = 4;
  }
  return ok;
}

BOOL ScriptedDriver::control(DWORD code, const uint8_t* in, DWORD in_size) {
  std::unique_lock<std::mutex> g(lock_);
  DriverCall call{code, {}, GetCurrentThreadId(), false};
  if (in != nullptr) call.input.assign(in, in + in_size);
  calls_.push_back(call);
  DriverCall& recorded = calls_.back();
  changed_.notify_all();

  auto it = control_failures_.find(code);
  if (it != control_failures_.end() && it->second.second != 0) {
    if (it->second.second > 0) --it->second.second;
    return fail(it->second.first);
  }
  bool pointer_sized = in != nullptr && (in_size == 4 || in_size == 8);
  switch (code) {
    case kDriverRegisterHandler: {
      if (!pointer_sized) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
      if (thread == nullptr) return FALSE;
      if (thread_handle_ != nullptr) CloseHandle(thread_handle_);
      thread_handle_ = thread;
      handler_ = static_cast<ULONG_PTR>(read_le(in, in_size));
      handler_thread_ = GetCurrentThreadId();
      break;
    }
    case kDriverRegisterEvent: {
      if (in == nullptr || in_size != 4) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      DWORD token = static_cast<DWORD>(read_le(in, 4));
      HANDLE e = qb_event_from_token(token);
      if (e == nullptr) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      CloseHandle(e);
      event_token_ = token;
      break;
    }
    case kDriverRegisterWindow:
      if (!pointer_sized) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      window_ = reinterpret_cast<HWND>(static_cast<uintptr_t>(read_le(in, in_size)));
      break;
    case kDriverAcknowledge: {
      if (!pointer_sized) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      uint64_t v = read_le(in, in_size);
      for (const auto& r : records_) {
        uint64_t a = reinterpret_cast<uintptr_t>(r.data());
        if (in_size == 4 ? (a & 0xFFFFFFFFu) == v : a == v) acks_.push_back(a);
      }
      break;
    }
    case kDriverStop:
      if (answer_stop_ && handler_ != 0) {
        uint8_t* r = new_record_locked(kDriverOpStop, "", "");
        if (QueueUserAPC(reinterpret_cast<PAPCFUNC>(handler_), thread_handle_, reinterpret_cast<ULONG_PTR>(r)) == 0)
          return FALSE;
      }
      break;
    default:
      return fail(static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  }
  recorded.succeeded = true;
  changed_.notify_all();
  return TRUE;
}

uint8_t* ScriptedDriver::new_record_locked(int32_t operation, const std::string& source, const std::string& target) {
  records_.emplace_back();
  uint8_t* r = records_.back().data();
  std::memset(r, 0, kDriverRecordSize);
  std::memcpy(r, source.data(), std::min<size_t>(source.size(), 255));
  std::memcpy(r + 256, target.data(), std::min<size_t>(target.size(), 255));
  uint32_t op = static_cast<uint32_t>(operation);
  for (int i = 0; i < 4; ++i) r[512 + i] = static_cast<uint8_t>(op >> (8 * i));
  return r;
}

uint8_t* ScriptedDriver::deliver_apc(int32_t operation, const std::string& source, const std::string& target) {
  std::lock_guard<std::mutex> g(lock_);
  if (handler_ == 0) return nullptr;
  uint8_t* r = new_record_locked(operation, source, target);
  if (QueueUserAPC(reinterpret_cast<PAPCFUNC>(handler_), thread_handle_, reinterpret_cast<ULONG_PTR>(r)) == 0)
    return nullptr;
  return r;
}

uint8_t* ScriptedDriver::deliver_message(int32_t operation, const std::string& source, const std::string& target) {
  std::lock_guard<std::mutex> g(lock_);
  if (window_ == nullptr) return nullptr;
  uint8_t* r = new_record_locked(operation, source, target);
  if (!PostMessageA(window_, kDriverEventMessage, 0, reinterpret_cast<LPARAM>(r))) return nullptr;
  return r;
}

bool ScriptedDriver::wait_acknowledged(const uint8_t* record, int timeout_ms) const {
  uint64_t a = reinterpret_cast<uintptr_t>(record);
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, ms(timeout_ms), [&] { return std::find(acks_.begin(), acks_.end(), a) != acks_.end(); });
}

bool ScriptedDriver::wait_acknowledgements(int n, int timeout_ms) const {
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, ms(timeout_ms), [&] { return static_cast<int>(acks_.size()) >= n; });
}

bool ScriptedDriver::wait_closed(int timeout_ms) const {
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, ms(timeout_ms), [&] { return closes_ >= opens_; });
}

int ScriptedDriver::acknowledgements() const {
  std::lock_guard<std::mutex> g(lock_);
  return static_cast<int>(acks_.size());
}

bool ScriptedDriver::set_event() const {
  DWORD token = event_token();
  HANDLE e = token != 0 ? qb_event_from_token(token) : nullptr;
  if (e == nullptr) return false;
  bool ok = SetEvent(e) != FALSE;
  CloseHandle(e);
  return ok;
}

std::vector<DriverCall> ScriptedDriver::calls() const {
  std::lock_guard<std::mutex> g(lock_);
  return calls_;
}

std::vector<DWORD> ScriptedDriver::codes() const {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<DWORD> out;
  for (const DriverCall& c : calls_) out.push_back(c.code);
  return out;
}

int ScriptedDriver::opens() const {
  std::lock_guard<std::mutex> g(lock_);
  return opens_;
}

int ScriptedDriver::closes() const {
  std::lock_guard<std::mutex> g(lock_);
  return closes_;
}

ULONG_PTR ScriptedDriver::handler() const {
  std::lock_guard<std::mutex> g(lock_);
  return handler_;
}

DWORD ScriptedDriver::handler_thread() const {
  std::lock_guard<std::mutex> g(lock_);
  return handler_thread_;
}

DWORD ScriptedDriver::event_token() const {
  std::lock_guard<std::mutex> g(lock_);
  return event_token_;
}

HWND ScriptedDriver::window() const {
  std::lock_guard<std::mutex> g(lock_);
  return window_;
}

void ScriptedDriver::fail_open(DWORD error, int times) {
  std::lock_guard<std::mutex> g(lock_);
  open_error_ = error;
  open_failures_ = times;
}

void ScriptedDriver::fail_control(DWORD code, DWORD error, int times) {
  std::lock_guard<std::mutex> g(lock_);
  control_failures_[code] = {error, times};
}

void ScriptedDriver::answer_stop(bool answer) {
  std::lock_guard<std::mutex> g(lock_);
  answer_stop_ = answer;
}

int32_t ScriptedDriver::operation_of(const uint8_t* record) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(record[512 + i]) << (8 * i);
  return static_cast<int32_t>(v);
}

std::string ScriptedDriver::source_of(const uint8_t* record) {
  return std::string(reinterpret_cast<const char*>(record), strnlen(reinterpret_cast<const char*>(record), 256));
}

std::string ScriptedDriver::target_of(const uint8_t* record) {
  const char* t = reinterpret_cast<const char*>(record + 256);
  return std::string(t, strnlen(t, 256));
}
