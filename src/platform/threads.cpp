#include "platform/threads.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <pthread.h>
#include <sys/stat.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <unordered_set>

#include "platform/files.h"
#include "platform/kernel_objects.h"
#include "platform/state_dir.h"

// One reference to a kernel object (see kernel_objects.h).
struct QbHandle {
  std::shared_ptr<KernelObject> obj;
};

namespace {

using Clock = std::chrono::steady_clock;

struct EventObject : KernelObject {
  EventObject(bool manual_reset, bool initially_set)
      : KernelObject(ObjectKind::kEvent), manual(manual_reset), set(initially_set) {}
  bool ready(ThreadState*) override { return set; }
  DWORD consume(ThreadState*) override {
    if (!manual) set = false;
    return WAIT_OBJECT_0;
  }
  const bool manual;
  bool set;
};

// The process-wide state; never destroyed, so that threads ending during
// process exit still find it.
struct Kernel {
  std::mutex lock;
  std::condition_variable cv;
  std::unordered_set<QbHandle*> handles;
  std::map<DWORD, std::weak_ptr<ThreadState>> threads;  // live threads by id
  std::map<std::string, std::weak_ptr<MutexObject>> named_mutexes;
  std::map<DWORD, std::shared_ptr<EventObject>> tokens;
  DWORD next_token = 0x1000;
  DWORD fail_next_create = 0;
};

Kernel& kernel() {
  static Kernel* k = new Kernel;
  return *k;
}

std::atomic<DWORD> g_next_thread_id{1};

HANDLE const kCurrentThreadPseudo = reinterpret_cast<HANDLE>(intptr_t{-2});

}  // namespace

// A mutex; named ones carry the lock file (see threads.h).
struct MutexObject : KernelObject, std::enable_shared_from_this<MutexObject> {
  MutexObject() : KernelObject(ObjectKind::kMutex) {}
  ~MutexObject() override {
    if (fd >= 0) ::close(fd);  // drops the file lock with the description
  }

  bool ready(ThreadState* self) override {
    if (owner == self) return true;
    if (owner != nullptr) return false;
    return fd < 0 || lock_file(F_WRLCK);
  }

  DWORD consume(ThreadState* self) override {
    if (owner == self) {
      ++count;
      return WAIT_OBJECT_0;
    }
    owner = self;
    count = 1;
    self->owned.push_back(weak_from_this());
    // A named mutex released cleanly leaves its file empty; a pid left in it
    // is that of a process that died owning it.
    bool died_owning = false;
    if (fd >= 0) {
      struct stat st;
      died_owning = ::fstat(fd, &st) == 0 && st.st_size > 0;
      write_pid();
    }
    DWORD r = abandoned || died_owning ? WAIT_ABANDONED : WAIT_OBJECT_0;
    abandoned = false;
    return r;
  }

  int poll_ms() const override { return fd >= 0 ? 10 : 0; }

  // Lock held. Gives the mutex up; `abandon` marks it for the next owner.
  void release_all(bool abandon) {
    owner = nullptr;
    count = 0;
    abandoned = abandon;
    if (fd >= 0) {
      if (::ftruncate(fd, 0) != 0) {
        // The pid stays; the next owner then sees WAIT_ABANDONED. Readers
        // check the lock before the pid, so nothing else is misled.
      }
      lock_file(F_UNLCK);
    }
  }

  bool lock_file(short type) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
  }

  void write_pid() {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%ld\n", static_cast<long>(::getpid()));
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, buf, static_cast<size_t>(n), 0) != n) {
      // The lock still guards the mutex; only `qbmon --stop` loses the pid.
    }
  }

  ThreadState* owner = nullptr;  // compared only; an ending owner releases first
  int count = 0;
  bool abandoned = false;
  int fd = -1;  // named: the lock file, open for the object's whole life
};

namespace {

// Whether some other open file description (another process) holds a lock
// on the file behind `fd`.
bool held_elsewhere(int fd) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

// Ends `t`: its result, its mutexes abandoned, its queues dropped
// (invariant 3). The mutexes go out through `drop` so that the last
// references fall after unlocking.
void end_thread(const std::shared_ptr<ThreadState>& t, DWORD code) {
  Kernel& k = kernel();
  std::vector<std::shared_ptr<MutexObject>> drop;
  std::deque<std::pair<PAPCFUNC, ULONG_PTR>> apcs;
  {
    std::lock_guard<std::mutex> g(k.lock);
    if (t->ended) return;
    t->ended = true;
    t->exit_code = code;
    for (const std::weak_ptr<MutexObject>& w : t->owned) {
      std::shared_ptr<MutexObject> m = w.lock();
      if (m != nullptr && m->owner == t.get()) m->release_all(true);
      drop.push_back(std::move(m));
    }
    t->owned.clear();
    apcs.swap(t->apcs);
    t->messages.clear();
    t->quit_pending = false;
    k.threads.erase(t->id);
    k.cv.notify_all();
  }
}

// Holds the calling thread's state; its end, at thread exit, ends the state
// for threads that CreateThread did not start (for those it is ended
// already).
struct ThreadHolder {
  std::shared_ptr<ThreadState> state;
  ~ThreadHolder() {
    if (state != nullptr) end_thread(state, 0);
  }
};

thread_local ThreadHolder t_self;

std::shared_ptr<ThreadState> new_thread_state() {
  auto t = std::make_shared<ThreadState>(g_next_thread_id.fetch_add(1));
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  k.threads[t->id] = t;
  return t;
}

struct StartArgs {
  std::shared_ptr<ThreadState> state;
  LPTHREAD_START_ROUTINE routine;
  LPVOID param;
};

void* thread_start(void* p) {
  StartArgs* a = static_cast<StartArgs*>(p);
  t_self.state = std::move(a->state);
  LPTHREAD_START_ROUTINE routine = a->routine;
  LPVOID param = a->param;
  delete a;
  DWORD code = routine(param);
  end_thread(t_self.state, code);
  return nullptr;
}

// Deadline arithmetic shared by the waits.
struct Deadline {
  explicit Deadline(DWORD ms) : forever(ms == INFINITE), at(Clock::now() + std::chrono::milliseconds(ms)) {}
  bool passed() const { return !forever && Clock::now() >= at; }
  // Waits on the kernel's condition variable until notified, the deadline,
  // or `poll_ms` (when not 0), whichever comes first.
  void wait(std::unique_lock<std::mutex>& lk, int poll_ms) const {
    std::condition_variable& cv = kernel().cv;
    if (forever && poll_ms == 0) {
      cv.wait(lk);
      return;
    }
    Clock::time_point until = forever ? Clock::now() + std::chrono::milliseconds(poll_ms) : at;
    if (poll_ms != 0) until = std::min(until, Clock::now() + std::chrono::milliseconds(poll_ms));
    cv.wait_until(lk, until);
  }
  const bool forever;
  const Clock::time_point at;
};

void sleep_plain(DWORD ms) {
  if (ms == INFINITE) {
    for (;;) ::pause();
  }
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  if (ms == 0) {
    ::sched_yield();
    return;
  }
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string sanitized(const char* name) {
  std::string s = name;
  for (char& c : s)
    if (c == '/' || c == '\\') c = '_';
  return s;
}

DWORD fail_handle() {
  SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
  return 0;
}

}  // namespace

// ---- the shared machinery (kernel_objects.h) ------------------------------------

std::mutex& qb_kernel_lock() { return kernel().lock; }
std::condition_variable& qb_kernel_cv() { return kernel().cv; }

const std::shared_ptr<ThreadState>& qb_current_thread() {
  if (t_self.state == nullptr) t_self.state = new_thread_state();
  return t_self.state;
}

std::shared_ptr<ThreadState> qb_thread_by_id_locked(DWORD id) {
  Kernel& k = kernel();
  auto it = k.threads.find(id);
  if (it == k.threads.end()) return nullptr;
  std::shared_ptr<ThreadState> t = it->second.lock();
  return t != nullptr && !t->ended ? t : nullptr;
}

HANDLE qb_handle_open_locked(std::shared_ptr<KernelObject> obj) {
  QbHandle* h = new QbHandle{std::move(obj)};
  kernel().handles.insert(h);
  return h;
}

HANDLE qb_handle_open(std::shared_ptr<KernelObject> obj) {
  std::lock_guard<std::mutex> g(kernel().lock);
  return qb_handle_open_locked(std::move(obj));
}

std::shared_ptr<KernelObject> qb_handle_object(HANDLE h) {
  if (h == kCurrentThreadPseudo) return qb_current_thread();
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  if (k.handles.count(h) == 0) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return nullptr;
  }
  return h->obj;
}

std::shared_ptr<KernelObject> qb_handle_take(HANDLE h, ObjectKind kind, bool kind_any) {
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  if (k.handles.count(h) == 0 || (!kind_any && h->obj->kind != kind)) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return nullptr;
  }
  k.handles.erase(h);
  std::shared_ptr<KernelObject> obj = std::move(h->obj);
  delete h;
  return obj;
}

std::string qb_named_mutex_path(const char* name) {
  return qb_state_path(("mutex-" + sanitized(name)).c_str());
}

// ---- threads ------------------------------------------------------------------

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine, LPVOID param,
                    DWORD flags, LPDWORD thread_id) {
  Kernel& k = kernel();
  {
    std::lock_guard<std::mutex> g(k.lock);
    if (k.fail_next_create != 0) {
      SetLastError(k.fail_next_create);
      k.fail_next_create = 0;
      return nullptr;
    }
  }
  if (routine == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return nullptr;
  }
  if (flags != 0) {
    SetLastError(static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    return nullptr;
  }
  std::shared_ptr<ThreadState> t = new_thread_state();
  HANDLE h = qb_handle_open(t);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_size != 0) pthread_attr_setstacksize(&attr, std::max<size_t>(stack_size, PTHREAD_STACK_MIN));
  StartArgs* args = new StartArgs{t, routine, param};
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, thread_start, args);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete args;
    end_thread(t, 0);
    qb_handle_take(h, ObjectKind::kThread, false);
    SetLastError(static_cast<DWORD>(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : rc));
    return nullptr;
  }
  if (thread_id != nullptr) *thread_id = t->id;
  return h;
}

DWORD GetCurrentThreadId() { return qb_current_thread()->id; }

HANDLE GetCurrentThread() { return kCurrentThreadPseudo; }

HANDLE OpenThread(DWORD, BOOL, DWORD thread_id) {
  std::lock_guard<std::mutex> g(kernel().lock);
  std::shared_ptr<ThreadState> t = qb_thread_by_id_locked(thread_id);
  if (t == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return nullptr;
  }
  return qb_handle_open_locked(std::move(t));
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD code) {
  std::shared_ptr<ThreadState> t = qb_handle_as<ThreadState>(thread, ObjectKind::kThread);
  if (t == nullptr || code == nullptr) return fail_handle();
  std::lock_guard<std::mutex> g(kernel().lock);
  *code = t->exit_code;
  return TRUE;
}

// ---- queued calls and sleeping ---------------------------------------------------

DWORD QueueUserAPC(PAPCFUNC call, HANDLE thread, ULONG_PTR data) {
  if (call == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return 0;
  }
  std::shared_ptr<ThreadState> t = qb_handle_as<ThreadState>(thread, ObjectKind::kThread);
  if (t == nullptr) return 0;
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  if (t->ended) {
    SetLastError(static_cast<DWORD>(ERROR_GEN_FAILURE));
    return 0;
  }
  t->apcs.emplace_back(call, data);
  k.cv.notify_all();
  return 1;
}

DWORD SleepEx(DWORD ms, BOOL alertable) {
  if (!alertable) {
    sleep_plain(ms);
    return 0;
  }
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  Deadline deadline(ms);
  std::unique_lock<std::mutex> lk(kernel().lock);
  for (;;) {
    if (!self->apcs.empty()) {
      while (!self->apcs.empty()) {
        std::pair<PAPCFUNC, ULONG_PTR> c = self->apcs.front();
        self->apcs.pop_front();
        lk.unlock();  // invariant 1
        c.first(c.second);
        lk.lock();
      }
      return WAIT_IO_COMPLETION;
    }
    if (deadline.passed()) return 0;
    deadline.wait(lk, 0);
  }
}

void Sleep(DWORD ms) { sleep_plain(ms); }

// ---- events and mutexes ------------------------------------------------------------

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR) {
  return qb_handle_open(std::make_shared<EventObject>(manual_reset != FALSE, initial_state != FALSE));
}

static BOOL set_event(HANDLE event, bool set) {
  std::shared_ptr<EventObject> e = qb_handle_as<EventObject>(event, ObjectKind::kEvent);
  if (e == nullptr) return FALSE;
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  e->set = set;
  if (set) k.cv.notify_all();
  return TRUE;
}

BOOL SetEvent(HANDLE event) { return set_event(event, true); }
BOOL ResetEvent(HANDLE event) { return set_event(event, false); }

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  Kernel& k = kernel();
  if (name == nullptr) {
    auto m = std::make_shared<MutexObject>();
    std::lock_guard<std::mutex> g(k.lock);
    if (initial_owner) m->consume(self.get());
    return qb_handle_open_locked(std::move(m));
  }
  std::string path = qb_named_mutex_path(name);
  if (path.empty()) {
    SetLastError(static_cast<DWORD>(errno));
    return nullptr;
  }
  std::lock_guard<std::mutex> g(k.lock);
  std::shared_ptr<MutexObject> m = k.named_mutexes[name].lock();
  if (m != nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    return qb_handle_open_locked(std::move(m));
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(errno));
    return nullptr;
  }
  m = std::make_shared<MutexObject>();
  m->fd = fd;
  bool exists = held_elsewhere(fd);
  if (!exists && initial_owner) {
    if (m->ready(self.get()))
      m->consume(self.get());
    else
      exists = true;  // another process took it between the two calls
  }
  k.named_mutexes[name] = m;
  SetLastError(exists ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : 0);
  return qb_handle_open_locked(std::move(m));
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
  if (name == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return nullptr;
  }
  std::string path = qb_named_mutex_path(name);
  if (path.empty()) {
    SetLastError(static_cast<DWORD>(errno));
    return nullptr;
  }
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  std::shared_ptr<MutexObject> m = k.named_mutexes[name].lock();
  if (m != nullptr) return qb_handle_open_locked(std::move(m));
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 || !held_elsewhere(fd)) {
    if (fd >= 0) ::close(fd);
    SetLastError(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    return nullptr;
  }
  m = std::make_shared<MutexObject>();
  m->fd = fd;
  k.named_mutexes[name] = m;
  return qb_handle_open_locked(std::move(m));
}

BOOL ReleaseMutex(HANDLE mutex) {
  std::shared_ptr<MutexObject> m = qb_handle_as<MutexObject>(mutex, ObjectKind::kMutex);
  if (m == nullptr) return FALSE;
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  if (m->owner != self.get()) {
    SetLastError(static_cast<DWORD>(ERROR_NOT_OWNER));
    return FALSE;
  }
  if (--m->count == 0) {
    m->release_all(false);
    auto& owned = self->owned;
    for (size_t i = 0; i < owned.size(); ++i) {
      if (owned[i].lock() == m) {
        owned.erase(owned.begin() + static_cast<long>(i));
        break;
      }
    }
    k.cv.notify_all();
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD ms) {
  std::shared_ptr<KernelObject> obj = qb_handle_object(object);
  if (obj == nullptr) return WAIT_FAILED;
  if (obj->kind == ObjectKind::kDevice) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return WAIT_FAILED;
  }
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  Deadline deadline(ms);
  std::unique_lock<std::mutex> lk(kernel().lock);
  for (;;) {
    if (obj->ready(self.get())) return obj->consume(self.get());
    if (deadline.passed()) return WAIT_TIMEOUT;
    deadline.wait(lk, obj->poll_ms());
  }
}

BOOL CloseHandle(HANDLE object) {
  if (object == kCurrentThreadPseudo) return TRUE;
  std::shared_ptr<KernelObject> obj = qb_handle_take(object, ObjectKind::kThread, true);
  return obj != nullptr ? TRUE : FALSE;  // the reference drops here, unlocked (invariant 2)
}

// ---- event tokens ----------------------------------------------------------------------

DWORD qb_event_token(HANDLE event) {
  std::shared_ptr<EventObject> e = qb_handle_as<EventObject>(event, ObjectKind::kEvent);
  if (e == nullptr) return 0;
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  DWORD token = k.next_token++;
  if (k.next_token == 0) k.next_token = 0x1000;
  k.tokens[token] = std::move(e);
  return token;
}

HANDLE qb_event_from_token(DWORD token) {
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  auto it = k.tokens.find(token);
  if (it == k.tokens.end()) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return nullptr;
  }
  return qb_handle_open_locked(it->second);
}

void qb_event_token_close(DWORD token) {
  std::shared_ptr<EventObject> drop;
  Kernel& k = kernel();
  std::lock_guard<std::mutex> g(k.lock);
  auto it = k.tokens.find(token);
  if (it == k.tokens.end()) return;
  drop = std::move(it->second);  // an event's destructor calls nothing out
  k.tokens.erase(it);
}

void qb_fail_next_thread_create(DWORD error) {
  std::lock_guard<std::mutex> g(kernel().lock);
  kernel().fail_next_create = error;
}
