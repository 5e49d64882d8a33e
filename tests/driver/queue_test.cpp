// The queue (one event at a time, the stop last, a bound), opening (roots that
// cannot be watched, one open at a time) and the report socket (copies in canonical
// form, what is no request refused, only the socket's own user heard).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "driver/driver_fixture.h"
#include "driver/report_client.h"
#include "driver/report_socket.h"
#include "platform/state_dir.h"

namespace {

// Sends `bytes` to `path`: the answer line, "no connection", "cut off"; or with
// `bind_only` "bound" once a dead driver's socket file is left there.
std::string at_socket(const std::string& path, const std::string& bytes, bool bind_only = false) {
  sockaddr_un addr = {AF_UNIX, {}};
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  std::string answer = bind_only ? (bind(fd, a, sizeof addr) == 0 ? "bound" : "") : "no connection";
  if (!bind_only && connect(fd, a, sizeof addr) == 0) {
    timeval limit = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    answer = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()) ? "" : "cut off";
    char c = 0;
    ssize_t n = 0;
    while ((n = recv(fd, &c, 1, 0)) == 1 && c != '\n') answer += c;
    if (answer.empty() && (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))) answer = "cut off";
  }
  close(fd);
  return answer;
}
std::string at_socket(const std::string& bytes) { return at_socket(qb_state_path(kReportSocketName), bytes); }

TEST(DriverQueue, OneEventAtATimeAndTheStopIsLast) {
  DriverRig r;
  r.load();
  for (const char* name : {"one", "two", "three"}) ASSERT_TRUE(r.disk({"put", name}));
  ASSERT_TRUE(r.wait_for("+three"));
  EXPECT_EQ(r.count("+one") + r.count("+two"), 2);
  EXPECT_EQ(eq_drain(0), 1u);  // the event taken last is out until the next take acknowledges it
  FileEvent e, queued{OP_CREATE, "", "/x"}, late{OP_CREATE, "", "/y"};
  EXPECT_FALSE(eq_take(&e, 0));
  EXPECT_EQ(eq_drain(0), 0u);
  eq_push(&queued);
  EXPECT_EQ(eq_waiting(), 1u);
  drv_stop();  // drops what is queued, and nothing follows it
  ASSERT_TRUE(eq_take(&e, 5000));
  EXPECT_EQ(e.operation, OP_STOP);
  eq_push(&late);
  EXPECT_FALSE(eq_take(&e, 0));
  EXPECT_EQ(eq_drain(0), 0u);
}

TEST(DriverQueue, AFullQueueLosesEventsAndTheDrainCountsWhatIsLeft) {
  DriverRig r;
  r.load();
  for (size_t i = 0; i < kEventQueueMax + 10; ++i) {
    FileEvent e{OP_CREATE, "", "/x/" + std::to_string(i)};
    eq_push(&e);
  }
  EXPECT_EQ(eq_waiting(), kEventQueueMax);
  FileEvent e;
  ASSERT_TRUE(eq_take(&e, 0));
  EXPECT_EQ(e.target, "/x/0");
  EXPECT_EQ(eq_drain(10), kEventQueueMax);  // a consumer that stalls: the rest queued, one out
}

TEST(DriverQueue, OpenSaysWhyNoRootCanBeWatchedAndIsOneAtATime) {
  DriverRig r;
  ASSERT_TRUE(r.disk({"put", "plain"}));
  const struct { std::string roots; int error; } rows[] = {{r.at("plain"), ENOTDIR}, {qb_state_dir(), EPERM}};
  for (const auto& row : rows) {
    set_watch_roots(row.roots);
    std::string cause;
    EXPECT_EQ(drv_open(&cause), row.error) << row.roots;
    EXPECT_NE(cause.find("no watch root can be watched: " + row.roots), std::string::npos) << cause;
  }
  set_watch_roots(r.at("missing"));  // not there yet: waited for, even the only root
  r.load();
  std::string cause, socket = qb_state_path(kReportSocketName);
  EXPECT_EQ(drv_open(&cause), EBUSY);
  struct stat st;
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(r.disk({"mkdir", "missing/in"}) && r.disk({"put", "missing/in/made"}) && r.wait_for("+missing/in/made"));
  ASSERT_TRUE(r.disk({"put", "missing/in/later"}) && r.wait_for("+missing/in/later"));
  drv_close();
  r.loaded = false;
  EXPECT_NE(::stat(socket.c_str(), &st), 0);
  // Opened again it watches again; a root that cannot be watched leaves the others.
  set_watch_roots(r.at("plain") + ":" + r.root);
  r.load();
  ASSERT_TRUE(r.disk({"put", "again"}) && r.wait_for("+again"));
}

TEST(DriverReports, CopiesReachARunningDriverAndWhatIsNoRequestIsRefused) {
  DriverRig r;
  EXPECT_EQ(qb_report_copy(r.at("a").c_str(), r.at("b").c_str()), 0);  // nobody listens
  ASSERT_EQ(at_socket(qb_state_path(kReportSocketName), "", true), "bound");  // nor does a dead driver's socket
  EXPECT_EQ(qb_report_copy(r.at("a").c_str(), r.at("b").c_str()), 0);
  ASSERT_TRUE(r.disk({"mkdir", "d"}) && r.disk({"put", "src"}));
  ASSERT_EQ(::symlink(r.at("d").c_str(), r.at("@link").c_str()), 0);
  // With no driver, qbnote cp gives the copy the contents, mode, times and note itself.
  auto qbnote = [&](const std::vector<std::string>& args) { return run_program(r.state_tmp.path(), QBNOTE_BIN, args); };
  const timespec times[2] = {{1000000000, 5}, {1100000000, 7}};
  ASSERT_TRUE(qbnote({"set", r.at("src"), "noted"}).status == 0 && ::chmod(r.at("src").c_str(), 0640) == 0 &&
              ::utimensat(AT_FDCWD, r.at("src").c_str(), times, 0) == 0);
  EXPECT_EQ(qbnote({"cp", r.at("src"), r.at("d")}).status, 0);  // into a folder, under the source's name
  EXPECT_EQ(qbnote({"get", r.at("d/src")}).out, "noted\n");
  struct stat st;
  ASSERT_EQ(::stat(r.at("d/src").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec, 1100000000LL * 1000000000 + 7);
  for (const char* refused : {"d", "./src", "absent"})  // a folder, the same file, nothing
    EXPECT_EQ(qbnote({"cp", r.at(refused), r.at("src")}).status, 2) << refused;
  EXPECT_EQ(read_whole_file(r.at("src")), "x");
  r.load();  // and replaces the dead one's socket
  ProgramRun cp = qbnote({"cp", r.at("src"), r.at("copied")});
  EXPECT_TRUE(cp.status == 0 && cp.err.empty()) << cp.err;
  EXPECT_TRUE(r.wait_for("src=copied"));
  ASSERT_EQ(qb_report_copy(r.at("@link/a").c_str(), r.at("@link/./b").c_str()), 1);
  EXPECT_TRUE(r.wait_for("d/a=d/b"));  // through a link to a folder of the root: resolved
  EXPECT_EQ(at_socket("HELLO"), "ERR not a request");
  EXPECT_EQ(at_socket(std::string("COPY relative\0/abs\0", 19)), "ERR paths must be absolute");
  EXPECT_EQ(at_socket("COPY " + std::string(kReportRequestMax, 'x')), "ERR not a request");
  const std::string p = r.at("p"), q = r.at("q"), s = r.at("s");
  EXPECT_EQ(at_socket("COPY " + p + '\0' + q + '\0' + "COPY " + q + '\0' + s + '\0'), "OK");  // two in one send
  EXPECT_TRUE(r.wait_for("p=q") && r.wait_for("q=s"));
}

// Two walls, each alone: the socket's mode (0600) and the peer's credentials.
// A forked child connects as uid and gid 65534 (needs root).
TEST(DriverReports, OnlyTheSocketsOwnUserIsHeard) {
  const struct { const char* name; bool other_user; mode_t mode; const char* answer; } rows[] = {
      {"the own user", false, 0600, "OK"},
      {"another user, the file modes open: cut off by its credentials", true, 0666, "cut off"},
      {"another user, the socket as the driver leaves it", true, 0600, "no connection"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.other_user && ::geteuid() != 0) continue;
    TempDir dir;
    const std::string path = dir.path() + "/driver.sock";
    ReportSocket socket;
    std::vector<FileEvent> events;
    ASSERT_EQ(rs_open(&socket, path), 1) << std::strerror(errno);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // only the socket's own mode may stand in the way
    ASSERT_EQ(::chmod(path.c_str(), row.mode), 0);
    size_t heard = 0;
    for (bool other : row.other_user ? std::vector<bool>{true, false} : std::vector<bool>{false}) {
      const char* answers[] = {"OK", "cut off", "no connection", "other"};  // the child's exit status indexes it
      const pid_t pid = ::fork();
      if (pid == 0) {
        const bool as = !other || (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
        const std::string said = as ? at_socket(path, std::string("COPY /from\0/to\0", 15)) : "";
        ::_exit(static_cast<int>(std::find(answers, answers + 3, said) - answers));
      }
      int status = -1;
      bool reaped = false;  // and every peer dropped once its connection ended (fault: a dropped peer stayed listed)
      if (!wait_until([&] {
            std::vector<pollfd> fds;
            rs_poll_fds(socket, &fds);
            if (::poll(fds.data(), fds.size(), 20) > 0) rs_service(&socket, fds.data(), fds.size(), &events);
            reaped = reaped || reap_program(pid, 0, &status);
            return reaped && socket.peers.empty();
          }) && !reaped)
        ::kill(pid, SIGKILL), reap_program(pid, -1, &status);
      EXPECT_STREQ(status >= 0 && status < 4 ? answers[status] : "killed", other ? row.answer : "OK");
      EXPECT_EQ(events.size(), heard += other ? 0 : 1);
      EXPECT_TRUE(socket.peers.empty());
    }
    EXPECT_EQ(show(events.back()), show({OP_COPY, "/from", "/to"}));
    rs_close(&socket);
  }
}

}  // namespace
