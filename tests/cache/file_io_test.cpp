// File access layer: positioned reads and writes, create/open sharing rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>

#include "cache/file_io.h"
#include "support/temp_dir.h"

namespace {

// --- positioned reads and writes ------------------------------------------

class FileIoTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (h_ >= 0) {
      EXPECT_EQ(io_close(h_), 0);
    }
  }
  // A file of `size` bytes where byte i is i mod 253, opened read-write.
  int open_pattern_file(const std::string& name, int size) {
    std::string s(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; ++i) s[static_cast<size_t>(i)] = static_cast<char>(i % 253);
    path_ = dir_.file(name);
    EXPECT_TRUE(write_whole_file(path_, s));
    h_ = io_open(path_.c_str(), 1, 1);
    return h_;
  }
  TempDir dir_;
  std::string path_;
  int h_ = -1;
};

TEST_F(FileIoTest, ReadPageThreeReadsBytes1536To2047) {
  ASSERT_GE(open_pattern_file("p.dat", 4096), 0);
  uint8_t buf[512];
  ASSERT_EQ(io_read_page(h_, 3, 512, buf), 1);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(buf[i], (1536 + i) % 253) << i;
}

TEST_F(FileIoTest, ShortReadFailsWith30) {
  ASSERT_GE(open_pattern_file("empty.dat", 0), 0);
  uint8_t buf[2];
  io_os_error = 0;
  EXPECT_EQ(io_read_at(h_, 0, 2, buf), -1);
  EXPECT_EQ(io_os_error, kIoShortTransfer);
}

TEST_F(FileIoTest, ReadRunningPastTheEndFailsWith30) {
  ASSERT_GE(open_pattern_file("p.dat", 1000), 0);
  uint8_t buf[512];
  EXPECT_EQ(io_read_page(h_, 1, 512, buf), -1);
  EXPECT_EQ(io_os_error, kIoShortTransfer);
  EXPECT_EQ(io_read_at(h_, 488, 512, buf), 1);
}

TEST_F(FileIoTest, WritesLandAtTheirOffsetAndGrowTheFile) {
  ASSERT_GE(open_pattern_file("p.dat", 100), 0);
  const uint8_t word[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(io_write_at(h_, 50, 4, word), 1);
  uint8_t page[64];
  for (int i = 0; i < 64; ++i) page[i] = static_cast<uint8_t>(0xA0 ^ i);
  ASSERT_EQ(io_write_page(h_, 3, 64, page), 1);  // bytes 192..255, past the end
  ASSERT_EQ(io_flush(h_), 1);
  int32_t size = 0;
  ASSERT_EQ(io_file_size(h_, &size), 1);
  EXPECT_EQ(size, 256);
  std::string all = read_whole_file(path_);
  ASSERT_EQ(all.size(), 256u);
  EXPECT_EQ(all.substr(50, 4), "\xDE\xAD\xBE\xEF");
  EXPECT_EQ(static_cast<uint8_t>(all[49]), 49);
  EXPECT_EQ(static_cast<uint8_t>(all[54]), 54);
  EXPECT_EQ(static_cast<uint8_t>(all[192]), 0xA0);
  EXPECT_EQ(static_cast<uint8_t>(all[255]), 0xA0 ^ 63);
  EXPECT_EQ(all[150], '\0');  // the hole reads as zeros
}

TEST_F(FileIoTest, NegativeOffsetIsRefused) {
  ASSERT_GE(open_pattern_file("p.dat", 100), 0);
  uint8_t b = 0;
  EXPECT_EQ(io_write_at(h_, -1, 1, &b), -1);
  EXPECT_EQ(io_read_at(h_, -1, 1, &b), -1);
  EXPECT_EQ(io_os_error, EINVAL);
}

TEST_F(FileIoTest, CloseReturnsZeroThenFailsOnTheSameHandle) {
  ASSERT_GE(open_pattern_file("p.dat", 10), 0);
  EXPECT_EQ(io_close(h_), 0);
  EXPECT_EQ(io_close(h_), -1);
  EXPECT_EQ(io_os_error, EBADF);
  int32_t size = 7;
  EXPECT_EQ(io_file_size(h_, &size), -1);
  EXPECT_EQ(size, -1);
  h_ = -1;
}

TEST_F(FileIoTest, CreateMakesAPrivateNewFileOnly) {
  std::string path = dir_.file("new.dat");
  mode_t old_mask = ::umask(0);
  int h = io_create(path.c_str());
  ::umask(old_mask);
  ASSERT_GE(h, 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  // Created for reading and writing, and not shared.
  const uint8_t b = 1;
  EXPECT_EQ(io_write_at(h, 0, 1, &b), 1);
  EXPECT_EQ(io_open(path.c_str(), 0, 1), -1);
  EXPECT_EQ(io_close(h), 0);

  EXPECT_EQ(io_create(path.c_str()), -1);
  EXPECT_EQ(io_os_error, EEXIST);
  EXPECT_EQ(read_whole_file(path), std::string(1, '\x01'));  // not truncated
}

TEST_F(FileIoTest, OpenOfAMissingFileFails) {
  EXPECT_EQ(io_open(dir_.file("none").c_str(), 1, 1), -1);
  EXPECT_EQ(io_os_error, ENOENT);
}

TEST_F(FileIoTest, ReadOnlyOpenCannotWrite) {
  std::string path = dir_.file("ro.dat");
  ASSERT_TRUE(write_whole_file(path, "abcd"));
  int h = io_open(path.c_str(), 0, 1);
  ASSERT_GE(h, 0);
  uint8_t b = 'z';
  EXPECT_EQ(io_write_at(h, 0, 1, &b), -1);
  EXPECT_EQ(io_os_error, EBADF);
  EXPECT_EQ(io_read_at(h, 3, 1, &b), 1);
  EXPECT_EQ(b, 'd');
  EXPECT_EQ(io_close(h), 0);
}

TEST_F(FileIoTest, UnsharedOpenExcludesEveryOtherOpen) {
  std::string path = dir_.file("x.dat");
  ASSERT_TRUE(write_whole_file(path, "abc"));
  int a = io_open(path.c_str(), 1, 0);
  ASSERT_GE(a, 0);
  EXPECT_EQ(io_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(io_open(path.c_str(), 0, 1), -1);
  EXPECT_EQ(io_close(a), 0);

  int s1 = io_open(path.c_str(), 1, 1);
  int s2 = io_open(path.c_str(), 0, 1);
  EXPECT_GE(s1, 0);
  EXPECT_GE(s2, 0);
  EXPECT_EQ(io_open(path.c_str(), 1, 0), -1);
  EXPECT_EQ(io_close(s1), 0);
  EXPECT_EQ(io_close(s2), 0);
  int b = io_open(path.c_str(), 1, 0);
  EXPECT_GE(b, 0);
  EXPECT_EQ(io_close(b), 0);
}

TEST_F(FileIoTest, DeleteRemovesTheFileOnce) {
  std::string path = dir_.file("gone.dat");
  ASSERT_TRUE(write_whole_file(path, "x"));
  EXPECT_EQ(io_delete(path.c_str()), 1);
  EXPECT_EQ(io_delete(path.c_str()), -1);
  EXPECT_EQ(io_os_error, ENOENT);
}

}  // namespace
