#include "driver/report_client.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/canonical_path.h"
#include "platform/state_dir.h"

namespace {

constexpr int kAnswerSeconds = 2;

int fail(int fd, int e) {
  if (fd >= 0) close(fd);
  errno = e;
  return -1;
}

bool send_all(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int qb_report_copy(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) return fail(-1, EINVAL);
  const std::string from = qb_canonical_path(source);
  const std::string to = qb_canonical_path(target);
  if (from.empty() || to.empty()) return -1;
  const std::string request = "COPY " + from + std::string(1, '\0') + to + std::string(1, '\0');
  if (request.size() > kReportRequestMax) return fail(-1, ENAMETOOLONG);

  const std::string path = qb_state_path(kReportSocketName);
  if (path.empty()) return -1;
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return fail(-1, ENAMETOOLONG);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(fd);
    if (e == ENOENT || e == ECONNREFUSED) return 0;  // nobody listens: no Monitor
    errno = e;
    return -1;
  }
  timeval limit = {kAnswerSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (!send_all(fd, request)) return fail(fd, errno);

  char answer[128];
  size_t got = 0;
  while (got < sizeof answer - 1) {
    ssize_t n = recv(fd, answer + got, sizeof answer - 1 - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (std::memchr(answer, '\n', got) != nullptr) break;
  }
  close(fd);
  answer[got] = '\0';
  if (std::strncmp(answer, "OK\n", 3) == 0) return 1;
  errno = EPROTO;
  return -1;
}
