// The driver's side of the hand-over: opening, one event at a time (taking
// the next acknowledges the one before), stop, drain, close.
#include <cerrno>
#include <filesystem>

#include "driver/driver_fixture.h"
#include "driver/report_client.h"
#include "platform/state_dir.h"

namespace fs = std::filesystem;

using DriverQueue = DriverTest;

TEST_F(DriverQueue, OneEventAtATimeAndStopIsTheLast) {
  load();
  for (const char* name : {"one", "two", "three"}) ASSERT_TRUE(write_whole_file(file(name), "x"));
  ASSERT_TRUE(pump([&] { return count(OP_CREATE, "", file("three")) == 1; }));
  EXPECT_EQ(count(OP_CREATE, "", file("one")) + count(OP_CREATE, "", file("two")), 2);
  // The event taken last is out until the next take acknowledges it.
  EXPECT_EQ(eq_drain(0), 1u);
  FileEvent e;
  EXPECT_FALSE(eq_take(&e, 0));
  EXPECT_EQ(eq_drain(0), 0u);
  // The stop drops what is queued, and nothing follows it.
  FileEvent queued{OP_CREATE, "", "/x"};
  eq_push(&queued);
  EXPECT_EQ(eq_waiting(), 1u);
  drv_stop();
  ASSERT_TRUE(eq_take(&e, 5000));
  EXPECT_EQ(e.operation, OP_STOP);
  FileEvent late{OP_CREATE, "", "/y"};
  eq_push(&late);
  EXPECT_FALSE(eq_take(&e, 0));
  EXPECT_EQ(eq_drain(0), 0u);
}

TEST_F(DriverQueue, FullQueueLosesEventsAndDrainCountsWhatIsLeft) {
  load();
  for (size_t i = 0; i < kEventQueueMax + 10; ++i) {
    FileEvent e;
    e.operation = OP_CREATE;
    e.target = "/x/" + std::to_string(i);
    eq_push(&e);
  }
  EXPECT_EQ(eq_waiting(), kEventQueueMax);
  // A consumer that has begun and then stalls: the drain waits its bound.
  FileEvent e;
  ASSERT_TRUE(eq_take(&e, 0));
  EXPECT_EQ(e.target, "/x/0");
  EXPECT_EQ(eq_drain(10), kEventQueueMax);  // the rest queued, one out
}

TEST_F(DriverQueue, OpenFailsSayingWhyWhenNoRootCanBeWatched) {
  struct Row {
    std::string roots;
    int error;
    const char* said;
  };
  ASSERT_TRUE(write_whole_file(file("plain"), "x"));
  const Row rows[] = {
      {file("plain"), ENOTDIR, "plain"},  // a file is no folder to watch
      {qb_state_dir(), EPERM, "state"},   // the state folder is never a root
  };
  for (const Row& row : rows) {
    set_roots(row.roots);
    std::string cause;
    EXPECT_EQ(drv_open(&cause), row.error) << row.roots;
    EXPECT_NE(cause.find("no watch root can be watched"), std::string::npos) << cause;
    EXPECT_NE(cause.find(row.said), std::string::npos) << cause;
  }
  // One root that cannot be watched leaves the others.
  set_roots(root_ + "/missing:" + root_);
  load();
  ASSERT_TRUE(write_whole_file(file("still"), "x"));
  EXPECT_TRUE(wait_created(file("still")));
  drv_close();
  // One not there yet is waited for, even the only one, and watched once made.
  set_roots(root_ + "/missing");
  load();
  fs::create_directories(file("missing/in"));
  ASSERT_TRUE(write_whole_file(file("missing/in/made"), "x"));
  EXPECT_TRUE(wait_created(file("missing/in/made")));
  ASSERT_TRUE(write_whole_file(file("missing/in/later"), "x"));
  EXPECT_TRUE(wait_created(file("missing/in/later")));
}

TEST_F(DriverQueue, OneOpenAtATimeAndCloseEndsWatching) {
  load();
  std::string cause;
  EXPECT_EQ(drv_open(&cause), EBUSY);
  const std::string socket = qb_state_path(kReportSocketName);
  struct stat st;
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  drv_close();
  loaded_ = false;
  EXPECT_NE(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(qb_report_copy(file("x").c_str(), file("y").c_str()), 0);
  // Opened again, it watches again, and what the closed one saw is gone.
  load();
  ASSERT_TRUE(write_whole_file(file("again"), "x"));
  EXPECT_TRUE(wait_created(file("again")));
  EXPECT_EQ(count(OP_CREATE, "", file("plain")), 0);
}
