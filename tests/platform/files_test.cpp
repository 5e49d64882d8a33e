// CopyFileA, GetFileAttributesA and DeleteFileA: what they leave on disk, and
// the errors they give.
#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

class Files : public ::testing::Test {
 protected:
  std::string f(const char* name) const { return dir_.file(name); }
  int entries() const {  // everything in the folder, temporary files included
    int n = 0;
    DIR* d = ::opendir(dir_.path().c_str());
    while (struct dirent* e = ::readdir(d)) n += e->d_name[0] != '.' || (e->d_name[1] != '\0' && e->d_name[1] != '.');
    ::closedir(d);
    return n;
  }
  TempDir dir_;
};

TEST_F(Files, CopyReplacesTheTargetWithContentsAndMode) {
  std::string big(300 * 1024 + 17, '\0');
  std::mt19937 rng(7);
  for (char& c : big) c = static_cast<char>(rng());
  ASSERT_TRUE(write_whole_file(f("qb.db"), big));
  ::chmod(f("qb.db").c_str(), 0640);
  ASSERT_TRUE(write_whole_file(f("qbbak.db"), "old and longer than nothing"));
  ASSERT_TRUE(CopyFileA(f("qb.db").c_str(), f("qbbak.db").c_str(), FALSE));
  EXPECT_EQ(read_whole_file(f("qbbak.db")), big);
  struct stat st;
  ASSERT_EQ(::stat(f("qbbak.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(), 2);  // no temporary file left behind
}

TEST_F(Files, FailIfExistsKeepsTheTarget) {
  ASSERT_TRUE(write_whole_file(f("a"), "new"));
  ASSERT_TRUE(write_whole_file(f("b"), "old"));
  EXPECT_FALSE(CopyFileA(f("a").c_str(), f("b").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EEXIST));
  EXPECT_EQ(read_whole_file(f("b")), "old");
  EXPECT_TRUE(CopyFileA(f("a").c_str(), f("c").c_str(), TRUE));
  EXPECT_EQ(read_whole_file(f("c")), "new");
  EXPECT_EQ(entries(), 3);
}

TEST_F(Files, FailedCopyLeavesTheTargetAsItWas) {
  ASSERT_TRUE(write_whole_file(f("b"), "old"));
  EXPECT_FALSE(CopyFileA(f("missing").c_str(), f("b").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
  EXPECT_FALSE(CopyFileA(dir_.path().c_str(), f("b").c_str(), FALSE));  // a folder is no source
  EXPECT_EQ(read_whole_file(f("b")), "old");
  EXPECT_FALSE(CopyFileA(f("b").c_str(), f("nofolder/x").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
  EXPECT_EQ(entries(), 1);
}

TEST_F(Files, OpenTablesAreSharedAsOnWindows) {
  ASSERT_TRUE(write_whole_file(f("src"), "source"));
  ASSERT_TRUE(write_whole_file(f("dst"), "target"));
  // A target that some program has open (its flock) is not replaced.
  int held = ::open(f("dst").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_SH), 0);
  EXPECT_FALSE(CopyFileA(f("src").c_str(), f("dst").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EWOULDBLOCK));
  ::close(held);
  EXPECT_EQ(read_whole_file(f("dst")), "target");
  // A source held exclusively cannot be read; a shared one can.
  int src = ::open(f("src").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(src, LOCK_EX), 0);
  EXPECT_FALSE(CopyFileA(f("src").c_str(), f("dst").c_str(), FALSE));
  ASSERT_EQ(::flock(src, LOCK_SH), 0);
  EXPECT_TRUE(CopyFileA(f("src").c_str(), f("dst").c_str(), FALSE));
  ::close(src);
  EXPECT_EQ(read_whole_file(f("dst")), "source");
}

TEST_F(Files, AttributesOfFilesAndFolders) {
  EXPECT_EQ(GetFileAttributesA(f("missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
  EXPECT_EQ(GetFileAttributesA(dir_.path().c_str()), FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(write_whole_file(f("plain"), "x"));
  EXPECT_EQ(GetFileAttributesA(f("plain").c_str()), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(write_whole_file(f(".hidden"), "x"));
  EXPECT_EQ(GetFileAttributesA(f(".hidden").c_str()), FILE_ATTRIBUTE_HIDDEN);
  ::chmod(f("plain").c_str(), 0444);
  EXPECT_EQ(GetFileAttributesA(f("plain").c_str()), FILE_ATTRIBUTE_READONLY);
}

TEST_F(Files, DeleteRemovesFilesOnly) {
  ASSERT_TRUE(write_whole_file(f("gone"), "x"));
  EXPECT_TRUE(DeleteFileA(f("gone").c_str()));
  EXPECT_EQ(GetFileAttributesA(f("gone").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(DeleteFileA(f("gone").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
  ASSERT_EQ(::mkdir(f("sub").c_str(), 0700), 0);
  EXPECT_FALSE(DeleteFileA(f("sub").c_str()));
  EXPECT_EQ(GetFileAttributesA(f("sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace
