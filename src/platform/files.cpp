#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file.h"


static int close_keep_errno(int fd) {
  int e = errno;
  ::close(fd);
  errno = e;
  return -1;
}

// Copies the rest of `in` to `out`.
static int copy_bytes(int in, int out) {
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 1;
    if (af_write_all(out, buf, static_cast<size_t>(n)) != 1) return -1;
  }
}

int qb_copy_file(const char* from, const char* to, bool fail_if_exists) {
  if (from == nullptr || to == nullptr) return EINVAL;
  int in = ::open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st;
  if (::fstat(in, &st) != 0) {
    close_keep_errno(in);
    return errno;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(in);
    return EISDIR;
  }
  // Held while reading: no one may take the source exclusively meanwhile.
  if (::flock(in, LOCK_SH | LOCK_NB) != 0) {
    close_keep_errno(in);
    return errno;
  }
  // The old target, when there is one, is held exclusively until the new one
  // has replaced it, so no program has it open while it goes.
  int old = -1;
  if (!fail_if_exists) {
    old = ::open(to, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (old >= 0 && ::flock(old, LOCK_EX | LOCK_NB) != 0) {
      close_keep_errno(old);
      close_keep_errno(in);
      return errno;
    }
  } else if (::access(to, F_OK) == 0) {
    ::close(in);
    return EEXIST;
  }
  std::string temp;
  int out = af_temp_beside(to, &temp);
  int rc = out < 0 ? -1 : 1;
  if (rc == 1 && (copy_bytes(in, out) != 1 || ::fchmod(out, st.st_mode & 07777) != 0)) {
    close_keep_errno(out);
    ::unlink(temp.c_str());
    rc = -1;
  } else if (rc == 1) {
    rc = af_commit(out, temp, to, fail_if_exists);
  }
  int e = errno;
  if (old >= 0) ::close(old);
  ::close(in);
  return rc == 1 ? 0 : e;
}
