// POSIX defaults of the FileIo slots and the lock retry loop.
#include "cache/file_io.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>


int io_os_error = 0;
int io_lock_tries = 25;
int io_lock_delay_ms = 50;
int io_lock_limit_ms = 10000;

namespace {

int fail_errno() {
  io_os_error = errno;
  return -1;
}

int posix_close(int h) {
  if (::close(h) != 0) return fail_errno();
  return 0;
}

int posix_flush(int h) {
  if (::fdatasync(h) != 0) return fail_errno();
  return 1;
}

// The sharing rule of an open: "not shared" is an exclusive flock held for the
// life of the descriptor, "shared" a shared one. flock locks belong to the open
// file description, so they also exclude a second open in this process, and
// they are independent of the byte-range locks below.
int take_share_lock(int fd, int shared) {
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    io_os_error = e;
    return -1;
  }
  return fd;
}

void random_access_hint(int fd) { (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); }

int posix_create(const char* name) {
  int fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return fail_errno();
  if (take_share_lock(fd, 0) < 0) {
    ::unlink(name);
    return -1;
  }
  random_access_hint(fd);
  return fd;
}

int posix_sleep(int ms) {
  if (ms <= 0) return 1;
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
  return 1;
}

int posix_file_size(int h, int32_t* size) {
  struct stat st;
  if (::fstat(h, &st) != 0) {
    *size = -1;  // all one bits, stored even on failure
    return fail_errno();
  }
  *size = st.st_size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(st.st_size);
  return 1;
}

// One attempt at an exclusive lock of [offset, offset + length). A descriptor
// opened for reading only cannot hold a write lock (the system refuses it
// with EBADF); it takes a read lock, which still conflicts with every writer
// (see the README's "On Linux"). The write lock is tried first: most
// descriptors that lock are writable, and asking for the access mode before
// every lock would cost a system call each time.
int set_lock(int h, short type, int32_t offset, int32_t length) {
  struct flock lk;
  std::memset(&lk, 0, sizeof lk);
  lk.l_type = type;
  lk.l_whence = SEEK_SET;
  lk.l_start = offset;
  lk.l_len = length;
  lk.l_pid = 0;  // required for OFD locks
  return ::fcntl(h, F_OFD_SETLK, &lk);
}

int try_lock(int h, int32_t offset, int32_t length) {
  if (set_lock(h, F_WRLCK, offset, length) == 0) return 1;
  if (errno != EBADF) return -1;
  return set_lock(h, F_RDLCK, offset, length) == 0 ? 1 : -1;
}

int posix_lock(int h, int32_t offset, int32_t length, int tries, int delay_ms, int limit_ms) {
  if (try_lock(h, offset, length) == 1) return 1;
  int64_t start = io_now_ms();
  int tried = 1;
  while (tried < tries) {
    io_sleep(delay_ms);
    if (try_lock(h, offset, length) == 1) return 1;
    if (io_now_ms() - start > limit_ms) break;
    ++tried;
  }
  return -1;
}

int posix_open(const char* name, int write, int shared) {
  int fd = ::open(name, (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return fail_errno();
  if (take_share_lock(fd, shared) < 0) return -1;
  random_access_hint(fd);
  return fd;
}

int posix_message(const char* text) {
  size_t n = std::strlen(text);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(STDOUT_FILENO, text + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    done += static_cast<size_t>(w);
  }
  return 1;
}

int posix_read_at(int h, int32_t offset, int32_t length, void* buffer) {
  if (offset < 0 || length < 0) {
    io_os_error = EINVAL;
    return -1;
  }
  auto* p = static_cast<char*>(buffer);
  int32_t done = 0;
  while (done < length) {
    ssize_t r = ::pread(h, p + done, static_cast<size_t>(length - done), static_cast<off_t>(offset) + done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return fail_errno();
    if (r == 0) {
      io_os_error = kIoShortTransfer;
      return -1;
    }
    done += static_cast<int32_t>(r);
  }
  return 1;
}

int posix_read_page(int h, int32_t page, int32_t page_size, void* buffer) {
  int64_t off = static_cast<int64_t>(page) * page_size;
  if (page < 0 || off > INT32_MAX) {
    io_os_error = EINVAL;
    return -1;
  }
  return io_read_at(h, static_cast<int32_t>(off), page_size, buffer);
}

int posix_remove(const char* name) {
  if (::unlink(name) != 0) return fail_errno();
  return 1;
}

int posix_write_at(int h, int32_t offset, int32_t length, const void* buffer) {
  if (offset < 0 || length < 0) {
    io_os_error = EINVAL;
    return -1;
  }
  auto* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < length) {
    ssize_t w = ::pwrite(h, p + done, static_cast<size_t>(length - done), static_cast<off_t>(offset) + done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return fail_errno();
    if (w == 0) {
      io_os_error = kIoShortTransfer;
      return -1;
    }
    done += static_cast<int32_t>(w);
  }
  return 1;
}

int posix_write_page(int h, int32_t page, int32_t page_size, const void* buffer) {
  int64_t off = static_cast<int64_t>(page) * page_size;
  if (page < 0 || off > INT32_MAX) {
    io_os_error = EINVAL;
    return -1;
  }
  return io_write_at(h, static_cast<int32_t>(off), page_size, buffer);
}

int posix_unlock(int h, int32_t offset, int32_t length) {
  struct flock lk;
  std::memset(&lk, 0, sizeof lk);
  lk.l_type = F_UNLCK;
  lk.l_whence = SEEK_SET;
  lk.l_start = offset;
  lk.l_len = length;
  lk.l_pid = 0;
  if (::fcntl(h, F_OFD_SETLK, &lk) != 0) return fail_errno();
  return 1;
}

int posix_idle() { return 1; }

// The kernel's boot id, a UUID in text, read once: it holds for the life
// of the process.
int posix_boot_id(uint8_t out[16]) {
  static uint8_t id[16];
  static int known = 0;  // 1 read, -1 unreadable
  if (known == 0) {
    known = -1;
    char text[64] = {};
    const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) ::close(fd);
    int digits = 0;
    for (ssize_t i = 0; i < n && digits < 32; ++i) {
      const char c = text[i];
      int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) continue;  // the dashes
      id[digits / 2] = static_cast<uint8_t>(digits % 2 == 0 ? v << 4 : id[digits / 2] | v);
      ++digits;
    }
    if (digits == 32) known = 1;
  }
  if (known != 1) return -1;
  std::memcpy(out, id, sizeof id);
  return 1;
}

int posix_current_dir(char* buffer, int32_t size) {
  if (size <= 0) {
    io_os_error = ERANGE;
    return -1;
  }
  if (::getcwd(buffer, static_cast<size_t>(size)) == nullptr) return fail_errno();
  return 1;
}

constexpr FileIo kDefaults = {
    posix_close,   posix_flush,    posix_create,  posix_sleep,     posix_file_size,
    posix_lock,    posix_open,     posix_message, posix_read_at,   posix_read_page,
    posix_remove,  posix_write_at, posix_write_page, posix_unlock, posix_idle,
    posix_boot_id, posix_current_dir,
};

}  // namespace

FileIo g_file_io = kDefaults;

const FileIo& io_default_table() { return kDefaults; }

int64_t io_now_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
