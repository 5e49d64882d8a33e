#include "platform/instance_lock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/state_dir.h"

namespace {

// `<state>/mutex-<name>`, with the separators of both path styles made
// harmless; "" with errno set when the state folder cannot be made.
std::string lock_path(const char* name) {
  std::string s = name;
  for (char& c : s)
    if (c == '/' || c == '\\') c = '_';
  return qb_state_path(("mutex-" + s).c_str());
}

struct flock whole_file(short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return fl;
}

// The names this process holds: a second take of one of them is no
// conflict with itself.
std::mutex g_lock;
std::set<std::string>* g_taken = nullptr;

}  // namespace

int qb_instance_lock_take(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> g(g_lock);
  if (g_taken == nullptr) g_taken = new std::set<std::string>;
  if (g_taken->count(name) != 0) return 1;
  std::string path = lock_path(name);
  if (path.empty()) return -1;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct flock fl = whole_file(F_WRLCK);
  if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    int e = errno;
    ::close(fd);
    if (e == EAGAIN || e == EACCES) return 0;
    errno = e;
    return -1;
  }
  // The descriptor stays open for the rest of the process: closing it would
  // drop the lock. A pid that cannot be written leaves the lock in force;
  // only owner lookups (`qbmon --stop`) then miss it.
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, buf, static_cast<size_t>(n), 0) != n) {
    // nothing more to do: see above
  }
  g_taken->insert(name);
  return 1;
}

pid_t qb_instance_lock_owner(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string path = lock_path(name);
  if (path.empty()) return -1;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  // The lock first: a pid left behind by a process that died is no owner.
  struct flock fl = whole_file(F_WRLCK);
  pid_t pid = -1;
  if (::fcntl(fd, F_OFD_GETLK, &fl) == 0) {
    if (fl.l_type == F_UNLCK) {
      pid = 0;
    } else {
      char buf[32];
      ssize_t got = ::pread(fd, buf, sizeof buf - 1, 0);
      if (got >= 0) {
        buf[got] = '\0';
        char* end = nullptr;
        long v = std::strtol(buf, &end, 10);
        if (end != buf && v > 0)
          pid = static_cast<pid_t>(v);
        else
          errno = EAGAIN;  // taken, the pid not written yet
      }
    }
  }
  int e = errno;
  ::close(fd);
  errno = e;
  return pid;
}

bool qb_instance_lock_wait_free(const char* name, int timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (qb_instance_lock_owner(name) == 0) return true;
    if (timeout_ms >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeout_ms))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
