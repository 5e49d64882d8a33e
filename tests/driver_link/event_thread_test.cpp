// The event thread on its own, each test in a forked child
// (monitor/monitor_fixture.h): a start that recovers the table or ends the
// Monitor saying why, a stop that comes before or after the driver is open,
// and lost events followed by a look for moved files.
#include "monitor/monitor_fixture.h"
#include "tracking/do_response.h"
#include "tracking/identities.h"

namespace {

using EventThreadTest = MonitorTest;

// Each row arranges the state folder. Code 0: the thread handles events with
// the table open (status 1) holding `notes`, having said `said` if anything,
// and stops with 1. Otherwise the start fails with `code`, its last report
// beginning `said`, and the thread ends with it.
TEST_F(EventThreadTest, StartsRecoverTheTableOrSayWhyTheyCannot) {
  const Notes kNotes = {{"/home/ada/a.txt", "one"}, {"/home/ada/docs", "folder"}};
  const Notes kBackup = {{"/home/ada/old.txt", "from the backup"}};
  static const auto spoil = [](const char* name, char fill) { ASSERT_TRUE(write_whole_file(sys(name), std::string(600, fill))); };
  struct Row {
    const char* what;
    std::function<void(MonitorTest&)> arrange;
    int code;
    std::string said;
    Notes notes;
  };
  const Row rows[] = {
      {"status missing: a clean stop, said once", [&](MonitorTest&) {
         seedNotes("qb", kNotes);
         ASSERT_EQ(reg_delete_value(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue), 0);
       }, 0, kStatusMissingMessage, kNotes},
      // An index that knows none of the data file's records, as a crash between the two writes leaves them.
      {"unclean close: rebuilt from the data file", [&](MonitorTest&) {
         seedNotes("qb", kNotes), seedNotes("stale", {}), setStatus(1);
         ASSERT_TRUE(write_whole_file(sys("qb.idx"), read_whole_file(sys("stale.idx"))));
       }, 0, "", kNotes},
      {"clean close, index deleted: rebuilt, not the older backup", [&](MonitorTest&) {
         seedNotes("qbbak", kBackup), seedNotes("qb", kNotes), setStatus(0);
         ASSERT_EQ(::unlink(sys("qb.idx").c_str()), 0);
       }, 0, "The notes table's index file ", kNotes},
      {"unclean close, no table: the backup", [&](MonitorTest&) { seedNotes("qbbak", kBackup), spoil("qb.db", 'Z'), setStatus(1); },
       0, "", kBackup},
      {"clean close, no table: the backup", [&](MonitorTest&) { seedNotes("qbbak", kBackup), spoil("qb.db", 'Z'), setStatus(0); },
       0, "", kBackup},
      {"unclean close, no backup", [](MonitorTest&) { spoil("qb.db", 'Z'), setStatus(1); }, 3, kCorruptMessage, {}},
      {"failed open, failing backup", [](MonitorTest&) { spoil("qb.db", 'Z'), spoil("qbbak.db", '3'), spoil("qbbak.idx", '3'), setStatus(0); },
       3, kCorruptMessage, {}},
      {"state folder below a file", [](MonitorTest& t) {
         ASSERT_TRUE(write_whole_file(t.tmp_.path() + "/file", "x"));
         ::setenv("QB_HOME", (t.tmp_.path() + "/file/state").c_str(), 1);
       }, ENOTDIR, "The Monitor cannot write its state folder", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    freshState(row.what);
    inChild([&] {
      row.arrange(*this);
      ASSERT_EQ(startEventThread(), 0);
      if (row.code == 0) {
        ASSERT_TRUE(waitHandling());
        EXPECT_EQ(openNotes(), row.notes);
        EXPECT_EQ(reports().size(), row.said.empty() ? 0u : 1u);
        EXPECT_EQ(reports().empty() ? "" : reports()[0].substr(0, row.said.size()), row.said);
        EXPECT_EQ(status(), 1u);
        EXPECT_EQ(stopEventThread(), 1);
        return;
      }
      for (const EventNotice kind : {EventNotice::kStartFailed, EventNotice::kEnded})
        EXPECT_EQ(notice(), std::make_optional(std::make_pair(kind, row.code)));
      ASSERT_FALSE(reports().empty());
      EXPECT_EQ(reports().back().rfind(row.said, 0), 0u) << reports().back();
      joinEventThread();
    });
  }
}

// A shutdown that looked before the thread opened the driver ends the
// thread, which opens none (fault: the shutdown then waited for ever for a
// driver nobody stopped). Once the driver is open the shutdown's look sees
// it; events queued are handled by a drain first.
TEST_F(EventThreadTest, AStopBeforeOrAfterTheDriverOpensEndsTheThread) {
  inChild([this] {
    setStatus(0);
    EXPECT_FALSE(beginEventThreadShutdown());
    ASSERT_EQ(startEventThread(), 0);
    EXPECT_EQ(notice(), std::make_optional(std::make_pair(EventNotice::kEnded, 1)));
    EXPECT_TRUE(reports().empty());
    joinEventThread();
    std::string cause;
    EXPECT_EQ(drv_open(&cause), 0) << "the thread left the driver open: " << cause;
    drv_close();
    resetEventThreadShutdown();
    ASSERT_EQ(startEventThread(), 0);
    ASSERT_TRUE(waitHandling());
    for (int i = 0; i < 3; ++i) {
      FileEvent e{OP_CREATE, "", files_ + "/late" + std::to_string(i)};
      eq_push(&e);
    }
    EXPECT_EQ(drainQueuedEvents(kStopDrainMs), 0u);
    EXPECT_TRUE(traced("\nDoResponse with 6\n"));
    EXPECT_EQ(stopEventThread(), 1);
  });
}

// After the kernel lost events, a note whose path holds no file is looked
// for by its file's identity in a new listing of the watched folders.
TEST_F(EventThreadTest, LostEventsAreFollowedByALookForMovedFiles) {
  inChild([this] {
    const std::string file = files_ + "/f", gone = files_ + "/gone";
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
    FileEvent lost{OP_RECONCILE, "", ""};
    eq_push(&lost);
    ASSERT_TRUE(waitHandling());
    EXPECT_EQ(openNotes(), (Notes{{file, "x"}}));
    EXPECT_TRUE(traced("RECONCILED: " + gone + ", " + file + "\n"));
    EXPECT_EQ(stopEventThread(), 1);
  });
}

}  // namespace
