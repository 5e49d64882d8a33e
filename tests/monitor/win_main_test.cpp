// WinMain as one table (the state before, the notes program configured and the
// stopping signal against the exit code, the reports, the notes left and the notes
// program started), and the close beside a stream of events.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

#include "monitor/monitor_fixture.h"
#include "monitor/monitor_wnd_proc.h"
#include "monitor/win_main.h"
#include "platform/instance_lock.h"
#include "platform/profile.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"

namespace {

// The signal comes once events are handled and a rename of a.txt to c.txt is queued;
// each text said is in its report ('#' the other Monitor's process); no notes left: no
// table made. "NotesProgram" is started (and left running) unless "Integrate" is 0:
// split on blanks, looked up on PATH, no signal blocked (only then is its mark touched).
TEST_F(MonitorTest, StartAndStop) {
  enum Before { kNone, kOtherMonitor, kNotes, kRootAFile, kStatusUnreadable };
  enum Program { kUnset, kStarted, kIntegrate0, kTooLong };  // too long: blanks after the command
  struct Row {
    const char* name;
    Before before;
    int signal, exit;
    std::vector<std::string> said;
    std::optional<Notes> left;
    Program program = kUnset;
  };
  const std::vector<std::string> stop = {"Backing up the Quibbet Database...", "Optimizing the Quibbet Database..."};
  const Notes moved = {{"/home/ada/b.txt", "two"}, {"/home/ada/c.txt", "one"}};
  const Row rows[] = {
      {"another Monitor runs", kOtherMonitor, 0, kAlreadyRunningExit, {"already running (process #)"}, std::nullopt},
      {"no tables yet: made, silently; the notes program started", kNone, SIGINT, 0, {}, Notes{}, kStarted},
      {"the root is a file", kRootAFile, 0, ENOTDIR,
       {"", "Cannot start watching files: no watch root can be watched: " + files_ + "/plain"}, Notes{}},
      {"status unreadable", kStatusUnreadable, 0, EPROTOTYPE, {"The Monitor cannot read \"status\""}, std::nullopt},
      {"Ctrl+C; Integrate 0", kNotes, SIGINT, 0, stop, moved, kIntegrate0},
      {"session end (as SIGTERM); the notes program too long", kNotes, SIGHUP, 0, stop, moved, kTooLong},
  };
  const std::string mark = files_ + "/launched", command = "sh  -c\tgrep${IFS}-q${IFS}'SigBlk:.0*$'${IFS}/proc/self/"
                                                          "status&&touch${IFS}" + mark + "&&exec${IFS}sleep${IFS}60";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    freshState(row.name);
    inChild([&] {
      Child holder;  // holds the single-instance lock until told
      char b = 0;
      if (row.before == kOtherMonitor) {
        holder = fork_child([&b](int in, int out) {
          const bool held = qb_instance_lock_take(kSingleInstanceMutex) == 1 && send_byte(out, 'h') == 1;
          return held && recv_byte(in, &b) == 1 ? 0 : 1;
        });
        ASSERT_EQ(recv_byte(holder.from_child, &b), 1);
      }
      if (row.before == kNotes) seedNotes("qb", {{"/home/ada/a.txt", "one"}, {"/home/ada/b.txt", "two"}});
      ASSERT_TRUE(row.before != kNotes || profile_write(kProfileSection, kModifiedKey, "1") == 0);
      const RegHive lm = RegHive::kLocalMachine;
      ASSERT_TRUE(row.before != kRootAFile ||
                  (write_whole_file(files_ + "/plain", "a file") &&
                   reg_write_string(lm, kConfiguration, "WatchRoots", files_ + "/plain") == 0));
      ASSERT_TRUE(row.before != kStatusUnreadable || reg_write_string(lm, kStatusKeyPath, kStatusValue, "x") == 0);
      ASSERT_TRUE(row.program != kIntegrate0 || reg_write_number(lm, kConfigurationKeyPath, "Integrate", 0) == 0);
      ASSERT_TRUE(row.program == kUnset || reg_write_string(lm, kConfigurationKeyPath, kNotesProgramValue,
                  command + std::string(row.program == kTooLong ? kNotesProgramMax : 0, ' ')) == 0);
      const std::string registry = read_whole_file(home_ + "/registry.reg");
      sigset_t mask;
      const pthread_t main = pthread_self();
      std::thread helper([&] {
        FileEvent rename{OP_RENAME, "/home/ada/a.txt", "/home/ada/c.txt"};
        if (row.signal != 0 && waitHandling()) eq_push(&rename), pthread_kill(main, row.signal);
      });
      EXPECT_EQ(WinMain(), row.exit);
      helper.join();
      pthread_sigmask(SIG_SETMASK, nullptr, &mask);
      EXPECT_FALSE(sigismember(&mask, SIGINT));  // unblocked again
      std::vector<std::string> said = reports();
      ASSERT_EQ(said.size(), row.said.size());
      for (size_t i = 0; i < said.size(); ++i) {
        std::string want = row.said[i];
        if (size_t at = want.find('#'); at != std::string::npos) want.replace(at, 1, std::to_string(holder.pid));
        EXPECT_NE(said[i].find(want), std::string::npos) << said[i];
      }
      EXPECT_EQ(exists(sys("qb.db")), row.left.has_value());
      if (row.left) { EXPECT_TRUE(openNotes("qb") == *row.left && status() == 0u); }  // a clean close
      if (row.before == kOtherMonitor) {  // nothing touched, no event thread
        EXPECT_EQ(read_whole_file(home_ + "/registry.reg"), registry);
        EXPECT_EQ(eventThreadNoticeFd(), -1);
        EXPECT_TRUE(send_byte(holder.to_child, 'x') == 1 && wait_child(holder) == 0);
      }
      if (row.before == kNotes) {  // backed up and compacted
        EXPECT_TRUE(profile_read_number(kProfileSection, kModifiedKey, 7) == 0u && exists(sys("qbbak.db")));
      }
      EXPECT_EQ(notesProgram != 0, row.program == kStarted);  // still running, or never started
      if (row.program == kStarted) {
        EXPECT_TRUE(wait_until([&] { return exists(mark); }) && ::kill(notesProgram, SIGKILL) == 0);
      }
      std::string cause;
      EXPECT_NE(drv_open(&cause), EBUSY);  // the driver was not left open
    });
  }
}

// Events keep coming while the main thread closes (backs up, compacts) the table:
// no file call of the event thread's falls between the close's first and last.
std::mutex gLogLock;
std::vector<pthread_t> gLog;
std::string moving(int i) { return "/home/ada/moving/" + std::to_string(i) + ".txt"; }

TEST_F(MonitorTest, CloseNeverInterleavesWithQueuedEvents) {
  inChild([] {
    Notes notes;  // enough that the backup and compaction take a while
    for (int i = 0; i < 1500; ++i) notes.emplace_back("/home/ada/notes/" + std::to_string(i) + ".md", "remark");
    notes.emplace_back(moving(0), "on the move");
    seedNotes("qb", notes);
    ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, "1"), 0);
    ASSERT_EQ(MonitorWndProc(MonitorMessage::kCreate, 0), kKeepRunning);
    ASSERT_TRUE(waitHandling());
    // Installed while the event thread waits (the waking event crosses the queue's lock).
    std::optional<FaultIo> recording(std::in_place);
    recording->plan().observe = [](IoKind) {
      std::lock_guard<std::mutex> g(gLogLock);
      gLog.push_back(pthread_self());
    };
    std::atomic<int> handled{0}, stop{0};
    std::thread feeder([&] {  // renames, each once the one before was handled
      for (int i = 0; stop.load() == 0; handled.fetch_add(1), ++i) {
        FileEvent e{OP_RENAME, moving(i), moving(i + 1)};
        eq_push(&e);
        if (eq_drain(10000) != 0) return;
      }
    });
    ASSERT_TRUE(wait_until([&] { return handled.load() >= 20; }));
    EXPECT_EQ(MonitorWndProc(MonitorMessage::kEndSession, 0), kKeepRunning);
    const int atClose = handled.load();
    EXPECT_TRUE(wait_until([&] { return handled.load() >= atClose + 20; }));  // on a closed table now
    stop.store(1);
    feeder.join();
    recording.reset();

    auto ui = [](pthread_t t) { return pthread_equal(t, pthread_self()) != 0; };
    const auto first = std::find_if(gLog.begin(), gLog.end(), ui);
    const auto last = std::find_if(gLog.rbegin(), gLog.rend(), ui).base();
    ASSERT_NE(first, gLog.end()) << "the close made no file operation";
    EXPECT_NE(first, gLog.begin()) << "no event reached the table before the close";
    EXPECT_EQ(std::count_if(first, last, ui), last - first) << "the event thread's calls fell inside the close";
    EXPECT_TRUE(!notesTable.isOpen() && status() == 0u);
    // The compacted table: every note, the moving one (first by path) where the last rename before the close left it.
    Notes left = openNotes("qb");
    ASSERT_EQ(left.size(), 1501u);
    const int at = std::stoi(left[0].first.substr(moving(0).size() - 5));
    EXPECT_TRUE(left[0] == Notes::value_type(moving(at), "on the move") && at >= 20 && at <= atClose + 1)
        << left[0].first;
    EXPECT_EQ(stopEventThread(), 1);
  });
}

}  // namespace
