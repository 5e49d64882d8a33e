// qbnote cp: the copy itself, and its report to a running driver.
#include <chrono>
#include <sys/stat.h>

#include "driver/driver_fixture.h"
#include "notes/qbnote_run.h"

namespace {

class CopyCommand : public QbnoteTest {
 protected:
  void TearDown() override {
    if (loaded_) drv_close();
    ::unsetenv("QB_HOME");
    QbnoteTest::TearDown();
  }

  // Opens the driver over files/ with the state folder the runs use.
  void start_monitor() {
    ::setenv("QB_HOME", home_.c_str(), 1);
    set_watch_roots(files_);
    std::string cause;
    ASSERT_EQ(drv_open(&cause), 0) << cause;
    loaded_ = true;
  }

  // Takes events until a copy from `source` to `target` came, or five
  // seconds passed.
  bool wait_copy(const std::string& source, const std::string& target) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      FileEvent e;
      if (left.count() <= 0 || !eq_take(&e, static_cast<int>(left.count()))) return false;
      if (e.operation == OP_COPY && e.source == source && e.target == target) return true;
    }
  }

  bool loaded_ = false;
};

TEST_F(CopyCommand, CopiesContentsModeTimesAndTheNoteWhenNoMonitorRuns) {
  const std::string src = make("src.txt");
  ASSERT_TRUE(write_whole_file(src, "contents\n"));
  ASSERT_EQ(run({"set", src, "the source's"}).status, 0);
  ASSERT_EQ(::chmod(src.c_str(), 0640), 0);
  const timespec times[2] = {{1000000000, 5}, {1100000000, 7}};
  ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
  const std::string dst = files_ + "/dst.txt";
  QbRun r = run({"cp", src, dst});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run({"get", dst}).out, "the source's\n");
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
