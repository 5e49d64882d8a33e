// Kernel objects: what a HANDLE stands for, and the per-thread state that
// threads, queued calls and message queues share. Internal to platform/:
// threads.cpp, window.cpp, process.cpp and device.cpp use it.
//
// A HANDLE is one reference to a kernel object: a QbHandle allocation that
// holds a shared pointer to the object. Several handles may refer to one
// object (OpenThread, OpenMutexA, a second CreateMutexA of one name), and
// waits, owners and queues hold references of their own, so an object lives
// until the last of them lets go, as on Windows. The set of live handles
// answers "is this a handle we gave out?"; anything else is refused with
// ERROR_INVALID_HANDLE.
//
// Locking: one process-wide lock, qb_kernel_lock(), guards the handle set,
// every object's state, every thread's queued calls and message queue, the
// window table and the class table. One condition variable, qb_kernel_cv(),
// is notified (all) after every change a waiter could be waiting for. The
// program has two or three threads and waits rarely; one lock costs nothing
// and leaves no lock order to get wrong.
//
// Invariants:
//   (1) No callback runs with the lock held: window procedures, queued calls,
//       device functions, thread routines.
//   (2) An object's destructor may call out (a device's close), so the last
//       reference to an object is dropped only with the lock released.
//   (3) A ThreadState that has ended has empty queues and owns no mutex.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/threads.h"
#include "platform/win_types.h"
#include "platform/window.h"

enum class ObjectKind { kThread, kEvent, kMutex, kProcess, kDevice };

struct ThreadState;

struct KernelObject {
  explicit KernelObject(ObjectKind k) : kind(k) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Lock held. Whether a wait by `self` on this object may end now. It may
  // already take what consume() hands over (a named mutex takes its file
  // lock here); consume() is then always called at once.
  virtual bool ready(ThreadState* self) { return false; }
  // Lock held, right after ready() said yes: what the wait consumes (an
  // auto-reset event resets, a mutex gets its owner). WAIT_OBJECT_0 or
  // WAIT_ABANDONED.
  virtual DWORD consume(ThreadState* self) { return WAIT_OBJECT_0; }
  // How often a waiter must look again, in ms, for an object that can change
  // without a notification (one held by another process); 0 when every
  // change notifies qb_kernel_cv().
  virtual int poll_ms() const { return 0; }

  const ObjectKind kind;
};

struct MutexObject;

struct ThreadState : KernelObject {
  explicit ThreadState(DWORD thread_id) : KernelObject(ObjectKind::kThread), id(thread_id) {}
  bool ready(ThreadState*) override { return ended; }

  const DWORD id;
  bool ended = false;
  DWORD exit_code = STILL_ACTIVE;
  std::deque<std::pair<PAPCFUNC, ULONG_PTR>> apcs;  // QueueUserAPC, oldest first
  std::deque<MSG> messages;                         // posted, oldest first
  bool quit_pending = false;                        // PostQuitMessage
  int quit_code = 0;
  std::vector<std::weak_ptr<MutexObject>> owned;    // mutexes this thread owns
};

std::mutex& qb_kernel_lock();
std::condition_variable& qb_kernel_cv();

// The calling thread's state, made on first use for threads that
// CreateThread did not start. Call without the lock.
const std::shared_ptr<ThreadState>& qb_current_thread();

// Lock held: the live (not ended) thread with `id`, or null.
std::shared_ptr<ThreadState> qb_thread_by_id_locked(DWORD id);

// A new handle for `obj`; takes the lock itself. Never null (allocation
// failure ends the process, as everywhere in platform/).
HANDLE qb_handle_open(std::shared_ptr<KernelObject> obj);
// The object behind `h` when it is a live handle of kind `kind`, else null
// with GetLastError ERROR_INVALID_HANDLE. Takes the lock itself. The pseudo
// handle of GetCurrentThread() gives the calling thread's state.
std::shared_ptr<KernelObject> qb_handle_object(HANDLE h);
template <class T>
std::shared_ptr<T> qb_handle_as(HANDLE h, ObjectKind kind) {
  std::shared_ptr<KernelObject> o = qb_handle_object(h);
  if (o == nullptr || o->kind != kind) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return nullptr;
  }
  return std::static_pointer_cast<T>(o);
}
// Forgets the handle; returns its reference (null when `h` was not a live
// handle of `kind`, or of any kind when `kind_any`) for the caller to drop
// after unlocking (invariant 2).
std::shared_ptr<KernelObject> qb_handle_take(HANDLE h, ObjectKind kind, bool kind_any);

// Lock held: as qb_handle_open, for callers that hold the lock already.
HANDLE qb_handle_open_locked(std::shared_ptr<KernelObject> obj);

// The lock file of the named mutex `name` (see platform/threads.h); "" with
// errno set when the state folder cannot be made.
std::string qb_named_mutex_path(const char* name);
