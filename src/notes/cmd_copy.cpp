// cp: copies a file as cp(1) does, keeping its mode and times, and tells
// the running Monitor, which then gives the copy the source's note. The
// kernel reports a copy only as a new file; the copier has to say where it
// came from (driver/report_client.h).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/report_client.h"
#include "notes/notes.h"
#include "platform/canonical_path.h"

namespace {

std::string base_name(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the bytes of `in` (described by `st`) into `target`, then its
// permission bits and times. 1, or -1 with errno set.
int copy_file(int in, const struct stat& st, const char* target) {
  int out = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) return -1;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !write_all(out, buffer, static_cast<size_t>(n)))) {
      int e = errno;
      close(out);
      errno = e;
      return -1;
    }
    if (n == 0) break;
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (fchmod(out, st.st_mode & 07777) != 0 || futimens(out, times) != 0) {
    int e = errno;
    close(out);
    errno = e;
    return -1;
  }
  return close(out) == 0 ? 1 : -1;
}

}  // namespace

int cmd_cp(int argc, char** argv) {
  Args a;
  int rc = parse_args("cp", argc, argv, 0, 2, 2, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("cp");
    return rc;
  }
  const char* source = a.operands[0].c_str();
  std::string target = a.operands[1];
  int in = open(source, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) {
    say("cp: cannot read %s: %s", source, std::strerror(errno));
    if (in >= 0) close(in);
    return kExitUsage;
  }
  if (!S_ISREG(st.st_mode)) {
    say("cp: %s is %s; qbnote cp copies files only", source, S_ISDIR(st.st_mode) ? "a folder" : "not a regular file");
    close(in);
    return kExitUsage;
  }
  struct stat dst;
  if (stat(target.c_str(), &dst) == 0) {
    if (S_ISDIR(dst.st_mode)) {
      target += "/" + base_name(source);
      if (stat(target.c_str(), &dst) != 0) dst.st_ino = 0;
    }
    if (dst.st_ino == st.st_ino && dst.st_dev == st.st_dev) {
      say("cp: %s and %s are the same file", source, target.c_str());
      close(in);
      return kExitUsage;
    }
  }
  if (copy_file(in, st, target.c_str()) != 1) {
    say("cp: cannot copy %s to %s: %s", source, target.c_str(), std::strerror(errno));
    close(in);
    return kExitUsage;
  }
  close(in);

  const std::string canonical = qb_canonical_path(target.c_str());
  if (canonical.size() > kMaxPathBytes) {
    say("cp: %s is %zu bytes long; the Monitor cannot follow paths longer than %zu bytes, so no note was carried",
        target.c_str(), canonical.size(), kMaxPathBytes);
    return kExitDone;
  }
  switch (qb_report_copy(source, target.c_str())) {
    case 1:
      return kExitDone;
    case 0:
      say("cp: no Monitor is running; the copy has no note (the note of %s was not carried to %s)", source,
          target.c_str());
      return kExitDone;
    default:
      say("cp: copied, but the Monitor could not be told: %s; the note of %s was not carried", std::strerror(errno),
          source);
      return kExitTable;
  }
}
