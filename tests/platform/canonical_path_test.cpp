// The canonical path form: relative paths, symbolic links in the folder part
// and as the last component, trailing slashes, "." and "..", and paths whose
// folder is already gone.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/canonical_path.h"
#include "support/temp_dir.h"

namespace {

// A temporary folder, resolved (TMPDIR may itself lie behind a link), with
// real/sub/file, a link "via" to real, and a link "file-link" to the file.
class CanonicalPath : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[PATH_MAX];
    ASSERT_NE(::realpath(tmp_.path().c_str(), buffer), nullptr);
    root_ = buffer;
    ASSERT_EQ(::mkdir((root_ + "/real").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root_ + "/real/sub").c_str(), 0700), 0);
    ASSERT_TRUE(write_whole_file(root_ + "/real/sub/file", "x"));
    ASSERT_EQ(::symlink("real", (root_ + "/via").c_str()), 0);
    ASSERT_EQ(::symlink("sub/file", (root_ + "/real/file-link").c_str()), 0);
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    saved_cwd_ = buffer;
  }
  void TearDown() override { (void)::chdir(saved_cwd_.c_str()); }

  std::string canon(const std::string& p) { return qb_canonical_path(p.c_str()); }

  TempDir tmp_;
  std::string root_;
  std::string saved_cwd_;
};

TEST_F(CanonicalPath, RelativePathsAreTakenFromTheCurrentFolder) {
  ASSERT_EQ(::chdir((root_ + "/real").c_str()), 0);
  EXPECT_EQ(canon("sub/file"), root_ + "/real/sub/file");
  EXPECT_EQ(canon("./sub/../sub/file"), root_ + "/real/sub/file");
  EXPECT_EQ(canon("new-file"), root_ + "/real/new-file");
}

TEST_F(CanonicalPath, LinksInTheFolderPartAreResolved) {
  EXPECT_EQ(canon(root_ + "/via/sub/file"), root_ + "/real/sub/file");
  EXPECT_EQ(canon(root_ + "/via/sub/not-yet-there"), root_ + "/real/sub/not-yet-there");
  // ".." inside the folder part is physical: via/.. is root_, via/sub/.. is real.
  EXPECT_EQ(canon(root_ + "/via/sub/../sub/file"), root_ + "/real/sub/file");
}

TEST_F(CanonicalPath, TheLastComponentIsKeptAsGivenEvenWhenALink) {
  EXPECT_EQ(canon(root_ + "/via"), root_ + "/via");
  EXPECT_EQ(canon(root_ + "/via/file-link"), root_ + "/real/file-link");
}

TEST_F(CanonicalPath, TrailingAndRepeatedSlashesGo) {
  EXPECT_EQ(canon(root_ + "/real/sub/"), root_ + "/real/sub");
  EXPECT_EQ(canon(root_ + "//real///sub//file"), root_ + "/real/sub/file");
  EXPECT_EQ(canon("/"), "/");
  EXPECT_EQ(canon("///"), "/");
}

TEST_F(CanonicalPath, DotAndDotDotAsLastComponentNameTheFolder) {
  EXPECT_EQ(canon(root_ + "/via/sub/."), root_ + "/real/sub");
  EXPECT_EQ(canon(root_ + "/via/sub/.."), root_ + "/real");
  ASSERT_EQ(::chdir((root_ + "/real/sub").c_str()), 0);
  EXPECT_EQ(canon("."), root_ + "/real/sub");
  EXPECT_EQ(canon(".."), root_ + "/real");
}

TEST_F(CanonicalPath, AGoneFolderIsNormalizedByTextWithoutResolvingLinks) {
  // The folder "gone" does not exist: "via" stays a link name.
  EXPECT_EQ(canon(root_ + "/via/gone/./x/../y//z/"), root_ + "/via/gone/y/z");
  EXPECT_EQ(canon("/no-such-top/../../a/./b"), "/a/b");
  EXPECT_EQ(canon("/no-such-top/.."), "/");
}

TEST_F(CanonicalPath, EmptyPathIsRefused) {
  errno = 0;
  EXPECT_EQ(qb_canonical_path(""), "");
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(qb_canonical_path(nullptr), "");
}

TEST_F(CanonicalPath, NormalizedPathTakesOnlyAbsolutePathsAndNeverResolves) {
  EXPECT_EQ(qb_normalized_path((root_ + "/via/./sub//file/").c_str()), root_ + "/via/sub/file");
  EXPECT_EQ(qb_normalized_path("/a/b/../../../c"), "/c");
  errno = 0;
  EXPECT_EQ(qb_normalized_path("relative/path"), "");
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
