// The qbmon program: its options, and `qbmon --stop` against a running
// Monitor watching the test's folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>

#include "driver/report_client.h"
#include "monitor/monitor_fixture.h"
#include "monitor/win_main.h"
#include "platform/instance_lock.h"
#include "platform/state_dir.h"

namespace {

class Qbmon : public MonitorTest {
 protected:
  // Starts qbmon with `arg` (none when null), standard input from
  // /dev/null, standard output into a pipe; its pid.
  static pid_t spawn(const char* arg, int* out) {
    int p[2];
    if (::pipe(p) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
      int in = ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      ::dup2(p[1], 1);
      ::close(p[0]);
      ::close(p[1]);
      if (arg != nullptr)
        ::execl(QBMON_BIN, "qbmon", arg, static_cast<char*>(nullptr));
      else
        ::execl(QBMON_BIN, "qbmon", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(p[1]);
    *out = p[0];
    return pid;
  }
  // Runs qbmon `arg` to its end: exit status (-1 for a signal) and output.
  static int run(const char* arg, std::string* output) {
    int out = -1;
    pid_t pid = spawn(arg, &out);
    if (pid < 0) return -2;
    output->clear();
    std::array<char, 512> buffer;
    ssize_t n;
    while ((n = ::read(out, buffer.data(), buffer.size())) > 0) output->append(buffer.data(), n);
    ::close(out);
    return finish(pid);
  }
  // The threads of process `pid`.
  static int threads(pid_t pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    ::closedir(d);
    return n;
  }
  static int finish(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(Qbmon, HelpAndVersion) {
  std::string out;
  EXPECT_EQ(run("--help", &out), 0);
  EXPECT_NE(out.find("--stop"), std::string::npos) << out;
  EXPECT_EQ(run("--version", &out), 0);
  EXPECT_EQ(out, std::string("qbmon ") + kMonitorVersion + " (Quibbet)\n");
  EXPECT_EQ(run("--frobnicate", &out), 2);
}

TEST_F(Qbmon, StopWithoutAMonitorFails) {
  std::string out;
  EXPECT_EQ(run("--stop", &out), 1);
}

// Idle, the Monitor runs three threads: its main thread, the event thread
// and the driver's reader.
TEST_F(Qbmon, StopEndsTheRunningMonitorCleanly) {
  int monitorOut = -1;
  pid_t monitor = spawn(nullptr, &monitorOut);
  ASSERT_GT(monitor, 0);
  ASSERT_TRUE(waitUntil([&] { return qb_instance_lock_owner(kSingleInstanceMutex) == monitor; }));
  ASSERT_TRUE(waitUntil([&] { return exists(qb_state_path(kReportSocketName)); }));  // the driver is open
  EXPECT_EQ(threads(monitor), 3);

  std::string out;
  EXPECT_EQ(run(nullptr, &out), kAlreadyRunningExit);  // a second one refuses to start
  // At once: --stop itself waits until the Monitor catches the signal.
  EXPECT_EQ(run("--stop", &out), 0);
  // The Monitor ran its shutdown and ended by itself, not by the signal.
  EXPECT_EQ(finish(monitor), 0);
  ::close(monitorOut);
  EXPECT_EQ(qb_instance_lock_owner(kSingleInstanceMutex), 0);
  EXPECT_EQ(status(), 0u);  // closeDatabase's mark
}

}  // namespace
