#include "driver/delivery.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/reader.h"
#include "driver/report_client.h"
#include "driver_link/protocol.h"
#include "platform/device.h"
#include "platform/registry.h"
#include "platform/state_dir.h"
#include "platform/threads.h"

namespace {

constexpr DWORD kErrorSharingViolation = 32;
constexpr char kConfigKey[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
constexpr char kRootsValue[] = "WatchRoots";

enum class State { kUnloaded, kLoaded, kClosing };

struct Device {
  std::mutex lock;
  State state = State::kUnloaded;
  Reader* reader = nullptr;
  PAPCFUNC handler = nullptr;
  HANDLE thread = nullptr;  // the handler's thread
  DWORD token = 0;
  HWND window = nullptr;
  std::deque<DriverEvent> queue;
  std::condition_variable settled;  // an acknowledgement came, or delivery ended
  EventRecord record = {};  // the one record handed over; invariant (2)
  bool in_flight = false;   // invariant (1)
  bool stop_pending = false;
  bool stopped = false;  // OP_STOP went out; nothing follows it
  bool full_warned = false;
  bool dead_warned = false;
};

// Never destroyed: a queued call may still hold the record's address when
// the process ends.
Device& device() {
  static Device* d = new Device;
  return *d;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void fill_record(EventRecord* r, int32_t op, const std::string& source, const std::string& target) {
  std::memset(r, 0, sizeof *r);
  std::memcpy(r->sourcePath, source.data(), source.size());  // invariant (3): it fits
  std::memcpy(r->targetPath, target.data(), target.size());
  r->operation = op;
}

// Hands over the next record when none is out. False, with the last error
// set, when the handler's thread could not take it.
bool deliver_locked(Device& d) {
  if (d.in_flight || d.handler == nullptr) return true;
  if (d.stop_pending) {
    fill_record(&d.record, OP_STOP, "", "");
    d.stop_pending = false;
    d.stopped = true;
    d.queue.clear();
  } else {
    if (d.stopped || d.queue.empty()) return true;
    const DriverEvent& e = d.queue.front();
    fill_record(&d.record, e.operation, e.source, e.target);
    d.queue.pop_front();
    if (d.queue.empty()) d.full_warned = false;
  }
  d.in_flight = true;
  if (QueueUserAPC(d.handler, d.thread, reinterpret_cast<ULONG_PTR>(&d.record)) != 0) return true;
  DWORD error = GetLastError();
  d.in_flight = false;
  d.queue.clear();
  d.settled.notify_all();
  if (!d.dead_warned) {
    d.dead_warned = true;
    drv_warn("events cannot be delivered: the thread that registered for them has ended");
  }
  SetLastError(error);
  return false;
}

bool read_pointer(const void* in, DWORD size, uintptr_t* out) {
  if (in == nullptr || (size != 4 && size != 8) || size > sizeof(uintptr_t)) return false;
  if (size == 4) {
    uint32_t v;
    std::memcpy(&v, in, 4);
    *out = v;
  } else {
    uint64_t v;
    std::memcpy(&v, in, 8);
    *out = static_cast<uintptr_t>(v);
  }
  return true;
}

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  const passwd* pw = getpwuid(geteuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

std::vector<std::string> watch_roots() {
  std::string value;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key, kRootsValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ &&
        size > 0) {
      value.assign(size, '\0');
      if (RegQueryValueExA(key, kRootsValue, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) ==
          ERROR_SUCCESS)
        value.resize(strnlen(value.c_str(), value.size()));
      else
        value.clear();
    }
    RegCloseKey(key);
  }
  std::vector<std::string> roots;
  size_t at = 0;
  while (at <= value.size()) {
    size_t colon = value.find(':', at);
    if (colon == std::string::npos) colon = value.size();
    if (colon > at) roots.push_back(value.substr(at, colon - at));
    at = colon + 1;
  }
  if (roots.empty()) roots.push_back(home_folder());
  return roots;
}

BOOL open_device(void*) {
  Device& d = device();
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.state != State::kUnloaded) return fail(kErrorSharingViolation);
    d.state = State::kLoaded;  // events the reader finds from now on are kept
    d.queue.clear();
    d.in_flight = d.stop_pending = d.stopped = d.full_warned = d.dead_warned = false;
  }
  ReaderConfig config;
  config.roots = watch_roots();
  config.sink = dv_enqueue;
  std::string state = qb_state_dir();
  int error = errno;
  Reader* reader = nullptr;
  if (!state.empty()) {
    char resolved[PATH_MAX];
    config.excluded = realpath(state.c_str(), resolved) != nullptr ? resolved : state;
    config.socket_path = qb_state_path(kReportSocketName);
    reader = rd_start(config, &error);
  }
  std::lock_guard<std::mutex> g(d.lock);
  if (reader == nullptr) {
    d.state = State::kUnloaded;
    d.queue.clear();
    return fail(static_cast<DWORD>(error));
  }
  d.reader = reader;
  return TRUE;
}

void close_device(void*) {
  Device& d = device();
  Reader* reader;
  HANDLE thread;
  DWORD token;
  {
    std::lock_guard<std::mutex> g(d.lock);
    d.state = State::kClosing;  // the reader's last events are dropped; no open until it is gone
    reader = d.reader;
    thread = d.thread;
    token = d.token;
    d.reader = nullptr;
    d.thread = nullptr;
    d.token = 0;
    d.handler = nullptr;
    d.window = nullptr;
    d.queue.clear();
    d.in_flight = false;
  }
  d.settled.notify_all();
  rd_stop(reader);  // unlocked: the reader's sink takes the lock
  if (thread != nullptr) CloseHandle(thread);
  if (token != 0) qb_event_token_close(token);
  std::lock_guard<std::mutex> g(d.lock);
  d.queue.clear();
  d.state = State::kUnloaded;
}

BOOL register_handler(Device& d, void* in, DWORD size) {
  uintptr_t address = 0;
  if (size != sizeof(void*) || !read_pointer(in, size, &address) || address == 0)
    return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
  if (thread == nullptr) return FALSE;
  HANDLE old;
  {
    std::lock_guard<std::mutex> g(d.lock);
    old = d.thread;
    d.thread = thread;
    d.handler = reinterpret_cast<PAPCFUNC>(address);
    d.stopped = false;
    d.dead_warned = false;
    deliver_locked(d);  // events found since the open
  }
  if (old != nullptr) CloseHandle(old);
  return TRUE;
}

BOOL register_event(Device& d, void* in, DWORD size) {
  if (in == nullptr || size != 4) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DWORD token;
  std::memcpy(&token, in, 4);
  HANDLE event = qb_event_from_token(token);
  if (event == nullptr) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(event);
  DWORD old;
  {
    std::lock_guard<std::mutex> g(d.lock);
    old = d.token;
    d.token = token;
  }
  if (old != 0 && old != token) qb_event_token_close(old);
  return TRUE;
}

BOOL control_device(void*, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
  Device& d = device();
  *returned = 0;
  uintptr_t value = 0;
  switch (code) {
    case IOCTL_REGISTER_HANDLER:
      return register_handler(d, in, in_size);
    case IOCTL_REGISTER_EVENT:
      return register_event(d, in, in_size);
    case IOCTL_REGISTER_WINDOW: {
      if (!read_pointer(in, in_size, &value)) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      std::lock_guard<std::mutex> g(d.lock);
      d.window = reinterpret_cast<HWND>(value);
      return TRUE;
    }
    case IOCTL_ACKNOWLEDGE: {
      if (!read_pointer(in, in_size, &value)) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      std::lock_guard<std::mutex> g(d.lock);
      uintptr_t mine = reinterpret_cast<uintptr_t>(&d.record);
      if (in_size == 4) mine &= 0xFFFFFFFFu;
      if (!d.in_flight || value != mine) return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      d.in_flight = false;
      deliver_locked(d);  // a failure here is the next record's, not this call's
      d.settled.notify_all();
      if (out != nullptr && out_size >= 4) {
        const DWORD behind = static_cast<DWORD>(d.queue.size()) + (d.in_flight ? 1u : 0u);
        std::memcpy(out, &behind, 4);
        *returned = 4;
      }
      return TRUE;
    }
    case IOCTL_DRAIN: {
      if (in == nullptr || in_size != 4 || out == nullptr || out_size < 4)
        return fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      DWORD bound_ms;
      std::memcpy(&bound_ms, in, 4);
      std::unique_lock<std::mutex> g(d.lock);
      // Waits while the handler takes records; a queue that has nobody to
      // take it (no handler, stopped, closing) is not waited for.
      (void)d.settled.wait_for(g, std::chrono::milliseconds(bound_ms), [&d] {
        return (!d.in_flight && d.queue.empty()) || d.handler == nullptr || d.stopped || d.state != State::kLoaded;
      });
      const DWORD left = static_cast<DWORD>(d.queue.size()) + (d.in_flight ? 1u : 0u);
      std::memcpy(out, &left, 4);
      *returned = 4;
      return TRUE;
    }
    case IOCTL_STOP: {
      std::lock_guard<std::mutex> g(d.lock);
      d.stop_pending = true;
      const bool delivered = deliver_locked(d);
      d.settled.notify_all();
      return delivered ? TRUE : FALSE;
    }
    default:
      return fail(static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  }
}

}  // namespace

void dv_enqueue(DriverEvent* event) {
  const size_t limit = kEventPathSize - 1;
  if (event->source.size() > limit || event->target.size() > limit) {  // invariant (3)
    const std::string& path = event->source.size() > limit ? event->source : event->target;
    drv_warn("a path of %zu bytes is longer than an event record holds (%zu); event %d not delivered: %s",
             path.size(), limit, event->operation, path.c_str());
    return;
  }
  Device& d = device();
  std::lock_guard<std::mutex> g(d.lock);
  if (d.state != State::kLoaded || d.stopped || d.stop_pending) return;
  if (d.queue.size() >= kDeliveryQueueMax) {
    if (!d.full_warned) {
      d.full_warned = true;
      drv_warn("the Monitor is %zu events behind: file events are being lost, so some notes may no longer follow "
               "their files; `qbnote ls --missing` lists notes whose files are gone",
               d.queue.size());
    }
    return;
  }
  d.queue.push_back(std::move(*event));
  deliver_locked(d);
}

void qb_driver_install() {
  static const QbDevice kDevice = {open_device, control_device, close_device, nullptr};
  qb_register_device(kDriverDeviceName, &kDevice);
}
