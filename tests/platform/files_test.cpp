// qb_copy_file: what it leaves on disk, and the errors it gives.
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
  ASSERT_EQ(qb_copy_file(f("qb.db").c_str(), f("qbbak.db").c_str(), false), 0);
  EXPECT_EQ(read_whole_file(f("qbbak.db")), big);
  struct stat st;
  ASSERT_EQ(::stat(f("qbbak.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(), 2);  // no temporary file left behind
}

TEST_F(Files, FailedCopiesLeaveTheTargetAsItWas) {
  ASSERT_TRUE(write_whole_file(f("a"), "new"));
  ASSERT_TRUE(write_whole_file(f("b"), "old"));
  struct Row {
    std::string from, to;
    bool fail_if_exists;
    int rc;
  };
  for (const Row& r : {Row{f("a"), f("b"), true, EEXIST}, Row{f("missing"), f("b"), false, ENOENT},
                       Row{dir_.path(), f("b"), false, EISDIR},  // a folder is no source
                       Row{f("b"), f("nofolder/x"), false, ENOENT}}) {
    EXPECT_EQ(qb_copy_file(r.from.c_str(), r.to.c_str(), r.fail_if_exists), r.rc) << r.from << " -> " << r.to;
  }
  EXPECT_EQ(read_whole_file(f("b")), "old");
  EXPECT_EQ(entries(), 2);  // no temporary file left behind
  EXPECT_EQ(qb_copy_file(f("a").c_str(), f("c").c_str(), true), 0);
  EXPECT_EQ(read_whole_file(f("c")), "new");
}

TEST_F(Files, FilesOtherProgramsHoldAreLeftAlone) {
  ASSERT_TRUE(write_whole_file(f("src"), "source"));
  ASSERT_TRUE(write_whole_file(f("dst"), "target"));
  // A target that some program has open (its flock) is not replaced.
  int held = ::open(f("dst").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_SH), 0);
  EXPECT_EQ(qb_copy_file(f("src").c_str(), f("dst").c_str(), false), EWOULDBLOCK);
  ::close(held);
  EXPECT_EQ(read_whole_file(f("dst")), "target");
  // A source held exclusively cannot be read; a shared one can.
  int src = ::open(f("src").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(src, LOCK_EX), 0);
  EXPECT_EQ(qb_copy_file(f("src").c_str(), f("dst").c_str(), false), EWOULDBLOCK);
  ASSERT_EQ(::flock(src, LOCK_SH), 0);
  EXPECT_EQ(qb_copy_file(f("src").c_str(), f("dst").c_str(), false), 0);
  ::close(src);
  EXPECT_EQ(read_whole_file(f("dst")), "source");
}

}  // namespace
