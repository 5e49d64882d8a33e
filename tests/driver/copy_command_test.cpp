// qbnote cp: the copy itself, and its report to a running driver.
#include <chrono>
#include <sys/stat.h>

#include "driver/driver_fixture.h"
#include "notes/qbnote_run.h"

namespace {

class CopyCommand : public QbnoteTest {
 protected:
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    SleepEx(0, TRUE);
    ::unsetenv("QB_HOME");
    QbnoteTest::TearDown();
  }

  // Loads the driver over files/ with the state folder the runs use.
  void start_monitor() {
    g_log = HandlerLog{};
    ::setenv("QB_HOME", home_.c_str(), 1);
    set_watch_roots(files_);
    qb_driver_install();
    device_ = open_driver();
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    ULONG_PTR handler = reinterpret_cast<ULONG_PTR>(&test_handler);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device_, IOCTL_REGISTER_HANDLER, &handler, sizeof handler, nullptr, 0, &returned,
                                nullptr));
  }

  // Receives and acknowledges records until a copy from `source` to
  // `target` came, or five seconds passed.
  bool wait_copy(const std::string& source, const std::string& target) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t acked = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      for (; acked < g_log.records.size(); ++acked) {
        Received& r = g_log.records[acked];
        if (r.operation == OP_COPY && r.source == source && r.target == target) return true;
        r.address->operation = 0;
        ULONG_PTR address = reinterpret_cast<ULONG_PTR>(r.address);
        DWORD returned = 0;
        DeviceIoControl(device_, IOCTL_ACKNOWLEDGE, &address, sizeof address, nullptr, 0, &returned, nullptr);
      }
      SleepEx(100, TRUE);
    }
    return false;
  }

  HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(CopyCommand, CopiesContentsModeAndTimesAndSaysWhenNoMonitorRuns) {
  const std::string src = make("src.txt");
  ASSERT_TRUE(write_whole_file(src, "contents\n"));
  ASSERT_EQ(::chmod(src.c_str(), 0640), 0);
  const timespec times[2] = {{1000000000, 5}, {1100000000, 7}};
  ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
  const std::string dst = files_ + "/dst.txt";
  QbRun r = run({"cp", src, dst});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("no Monitor is running"), std::string::npos) << r.err;
  EXPECT_EQ(read_whole_file(dst), "contents\n");
  struct stat st;
  ASSERT_EQ(::stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 7);
}

TEST_F(CopyCommand, CopiesIntoAFolderUnderTheSourceName) {
  const std::string src = make("a/name");
  ASSERT_TRUE(write_whole_file(src, "x"));
  const std::string dir = make("b/");
  EXPECT_EQ(run({"cp", src, dir}).status, 0);
  EXPECT_EQ(read_whole_file(dir + "/name"), "x");
}

TEST_F(CopyCommand, RefusesFoldersAndTheSameFile) {
  const std::string dir = make("folder/");
  QbRun r = run({"cp", dir, files_ + "/other"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
  struct stat st;
  EXPECT_NE(::stat((files_ + "/other").c_str(), &st), 0);
  const std::string f = make("same");
  ASSERT_TRUE(write_whole_file(f, "keep"));
  r = run({"cp", f, files_ + "/./same"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(read_whole_file(f), "keep");
  EXPECT_EQ(run({"cp", files_ + "/absent", files_ + "/x"}).status, 2);
}

TEST_F(CopyCommand, ARunningDriverReceivesTheCopy) {
  const std::string src = make("with-note");
  ASSERT_TRUE(write_whole_file(src, "x"));
  start_monitor();
  QbRun r = run({"cp", src, files_ + "/copied"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(wait_copy(src, files_ + "/copied"));
}

}  // namespace
