// The state folder: which environment variable wins, creation with mode 0700,
// and the system folder below it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

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

TEST_F(StateDirEnv, SystemFolderIsMadeBelowTheStateFolder) {
  std::string home = tmp_.path() + "/s";
  ::setenv("QB_HOME", home.c_str(), 1);
  EXPECT_EQ(qb_system_dir(), home + "/system");
  EXPECT_EQ(mode_of(home + "/system"), 0700);
}

}  // namespace
