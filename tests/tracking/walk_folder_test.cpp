// Folder renames: the folder walk re-keys every note inside a renamed
// folder, on real folders renamed with rename(2) before the event.
#include <gtest/gtest.h>

#include <cstdio>

#include "tracking/walk_folder.h"
#include "tracking_fixture.h"

namespace {

class FolderRename : public TrackingTest {
 protected:
  void makeDir(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path; }
  void makeFile(const std::string& path) { ASSERT_TRUE(write_whole_file(path, "x")) << path; }
  void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from;
  }

  // Old/top.txt, Old/.hidden, Old/Sub/, Old/Sub/Deeper/file.txt,
  // Old/Bare/inner.txt (Bare has no note), Old/Empty/; notes on all but Bare.
  void buildTree(const std::string& old) {
    makeDir(old);
    makeFile(old + "/top.txt");
    makeFile(old + "/.hidden");
    makeDir(old + "/Sub");
    makeDir(old + "/Sub/Deeper");
    makeFile(old + "/Sub/Deeper/file.txt");
    makeDir(old + "/Bare");
    makeFile(old + "/Bare/inner.txt");
    makeDir(old + "/Empty");
    for (const char* inside : {"/top.txt", "/.hidden", "/Sub", "/Sub/Deeper/file.txt", "/Bare/inner.txt", "/Empty"})
      note(notesTable, old + inside, std::string("note of ") + inside);
  }
  void expectMoved(const std::string& old, const std::string& now) {
    for (const char* inside : {"/top.txt", "/.hidden", "/Sub", "/Sub/Deeper/file.txt", "/Bare/inner.txt", "/Empty"}) {
      SCOPED_TRACE(inside);
      EXPECT_EQ(remarkOf(notesTable, now + inside), std::string("note of ") + inside);
      EXPECT_EQ(remarkOf(notesTable, old + inside), std::nullopt);
      EXPECT_EQ(remarkOf(tempTable, old + inside), std::nullopt);  // the walk sets nothing aside
    }
  }
};

TEST_F(FolderRename, ReKeysEverythingInsideAndTheFolderItself) {
  const std::string old = file("Old");
  const std::string now = file("New");
  buildTree(old);
  note(notesTable, old, "the folder");
  note(notesTable, file("Old.txt"), "outside");      // same prefix, not inside
  note(notesTable, file("Older/x.txt"), "outside");  // likewise
  move(old, now);

  EXPECT_EQ(event(OP_RENAME, old, now), "\nDoResponse with 2\nRENAME: " + old + ", " + now + "\n");
  expectMoved(old, now);
  EXPECT_EQ(remarkOf(notesTable, now), "the folder");
  EXPECT_EQ(remarkOf(notesTable, old), std::nullopt);
  EXPECT_EQ(remarkOf(tempTable, old), "the folder");
  EXPECT_EQ(remarkOf(notesTable, file("Old.txt")), "outside");
  EXPECT_EQ(remarkOf(notesTable, file("Older/x.txt")), "outside");
}

TEST_F(FolderRename, FolderWithoutANoteStillHasItsContentsReKeyed) {
  const std::string old = file("Old");
  const std::string now = file("Moved/Deep/New");
  buildTree(old);
  makeDir(file("Moved"));
  makeDir(file("Moved/Deep"));
  move(old, now);

  (void)event(OP_RENAME, old, now);
  expectMoved(old, now);
  EXPECT_EQ(remarkOf(notesTable, now), std::nullopt);
  EXPECT_TRUE(isEmpty(tempTable));
}

class Walk : public TrackingTest {};

TEST_F(Walk, MissingOrEmptyFolderChangesNothing) {
  note(notesTable, file("Old/a"), "a");
  walkFolder(file("Old").c_str(), file("Gone").c_str());
  ASSERT_EQ(::mkdir(file("Empty").c_str(), 0700), 0);
  walkFolder(file("Old").c_str(), file("Empty").c_str());
  EXPECT_EQ(remarkOf(notesTable, file("Old/a")), "a");
  EXPECT_TRUE(qb_debug_log().empty());
}

// ---- paths that do not fit the 256-byte buffers ------------------------------

class WalkLongPaths : public TrackingTest {
 protected:
  // files()/<name padded with `fill` to a total length of `length`>.
  std::string padded(char fill, size_t length) {
    std::string p = files() + "/";
    EXPECT_LT(p.size() + 10, length);
    return p + std::string(length - p.size(), fill);
  }
};

TEST_F(WalkLongPaths, NewPathThatDoesNotFitIsSkippedNotCut) {
  const std::string old = file("o");
  const std::string now = padded('n', 240);
  ASSERT_EQ(::mkdir(now.c_str(), 0700), 0);
  const std::string longName = "f_" + std::string(20, 'x');  // 240 + 1 + 22 > 255
  ASSERT_TRUE(write_whole_file(now + "/" + longName, "x"));
  ASSERT_TRUE(write_whole_file(now + "/s", "x"));
  note(notesTable, old + "/" + longName, "long");
  note(notesTable, old + "/s", "short");

  walkFolder(old.c_str(), now.c_str());
  EXPECT_EQ(remarkOf(notesTable, old + "/" + longName), "long");
  EXPECT_EQ(remarkOf(notesTable, (now + "/" + longName).substr(0, 255)), std::nullopt);
  EXPECT_EQ(remarkOf(notesTable, now + "/s"), "short");
  EXPECT_EQ(qb_debug_log(), std::vector<std::string>{"SKIPPED (too long): " + now + "/" + longName + "\n"});
}

TEST_F(WalkLongPaths, OldPathThatDoesNotFitSkipsTheEntryAndWhatIsInsideIt) {
  const std::string old = padded('o', 230);
  const std::string now = file("n");
  const std::string sub = "sub_" + std::string(30, 'y');  // 230 + 1 + 34 > 255
  ASSERT_EQ(::mkdir(now.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((now + "/" + sub).c_str(), 0700), 0);
  ASSERT_TRUE(write_whole_file(now + "/" + sub + "/in", "x"));
  const std::string cut = (old + "/" + sub).substr(0, 255);
  note(notesTable, cut, "cut");

  walkFolder(old.c_str(), now.c_str());
  EXPECT_EQ(remarkOf(notesTable, cut), "cut");
  EXPECT_EQ(remarkOf(notesTable, now + "/" + sub), std::nullopt);
  EXPECT_EQ(qb_debug_log(), std::vector<std::string>{"SKIPPED (too long): " + old + "/" + sub + "\n"});
}

TEST_F(WalkLongPaths, PathOfExactly255CharactersIsUsedWhole) {
  const std::string old = file("o");
  const std::string now = padded('n', 240);
  ASSERT_EQ(::mkdir(now.c_str(), 0700), 0);
  const std::string name(255 - 241, 'z');
  ASSERT_TRUE(write_whole_file(now + "/" + name, "x"));
  note(notesTable, old + "/" + name, "fits");
  walkFolder(old.c_str(), now.c_str());
  ASSERT_EQ((now + "/" + name).size(), 255u);
  EXPECT_EQ(remarkOf(notesTable, now + "/" + name), "fits");
  EXPECT_TRUE(qb_debug_log().empty());
}

}  // namespace
