// The device's side of the control protocol: loading, registration, one
// record at a time, acknowledgement, stop, close.
#include <cerrno>
#include <cstring>

#include "driver/driver_fixture.h"
#include "driver/report_client.h"
#include "platform/state_dir.h"

using DriverDelivery = DriverTest;

TEST_F(DriverDelivery, OneRecordAtATimeAndUnchangedUntilAcknowledged) {
  load();
  for (const char* name : {"one", "two", "three"}) ASSERT_TRUE(write_whole_file(file(name), "x"));
  ASSERT_TRUE(pump([] { return g_log.records.size() == 1; }, 5000, false));
  EventRecord before;
  std::memcpy(&before, g_log.records[0].address, sizeof before);
  // Two more events are waiting in the driver; neither may come yet.
  EXPECT_EQ(SleepEx(150, TRUE), 0u);
  ASSERT_EQ(g_log.records.size(), 1u);
  EXPECT_EQ(std::memcmp(&before, g_log.records[0].address, sizeof before), 0);
  for (size_t n = 2; n <= 3; ++n) {
    acknowledge(g_log.records[n - 2]);
    ASSERT_TRUE(pump([&] { return g_log.records.size() == n; }, 5000, false));
  }
  acknowledge(g_log.records[2]);
  EXPECT_EQ(g_log.max_outstanding, 1);
  EXPECT_EQ(count(OP_CREATE, "", file("one")) + count(OP_CREATE, "", file("two")) +
                count(OP_CREATE, "", file("three")),
            3);
}

TEST_F(DriverDelivery, StopIsAnsweredWithStopAndNothingFollows) {
  load();
  ASSERT_TRUE(control(IOCTL_STOP, nullptr, 0));
  ASSERT_TRUE(pump([] { return !g_log.records.empty(); }, 5000, false));
  ASSERT_EQ(g_log.records[0].operation, OP_STOP);
  acknowledge(g_log.records[0]);
  EXPECT_EQ(g_log.records[0].address->operation, OP_STOP);
  ASSERT_TRUE(write_whole_file(file("after-stop"), "x"));
  EXPECT_EQ(SleepEx(150, TRUE), 0u);
  EXPECT_EQ(g_log.records.size(), 1u);
}

TEST_F(DriverDelivery, StopWaitsForTheRecordOut) {
  load();
  ASSERT_TRUE(write_whole_file(file("pending"), "x"));
  ASSERT_TRUE(pump([] { return g_log.records.size() == 1; }, 5000, false));
  ASSERT_TRUE(control(IOCTL_STOP, nullptr, 0));
  EXPECT_EQ(SleepEx(100, TRUE), 0u);
  ASSERT_EQ(g_log.records.size(), 1u);
  acknowledge(g_log.records[0]);
  ASSERT_TRUE(pump([] { return g_log.records.size() == 2; }, 5000, false));
  EXPECT_EQ(g_log.records[1].operation, OP_STOP);
  acknowledge(g_log.records[1]);
}

TEST_F(DriverDelivery, EventsBeforeRegistrationWaitForTheHandler) {
  handle_ = open_device();
  ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(write_whole_file(file("early"), "x"));
  ULONG_PTR handler = reinterpret_cast<ULONG_PTR>(&test_handler);
  ASSERT_TRUE(control(IOCTL_REGISTER_HANDLER, &handler, sizeof handler));
  EXPECT_TRUE(wait_created(file("early")));
}

TEST_F(DriverDelivery, BadCallsAreRefusedWithTheirErrors) {
  load();
  uint32_t small = 1;
  EXPECT_FALSE(control(IOCTL_REGISTER_HANDLER, &small, sizeof small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DWORD no_token = 0xDEAD;
  EXPECT_FALSE(control(IOCTL_REGISTER_EVENT, &no_token, sizeof no_token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ULONG_PTR stranger = 0x1234;
  EXPECT_FALSE(control(IOCTL_ACKNOWLEDGE, &stranger, sizeof stranger));  // nothing is out
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(control(IOCTL_DRAIN, &stranger, sizeof stranger));  // the bound is 4 bytes
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(control(0x22001F, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  // The registrations the Monitor makes succeed.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD token = qb_event_token(event);
  EXPECT_TRUE(control(IOCTL_REGISTER_EVENT, &token, sizeof token));
  ULONG_PTR window = 0x5678;
  EXPECT_TRUE(control(IOCTL_REGISTER_WINDOW, &window, sizeof window));
  CloseHandle(event);
  // A wrong acknowledgement does not release the record that is out.
  ASSERT_TRUE(write_whole_file(file("a"), "x"));
  ASSERT_TRUE(write_whole_file(file("b"), "x"));
  ASSERT_TRUE(pump([] { return g_log.records.size() == 1; }, 5000, false));
  EXPECT_FALSE(control(IOCTL_ACKNOWLEDGE, &stranger, sizeof stranger));
  EXPECT_EQ(SleepEx(100, TRUE), 0u);
  EXPECT_EQ(g_log.records.size(), 1u);
}

TEST_F(DriverDelivery, LoadFailsWhenNoRootCanBeWatched) {
  set_roots(root_ + "/missing:" + root_ + "/also-missing");
  HANDLE h = open_device();
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
  // A file is no folder to watch.
  ASSERT_TRUE(write_whole_file(file("plain"), "x"));
  set_roots(file("plain"));
  EXPECT_EQ(open_device(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTDIR));
  // The state folder is never a root.
  set_roots(qb_state_dir());
  EXPECT_EQ(open_device(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPERM));
}

TEST_F(DriverDelivery, OneUnwatchableRootLeavesTheOthers) {
  set_roots(root_ + "/missing:" + root_);
  load();
  ASSERT_TRUE(write_whole_file(file("still"), "x"));
  EXPECT_TRUE(wait_created(file("still")));
}

TEST_F(DriverDelivery, OneOpenAtATimeAndCloseEndsWatching) {
  load();
  HANDLE second = open_device();
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 32u);  // sharing violation
  const std::string socket = qb_state_path(kReportSocketName);
  struct stat st;
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(CloseHandle(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  EXPECT_NE(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(qb_report_copy(file("x").c_str(), file("y").c_str()), 0);
  // Loaded again, it watches again.
  load();
  ASSERT_TRUE(write_whole_file(file("again"), "x"));
  EXPECT_TRUE(wait_created(file("again")));
}
