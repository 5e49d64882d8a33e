// The state folder: which environment variable wins, creation with mode 0700,
// and the system folder below it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/state_dir.h"
#include "state_home.h"

namespace {

int mode_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

// Saves the three variables the state folder depends on and puts them back.
class StateDirEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      const char* v = std::getenv(kNames[i]);
      had_[i] = v != nullptr;
      saved_[i] = v != nullptr ? v : "";
    }
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) {
      if (had_[i]) ::setenv(kNames[i], saved_[i].c_str(), 1);
      else ::unsetenv(kNames[i]);
    }
  }
  static constexpr const char* kNames[3] = {"QB_HOME", "XDG_STATE_HOME", "HOME"};
  bool had_[3] = {};
  std::string saved_[3];
  TempDir tmp_;
};

TEST_F(StateDirEnv, QbHomeWinsAndMissingFoldersAreMade0700) {
  std::string home = tmp_.path() + "/a/b/c";
  ::setenv("QB_HOME", home.c_str(), 1);
  ::setenv("XDG_STATE_HOME", (tmp_.path() + "/xdg").c_str(), 1);
  mode_t old = ::umask(0277);  // mkdir alone would give 0500
  EXPECT_EQ(qb_state_dir(), home);
  ::umask(old);
  EXPECT_EQ(mode_of(tmp_.path() + "/a"), 0700);
  EXPECT_EQ(mode_of(home), 0700);
  EXPECT_EQ(qb_state_path("win.ini"), home + "/win.ini");
  EXPECT_EQ(mode_of(tmp_.path() + "/xdg"), -1);  // not touched
}

TEST_F(StateDirEnv, ExistingFolderKeepsItsMode) {
  std::string home = tmp_.path() + "/open";
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ::chmod(home.c_str(), 0755);
  ::setenv("QB_HOME", home.c_str(), 1);
  EXPECT_EQ(qb_state_dir(), home);
  EXPECT_EQ(mode_of(home), 0755);
}

TEST_F(StateDirEnv, EmptyQbHomeFallsToXdgThenHome) {
  ::setenv("QB_HOME", "", 1);
  ::setenv("XDG_STATE_HOME", (tmp_.path() + "/xdg").c_str(), 1);
  EXPECT_EQ(qb_state_dir(), tmp_.path() + "/xdg/quibbet");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", (tmp_.path() + "/home").c_str(), 1);
  EXPECT_EQ(qb_state_dir(), tmp_.path() + "/home/.local/state/quibbet");
  EXPECT_EQ(mode_of(tmp_.path() + "/home/.local/state/quibbet"), 0700);
}

TEST_F(StateDirEnv, AFileInTheWayFails) {
  ASSERT_TRUE(write_whole_file(tmp_.file("file"), "x"));
  ::setenv("QB_HOME", (tmp_.path() + "/file/below").c_str(), 1);
  errno = 0;
  EXPECT_EQ(qb_state_dir(), "");
  EXPECT_EQ(errno, ENOTDIR);
  errno = 0;
  EXPECT_EQ(qb_system_dir(), "");
  EXPECT_EQ(errno, ENOTDIR);
}

// A relative variable counts as unset; a folder or registry.reg that
// another user owns or can write is refused, and the refusal names the fix.
TEST_F(StateDirEnv, RelativeVariablesAreIgnoredAndOpenFoldersRefused) {
  const std::string t = tmp_.path();
  struct Row {
    const char *qb_home, *xdg, *chmod_what;
    int mode;
    bool other_owner;
    std::string dir, refusal;
  };
  const Row rows[] = {
      {"rel/state", "/xdg", nullptr, 0, false, t + "/xdg/quibbet", ""},
      {"rel/state", "rel", nullptr, 0, false, t + "/home/.local/state/quibbet", ""},
      {"/s", "", "", 0777, false, "", "chmod 700 " + t + "/s"},
      {"/s", "", "", 0720, false, "", "chmod 700 " + t + "/s"},
      {"/s", "", "/registry.reg", 0622, false, t + "/s", "chmod 600 " + t + "/s/registry.reg"},
      {"/s", "", "", 0700, true, "", "chown"},
      {"/s", "", "/registry.reg", 0600, true, t + "/s", "chown"},
  };
  ::setenv("HOME", (t + "/home").c_str(), 1);
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.qb_home) + " " + r.xdg + " " + std::to_string(r.mode));
    if (r.other_owner && ::geteuid() != 0) continue;  // only root can give a file away
    ::setenv("QB_HOME", r.qb_home[0] == '/' ? (t + r.qb_home).c_str() : r.qb_home, 1);
    ::setenv("XDG_STATE_HOME", r.xdg[0] == '/' ? (t + r.xdg).c_str() : r.xdg, 1);
    if (r.chmod_what != nullptr) {  // the folder itself, or a file in it
      const std::string what = t + r.qb_home + r.chmod_what;
      ASSERT_TRUE(::mkdir((t + r.qb_home).c_str(), 0700) == 0 || errno == EEXIST);
      if (*r.chmod_what != '\0') {
        ASSERT_TRUE(write_whole_file(what, "REGEDIT4\n"));
      }
      ASSERT_EQ(::chmod(what.c_str(), r.mode), 0);
      ASSERT_EQ(::chown(what.c_str(), r.other_owner ? 65534 : ::geteuid(), -1), 0);
    }
    errno = 0;
    EXPECT_EQ(qb_state_dir(), r.dir);
    EXPECT_EQ(r.dir.empty() ? errno : EPERM, EPERM);
    const std::string refusal = qb_state_refusal();
    EXPECT_TRUE(r.refusal.empty() ? refusal.empty() : refusal.find(r.refusal) != std::string::npos) << refusal;
    if (r.chmod_what == nullptr) continue;
    ASSERT_EQ(::chown((t + r.qb_home + r.chmod_what).c_str(), ::geteuid(), -1), 0);
    ASSERT_EQ(::chmod((t + r.qb_home).c_str(), 0700), 0);
  }
}

TEST_F(StateDirEnv, SystemFolderIsMadeBelowTheStateFolder) {
  std::string home = tmp_.path() + "/s";
  ::setenv("QB_HOME", home.c_str(), 1);
  EXPECT_EQ(qb_system_dir(), home + "/system");
  EXPECT_EQ(mode_of(home + "/system"), 0700);
}

}  // namespace
