// The state folder (which variable wins, made 0700, refused when another
// user owns it or can write it, naming the fix), the one canonical path
// form, and whole-file copies that leave nothing half done.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/canonical_path.h"
#include "platform/files.h"
#include "platform/state_dir.h"
#include "support/temp_dir.h"

namespace {

int mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Saves the variables the state folder depends on, and the current folder.
class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[PATH_MAX];
    ASSERT_NE(::realpath(tmp_.path().c_str(), buffer), nullptr);
    t_ = buffer;
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    cwd_ = buffer;
    for (const char* name : kNames) saved_.push_back(std::getenv(name) ? std::getenv(name) : "\x01");
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) saved_[i] == "\x01" ? ::unsetenv(kNames[i]) : ::setenv(kNames[i], saved_[i].c_str(), 1);
    (void)!::chdir(cwd_.c_str());
  }
  static constexpr const char* kNames[3] = {"QB_HOME", "XDG_STATE_HOME", "HOME"};
  std::vector<std::string> saved_;
  TempDir tmp_;
  std::string t_, cwd_;  // t_: the temporary folder, resolved
};

// A relative variable counts as unset; rows run in order.
TEST_F(Platform, TheStateFolderAndItsRefusals) {
  const struct {
    const char *qb_home, *xdg, *chmod_what;  // chmod_what: the folder (""), or a file in it, given `mode`
    int mode;
    bool other_owner;
    std::string dir, refusal;  // dir "" : refused with EPERM (or `error`)
    int error = EPERM;
  } rows[] = {
      {"/a/b/c", "/xdg", nullptr, 0, false, t_ + "/a/b/c"},  // QB_HOME wins
      {"", "/xdg", nullptr, 0, false, t_ + "/xdg/quibbet"}, {"", "", nullptr, 0, false, t_ + "/home/.local/state/quibbet"},
      {"rel/state", "/xdg", nullptr, 0, false, t_ + "/xdg/quibbet"},
      {"rel/state", "rel", nullptr, 0, false, t_ + "/home/.local/state/quibbet"},
      {"/file/below", "", nullptr, 0, false, "", "", ENOTDIR},
      {"/open", "", "", 0755, false, t_ + "/open"},  // keeps its mode
      {"/s", "", "", 0777, false, "", "chmod 700 " + t_ + "/s"}, {"/s", "", "", 0720, false, "", "chmod 700 " + t_ + "/s"},
      {"/s", "", "/registry.reg", 0622, false, t_ + "/s", "chmod 600 " + t_ + "/s/registry.reg"},
      {"/s", "", "", 0700, true, "", "chown"}, {"/s", "", "/registry.reg", 0600, true, t_ + "/s", "chown"},
  };
  ASSERT_TRUE(write_whole_file(t_ + "/file", "x"));
  ::setenv("HOME", (t_ + "/home").c_str(), 1);
  const mode_t umask_before = ::umask(0277);  // mkdir alone would give 0500
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.qb_home) + " " + r.xdg + " " + std::to_string(r.mode));
    if (r.other_owner && ::geteuid() != 0) continue;  // only root can give a file away
    ::setenv("QB_HOME", r.qb_home[0] == '/' ? (t_ + r.qb_home).c_str() : r.qb_home, 1);
    ::setenv("XDG_STATE_HOME", r.xdg[0] == '/' ? (t_ + r.xdg).c_str() : r.xdg, 1);
    if (r.chmod_what != nullptr) {
      const std::string what = t_ + r.qb_home + r.chmod_what;
      ASSERT_TRUE(::mkdir((t_ + r.qb_home).c_str(), 0700) == 0 || errno == EEXIST);
      if (*r.chmod_what != '\0') { ASSERT_TRUE(write_whole_file(what, "REGEDIT4\n")); }
      ASSERT_EQ(::chmod(what.c_str(), r.mode) | ::chown(what.c_str(), r.other_owner ? 65534 : ::geteuid(), -1), 0);
    }
    errno = 0;
    EXPECT_EQ(qb_state_dir(), r.dir);
    EXPECT_EQ(r.dir.empty() ? errno : r.error, r.error);
    const std::string refusal = qb_state_refusal();
    EXPECT_TRUE(r.refusal.empty() ? refusal.empty() : refusal.find(r.refusal) != std::string::npos) << refusal;
    if (!r.dir.empty() && r.chmod_what == nullptr) {
      EXPECT_EQ(mode_of(r.dir), 0700);  // made, and every missing parent of it, 0700
      EXPECT_EQ(mode_of(r.dir.substr(0, r.dir.find('/', t_.size() + 1))), 0700);
      EXPECT_EQ(qb_system_dir(), r.dir + "/system");
      EXPECT_EQ(mode_of(r.dir + "/system"), 0700);
    }
    if (r.chmod_what == nullptr) continue;
    if (!r.dir.empty() && *r.chmod_what == '\0') { EXPECT_EQ(mode_of(r.dir), r.mode); }
    ASSERT_EQ(::chown((t_ + r.qb_home + r.chmod_what).c_str(), ::geteuid(), -1), 0);
    ASSERT_EQ(::chmod((t_ + r.qb_home).c_str(), 0700), 0);
  }
  ::umask(umask_before);
  EXPECT_EQ(mode_of(t_ + "/xdg"), 0700);  // made only when it won
}

// Links in the folder part resolved, the last component kept as given
// (even a link), ".." physical, a gone folder normalized by its text.
TEST_F(Platform, TheCanonicalPathForm) {
  ASSERT_EQ(::mkdir((t_ + "/real").c_str(), 0700) | ::mkdir((t_ + "/real/sub").c_str(), 0700), 0);
  ASSERT_TRUE(write_whole_file(t_ + "/real/sub/file", "x"));
  ASSERT_EQ(::symlink("real", (t_ + "/via").c_str()) | ::symlink("sub/file", (t_ + "/real/file-link").c_str()), 0);
  ASSERT_EQ(::chdir((t_ + "/real/sub").c_str()), 0);
  const std::string r = t_ + "/real";
  const std::pair<std::string, std::string> rows[] = {
      {"file", r + "/sub/file"}, {"./../sub/file", r + "/sub/file"}, {"new", r + "/sub/new"}, {".", r + "/sub"},
      {"..", r}, {t_ + "/via/sub/file", r + "/sub/file"}, {t_ + "/via/sub/not-yet", r + "/sub/not-yet"},
      {t_ + "/via/sub/../sub/file", r + "/sub/file"}, {t_ + "/via", t_ + "/via"}, {t_ + "/via/file-link", r + "/file-link"},
      {r + "/sub/", r + "/sub"}, {t_ + "//real///sub//file", r + "/sub/file"}, {"/", "/"}, {"///", "/"},
      {t_ + "/via/sub/.", r + "/sub"}, {t_ + "/via/sub/..", r}, {t_ + "/via/gone/./x/../y//z/", t_ + "/via/gone/y/z"},
      {"/no-such-top/../../a/./b", "/a/b"}, {"/no-such-top/..", "/"}, {"", ""}};
  for (const auto& [in, out] : rows) EXPECT_EQ(qb_canonical_path(in.c_str()), out) << in;
  EXPECT_EQ(qb_canonical_path(nullptr), "");
  EXPECT_EQ(qb_normalized_path((t_ + "/via/./sub//file/").c_str()), t_ + "/via/sub/file");
  EXPECT_EQ(qb_normalized_path("/a/b/../../../c"), "/c");
  errno = 0;
  EXPECT_EQ(qb_normalized_path("relative/path"), "");
  EXPECT_EQ(errno, EINVAL);
}

// A copy replaces its target (contents and mode) or leaves it and no temporary file; flocked files are left alone.
TEST_F(Platform, WholeFileCopies) {
  auto f = [&](const char* name) { return t_ + "/" + name; };
  std::string big(300 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 2654435761u >> 13);
  ASSERT_TRUE(write_whole_file(f("a"), big) && write_whole_file(f("b"), "old"));
  ::chmod(f("a").c_str(), 0640);
  int source = ::open(f("a").c_str(), O_RDONLY), target = ::open(f("b").c_str(), O_RDONLY);
  const struct {
    std::string from, to;
    bool fail_if_exists;
    int source_lock, target_lock, rc;
  } rows[] = {{f("a"), f("b"), true, 0, 0, EEXIST}, {f("missing"), f("b"), false, 0, 0, ENOENT},
              {t_, f("b"), false, 0, 0, EISDIR}, {f("b"), f("nofolder/x"), false, 0, 0, ENOENT},
              {f("a"), f("b"), false, 0, LOCK_SH, EWOULDBLOCK}, {f("a"), f("b"), false, LOCK_EX, 0, EWOULDBLOCK},
              {f("a"), f("b"), false, LOCK_SH, 0, 0}, {f("a"), f("c"), true, 0, 0, 0}};
  for (const auto& r : rows) {
    ::flock(source, r.source_lock ? r.source_lock : LOCK_UN), ::flock(target, r.target_lock ? r.target_lock : LOCK_UN);
    EXPECT_EQ(qb_copy_file(r.from.c_str(), r.to.c_str(), r.fail_if_exists), r.rc) << r.from << " -> " << r.to;
    EXPECT_EQ(read_whole_file(f("b")), r.rc == 0 ? big : "old");
  }
  ::close(source), ::close(target);
  EXPECT_EQ(read_whole_file(f("c")), big);
  EXPECT_EQ(mode_of(f("b")), 0640);
  int entries = 0;  // a, b and c: no temporary file left behind
  DIR* d = ::opendir(t_.c_str());
  for (dirent* e; (e = ::readdir(d)) != nullptr;) entries += e->d_name[0] != '.';
  ::closedir(d);
  EXPECT_EQ(entries, 3);
}

}  // namespace
