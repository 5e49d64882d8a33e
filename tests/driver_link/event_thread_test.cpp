// The event thread on its own, each test in a forked child (monitor/monitor_fixture.h): a stop before the driver
// is open; lost events followed by a look for moved files, then a stop's drain. (Its starts: tests/monitor, e2e.)
#include "monitor/monitor_fixture.h"
#include "tracking/do_response.h"
#include "tracking/identities.h"

namespace {

using EventThreadTest = MonitorTest;

// A shutdown that looked before the thread opened the driver ends the thread, which opens none (fault: the shutdown
// then waited for ever for a driver nobody stopped).
TEST_F(EventThreadTest, AStopBeforeTheDriverOpensEndsTheThread) {
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
  });
}

// After the kernel lost events, a note whose path holds no file is looked for by its file's identity. Events queued
// at the stop are handled by its drain first.
TEST_F(EventThreadTest, LostEventsAreFollowedByALookForMovedFiles) {
  inChild([this] {
    const std::string file = files_ + "/f", gone = files_ + "/gone";
    ASSERT_TRUE(write_whole_file(file, "x"));
    seedNotes("qb", {{file, "x"}});
    setStatus(0);
    ASSERT_EQ(startEventThread(), 0);
    ASSERT_TRUE(waitHandling());  // the start recorded the file's identity
    {  // as if the file had been renamed to `gone` unseen, then back
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
    FileEvent late[] = {{OP_CREATE, "", files_ + "/a"}, {OP_CREATE, "", files_ + "/b"}, {OP_CREATE, "", files_ + "/c"}};
    for (FileEvent& e : late) eq_push(&e);
    EXPECT_EQ(drainQueuedEvents(kStopDrainMs), 0u);
    EXPECT_TRUE(traced("\nDoResponse with 6\n"));
    EXPECT_EQ(stopEventThread(), 1);
  });
}

}  // namespace
