// The event mapper fed with made-up kernel events over a real watch tree:
// pairing across reads, the wait for a partner, the order of held events,
// folders that move, lost events, and files moved into folders not yet
// watched. No event is read from the kernel here; the watches exist only so
// that the tree's map is real.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sys/inotify.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <vector>

#include "driver/event_mapper.h"
#include "driver/inotify_watch.h"
#include "event/file_event.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class Mapper : public ::testing::Test {
 protected:
  void SetUp() override {
    char out[PATH_MAX];
    root_ = realpath(tmp_.path().c_str(), out);
    fs::create_directories(root_ + "/d/s");
    ASSERT_EQ(iw_open(&tree_, root_ + "/state"), 1);
    ASSERT_EQ(iw_add_root(&tree_, root_), 1);
    em_init(&m_, &tree_);
  }
  void TearDown() override { iw_close(&tree_); }

  int wd(const std::string& relative) const { return iw_wd(tree_, relative.empty() ? root_ : path(relative)); }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // One event as the kernel lays it out: the header, then the name padded.
  void feed(const std::string& dir, uint32_t mask, const std::string& name, uint32_t cookie = 0) {
    feed_wd(dir == "-" ? -1 : wd(dir), mask, name, cookie);
  }
  void feed_wd(int watch, uint32_t mask, const std::string& name, uint32_t cookie = 0) {
    const size_t padded = name.empty() ? 0 : (name.size() / 8 + 1) * 8;
    std::vector<char> bytes(sizeof(inotify_event) + padded, 0);
    auto* ev = reinterpret_cast<inotify_event*>(bytes.data());
    ev->wd = watch;
    ev->mask = mask;
    ev->cookie = cookie;
    ev->len = static_cast<uint32_t>(padded);
    std::copy(name.begin(), name.end(), ev->name);
    em_feed_buffer(&m_, bytes.data(), bytes.size(), now_);
  }

  std::vector<FileEvent> take() {
    std::vector<FileEvent> out;
    FileEvent e;
    while (em_take(&m_, &e)) out.push_back(e);
    return out;
  }

  static bool is(const FileEvent& e, int32_t op, const std::string& source, const std::string& target) {
    return e.operation == op && e.source == source && e.target == target;
  }

  TempDir tmp_;
  std::string root_;
  WatchTree tree_;
  EventMapper m_;
  int64_t now_ = 1000;
};

TEST_F(Mapper, RenameHalvesInSeparateReadsMakeOneRename) {
  feed("", IN_MOVED_FROM, "a", 7);
  EXPECT_TRUE(take().empty());
  now_ += kPairWaitMs - 1;
  em_expire(&m_, now_);
  feed("d", IN_MOVED_TO, "b", 7);
  auto out = take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is(out[0], OP_RENAME, path("a"), path("d/b")));
}

TEST_F(Mapper, UnpairedMoveBecomesDeleteWhenItsWaitRunsOut) {
  feed("", IN_MOVED_FROM, "a", 7);
  EXPECT_EQ(em_next_deadline(m_), now_ + kPairWaitMs);
  em_expire(&m_, now_ + kPairWaitMs - 1);
  EXPECT_TRUE(take().empty());
  em_expire(&m_, now_ + kPairWaitMs);
  auto out = take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is(out[0], OP_DELETE, path("a"), ""));
  EXPECT_EQ(em_next_deadline(m_), -1);
  // Its partner arriving late is a move in.
  feed("", IN_MOVED_TO, "b", 7);
  out = take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is(out[0], OP_CREATE, "", path("b")));
}

TEST_F(Mapper, EventsBehindAWaitingMoveKeepTheirOrder) {
  feed("", IN_MOVED_FROM, "x", 3);
  feed("", IN_CREATE, "x");  // saved over by a new file of the same name
  EXPECT_TRUE(take().empty());
  em_expire(&m_, now_ + kPairWaitMs);
  auto out = take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(is(out[0], OP_DELETE, path("x"), ""));
  EXPECT_TRUE(is(out[1], OP_CREATE, "", path("x")));
}

TEST_F(Mapper, RenamedFolderMovesItsWatchesAndHeldEvents) {
  const int d = wd("d");
  const int s = wd("d/s");
  feed("", IN_MOVED_FROM | IN_ISDIR, "d", 5);
  feed("d/s", IN_CREATE, "early");  // resolved under the old name while the move waits
  fs::rename(path("d"), path("e"));
  feed("", IN_MOVED_TO | IN_ISDIR, "e", 5);
  auto out = take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(is(out[0], OP_RENAME, path("d"), path("e")));
  EXPECT_TRUE(is(out[1], OP_CREATE, "", path("e/s/early")));
  ASSERT_NE(iw_path(tree_, d), nullptr);
  EXPECT_EQ(*iw_path(tree_, d), path("e"));
  EXPECT_EQ(*iw_path(tree_, s), path("e/s"));
  EXPECT_EQ(iw_wd(tree_, path("d/s")), -1);
}

TEST_F(Mapper, FolderMovedOutLosesItsWatchesAndWhatHappenedInsideIt) {
  const int s = wd("d/s");
  feed("", IN_MOVED_FROM | IN_ISDIR, "d", 5);
  feed("d/s", IN_CREATE, "outside-now");
  feed("", IN_CREATE, "kept");
  em_expire(&m_, now_ + kPairWaitMs);
  auto out = take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(is(out[0], OP_DELETE, path("d"), ""));
  EXPECT_TRUE(is(out[1], OP_CREATE, "", path("kept")));
  EXPECT_EQ(iw_path(tree_, s), nullptr);
  EXPECT_EQ(iw_wd(tree_, path("d")), -1);
}

// `mkdir new; mv d new/d2` before the driver watched new: the kernel
// reports new's creation and only the leaving half of the rename.
TEST_F(Mapper, FolderRenamedIntoAFolderNotYetWatchedIsARename) {
  const int d = wd("d");
  const int s = wd("d/s");
  write_whole_file(path("d/s/f"), "x");
  fs::create_directories(path("new"));
  fs::rename(path("d"), path("new/d2"));
  feed("", IN_CREATE | IN_ISDIR, "new");
  feed("", IN_MOVED_FROM | IN_ISDIR, "d", 9);
  em_expire(&m_, now_ + kPairWaitMs);
  auto out = take();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(is(out[0], OP_CREATE, "", path("new")));
  EXPECT_TRUE(is(out[1], OP_RENAME, path("d"), path("new/d2")));
  EXPECT_TRUE(is(out[2], OP_DELETE, path("d"), ""));  // finds nothing left at d
  ASSERT_NE(iw_path(tree_, d), nullptr);
  EXPECT_EQ(*iw_path(tree_, d), path("new/d2"));
  ASSERT_NE(iw_path(tree_, s), nullptr);
  EXPECT_EQ(*iw_path(tree_, s), path("new/d2/s"));
  EXPECT_EQ(iw_wd(tree_, path("d/s")), -1);
}

TEST_F(Mapper, NewFolderIsListedAndItsOwnEventsAreNotRepeated) {
  fs::create_directories(path("n/m"));
  write_whole_file(path("n/m/f"), "x");
  feed("", IN_CREATE | IN_ISDIR, "n");
  auto out = take();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(is(out[0], OP_CREATE, "", path("n")));
  EXPECT_TRUE(is(out[1], OP_CREATE, "", path("n/m")));
  EXPECT_TRUE(is(out[2], OP_CREATE, "", path("n/m/f")));
  EXPECT_GE(wd("n/m"), 0);
  // The kernel's own events for what the listing found, queued meanwhile.
  feed("n", IN_CREATE | IN_ISDIR, "m");
  feed("n/m", IN_CREATE, "f");
  EXPECT_TRUE(take().empty());
  // A file deleted and made again is new again.
  feed("n/m", IN_CREATE, "g");
  feed("n/m", IN_DELETE, "g");
  feed("n/m", IN_CREATE, "g");
  EXPECT_EQ(take().size(), 3u);
  em_queue_drained(&m_);
  feed("n/m", IN_CREATE, "f");
  EXPECT_EQ(take().size(), 1u);
}

TEST_F(Mapper, OverflowWarnsAndRescansTheWatches) {
  LogCapture log;
  fs::create_directories(path("unseen/deep"));  // made while events were being lost
  fs::remove_all(path("d"));
  feed("-", IN_Q_OVERFLOW, "");
  EXPECT_GE(wd("unseen/deep"), 0);
  EXPECT_EQ(wd("d"), -1);
  EXPECT_EQ(wd("d/s"), -1);
  EXPECT_EQ(m_.overflows, 1u);
  EXPECT_EQ(log.count("qbnote ls --missing"), 1);
  // Nothing is invented for what was lost; the notes are looked for.
  auto out = take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is(out[0], OP_RECONCILE, "", ""));
}

TEST_F(Mapper, TheExcludedFolderIsNeverWatchedOrReported) {
  fs::create_directories(path("state/inner"));
  feed("", IN_CREATE | IN_ISDIR, "state");
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(wd("state"), -1);
  // A folder renamed to be it leaves the roots.
  feed("", IN_MOVED_FROM | IN_ISDIR, "d", 9);
  feed("", IN_MOVED_TO | IN_ISDIR, "state", 9);
  auto out = take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is(out[0], OP_DELETE, path("d"), ""));
  EXPECT_EQ(wd("d/s"), -1);
  iw_rescan(&tree_);
  EXPECT_EQ(wd("state/inner"), -1);
}

// A root deleted is waited for through its parent's watch, and watched
// again when made anew, what it then holds reported as created.
TEST_F(Mapper, ADeletedRootIsWaitedForAndWatchedAgainWhenMade) {
  LogCapture log;
  fs::remove_all(root_);
  feed("", IN_DELETE_SELF, "");
  EXPECT_TRUE(tree_.roots.empty());
  EXPECT_EQ(log.count("no longer followed"), 1);
  ASSERT_EQ(tree_.waiting.count(root_), 1u);
  const int parent = tree_.waiting[root_];
  ASSERT_GE(parent, 0);
  fs::create_directories(path("d"));
  ASSERT_TRUE(write_whole_file(path("d/f"), "x"));
  feed_wd(parent, IN_CREATE | IN_ISDIR, fs::path(root_).filename().string());
  EXPECT_EQ(tree_.roots, std::vector<std::string>{root_});
  EXPECT_TRUE(tree_.waiting.empty());
  auto out = take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(is(out[0], OP_CREATE, "", path("d")));
  EXPECT_TRUE(is(out[1], OP_CREATE, "", path("d/f")));
  EXPECT_GE(wd("d"), 0);
}

// A root inside another renamed there: the notes follow the rename, the
// watches stay with the outer root, and the old name is waited for.
TEST_F(Mapper, ANestedRootRenamedIsARenameAndItsNameIsWaitedFor) {
  ASSERT_EQ(iw_add_root(&tree_, path("d")), 1);
  fs::rename(path("d"), path("e"));
  feed("", IN_MOVED_FROM | IN_ISDIR, "d", 5);
  feed("", IN_MOVED_TO | IN_ISDIR, "e", 5);
  auto out = take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(is(out[0], OP_RENAME, path("d"), path("e")));
  EXPECT_EQ(tree_.roots, std::vector<std::string>{root_});
  EXPECT_EQ(tree_.waiting.count(path("d")), 1u);
  EXPECT_GE(wd("e/s"), 0);
  fs::create_directories(path("d"));
  feed("", IN_CREATE | IN_ISDIR, "d");
  EXPECT_EQ(tree_.roots.size(), 2u);
  EXPECT_TRUE(tree_.waiting.empty());
}

// Folders ignored by name, mount points and the watch limit: the folder is
// itself listed, nothing inside it is watched, and each is counted.
std::string g_full;  // below it, the kernel is out of watches
std::set<std::string> g_mounts;
int add_watch_until_full(int fd, const char* path, uint32_t mask) {
  if (std::string(path).rfind(g_full, 0) == 0) return errno = ENOSPC, -1;
  return inotify_add_watch(fd, path, mask);
}

TEST_F(Mapper, IgnoredFoldersMountPointsAndTheWatchLimitAreNotEntered) {
  LogCapture log;
  tree_.config.ignore = {".git", "node_modules", ".cache"};
  tree_.config.home = path("home");
  g_full = path("full");
  g_mounts = {root_, path("m")};  // a root that is a mount point is watched all the same
  tree_.read_mounts = [] { return g_mounts; };
  for (const char* dir : {".git/objects/a", "p/node_modules/x", "home/.cache/y", "p/.cache", "m/inner", "full/a/b"})
    fs::create_directories(path(dir));
  tree_.add_watch = add_watch_until_full;
  iw_rescan(&tree_);
  iw_report_limit(&tree_);
  iw_report_limit(&tree_);
  for (const char* dir : {".git", ".git/objects", "p/node_modules", "home/.cache", "m", "full", "full/a"})
    EXPECT_EQ(wd(dir), -1) << dir;
  for (const char* dir : {"", "p", "home", "p/.cache", "d/s"}) EXPECT_GE(wd(dir), 0) << dir;
  EXPECT_EQ(tree_.ignored, 3u);
  EXPECT_EQ(tree_.mounts_skipped, 1u);
  EXPECT_EQ(tree_.unwatched, 3u);
  EXPECT_EQ(log.count("3 folders under " + root_ + " are not watched"), 1);
  // Crossing mount points when asked; a folder renamed to an ignored name
  // stops being watched inside, and one renamed from it is watched.
  tree_.config.cross_mounts = true;
  iw_rescan(&tree_);
  EXPECT_GE(wd("m/inner"), 0);
  fs::rename(path("d"), path("node_modules"));
  feed("", IN_MOVED_FROM | IN_ISDIR, "d", 8);
  feed("", IN_MOVED_TO | IN_ISDIR, "node_modules", 8);
  fs::rename(path(".git"), path("git"));
  feed("", IN_MOVED_FROM | IN_ISDIR, ".git", 9);
  feed("", IN_MOVED_TO | IN_ISDIR, "git", 9);
  auto out = take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(is(out[0], OP_RENAME, path("d"), path("node_modules")));
  EXPECT_TRUE(is(out[1], OP_RENAME, path(".git"), path("git")));
  EXPECT_EQ(wd("node_modules/s"), -1);
  EXPECT_GE(wd("git/objects/a"), 0);
}

// A file moved into a folder before the folder was watched (`mkdir new;
// mv f new/`): the kernel reports the folder's creation and only the
// leaving half of the move; the folder's listing finds the file.
class ListedMove : public Mapper {
 protected:
  // The events out once every wait has run out.
  std::vector<FileEvent> settle() {
    em_expire(&m_, now_ + kPairWaitMs);
    return take();
  }

  // `mkdir <folder>` and `mv <from> <folder>/<name>`, both before the
  // driver heard of the folder; then the kernel's two events.
  void moveIntoNewFolder(const std::string& from, const std::string& folder, const std::string& name,
                         uint32_t cookie) {
    fs::create_directories(path(folder));
    fs::rename(path(from), path(folder + "/" + name));
    feed("", IN_CREATE | IN_ISDIR, folder);
    const size_t slash = from.rfind('/');
    feed(slash == std::string::npos ? "" : from.substr(0, slash), IN_MOVED_FROM,
         slash == std::string::npos ? from : from.substr(slash + 1), cookie);
  }
};

TEST_F(ListedMove, FileMovedIntoAFolderNotYetWatchedIsARename) {
  ASSERT_TRUE(write_whole_file(path("d/noted.txt"), "x"));
  moveIntoNewFolder("d/noted.txt", "new", "noted.txt", 4);
  auto out = settle();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(is(out[0], OP_CREATE, "", path("new")));
  EXPECT_TRUE(is(out[1], OP_CREATE, "", path("new/noted.txt")));
  EXPECT_TRUE(is(out[2], OP_RENAME, path("d/noted.txt"), path("new/noted.txt")));
}

TEST_F(ListedMove, KernelPartnerWinsOverTheListing) {
  // The move came after the watch but before the listing: both the listing
  // and the kernel's IN_MOVED_TO name the file, and the kernel's pair counts.
  ASSERT_TRUE(write_whole_file(path("d/f"), "x"));
  moveIntoNewFolder("d/f", "new", "f", 4);
  feed("new", IN_MOVED_TO, "f", 4);
  auto out = settle();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(is(out[2], OP_RENAME, path("d/f"), path("new/f")));
}

TEST_F(ListedMove, TwoListedFilesOfTheNameLeaveItADeletion) {
  ASSERT_TRUE(write_whole_file(path("d/f"), "x"));
  fs::create_directories(path("new/sub"));
  ASSERT_TRUE(write_whole_file(path("new/sub/f"), "made there"));
  moveIntoNewFolder("d/f", "new", "f", 4);
  auto out = settle();
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(is(out.back(), OP_DELETE, path("d/f"), ""));
}

TEST_F(ListedMove, ListedFileGoneOrAFolderByThenLeavesItADeletion) {
  ASSERT_TRUE(write_whole_file(path("d/f"), "x"));
  ASSERT_TRUE(write_whole_file(path("d/g"), "x"));
  moveIntoNewFolder("d/f", "new", "f", 4);
  moveIntoNewFolder("d/g", "new2", "g", 5);
  fs::remove(path("new/f"));
  fs::remove(path("new2/g"));
  fs::create_directories(path("new2/g"));
  auto out = settle();
  ASSERT_EQ(out.size(), 6u);
  EXPECT_TRUE(is(out[2], OP_DELETE, path("d/f"), ""));
  EXPECT_TRUE(is(out[5], OP_DELETE, path("d/g"), ""));
}

TEST_F(ListedMove, MoveAfterTheQueueWasReadEmptyIsNotMatchedToAnOldListing) {
  fs::create_directories(path("new"));
  ASSERT_TRUE(write_whole_file(path("new/f"), "made there"));
  feed("", IN_CREATE | IN_ISDIR, "new");
  em_queue_drained(&m_);
  feed("d", IN_MOVED_FROM, "f", 6);  // a d/f that left the roots
  auto out = settle();
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(is(out.back(), OP_DELETE, path("d/f"), ""));
}

}  // namespace
