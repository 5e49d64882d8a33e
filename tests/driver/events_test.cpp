// File events through the real driver: inotify on a temporary root, events
// taken from the queue by the test thread.
#include <filesystem>

#include "driver/driver_fixture.h"

namespace fs = std::filesystem;

using DriverEvents = DriverTest;

TEST_F(DriverEvents, CreateIsReportedWithTheTargetPathOnly) {
  load();
  ASSERT_TRUE(write_whole_file(file("a.txt"), "x"));
  ASSERT_TRUE(wait_created(file("a.txt")));
}

TEST_F(DriverEvents, DeleteIsReportedWithTheSourcePath) {
  ASSERT_TRUE(write_whole_file(file("gone"), "x"));
  load();
  ASSERT_EQ(::unlink(file("gone").c_str()), 0);
  EXPECT_TRUE(wait_for(OP_DELETE, file("gone"), ""));
}

TEST_F(DriverEvents, RenameWithinTheRootIsOneRenameWithBothPaths) {
  ASSERT_TRUE(write_whole_file(file("old"), "x"));
  ::mkdir(file("sub").c_str(), 0700);
  load();
  ASSERT_EQ(::rename(file("old").c_str(), file("sub/new").c_str()), 0);
  ASSERT_TRUE(wait_for(OP_RENAME, file("old"), file("sub/new")));
  sentinel();
  EXPECT_EQ(count(OP_DELETE, file("old"), ""), 0);
  EXPECT_EQ(count(OP_CREATE, "", file("sub/new")), 0);
}

TEST_F(DriverEvents, MoveOutOfTheRootsIsDelete) {
  ASSERT_TRUE(write_whole_file(file("leaving"), "x"));
  load();
  ASSERT_EQ(::rename(file("leaving").c_str(), (outside_ + "/left").c_str()), 0);
  EXPECT_TRUE(wait_for(OP_DELETE, file("leaving"), ""));
  EXPECT_FALSE(reported_under(outside_));
}

TEST_F(DriverEvents, MoveInFromOutsideIsCreate) {
  ASSERT_TRUE(write_whole_file(outside_ + "/arriving", "x"));
  load();
  ASSERT_EQ(::rename((outside_ + "/arriving").c_str(), file("arrived").c_str()), 0);
  EXPECT_TRUE(wait_created(file("arrived")));
  EXPECT_FALSE(reported_under(outside_));
}

TEST_F(DriverEvents, EveryCreationInANewTreeIsReportedOnce) {
  load();
  // Faster than any watcher can add watches: the folders and the file exist
  // before the driver hears of the first folder.
  fs::create_directories(file("a/b/c"));
  ASSERT_TRUE(write_whole_file(file("a/b/c/f"), "x"));
  ASSERT_TRUE(pump([&] { return count(OP_CREATE, "", file("a/b/c/f")) > 0; }));
  sentinel();
  for (const char* p : {"a", "a/b", "a/b/c", "a/b/c/f"}) EXPECT_EQ(count(OP_CREATE, "", file(p)), 1) << p;
  // The new folders are watched.
  ASSERT_TRUE(write_whole_file(file("a/b/c/g"), "x"));
  EXPECT_TRUE(wait_created(file("a/b/c/g")));
}

TEST_F(DriverEvents, RenamedFolderKeepsItsWatchesUnderTheNewName) {
  fs::create_directories(file("d/s"));
  ASSERT_TRUE(write_whole_file(file("d/f"), "x"));
  load();
  ASSERT_EQ(::rename(file("d").c_str(), file("e").c_str()), 0);
  ASSERT_EQ(::rename(file("e/f").c_str(), file("e/g").c_str()), 0);
  ASSERT_TRUE(write_whole_file(file("e/s/x"), "x"));
  EXPECT_TRUE(wait_for(OP_RENAME, file("d"), file("e")));
  EXPECT_TRUE(wait_for(OP_RENAME, file("e/f"), file("e/g")));
  EXPECT_TRUE(wait_created(file("e/s/x")));
  EXPECT_FALSE(reported_under(file("d/f")));
  EXPECT_FALSE(reported_under(file("d/s")));
}

TEST_F(DriverEvents, FolderMovedOutIsDeletedAndNoLongerFollowed) {
  fs::create_directories(file("m/n"));
  load();
  ASSERT_EQ(::rename(file("m").c_str(), (outside_ + "/m").c_str()), 0);
  ASSERT_TRUE(wait_for(OP_DELETE, file("m"), ""));
  ASSERT_TRUE(write_whole_file(outside_ + "/m/n/later", "x"));
  sentinel();
  EXPECT_FALSE(reported_under(file("m/n")));
  EXPECT_FALSE(reported_under(outside_));
}

TEST_F(DriverEvents, FolderMovedInIsReportedWithItsContentsAndWatched) {
  fs::create_directories(outside_ + "/box/inner");
  ASSERT_TRUE(write_whole_file(outside_ + "/box/inner/thing", "x"));
  load();
  ASSERT_EQ(::rename((outside_ + "/box").c_str(), file("box").c_str()), 0);
  EXPECT_TRUE(wait_created(file("box")));
  EXPECT_TRUE(wait_created(file("box/inner")));
  EXPECT_TRUE(wait_created(file("box/inner/thing")));
  ASSERT_TRUE(write_whole_file(file("box/inner/new"), "x"));
  EXPECT_TRUE(wait_created(file("box/inner/new")));
}

// The driver cuts no path: one longer than the notes table takes reaches
// the handler whole, which skips it rather than use it cut short.
TEST_F(DriverEvents, LongPathsAreReportedWhole) {
  const std::string dir = file(std::string(200, 'd'));
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  load();
  const std::string long_path = dir + "/" + std::string(80, 'f');
  ASSERT_GT(long_path.size(), kEventPathMax);
  ASSERT_TRUE(write_whole_file(long_path, "x"));
  EXPECT_TRUE(wait_created(long_path));
}

TEST_F(DriverEvents, TheStateFolderInsideARootIsNotWatched) {
  const std::string state = root_ + "/state";
  set_home(state);
  set_roots(root_);  // the registry now lives inside the root
  load();
  ASSERT_TRUE(write_whole_file(state + "/inside", "x"));
  fs::create_directories(state + "/deeper/still");
  ASSERT_TRUE(write_whole_file(state + "/deeper/still/file", "x"));
  sentinel();
  EXPECT_FALSE(reported_under(state));
}

TEST_F(DriverEvents, DefaultRootIsTheHomeFolder) {
  ASSERT_EQ(reg_delete_value(RegHive::kLocalMachine, kConfigurationKey, "WatchRoots"), 0);
  const char* saved = std::getenv("HOME");
  std::string old = saved != nullptr ? saved : "";
  ::setenv("HOME", root_.c_str(), 1);
  load();
  if (saved != nullptr) ::setenv("HOME", old.c_str(), 1);
  else ::unsetenv("HOME");
  ASSERT_TRUE(write_whole_file(file("at-home"), "x"));
  EXPECT_TRUE(wait_created(file("at-home")));
}
