#include "support/fork_helper.h"
#include "support/run_program.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

Child fork_child(const std::function<int(int, int)>& body) {
  int down[2], up[2];
  Child c;
  if (::pipe(down) != 0) return c;
  if (::pipe(up) != 0) {
    ::close(down[0]);
    ::close(down[1]);
    return c;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(down[1]);
    ::close(up[0]);
    int rc = body(down[0], up[1]);
    ::_exit(rc);
  }
  ::close(down[0]);
  ::close(up[1]);
  c.pid = pid;
  c.to_child = down[1];
  c.from_child = up[0];
  return c;
}

int wait_child(Child& c) {
  int status = -1;
  if (c.pid <= 0) return -1;
  (void)reap_program(c.pid, -1, &status);
  if (c.to_child >= 0) ::close(c.to_child);
  if (c.from_child >= 0) ::close(c.from_child);
  c.to_child = c.from_child = -1;
  c.pid = -1;
  return status;
}

int send_byte(int fd, char b) { return ::write(fd, &b, 1) == 1 ? 1 : -1; }

int recv_byte(int fd, char* b, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int r;
  while ((r = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  if (r <= 0) return -1;
  return ::read(fd, b, 1) == 1 ? 1 : -1;
}

bool wait_pipe_read(int fd) {
  for (int i = 0; i < 2000; ++i) {
    int unread = 1;
    if (::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0) return true;
    ::usleep(5000);
  }
  return false;
}
