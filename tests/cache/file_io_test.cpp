// The POSIX FileIo slots: positioned reads and writes, create/open sharing,
// the working folder and boot id; byte-range locks: retries, conflicts
// between processes and two opens of one process, survival of unrelated
// closes, release on death (a child holds, the parent probes, over a pipe).
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/file_io.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

// A file of `size` bytes, byte i = i mod 253.
std::string pattern(int size) {
  std::string s(static_cast<size_t>(size), '\0');
  for (int i = 0; i < size; ++i) s[static_cast<size_t>(i)] = static_cast<char>(i % 253);
  return s;
}

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(write_whole_file(path_, pattern(4096))); }
  void TearDown() override {
    g_file_io = io_default_table();
    if (child_.pid > 0 && ::kill(child_.pid, SIGKILL) == 0) wait_child(child_);
  }
  // A child holds [offset, offset + length): it reports 'L', unlocks on 'U'
  // and reports 'u', ends on 'Q'.
  void hold_in_child(int32_t offset, int32_t length) {
    child_ = fork_child([this, offset, length](int in, int out) {
      int h = io_open(path_.c_str(), 1, 1);
      char c = 0;
      if (h < 0 || io_lock(h, offset, length, 1, 0, 0) != 1 || send_byte(out, 'L') != 1) return 2;
      if (recv_byte(in, &c) != 1 || c != 'U' || io_unlock(h, offset, length) != 1 || send_byte(out, 'u') != 1) return 5;
      return recv_byte(in, &c) == 1 && c == 'Q' && io_close(h) == 0 ? 0 : 8;
    });
    char c = 0;
    ASSERT_EQ(recv_byte(child_.from_child, &c), 1);
    ASSERT_EQ(c, 'L');
  }
  int finish_child() { return send_byte(child_.to_child, 'Q') == 1 ? wait_child(child_) : -9; }
  TempDir dir_;
  std::string path_ = dir_.file("p.dat");
  Child child_;
};

TEST_F(FileIoTest, PositionedReadsAndWrites) {
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  uint8_t buf[512];
  ASSERT_EQ(io_read_page(h, 3, 512, buf), 1);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(buf[i], (1536 + i) % 253) << i;
  // Reads running past the end fail with 30; negative offsets or lengths with EINVAL.
  struct Row {
    int32_t offset, length;
    int rc, error;
  };
  for (const Row& r : {Row{4096 - 512, 512, 1, 0}, Row{4000, 512, -1, kIoShortTransfer}, Row{4096, 1, -1, kIoShortTransfer},
                       Row{0, 0, 1, 0}, Row{-1, 1, -1, EINVAL}, Row{0, -1, -1, EINVAL}}) {
    io_os_error = 0;
    EXPECT_EQ(io_read_at(h, r.offset, r.length, buf), r.rc) << r.offset << "+" << r.length;
    EXPECT_EQ(io_os_error, r.error) << r.offset << "+" << r.length;
    io_os_error = 0;
    if (r.error == EINVAL) {
      EXPECT_EQ(io_write_at(h, r.offset, r.length, buf), -1);
    }
  }
  EXPECT_EQ(io_read_page(h, 8, 512, buf), -1);
  const uint8_t word[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(io_write_at(h, 50, 4, word), 1);
  for (int i = 0; i < 64; ++i) buf[i] = static_cast<uint8_t>(0xA0 ^ i);
  ASSERT_EQ(io_write_page(h, 70, 64, buf), 1);  // bytes 4480..4543, past the end
  ASSERT_EQ(io_flush(h), 1);
  int32_t size = 0;
  ASSERT_EQ(io_file_size(h, &size), 1);
  EXPECT_EQ(size, 4544);
  std::string want = pattern(4096) + std::string(384, '\0') + std::string(reinterpret_cast<char*>(buf), 64);
  want.replace(50, 4, "\xDE\xAD\xBE\xEF");
  EXPECT_EQ(read_whole_file(path_), want);  // the hole reads as zeros
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(io_close(h), -1);
  EXPECT_EQ(io_os_error, EBADF);
  EXPECT_EQ(io_file_size(h, &size), -1);
  EXPECT_EQ(size, -1);
}

TEST_F(FileIoTest, CreateOpenAndDelete) {
  const std::string path = dir_.file("new.dat");
  mode_t old_mask = ::umask(0);
  int h = io_create(path.c_str());
  ::umask(old_mask);
  ASSERT_GE(h, 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(io_write_at(h, 0, 1, "\x01"), 1);
  EXPECT_EQ(io_open(path.c_str(), 0, 1), -1);  // created not shared
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(io_create(path.c_str()), -1);
  EXPECT_EQ(io_os_error, EEXIST);
  EXPECT_EQ(read_whole_file(path), "\x01");  // not truncated
  EXPECT_EQ(io_open(dir_.file("none").c_str(), 1, 1), -1);
  EXPECT_EQ(io_os_error, ENOENT);

  // An unshared open excludes every other open; shared ones exclude an unshared one.
  int a = io_open(path.c_str(), 1, 0);
  ASSERT_GE(a, 0);
  EXPECT_EQ(io_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(io_open(path.c_str(), 0, 1), -1);
  EXPECT_EQ(io_close(a), 0);
  int s1 = io_open(path.c_str(), 1, 1), s2 = io_open(path.c_str(), 0, 1);
  ASSERT_TRUE(s1 >= 0 && s2 >= 0);
  EXPECT_EQ(io_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(io_write_at(s2, 0, 1, "z"), -1);  // read-only
  EXPECT_EQ(io_os_error, EBADF);
  EXPECT_EQ(io_close(s1), 0);
  EXPECT_EQ(io_close(s2), 0);
  EXPECT_EQ(io_delete(path.c_str()), 1);
  EXPECT_EQ(io_delete(path.c_str()), -1);
  EXPECT_EQ(io_os_error, ENOENT);
}

TEST_F(FileIoTest, WorkingFolderAndBootId) {
  char cwd[4096], got[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(io_current_dir(got, sizeof got), 1);
  EXPECT_STREQ(got, cwd);
  EXPECT_EQ(io_current_dir(got, 0), -1);
  EXPECT_EQ(io_os_error, ERANGE);
  // The kernel's boot id, a UUID in text, as 16 bytes.
  std::string text = read_whole_file("/proc/sys/kernel/random/boot_id");
  if (text.size() < 36) GTEST_SKIP() << "no boot id here";
  uint8_t id[16] = {};
  ASSERT_EQ(io_boot_id(id), 1);
  std::string hex;
  for (char ch : text)
    if (isxdigit(static_cast<unsigned char>(ch))) hex += ch;
  ASSERT_EQ(hex.size(), 32u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(id[i], std::stoi(hex.substr(2 * i, 2), nullptr, 16)) << i;
}

int g_sleeps = 0;

TEST_F(FileIoTest, HeldRangeGivesUpAfterTheGivenTries) {
  hold_in_child(100, 10);
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  g_file_io.sleep = [](int) { return ++g_sleeps, 1; };
  g_sleeps = 0;
  EXPECT_EQ(io_lock(h, 100, 10, io_lock_tries, io_lock_delay_ms, io_lock_limit_ms), -1);
  EXPECT_EQ(g_sleeps, io_lock_tries - 1);  // one try up front, a sleep before each further one
  g_sleeps = 0;
  EXPECT_EQ(io_lock(h, 105, 20, 3, 50, 10000), -1);  // overlaps the held range
  EXPECT_EQ(g_sleeps, 2);
  EXPECT_EQ(io_lock(h, 110, 10, 3, 50, 10000), 1);  // just past it
  EXPECT_EQ(g_sleeps, 2);
  // The holder lets go from inside the first sleep: the next try succeeds.
  static Child* holder = &child_;
  holder = &child_;
  g_file_io.sleep = [](int) {
    char c = 0;
    if (++g_sleeps == 1) send_byte(holder->to_child, 'U'), recv_byte(holder->from_child, &c);
    return 1;
  };
  g_sleeps = 0;
  EXPECT_EQ(io_lock(h, 100, 10, 25, 50, 10000), 1);
  EXPECT_EQ(g_sleeps, 1);
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(finish_child(), 0);
}

// Open-file-description locks: two opens in one process conflict, closing
// another descriptor of the file keeps them, a read-only descriptor locks too.
TEST_F(FileIoTest, LocksBelongToTheOpenNotTheProcess) {
  int a = io_open(path_.c_str(), 1, 1), b = io_open(path_.c_str(), 1, 1), ro = io_open(path_.c_str(), 0, 1);
  ASSERT_TRUE(a >= 0 && b >= 0 && ro >= 0);
  ASSERT_EQ(io_lock(a, 0, 16, 1, 0, 0), 1);
  EXPECT_EQ(io_lock(b, 8, 4, 1, 0, 0), -1);
  EXPECT_EQ(io_lock(a, 8, 4, 1, 0, 0), 1);  // the holder may lock again
  EXPECT_EQ(io_unlock(a, 0, 16), 1);
  EXPECT_EQ(io_lock(b, 8, 4, 1, 0, 0), 1);
  EXPECT_EQ(io_close(b), 0);  // closing b frees its range
  EXPECT_EQ(io_lock(ro, 300, 8, 1, 0, 0), 1);
  EXPECT_EQ(io_lock(a, 300, 8, 1, 0, 0), -1);
  EXPECT_EQ(io_unlock(ro, 300, 8), 1);
  ASSERT_EQ(io_lock(a, 300, 8, 1, 0, 0), 1);
  EXPECT_EQ(io_close(ro), 0);
  Child probe = fork_child([this](int, int) {
    int h = io_open(path_.c_str(), 1, 1);
    return h >= 0 && io_lock(h, 300, 8, 1, 0, 0) == -1 ? 0 : 1;
  });
  EXPECT_EQ(wait_child(probe), 0) << "another process sees the range held";
  EXPECT_EQ(io_close(a), 0);
}

TEST_F(FileIoTest, HolderKilledBySigkillFreesItsRange) {
  hold_in_child(512, 512);
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  EXPECT_EQ(io_lock(h, 600, 1, 1, 0, 0), -1);
  ASSERT_EQ(::kill(child_.pid, SIGKILL), 0);
  EXPECT_EQ(wait_child(child_), -1);
  EXPECT_EQ(io_lock(h, 512, 512, 1, 0, 0), 1);
  EXPECT_EQ(io_close(h), 0);
}

}  // namespace
