// WinMain as one table (the state before and the stopping signal against the exit
// code, the reports and the notes left), the notes program's launch as configured,
// and the close beside a stream of events.
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

using MonitorRun = MonitorTest;

TEST_F(MonitorRun, StartAndStop) {
  enum Before { kNone, kOtherMonitor, kNotes, kRootAFile, kStatusUnreadable };
  struct Row {
    const char* name;
    Before before;
    int signal;  // sent once events are handled and a rename of a.txt to c.txt is queued; 0: none
    int exit;
    std::vector<std::string> said;  // found in each report, in order ('#' the other Monitor's process)
    std::optional<Notes> left;      // the notes table after; nullopt: none was made
  };
  const std::vector<std::string> stopSaid = {"Backing up the Quibbet Database...", "Optimizing the Quibbet Database..."};
  const Notes moved = {{"/home/ada/b.txt", "two"}, {"/home/ada/c.txt", "one"}};
  const Row rows[] = {
      {"another Monitor runs", kOtherMonitor, 0, kAlreadyRunningExit, {"already running (process #)"}, std::nullopt},
      {"no tables yet: made, silently", kNone, SIGINT, 0, {}, Notes{}},
      {"the root is a file", kRootAFile, 0, ENOTDIR,
       {"", "Cannot start watching files: no watch root can be watched: " + files_ + "/plain"}, Notes{}},
      {"status unreadable", kStatusUnreadable, 0, EPROTOTYPE, {"The Monitor cannot read \"status\""}, std::nullopt},
      {"Ctrl+C", kNotes, SIGINT, 0, stopSaid, moved},
      {"session end (as SIGTERM)", kNotes, SIGHUP, 0, stopSaid, moved},
  };
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
      ASSERT_TRUE(row.before != kRootAFile || (write_whole_file(files_ + "/plain", "a file") &&
                  reg_write_string(RegHive::kLocalMachine, kConfiguration, "WatchRoots", files_ + "/plain") == 0));
      ASSERT_TRUE(row.before != kStatusUnreadable ||
                  reg_write_string(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, "running") == 0);
      const std::string registry = read_whole_file(home_ + "/registry.reg");
      sigset_t before, after;
      pthread_sigmask(SIG_SETMASK, nullptr, &before);
      const pthread_t main = pthread_self();
      std::thread helper([&] {
        FileEvent rename{OP_RENAME, "/home/ada/a.txt", "/home/ada/c.txt"};
        if (row.signal != 0 && waitHandling()) eq_push(&rename), pthread_kill(main, row.signal);
      });
      EXPECT_EQ(WinMain(), row.exit);
      helper.join();
      pthread_sigmask(SIG_SETMASK, nullptr, &after);
      EXPECT_EQ(sigismember(&after, SIGINT), sigismember(&before, SIGINT));
      std::vector<std::string> said = reports();
      ASSERT_EQ(said.size(), row.said.size());
      for (size_t i = 0; i < said.size(); ++i) {
        std::string want = row.said[i];
        if (size_t at = want.find('#'); at != std::string::npos) want.replace(at, 1, std::to_string(holder.pid));
        EXPECT_NE(said[i].find(want), std::string::npos) << said[i];
      }
      EXPECT_EQ(exists(sys("qb.db")), row.left.has_value());
      if (row.left) EXPECT_TRUE(openNotes("qb") == *row.left && status() == 0u);  // a clean close
      if (row.before == kOtherMonitor) {  // nothing touched, no event thread
        EXPECT_EQ(read_whole_file(home_ + "/registry.reg"), registry);
        EXPECT_EQ(eventThreadNoticeFd(), -1);
        EXPECT_TRUE(send_byte(holder.to_child, 'x') == 1 && wait_child(holder) == 0);
      }
      if (row.before == kNotes) {  // backed up and compacted
        EXPECT_TRUE(profile_read_number(kProfileSection, kModifiedKey, 7) == 0u && exists(sys("qbbak.db")));
      }
      std::string cause;
      const int opened = drv_open(&cause);  // the driver was not left open
      EXPECT_NE(opened, EBUSY);
      if (opened == 0) drv_close();
    });
  }
}

// "NotesProgram" started unless "Integrate" is 0: split on blanks, looked up on
// PATH, no signal blocked (only then is its mark touched).
TEST_F(MonitorRun, NotesProgramIsLaunchedAsConfigured) {
  const struct { const char* what; std::optional<uint32_t> integrate; bool asString; size_t padding; bool launched; }
      rows[] = {
          {"integrate missing counts as 1", std::nullopt, true, 0, true},
          {"integrate 0", 0u, true, 0, false},
          {"not a string", 1u, false, 0, false},
          {"longer than the limit", 1u, true, kNotesProgramMax, false},  // blanks after the command
      };
  const std::string mark = files_ + "/launched";
  const std::string command = "sh  -c\tgrep${IFS}-q${IFS}'SigBlk:.0*$'${IFS}/proc/self/status&&touch${IFS}" + mark;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    freshState(row.what);
    inChild([&] {
      const char* key = kConfigurationKeyPath;
      ASSERT_TRUE(!row.integrate || reg_write_number(RegHive::kLocalMachine, key, "Integrate", *row.integrate) == 0);
      ASSERT_EQ(row.asString ? reg_write_string(RegHive::kLocalMachine, key, kNotesProgramValue,
                                                command + std::string(row.padding, ' '))
                             : reg_write_number(RegHive::kLocalMachine, key, kNotesProgramValue, 7),
                0);
      ASSERT_EQ(MonitorWndProc(MonitorMessage::kCreate, 0), kKeepRunning);
      EXPECT_EQ(notesProgram != 0, row.launched);  // started, or not, before kCreate returned
      if (row.launched) { EXPECT_TRUE(wait_until([&] { return exists(mark); })); }
      EXPECT_TRUE(waitHandling());
      EXPECT_EQ(MonitorWndProc(MonitorMessage::kStop, 0), 0);
      EXPECT_EQ(stopEventThread(), 1);
    });
  }
}

// Events keep coming while the main thread closes (backs up, compacts) the table:
// no file call of the event thread's falls between the close's first and last.
std::mutex gLogLock;
std::vector<pthread_t> gLog;
std::string moving(int i) { return "/home/ada/moving/" + std::to_string(i) + ".txt"; }

TEST_F(MonitorRun, CloseNeverInterleavesWithQueuedEvents) {
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
    std::atomic<bool> stop{false};
    std::atomic<int> handled{0};
    std::thread feeder([&] {  // renames, each once the one before was handled
      for (int i = 0; !stop.load(); handled.fetch_add(1), ++i) {
        FileEvent e{OP_RENAME, moving(i), moving(i + 1)};
        eq_push(&e);
        if (eq_drain(10000) != 0) return;
      }
    });
    ASSERT_TRUE(wait_until([&] { return handled.load() >= 20; }));
    EXPECT_EQ(MonitorWndProc(MonitorMessage::kEndSession, 0), kKeepRunning);
    const int atClose = handled.load();
    EXPECT_TRUE(wait_until([&] { return handled.load() >= atClose + 20; }));  // on a closed table now
    stop.store(true);
    feeder.join();
    recording.reset();

    const pthread_t ui = pthread_self();
    size_t first = gLog.size(), last = 0, interleaved = 0;
    for (size_t i = 0; i < gLog.size(); ++i)
      if (pthread_equal(gLog[i], ui)) first = std::min(first, i), last = i;
    ASSERT_LT(first, gLog.size()) << "the close made no file operation";
    EXPECT_GT(first, 0u) << "no event reached the table before the close";
    for (size_t i = first; i <= last; ++i) interleaved += pthread_equal(gLog[i], ui) ? 0 : 1;
    EXPECT_EQ(interleaved, 0u) << "of " << last - first + 1 << " operations during the close";
    EXPECT_FALSE(notesTable.isOpen());
    EXPECT_EQ(status(), 0u);
    // The compacted table: every note, the moving one where the last rename before the close left it.
    Notes left = openNotes("qb");
    ASSERT_EQ(left.size(), 1501u);
    const auto found = std::find_if(left.begin(), left.end(), [](const auto& n) { return n.second == "on the move"; });
    ASSERT_NE(found, left.end());
    const int at = std::stoi(found->first.substr(moving(0).size() - 5));
    EXPECT_TRUE(found->first == moving(at) && at >= 20 && at <= atClose + 1) << found->first;
    EXPECT_EQ(stopEventThread(), 1);
  });
}

}  // namespace
