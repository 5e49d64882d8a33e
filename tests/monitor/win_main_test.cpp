// WinMain and MonitorWndProc run whole: the single-instance lock, the start,
// every way the Monitor is stopped and the shutdown's order, and the launch
// of the notes program. WinMain runs on the child's main thread
// (monitor_fixture.h); a helper thread plays the user and the system,
// sending its signals to that thread, which reads them from its signalfd.
#include <pthread.h>

#include <algorithm>
#include <csignal>

#include "monitor/monitor_fixture.h"
#include "monitor/monitor_wnd_proc.h"
#include "monitor/win_main.h"
#include "platform/instance_lock.h"
#include "support/fork_helper.h"
#include "upkeep/monitor_tables.h"

namespace {

class MonitorRun : public MonitorTest {
 protected:
  // WinMain on this thread, `drive` beside it; WinMain's exit code.
  static int runMonitor(const std::function<void()>& drive) {
    std::thread helper(drive);
    int rc = WinMain();
    helper.join();
    return rc;
  }
  // Sends `signal` to WinMain's thread once events are handled.
  static std::function<void()> signalWhenHandling(int signal) {
    const pthread_t main = pthread_self();
    return [main, signal] {
      if (waitHandling()) pthread_kill(main, signal);
    };
  }
};

TEST_F(MonitorRun, SecondInstanceSaysSoAndEndsTouchingNothing) {
  Child holder = fork_child([](int in, int out) {
    if (qb_instance_lock_take(kSingleInstanceMutex) != 1 || send_byte(out, 'h') != 1) return 1;
    char b;
    (void)recv_byte(in, &b);
    return 0;
  });
  char b = 0;
  ASSERT_EQ(recv_byte(holder.from_child, &b), 1);

  inChild([this, &holder] {
    const std::string registryBefore = read_whole_file(home_ + "/registry.reg");
    EXPECT_EQ(WinMain(), kAlreadyRunningExit);
    EXPECT_EQ(read_whole_file(home_ + "/registry.reg"), registryBefore);
    EXPECT_FALSE(exists(sys("qb.db")));
    EXPECT_EQ(eventThreadNoticeFd(), -1);  // no event thread
    std::vector<std::string> said = reports();  // one line that names the other
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("already running (process " + std::to_string(holder.pid) + ")"), std::string::npos);
  });

  EXPECT_EQ(send_byte(holder.to_child, 'x'), 1);
  EXPECT_EQ(wait_child(holder), 0);
}

// Ctrl+C stops; a system shutdown or a session's end closes the database
// first (backing up and compacting what changed) and then stops. Either
// way the notes are kept, "status" says the close was clean, and the
// signal mask is put back.
TEST_F(MonitorRun, EveryStopClosesCleanly) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    freshState(strsignal(signal));
    inChild([signal] {
      seedNotes("qb", {{"/home/ada/a.txt", "one"}, {"/home/ada/b.txt", "two"}});
      ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, "1"), 0);
      sigset_t before, after;
      pthread_sigmask(SIG_SETMASK, nullptr, &before);
      EXPECT_EQ(runMonitor(signalWhenHandling(signal)), 0);
      pthread_sigmask(SIG_SETMASK, nullptr, &after);
      EXPECT_EQ(sigismember(&after, SIGINT), sigismember(&before, SIGINT));
      EXPECT_EQ(status(), 0u);
      EXPECT_EQ(modified(), 0u);  // backed up and compacted
      EXPECT_TRUE(exists(sys("qbbak.db")));
      EXPECT_EQ(storedRemark("/home/ada/b.txt"), "two");
      EXPECT_EQ(reports(), (std::vector<std::string>{"Backing up the Quibbet Database...",
                                                     "Optimizing the Quibbet Database..."}));
      std::string cause;
      EXPECT_EQ(drv_open(&cause), 0) << "the driver was left open: " << cause;
      drv_close();
    });
  }
}

// A start that fails ends the Monitor with the failure's code, after its
// shutdown: the table the event thread had opened is closed again.
TEST_F(MonitorRun, FailedStartEndsTheMonitorWithItsCode) {
  inChild([this] {
    ASSERT_TRUE(write_whole_file(files_ + "/plain", "a file, not a folder"));
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfiguration, "WatchRoots", files_ + "/plain"), 0);
    EXPECT_EQ(runMonitor([] {}), ENOTDIR);
    std::vector<std::string> said = reports();  // the driver's warning, then why the Monitor ends
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[1].rfind("Cannot start watching files: no watch root can be watched: " + files_ + "/plain", 0),
              0u)
        << said[1];
    EXPECT_EQ(status(), 0u);
  });
}

// "status" that cannot be read as a number: the event thread cannot tell a
// crash from a clean stop, and the Monitor, which would otherwise run on
// without following anything, ends saying so.
TEST_F(MonitorRun, UnreadableStatusEndsTheMonitor) {
  inChild([] {
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, "running"), 0);
    EXPECT_EQ(runMonitor([] {}), EPROTOTYPE);
    std::vector<std::string> said = reports();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind("The Monitor cannot read \"status\"", 0), 0u) << said[0];
    EXPECT_FALSE(exists(sys("qb.db")));
  });
}

// The notes program: started from "NotesProgram" unless "Integrate" is 0,
// split on blanks, looked up on PATH, with no signal blocked (it touches
// its mark only then).
TEST_F(MonitorRun, NotesProgramIsLaunchedAsConfigured) {
  struct Row {
    const char* what;
    std::optional<uint32_t> integrate;
    bool asString;  // "NotesProgram" a string (else a number)
    size_t padding;  // blanks after the command, to pass the length limit
    bool launched;
  };
  const Row rows[] = {
      {"integrate missing counts as 1", std::nullopt, true, 0, true},
      {"integrate 1", 1u, true, 0, true},
      {"integrate 0", 0u, true, 0, false},
      {"not a string", 1u, false, 0, false},
      {"longer than the limit", 1u, true, kNotesProgramMax, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    freshState(row.what);
    inChild([&] {
      std::string mark = files_ + "/launched-" + row.what;  // one a row, without blanks
      std::replace(mark.begin(), mark.end(), ' ', '-');
      if (row.integrate)
        ASSERT_EQ(reg_write_number(RegHive::kLocalMachine, kConfigurationKeyPath, "Integrate", *row.integrate), 0);
      else
        (void)reg_delete_value(RegHive::kLocalMachine, kConfigurationKeyPath, "Integrate");
      if (row.asString)
        ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfigurationKeyPath, kNotesProgramValue,
                                   "sh  -c\tgrep${IFS}-q${IFS}'SigBlk:.0*$'${IFS}/proc/self/status&&touch${IFS}" + mark +
                                       std::string(row.padding, ' ')),
                  0);
      else
        ASSERT_EQ(reg_write_number(RegHive::kLocalMachine, kConfigurationKeyPath, kNotesProgramValue, 7), 0);
      ASSERT_EQ(MonitorWndProc(MonitorMessage::kCreate, 0), kKeepRunning);
      EXPECT_EQ(notesProgram != 0, row.launched);  // started, or not, before kCreate returned
      if (row.launched) {
        EXPECT_TRUE(waitUntil([&] { return exists(mark); }));
      }
      EXPECT_TRUE(waitHandling());
      // The session ends: the database closes at once, and the Monitor
      // goes on until it is stopped.
      EXPECT_EQ(MonitorWndProc(MonitorMessage::kEndSession, 0), kKeepRunning);
      EXPECT_FALSE(notesTable.isOpen());
      EXPECT_EQ(status(), 0u);
      EXPECT_EQ(MonitorWndProc(MonitorMessage::kStop, 0), 0);
      EXPECT_EQ(stopEventThread(), 1);
    });
  }
}

}  // namespace
