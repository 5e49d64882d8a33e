#include "driver/report_socket.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "driver/report_client.h"
#include "event/file_event.h"

namespace {

constexpr char kRequestWord[] = "COPY ";
constexpr size_t kRequestWordSize = sizeof kRequestWord - 1;

constexpr char kStatusRequest[] = "STATUS";  // with its NUL
constexpr size_t kStatusRequestSize = sizeof kStatusRequest;

void answer(int fd, const char* text) { (void)!send(fd, text, std::strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT); }

// The status answer: its header, then the body. Small enough for the
// socket's buffer, so that a non-blocking send takes it whole.
void answer_status(const ReportSocket& s, int fd) {
  if (s.status == nullptr) {
    answer(fd, "ERR no status here\n");
    return;
  }
  const std::string body = s.status(s.status_context);
  const std::string reply = "STATUS " + std::to_string(body.size()) + "\n" + body;
  (void)!send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool same_user(int fd) {
  ucred cred = {};
  socklen_t size = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == geteuid();
}

void drop_peer(ReportSocket* s, size_t i) {
  close(s->peers[i].fd);
  s->peers.erase(s->peers.begin() + static_cast<std::ptrdiff_t>(i));
}

void accept_peers(ReportSocket* s) {
  for (;;) {
    int fd = accept4(s->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: no more waiting; anything else: try at the next poll
    if (!same_user(fd)) {
      close(fd);
      continue;
    }
    if (s->peers.size() >= kReportPeers) drop_peer(s, 0);
    s->peers.push_back({fd, {}});
  }
}

// Takes every complete request out of `p.pending`. False when the bytes are
// not a request and the connection is to go.
bool parse(const ReportSocket& s, ReportSocket::Peer& p, std::vector<FileEvent>* out) {
  for (;;) {
    const std::string& b = p.pending;
    if (!b.empty() && b[0] == 'S') {
      const size_t head = b.size() < kStatusRequestSize ? b.size() : kStatusRequestSize;
      if (b.compare(0, head, kStatusRequest, head) != 0) return false;
      if (head < kStatusRequestSize) return true;
      answer_status(s, p.fd);
      p.pending.erase(0, kStatusRequestSize);
      continue;
    }
    size_t head = b.size() < kRequestWordSize ? b.size() : kRequestWordSize;
    if (b.compare(0, head, kRequestWord, head) != 0) return false;
    if (b.size() <= kRequestWordSize) return true;
    size_t end_source = b.find('\0', kRequestWordSize);
    size_t end_target = end_source == std::string::npos ? std::string::npos : b.find('\0', end_source + 1);
    if (end_target == std::string::npos) return b.size() <= kReportRequestMax;
    FileEvent e;
    e.operation = OP_COPY;
    e.source = b.substr(kRequestWordSize, end_source - kRequestWordSize);
    e.target = b.substr(end_source + 1, end_target - end_source - 1);
    if (e.source.empty() || e.source[0] != '/' || e.target.empty() || e.target[0] != '/') {
      answer(p.fd, "ERR paths must be absolute\n");
    } else {
      out->push_back(std::move(e));
      answer(p.fd, "OK\n");
    }
    p.pending.erase(0, end_target + 1);
  }
}

// Reads what `p` sent; false when the connection is to go (closed by the
// peer, failed, or not speaking the protocol).
bool read_peer(const ReportSocket& s, ReportSocket::Peer& p, std::vector<FileEvent>* out) {
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(p.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) return false;
    p.pending.append(buffer, static_cast<size_t>(n));
    if (!parse(s, p, out)) {
      answer(p.fd, "ERR not a request\n");
      return false;
    }
  }
}

}  // namespace

int rs_open(ReportSocket* s, const std::string& path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  unlink(path.c_str());
  // Between bind and chmod the file has the umask's mode; the state folder
  // (0700) keeps others out meanwhile. The process-wide umask is not
  // touched: other threads create files at the same time.
  int bound = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (bound != 0 || chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
    int e = errno;
    close(fd);
    if (bound == 0) unlink(path.c_str());
    errno = e;
    return -1;
  }
  s->listen_fd = fd;
  s->path = path;
  return 1;
}

void rs_close(ReportSocket* s) {
  for (ReportSocket::Peer& p : s->peers) close(p.fd);
  s->peers.clear();
  if (s->listen_fd >= 0) {
    close(s->listen_fd);
    unlink(s->path.c_str());
  }
  s->listen_fd = -1;
}

void rs_poll_fds(const ReportSocket& s, std::vector<pollfd>* fds) {
  if (s.listen_fd < 0) return;
  fds->push_back({s.listen_fd, POLLIN, 0});
  for (const ReportSocket::Peer& p : s.peers) fds->push_back({p.fd, POLLIN, 0});
}

void rs_service(ReportSocket* s, const pollfd* fds, size_t count, std::vector<FileEvent>* out) {
  if (s->listen_fd < 0 || count == 0) return;
  // Connections first, from the back, so that dropping one keeps the
  // indexes of those not yet looked at; new connections are read at the
  // next poll.
  for (size_t i = count - 1; i >= 1; --i) {
    if (i - 1 >= s->peers.size()) continue;
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    if (!read_peer(*s, s->peers[i - 1], out)) drop_peer(s, i - 1);
  }
  if ((fds[0].revents & POLLIN) != 0) accept_peers(s);
}
