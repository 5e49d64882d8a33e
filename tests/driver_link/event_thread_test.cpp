// The event thread on its own: the status check, recovery, opening the
// database, opening the driver, the events and the end. Each test runs in a
// forked child (see monitor/monitor_fixture.h).

#include "monitor/monitor_fixture.h"
#include "tracking/do_response.h"
#include "tracking/identities.h"

namespace {

const Notes kNotes = {{"/home/ada/a.txt", "one"}, {"/home/ada/b.txt", "two"}, {"/home/ada/docs", "folder"}};

using EventThreadTest = MonitorTest;

void spoil(const char* name) { ASSERT_TRUE(write_whole_file(MonitorTest::sys(name), std::string(600, '\x5a'))); }

// A start that goes through: the thread handles events with the table open
// (status 1) until it is stopped, and ends with 1.
void expectRunsWith(const Notes& notes, const std::vector<std::string>& said) {
  ASSERT_EQ(startEventThread(), 0);
  ASSERT_TRUE(MonitorTest::waitHandling());
  EXPECT_EQ(MonitorTest::openNotes(), notes);
  EXPECT_EQ(MonitorTest::reports(), said);
  EXPECT_EQ(MonitorTest::status(), 1u);
  EXPECT_EQ(MonitorTest::stopEventThread(), 1);
}

// A start that fails: a notice with `code`, and a last report beginning
// `said`.
void expectStartFails(int code, const std::string& said) {
  ASSERT_EQ(startEventThread(), 0);
  auto n = MonitorTest::notice();
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(n->first, EventNotice::kStartFailed);
  EXPECT_EQ(n->second, code);
  std::vector<std::string> said_ = MonitorTest::reports();
  ASSERT_FALSE(said_.empty());
  EXPECT_EQ(said_.back().rfind(said, 0), 0u) << said_.back();
  n = MonitorTest::notice();
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(n->first, EventNotice::kEnded);
  EXPECT_EQ(n->second, code);
  joinEventThread();
}

// ---- the status check and recovery --------------------------------------------------

TEST_F(EventThreadTest, StatusMissingIsACleanStopSaidOnce) {
  inChild([] {
    seedNotes("qb", kNotes);
    ASSERT_EQ(reg_delete_value(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue), 0);
    // Opened as after a clean stop: no restore, one warning.
    expectRunsWith(kNotes, {kStatusMissingMessage});
  });
}

TEST_F(EventThreadTest, UncleanCloseRebuildsAndKeepsEveryNote) {
  inChild([] {
    // A sound data file behind an index file that knows none of its
    // records, as a crash between the two writes could leave them: only a
    // rebuild from the data file finds the notes again. No backup exists:
    // a restore would have failed.
    seedNotes("qb", kNotes);
    seedNotes("stale", {});
    ASSERT_TRUE(write_whole_file(sys("qb.idx"), read_whole_file(sys("stale.idx"))));
    setStatus(1);
    expectRunsWith(kNotes, {});
    EXPECT_FALSE(exists(sys("qbbak.db")));
  });
}

// A data file that is no table, after an unclean close (status 1) or a
// clean one: the backup takes its place, without a word.
TEST_F(EventThreadTest, BrokenTableIsMendedByTheBackup) {
  for (const uint32_t before : {1u, 0u}) {
    SCOPED_TRACE(before);
    freshState("status " + std::to_string(before));
    inChild([before] {
      const Notes backup = {{"/home/ada/old.txt", "from the backup"}};
      seedNotes("qbbak", backup);
      spoil("qb.db");
      setStatus(before);
      expectRunsWith(backup, {});
    });
  }
}

// An index file deleted or overwritten after a clean stop: the data file
// holds every note, the older backup does not.
TEST_F(EventThreadTest, IndexMissingOrDamagedAfterACleanStopIsRebuiltFromTheDataFile) {
  for (const bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "index deleted" : "index overwritten");
    freshState(deleted ? "deleted" : "overwritten");
    inChild([deleted] {
      seedNotes("qbbak", {{"/home/ada/old.txt", "from the backup"}});
      seedNotes("qb", kNotes);
      if (deleted)
        ASSERT_EQ(::unlink(sys("qb.idx").c_str()), 0);
      else
        ASSERT_TRUE(write_whole_file(sys("qb.idx"), std::string(1024, '\x33')));
      setStatus(0);
      expectRunsWith(kNotes, {"The notes table's index file " + sys("qb.idx") +
                              " is missing, damaged, or may lack changes that had not reached the disk when the "
                              "system last went down: rebuilding it from the data file " +
                              sys("qb.db") + "."});
    });
  }
}

// ---- starts that fail -------------------------------------------------------------------
// Each ends the Monitor with its code and one report; none opens the driver.
TEST_F(EventThreadTest, FailedStartsSayWhyAndEndTheMonitorWithTheirCode) {
  struct Row {
    const char* what;
    std::function<void(MonitorTest&)> arrange;
    int code;
    std::string said;
  };
  const Row rows[] = {
      {"state folder below a file",
       [](MonitorTest& t) {
         ASSERT_TRUE(write_whole_file(t.tmp_.path() + "/file", "x"));
         ::setenv("QB_HOME", (t.tmp_.path() + "/file/state").c_str(), 1);
       },
       ENOTDIR, "The Monitor cannot write its state folder"},
      {"unclean close, no backup", [](MonitorTest&) {
         spoil("qb.db");
         setStatus(1);
       }, 3, kCorruptMessage},
      {"failed open, no backup", [](MonitorTest&) {
         spoil("qb.db");
         setStatus(0);
       }, 3, kCorruptMessage},
      {"failed open, failing backup",
       [](MonitorTest&) {
         spoil("qb.db");
         ASSERT_TRUE(write_whole_file(sys("qbbak.db"), std::string(600, '\x33')));
         ASSERT_TRUE(write_whole_file(sys("qbbak.idx"), std::string(512, '\x33')));
         setStatus(0);
       },
       3, kCorruptMessage},
      {"no root can be watched",
       [](MonitorTest& t) {
         setStatus(0);
         ASSERT_TRUE(write_whole_file(t.files_ + "/plain", "a file, not a folder"));
         ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfiguration, "WatchRoots", t.files_ + "/plain"), 0);
       },
       ENOTDIR, "Cannot start watching files: no watch root can be watched: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    freshState(row.what);
    inChild([&] {
      row.arrange(*this);
      expectStartFails(row.code, row.said);
    });
  }
}

// ---- a stop that comes while the thread still starts --------------------------------

// The shutdown looked before the thread opened the driver: the thread must
// end instead of opening a driver nobody would stop (the shutdown would
// then wait for it for ever).
TEST_F(EventThreadTest, ShutdownBegunBeforeTheOpenEndsTheThread) {
  inChild([] {
    setStatus(0);
    EXPECT_FALSE(beginEventThreadShutdown());
    ASSERT_EQ(startEventThread(), 0);
    auto n = notice();
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->first, EventNotice::kEnded);
    EXPECT_EQ(n->second, 1);
    EXPECT_TRUE(reports().empty());
    joinEventThread();
    std::string cause;
    EXPECT_EQ(drv_open(&cause), 0) << "the thread left the driver open: " << cause;
    drv_close();
    resetEventThreadShutdown();
  });
}

// Once the thread has opened the driver, the shutdown's look sees it, so
// the stop reaches the thread; queued events are handled by a drain first.
TEST_F(EventThreadTest, ShutdownAfterTheOpenSeesTheDriverAndDrainsFirst) {
  inChild([this] {
    setStatus(0);
    ASSERT_EQ(startEventThread(), 0);
    ASSERT_TRUE(waitHandling());
    for (int i = 0; i < 3; ++i) {
      FileEvent e;
      e.operation = OP_CREATE;
      e.target = files_ + "/late" + std::to_string(i);
      eq_push(&e);
    }
    EXPECT_EQ(drainQueuedEvents(kStopDrainMs), 0u);
    EXPECT_TRUE(traced("\nDoResponse with 6\n"));
    EXPECT_EQ(stopEventThread(), 1);
  });
}

}  // namespace

// After the kernel lost events, a note whose path holds no file is looked
// for by its file's identity in a new listing of the watched folders.
TEST_F(EventThreadTest, LostEventsAreFollowedByALookForMovedFiles) {
  inChild([this] {
    const std::string file = files_ + "/f";
    const std::string gone = files_ + "/gone";
    ASSERT_TRUE(write_whole_file(file, "x"));
    seedNotes("qb", {{file, "x"}});
    setStatus(0);
    ASSERT_EQ(startEventThread(), 0);
    ASSERT_TRUE(waitHandling());  // the start recorded the file's identity
    {
      // As if the file had been renamed to it unseen and back to `file`.
      std::lock_guard<std::mutex> guard(tracking_table_mutex());
      ASSERT_TRUE(lockNote(file.c_str()));
      setPath(notesTable, gone.c_str());
      updateLocked();
      moveIdentity(file.c_str(), gone.c_str());
    }
    FileEvent lost;
    lost.operation = OP_RECONCILE;
    eq_push(&lost);
    ASSERT_TRUE(waitHandling());
    EXPECT_EQ(openNotes(), (Notes{{file, "x"}}));
    EXPECT_TRUE(traced("RECONCILED: " + gone + ", " + file + "\n"));
    EXPECT_EQ(stopEventThread(), 1);
  });
}
