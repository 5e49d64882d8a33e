// Who may report a copy: the report socket hears processes of its own user
// only. Two walls stand in the way of anyone else: the socket file's mode
// in a private folder, and the peer's credentials checked on every
// connection. Each is tested alone here, with a child process that
// connects as another user (uid and gid 65534); changing the user needs
// root, so without it these tests are skipped.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "driver/report_socket.h"
#include "event/file_event.h"
#include "support/temp_dir.h"

namespace {

constexpr uid_t kOtherUser = 65534;

// How the child's request ended (its exit status).
enum ChildOutcome : int {
  kAnswered = 0,      // "OK\n": the request was taken
  kCutOff = 1,        // the connection closed without an answer
  kNoConnection = 2,  // connect() failed
  kOther = 3,         // anything else (changing the user failed, ...)
};

class ReportPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/driver.sock";
    ASSERT_EQ(rs_open(&socket_, path_), 1) << std::strerror(errno);
  }
  void TearDown() override { rs_close(&socket_); }

  // Forks a child that, as the other user or as this process's, connects to the
  // socket, sends one request and waits for the answer. Serves the socket
  // until the child ends; its ChildOutcome.
  int request_from(bool as_other_user) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(child(as_other_user));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      std::vector<pollfd> fds;
      rs_poll_fds(socket_, &fds);
      if (::poll(fds.data(), fds.size(), 20) > 0) rs_service(&socket_, fds.data(), fds.size(), &events_);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int child(bool as_other_user) const {
    if (as_other_user &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0))
      return kOther;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return kOther;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return kNoConnection;
    timeval limit = {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    static const char request[] = "COPY /from\0/to";  // and the array's own NUL
    if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) return kCutOff;
    char answer[8] = {};
    const ssize_t n = ::recv(fd, answer, sizeof answer - 1, 0);
    if (n == 0) return kCutOff;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kOther : kCutOff;
    return std::strcmp(answer, "OK\n") == 0 ? kAnswered : kOther;
  }

  void skip_unless_root() {
    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
  }

  TempDir dir_;
  std::string path_;
  ReportSocket socket_;
  std::vector<FileEvent> events_;
};

TEST_F(ReportPeer, TheOwnUserIsHeard) {
  EXPECT_EQ(request_from(false), kAnswered);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].operation, OP_COPY);
  EXPECT_EQ(events_[0].source, "/from");
  EXPECT_EQ(events_[0].target, "/to");
}

// The file system lets the other user through (folder searchable, socket
// writable by all); the credentials alone turn it away.
TEST_F(ReportPeer, AnotherUserIsCutOffByItsCredentials) {
  skip_unless_root();
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  EXPECT_EQ(request_from(true), kCutOff);
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(socket_.peers.empty());
  // The socket still serves its own user afterwards.
  EXPECT_EQ(request_from(false), kAnswered);
  EXPECT_EQ(events_.size(), 1u);
}

// As the driver leaves it: the socket 0600 in a folder of its own user.
TEST_F(ReportPeer, AnotherUserCannotEvenConnectThroughTheFileModes) {
  skip_unless_root();
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Only the socket's own mode stands in the way: the folder is opened up.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  EXPECT_EQ(request_from(true), kNoConnection);
  EXPECT_TRUE(events_.empty());
}

}  // namespace
