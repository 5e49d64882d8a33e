// Threads and synchronisation: the Windows calls the Monitor makes to start
// its event thread, hand events to it, wait for it and keep a second Monitor
// from starting. Callers: anything above the engine, from any thread.
//
// Threads. CreateThread starts a POSIX thread (detached; its handle, not a
// join, tells when it ended). GetCurrentThreadId gives a number unique for
// the life of the process, assigned when a thread first meets this layer;
// it is not the kernel's thread id.
//
// Queued calls (APCs). Each thread has a queue of calls. QueueUserAPC, from
// any thread, appends to the target thread's queue; the calls run only on
// that thread and only inside an alertable SleepEx, which runs every queued
// call, those queued meanwhile included, and then returns
// WAIT_IO_COMPLETION. A thread that never waits alertably never runs them.
// A thread that ends drops its queue.
//
// Events: manual or automatic reset; a wait on an automatic-reset event
// resets it, so exactly one waiter wakes. The name is ignored: every
// CreateEventA makes a new event.
//
// Mutexes: owned by a thread, recursively. A mutex whose owner thread ends
// (by returning from its routine, or any other way a POSIX thread ends) is
// released as abandoned: the next wait on it gets WAIT_ABANDONED and owns it.
//
// Named mutexes reach across processes. The mutex "N" is the lock file
// `<state>/mutex-N` ('/' and '\' in N become '_'): while a thread of some
// process owns it, that process holds an open-file-description write lock on
// the file (fcntl F_OFD_SETLK) and the file holds its pid in decimal. A
// lock, unlike a pid, cannot outlive its process: the kernel drops it when
// the process dies however it dies, so a crashed Monitor never blocks the
// next one. (An OFD lock rather than flock: F_OFD_GETLK lets OpenMutexA ask
// whether another process holds the lock without taking it, and so without
// making a concurrent CreateMutexA think it lost.) The lock file descriptor
// is close-on-exec, so a started program never inherits the lock; a fork()
// without exec would share it. Within one process the named mutex is one
// object shared by name. OpenMutexA succeeds when this process has the
// object or another live process holds the lock; a named mutex that another
// process created without owning it is not visible there. Waiting on a
// mutex held by another process looks again every 10 ms. A clean release
// empties the lock file; a wait that finds the previous owner's pid still
// there (its process died owning the mutex) gets WAIT_ABANDONED.
//
// Handles: CloseHandle closes every kind this layer and its siblings hand out
// (threads, events, mutexes, processes, devices). A handle not handed out, or
// closed already, gives ERROR_INVALID_HANDLE. The object lives while any
// handle or wait refers to it.
//
// Errors: FALSE / null / WAIT_FAILED with GetLastError set to a Windows
// code, or errno where the cause is the operating system's.
#pragma once

#include "platform/win_types.h"

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x4;

constexpr DWORD SYNCHRONIZE = 0x00100000u;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001u;
constexpr DWORD THREAD_SET_CONTEXT = 0x0010;
constexpr DWORD THREAD_ALL_ACCESS = 0x001FFFFFu;

// ---- threads -------------------------------------------------------------------
// Starts `routine(param)` on a new thread. `stack_size` 0 is the default.
// `flags` must be 0 (CREATE_SUSPENDED gives ERROR_NOT_SUPPORTED). The new
// thread's id goes to *thread_id when not null.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine,
                    LPVOID param, DWORD flags, LPDWORD thread_id);
DWORD GetCurrentThreadId();
// A pseudo handle that means "the calling thread" wherever it is used; it
// needs no closing and means another thread when another thread uses it.
HANDLE GetCurrentThread();
// A real handle of the running thread `thread_id`; null with
// ERROR_INVALID_PARAMETER when no such thread runs. The access is not
// enforced.
HANDLE OpenThread(DWORD access, BOOL inherit, DWORD thread_id);
// STILL_ACTIVE while the thread runs, then its routine's result.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD code);

// ---- queued calls and sleeping ----------------------------------------------------
// Queues `call(data)` to `thread`. Non-zero on success; 0 when the handle is
// not a thread (ERROR_INVALID_HANDLE) or the thread has ended
// (ERROR_GEN_FAILURE).
DWORD QueueUserAPC(PAPCFUNC call, HANDLE thread, ULONG_PTR data);
// Sleeps `ms` (INFINITE: for ever). Alertable: returns WAIT_IO_COMPLETION as
// soon as queued calls have run (calls queued before the sleep run at once),
// else 0 when the time is up.
DWORD SleepEx(DWORD ms, BOOL alertable);
void Sleep(DWORD ms);

// ---- events and mutexes ----------------------------------------------------------
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Unnamed: a mutex of this process, owned by the calling thread when
// `initial_owner`. Named: see above; when the mutex exists already (in this
// process, or held by another) the handle refers to it, `initial_owner` is
// ignored and GetLastError gives ERROR_ALREADY_EXISTS; else GetLastError
// gives 0. Null with errno when the lock file cannot be made.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initial_owner, LPCSTR name);
// Null with ERROR_FILE_NOT_FOUND when the mutex does not exist (see above).
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
// FALSE with ERROR_NOT_OWNER unless the calling thread owns it.
BOOL ReleaseMutex(HANDLE mutex);

// Waits for a thread or process to end, an event to be set, a mutex to be
// free. WAIT_OBJECT_0, WAIT_ABANDONED (a mutex whose owner ended; the caller
// now owns it), WAIT_TIMEOUT, or WAIT_FAILED with ERROR_INVALID_HANDLE. Not
// alertable: queued calls wait for a SleepEx.
DWORD WaitForSingleObject(HANDLE object, DWORD ms);

BOOL CloseHandle(HANDLE object);

// ---- event tokens ------------------------------------------------------------------
// The stand-in for a driver's own handle of an event (the kernel module's
// OpenVxDHandle export, platform/module.h): a non-zero 32-bit token that
// keeps the event alive until qb_event_token_close, whatever happens to the
// handle it came from. 0 with ERROR_INVALID_HANDLE when `event` is not an
// event.
DWORD qb_event_token(HANDLE event);
// A new handle of the token's event, for the driver to set and then close;
// null with ERROR_INVALID_HANDLE for an unknown token.
HANDLE qb_event_from_token(DWORD token);
void qb_event_token_close(DWORD token);

// ---- for tests -----------------------------------------------------------------------
// The next CreateThread fails with `error` (0 cancels).
void qb_fail_next_thread_create(DWORD error);
