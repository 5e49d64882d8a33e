#include "platform/signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "platform/instance_lock.h"
#include "platform/threads.h"
#include "platform/window.h"

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
constexpr char kStopByte = 0;  // not a signal number: tells the thread to end

struct SignalState {
  bool installed = false;
  int pipe_read = -1;
  int pipe_write = -1;
  pthread_t thread;
  struct sigaction saved[3];
};

SignalState g_state;
std::atomic<HWND> g_window{nullptr};
std::atomic<int> g_write_fd{-1};

void on_signal(int sig) {
  int saved_errno = errno;
  char b = static_cast<char>(sig);
  int fd = g_write_fd.load();
  if (fd >= 0 && ::write(fd, &b, 1) < 0) {
    // Full pipe: earlier signals' messages are still to be posted.
  }
  errno = saved_errno;
}

void* post_signals(void*) {
  for (;;) {
    char b;
    ssize_t n = ::read(g_state.pipe_read, &b, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || b == kStopByte) return nullptr;
    HWND w = g_window.load();
    if (w == nullptr) continue;
    if (b == SIGTERM || b == SIGHUP) PostMessageA(w, WM_QUERYENDSESSION, 0, b == SIGHUP ? ENDSESSION_LOGOFF : 0);
    PostMessageA(w, WM_QUIT, 0, 0);
  }
}

void close_pipe() {
  g_write_fd.store(-1);
  ::close(g_state.pipe_read);
  ::close(g_state.pipe_write);
  g_state.pipe_read = g_state.pipe_write = -1;
}

}  // namespace

BOOL qb_install_signal_handlers(HWND main_window) {
  g_window.store(main_window);
  if (g_state.installed) return TRUE;
  int p[2];
  if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return FALSE;
  // The reading end blocks: the thread sleeps in read().
  ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) & ~O_NONBLOCK);
  g_state.pipe_read = p[0];
  g_state.pipe_write = p[1];
  g_write_fd.store(p[1]);
  // The thread takes no signals itself, so a handler never interrupts it.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rc = pthread_create(&g_state.thread, nullptr, post_signals, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    close_pipe();
    errno = rc;
    return FALSE;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) {
    if (::sigaction(kSignals[i], &sa, &g_state.saved[i]) != 0) {
      int e = errno;
      for (int j = 0; j < i; ++j) ::sigaction(kSignals[j], &g_state.saved[j], nullptr);
      char stop = kStopByte;
      if (::write(g_state.pipe_write, &stop, 1) == 1) pthread_join(g_state.thread, nullptr);
      close_pipe();
      errno = e;
      return FALSE;
    }
  }
  g_state.installed = true;
  return TRUE;
}

void qb_restore_signal_handlers() {
  if (!g_state.installed) return;
  for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &g_state.saved[i], nullptr);
  char stop = kStopByte;
  while (::write(g_state.pipe_write, &stop, 1) != 1) {
    if (errno != EINTR && errno != EAGAIN) break;
    ::usleep(1000);  // a full pipe drains as the thread posts
  }
  pthread_join(g_state.thread, nullptr);
  close_pipe();
  g_state.installed = false;
  g_window.store(nullptr);
}

pid_t qb_mutex_owner_pid(const char* mutex_name) { return qb_instance_lock_owner(mutex_name); }

BOOL qb_wait_mutex_free(const char* mutex_name, DWORD timeout_ms) {
  return qb_instance_lock_wait_free(mutex_name, timeout_ms == INFINITE ? -1 : static_cast<int>(timeout_ms)) ? TRUE
                                                                                                            : FALSE;
}
