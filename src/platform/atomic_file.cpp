#include "platform/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static void fill_stamp(const struct stat& st, FileStamp* out) {
  out->exists = true;
  out->dev = st.st_dev;
  out->ino = st.st_ino;
  out->size = st.st_size;
  out->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int af_stamp(const std::string& path, FileStamp* out) {
  *out = FileStamp{};
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
  fill_stamp(st, out);
  return 1;
}

int af_read(const std::string& path, std::string* out, FileStamp* stamp) {
  out->clear();
  *stamp = FileStamp{};
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  fill_stamp(st, stamp);
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 1;
}

int af_lock(const std::string& path) {
  std::string lock = path + ".lock";
  int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

void af_unlock(int fd) {
  if (fd >= 0) ::close(fd);  // closing the description drops its flock
}

static std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int af_temp_beside(const std::string& target, std::string* temp) {
  size_t slash = target.rfind('/');
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string name = folder_of(target) + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  *temp = name;
  return fd;
}

static int sync_folder(const std::string& path) {
  int dfd = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return -1;
  int rc = ::fsync(dfd);
  int e = errno;
  ::close(dfd);
  errno = e;
  return rc == 0 ? 1 : -1;
}

int af_commit(int fd, const std::string& temp, const std::string& target, bool keep_existing) {
  int rc = ::fsync(fd);
  int e = errno;
  if (::close(fd) != 0 && rc == 0) {
    rc = -1;
    e = errno;
  }
  if (rc == 0) {
    if (keep_existing) {
      rc = ::link(temp.c_str(), target.c_str());
      e = errno;
      ::unlink(temp.c_str());
    } else {
      rc = ::rename(temp.c_str(), target.c_str());
      e = errno;
    }
  }
  if (rc != 0) {
    ::unlink(temp.c_str());
    errno = e;
    return -1;
  }
  // The new file is in place; a failed folder flush only weakens durability
  // across a crash and is not reported as a failed write.
  sync_folder(target);
  return 1;
}

int af_write_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 1;
}

int af_replace(const std::string& target, const std::string& bytes) {
  std::string temp;
  int fd = af_temp_beside(target, &temp);
  if (fd < 0) return -1;
  if (af_write_all(fd, bytes.data(), bytes.size()) != 1) {
    int e = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    errno = e;
    return -1;
  }
  return af_commit(fd, temp, target, false);
}

static pthread_mutex_t g_report_mutex = PTHREAD_MUTEX_INITIALIZER;
static std::set<std::string>* g_reported = nullptr;  // never freed: lives for the process

void af_report_malformed(const std::string& path, int line_no, const std::string& line) {
  pthread_mutex_lock(&g_report_mutex);
  if (g_reported == nullptr) g_reported = new std::set<std::string>;
  bool fresh = g_reported->insert(path + '\n' + line).second;
  pthread_mutex_unlock(&g_report_mutex);
  if (fresh) std::fprintf(stderr, "%s:%d: ignored malformed line: %s\n", path.c_str(), line_no, line.c_str());
}
