#include "driver/report_client.h"

#include <cerrno>
#include <cstdlib>
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

// Connects to the running driver's socket: 1 with *fd, 0 when nobody
// listens (no Monitor), -1 with errno set.
int connect_driver(int* fd) {
  const std::string path = qb_state_path(kReportSocketName);
  if (path.empty()) return -1;
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return fail(-1, ENAMETOOLONG);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd < 0) return -1;
  if (connect(*fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(*fd);
    if (e == ENOENT || e == ECONNREFUSED) return 0;  // nobody listens: no Monitor
    errno = e;
    return -1;
  }
  timeval limit = {kAnswerSeconds, 0};
  setsockopt(*fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return 1;
}

// Reads until `answer` holds a line break, or the peer ends or times out.
void read_line(int fd, std::string* answer) {
  char buffer[256];
  while (answer->find('\n') == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    answer->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int qb_report_copy(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) return fail(-1, EINVAL);
  const std::string from = qb_canonical_path(source);
  const std::string to = qb_canonical_path(target);
  if (from.empty() || to.empty()) return -1;
  const std::string request = "COPY " + from + std::string(1, '\0') + to + std::string(1, '\0');
  if (request.size() > kReportRequestMax) return fail(-1, ENAMETOOLONG);
  int fd = -1;
  int rc = connect_driver(&fd);
  if (rc != 1) return rc;
  if (!send_all(fd, request)) return fail(fd, errno);
  std::string answer;
  read_line(fd, &answer);
  close(fd);
  if (answer.compare(0, 3, "OK\n") == 0) return 1;
  errno = EPROTO;
  return -1;
}

int qb_ask_status(std::string* body) {
  int fd = -1;
  int rc = connect_driver(&fd);
  if (rc != 1) return rc;
  if (!send_all(fd, std::string("STATUS", sizeof "STATUS"))) return fail(fd, errno);
  std::string answer;
  read_line(fd, &answer);
  const size_t eol = answer.find('\n');
  if (answer.compare(0, 7, "STATUS ") != 0 || eol == std::string::npos) return fail(fd, EPROTO);
  const size_t length = std::strtoul(answer.c_str() + 7, nullptr, 10);
  *body = answer.substr(eol + 1);
  char buffer[4096];
  while (body->size() < length) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(fd, EPROTO);
    body->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  body->resize(length);
  return 1;
}
