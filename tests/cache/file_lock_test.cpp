// Byte-range locks: retries, conflicts between processes and between two
// opens in one process, survival of unrelated closes, release on death.
//
// A child process holds a range and the parent probes it; the two take turns
// over a pipe (tests/support/fork_helper.h), one byte per step.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <unistd.h>

#include "cache/file_io.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

int g_sleeps = 0;
int count_sleep(int) {
  ++g_sleeps;
  return 1;
}
int count_and_sleep(int ms) {
  ++g_sleeps;
  return io_default_table().sleep(ms);
}

// Child side: open the file, lock [offset, offset + length), report 'L',
// then wait for 'U' to unlock and report 'u', then wait for 'Q' to quit.
Child spawn_holder(const std::string& path, int32_t offset, int32_t length) {
  return fork_child([path, offset, length](int in, int out) {
    int h = io_open(path.c_str(), 1, 1);
    if (h < 0) return 2;
    if (io_lock(h, offset, length, 1, 0, 0) != 1) return 3;
    if (send_byte(out, 'L') != 1) return 4;
    char c = 0;
    if (recv_byte(in, &c) != 1 || c != 'U') return 5;
    if (io_unlock(h, offset, length) != 1) return 6;
    if (send_byte(out, 'u') != 1) return 7;
    if (recv_byte(in, &c) != 1 || c != 'Q') return 8;
    io_close(h);
    return 0;
  });
}

class FileLock : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("locks.dat");
    ASSERT_TRUE(write_whole_file(path_, std::string(4096, 'x')));
    g_sleeps = 0;
  }
  void TearDown() override {
    g_file_io = io_default_table();
    if (child_.pid > 0) {
      ::kill(child_.pid, SIGKILL);
      wait_child(child_);
    }
  }
  // Starts a holder of [offset, offset + length) and waits until it holds it.
  void hold_in_child(int32_t offset, int32_t length) {
    child_ = spawn_holder(path_, offset, length);
    ASSERT_GT(child_.pid, 0);
    char c = 0;
    ASSERT_EQ(recv_byte(child_.from_child, &c), 1);
    ASSERT_EQ(c, 'L');
  }
  void release_in_child() {
    char c = 0;
    ASSERT_EQ(send_byte(child_.to_child, 'U'), 1);
    ASSERT_EQ(recv_byte(child_.from_child, &c), 1);
    ASSERT_EQ(c, 'u');
  }
  int finish_child() {
    send_byte(child_.to_child, 'Q');
    return wait_child(child_);
  }

  TempDir dir_;
  std::string path_;
  Child child_;
};

TEST_F(FileLock, HeldRangeGivesUpAfterExactlyTheGivenTries) {
  hold_in_child(100, 10);
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  g_file_io.sleep = count_sleep;
  // One try up front, then a sleep before each further try.
  EXPECT_EQ(io_lock(h, 100, 10, io_lock_tries, io_lock_delay_ms, io_lock_limit_ms), -1);
  EXPECT_EQ(g_sleeps, io_lock_tries - 1);
  EXPECT_EQ(io_lock_tries, 25);
  g_sleeps = 0;
  EXPECT_EQ(io_lock(h, 105, 20, 3, 50, 10000), -1);  // overlaps the held range
  EXPECT_EQ(g_sleeps, 2);
  g_sleeps = 0;
  EXPECT_EQ(io_lock(h, 110, 10, 3, 50, 10000), 1);  // just past it
  EXPECT_EQ(g_sleeps, 0);
  EXPECT_EQ(io_unlock(h, 110, 10), 1);

  release_in_child();
  g_sleeps = 0;
  EXPECT_EQ(io_lock(h, 100, 10, 3, 50, 10000), 1);
  EXPECT_EQ(g_sleeps, 0);
  EXPECT_EQ(io_unlock(h, 100, 10), 1);
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(finish_child(), 0);
}

TEST_F(FileLock, TimeLimitCutsTheRetriesShort) {
  hold_in_child(0, 1);
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  g_file_io.sleep = count_and_sleep;
  // 40 ms sleeps against a 100 ms limit: the third sleep at the latest
  // carries it past the limit, long before 25 tries.
  EXPECT_EQ(io_lock(h, 0, 1, 25, 40, 100), -1);
  EXPECT_GE(g_sleeps, 1);
  EXPECT_LE(g_sleeps, 3);
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(finish_child(), 5);  // it was never told to unlock
}

TEST_F(FileLock, LockSucceedsOnARetryOnceTheHolderLetsGo) {
  hold_in_child(200, 4);
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  // The holder is told to unlock from inside the parent's first sleep.
  static Child* holder = nullptr;
  holder = &child_;
  g_file_io.sleep = [](int) {
    ++g_sleeps;
    char c = 0;
    if (g_sleeps == 1) {
      send_byte(holder->to_child, 'U');
      recv_byte(holder->from_child, &c);
    }
    return 1;
  };
  EXPECT_EQ(io_lock(h, 200, 4, 25, 50, 10000), 1);
  EXPECT_EQ(g_sleeps, 1);
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(finish_child(), 0);
}

TEST_F(FileLock, TwoOpensInOneProcessConflict) {
  int a = io_open(path_.c_str(), 1, 1);
  int b = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_EQ(io_lock(a, 0, 16, 1, 0, 0), 1);
  EXPECT_EQ(io_lock(b, 8, 4, 1, 0, 0), -1);
  EXPECT_EQ(io_lock(a, 8, 4, 1, 0, 0), 1);  // the holder may lock again
  EXPECT_EQ(io_unlock(a, 0, 16), 1);
  EXPECT_EQ(io_lock(b, 8, 4, 1, 0, 0), 1);
  EXPECT_EQ(io_lock(a, 0, 16, 1, 0, 0), -1);
  EXPECT_EQ(io_close(b), 0);  // closing b frees its range
  EXPECT_EQ(io_lock(a, 0, 16, 1, 0, 0), 1);
  EXPECT_EQ(io_close(a), 0);
}

TEST_F(FileLock, ClosingAnotherDescriptorKeepsTheLock) {
  int a = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(a, 0);
  ASSERT_EQ(io_lock(a, 300, 8, 1, 0, 0), 1);
  int other = io_open(path_.c_str(), 0, 1);
  ASSERT_GE(other, 0);
  ASSERT_EQ(io_close(other), 0);

  int b = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(b, 0);
  EXPECT_EQ(io_lock(b, 300, 8, 1, 0, 0), -1);
  EXPECT_EQ(io_close(b), 0);
  // And another process still sees it held.
  Child probe = fork_child([this](int, int) {
    int h = io_open(path_.c_str(), 1, 1);
    if (h < 0) return 2;
    return io_lock(h, 300, 8, 1, 0, 0) == -1 ? 0 : 1;
  });
  EXPECT_EQ(wait_child(probe), 0);
  EXPECT_EQ(io_close(a), 0);
}

TEST_F(FileLock, HolderKilledBySigkillFreesItsRange) {
  hold_in_child(512, 512);
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  EXPECT_EQ(io_lock(h, 600, 1, 1, 0, 0), -1);
  ASSERT_EQ(::kill(child_.pid, SIGKILL), 0);
  EXPECT_EQ(wait_child(child_), -1);  // died by the signal
  EXPECT_EQ(io_lock(h, 512, 512, 1, 0, 0), 1);
  EXPECT_EQ(io_close(h), 0);
}

}  // namespace
