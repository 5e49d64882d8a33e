// A file moved into a folder before the folder was watched (`mkdir new;
// mv f new/`): the kernel reports the folder's creation and only the
// leaving half of the move; the folder's listing finds the file. The event
// mapper is fed made-up kernel events over real folders, as the kernel
// would have queued them.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sys/inotify.h>

#include <filesystem>
#include <vector>

#include "driver/event_mapper.h"
#include "driver/inotify_watch.h"
#include "driver_link/protocol.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class ListedMove : public ::testing::Test {
 protected:
  void SetUp() override {
    char out[PATH_MAX];
    root_ = realpath(tmp_.path().c_str(), out);
    fs::create_directories(root_ + "/d");
    ASSERT_EQ(iw_open(&tree_, root_ + "/state"), 1);
    ASSERT_EQ(iw_add_root(&tree_, root_), 1);
    em_init(&m_, &tree_);
  }
  void TearDown() override { iw_close(&tree_); }

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  void feed(const std::string& dir, uint32_t mask, const std::string& name, uint32_t cookie = 0) {
    const size_t padded = (name.size() / 8 + 1) * 8;
    std::vector<char> bytes(sizeof(inotify_event) + padded, 0);
    auto* ev = reinterpret_cast<inotify_event*>(bytes.data());
    ev->wd = iw_wd(tree_, dir.empty() ? root_ : path(dir));
    ev->mask = mask;
    ev->cookie = cookie;
    ev->len = static_cast<uint32_t>(padded);
    std::copy(name.begin(), name.end(), ev->name);
    em_feed_buffer(&m_, bytes.data(), bytes.size(), now_);
  }

  // The events out once every wait has run out.
  std::vector<DriverEvent> settle() {
    em_expire(&m_, now_ + kPairWaitMs);
    std::vector<DriverEvent> out;
    DriverEvent e;
    while (em_take(&m_, &e)) out.push_back(e);
    return out;
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

  static bool is(const DriverEvent& e, int32_t op, const std::string& source, const std::string& target) {
    return e.operation == op && e.source == source && e.target == target;
  }

  TempDir tmp_;
  std::string root_;
  WatchTree tree_;
  EventMapper m_;
  int64_t now_ = 1000;
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
