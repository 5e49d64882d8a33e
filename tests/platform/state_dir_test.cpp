// The state folder: which environment variable wins, creation with mode 0700,
// and the system directory's Windows buffer rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "platform/files.h"
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
  char buf[MAX_PATH];
  EXPECT_EQ(GetSystemDirectoryA(buf, sizeof buf), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTDIR));
}

TEST_F(StateDirEnv, SystemDirectoryFollowsWindowsBufferRules) {
  std::string home = tmp_.path() + "/s";
  ::setenv("QB_HOME", home.c_str(), 1);
  std::string want = home + "/system";
  UINT len = static_cast<UINT>(want.size());

  EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), len + 1);
  char buf[MAX_PATH];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(GetSystemDirectoryA(buf, len), len + 1);  // no room for the terminator
  EXPECT_EQ(buf[0], 'z');
  EXPECT_EQ(GetSystemDirectoryA(buf, len + 1), len);
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(mode_of(want), 0700);
}

}  // namespace
