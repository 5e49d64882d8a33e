// Folder renames: the folder walk re-keys every note the notes table holds
// inside a renamed folder, whatever the disk holds by the time the event
// is handled.
#include <gtest/gtest.h>

#include <unistd.h>

#include "tracking/walk_folder.h"
#include "tracking_fixture.h"
#include "upkeep/monitor_tables.h"

namespace {

class FolderRename : public TrackingTest {
 protected:
  // Notes on Old/top.txt, Old/.hidden, Old/Sub, Old/Sub/Deeper/file.txt,
  // Old/Bare/inner.txt (Bare has no note) and Old/Empty; none on disk.
  void buildTree(const std::string& old) {
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

  EXPECT_EQ(event(OP_RENAME, old, now), "\nDoResponse with 2\nRENAME: " + old + ", " + now + "\n");
  expectMoved(old, now);
  EXPECT_EQ(remarkOf(notesTable, now), "the folder");
  EXPECT_EQ(remarkOf(notesTable, old), std::nullopt);
  EXPECT_EQ(remarkOf(tempTable, old), "the folder");
  EXPECT_EQ(remarkOf(notesTable, file("Old.txt")), "outside");
  EXPECT_EQ(remarkOf(notesTable, file("Older/x.txt")), "outside");
}

class Walk : public TrackingTest {};

// Behind a queue of events the disk moved on (Old renamed New, then a.txt
// renamed b.txt, gone.txt deleted): the notes move all the same and the
// later events find them; a stale note there is set aside; a link is no folder.
TEST_F(Walk, NotesMoveWhateverTheDiskShowsByThen) {
  for (const char* name : {"a.txt", "gone.txt", "Sub/c.txt"}) note(notesTable, file("Old/") + name, name);
  note(notesTable, file("New/gone.txt"), "stale");
  ASSERT_EQ(::mkdir(file("New").c_str(), 0700), 0);
  ASSERT_TRUE(write_whole_file(file("New/b.txt"), "x"));
  (void)event(OP_RENAME, file("Old"), file("New"));
  (void)event(OP_RENAME, file("New/a.txt"), file("New/b.txt"));
  EXPECT_EQ(remarkOf(notesTable, file("New/b.txt")), "a.txt");
  EXPECT_EQ(remarkOf(notesTable, file("New/gone.txt")), "gone.txt");
  EXPECT_EQ(remarkOf(tempTable, file("New/gone.txt")), "stale");
  EXPECT_EQ(remarkOf(notesTable, file("New/Sub/c.txt")), "Sub/c.txt");
  for (const char* name : {"a.txt", "gone.txt", "Sub/c.txt"})
    EXPECT_EQ(remarkOf(notesTable, file("Old/") + name), std::nullopt);

  note(notesTable, file("Link/in"), "through a link");
  ASSERT_EQ(::symlink(file("New").c_str(), file("Link2").c_str()), 0);
  (void)event(OP_RENAME, file("Link"), file("Link2"));
  EXPECT_EQ(remarkOf(notesTable, file("Link/in")), "through a link");
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

// A new path over 255 bytes is skipped, not cut; one of exactly 255 is used.
TEST_F(WalkLongPaths, NewPathThatDoesNotFitIsSkippedNotCut) {
  const std::string old = file("o");
  const std::string now = padded('n', 240);
  const std::string longName = "f_" + std::string(20, 'x');  // 240 + 1 + 22 > 255
  const std::string fits(255 - 241, 'z');
  note(notesTable, old + "/" + longName, "long");
  note(notesTable, old + "/" + fits, "fits");

  walkFolder(old.c_str(), now.c_str());
  EXPECT_EQ(remarkOf(notesTable, old + "/" + longName), "long");
  EXPECT_EQ(remarkOf(notesTable, (now + "/" + longName).substr(0, 255)), std::nullopt);
  EXPECT_EQ(remarkOf(notesTable, now + "/" + fits), "fits");
  EXPECT_EQ(traceLines(), std::vector<std::string>{"SKIPPED (too long): " + now + "/" + longName + "\n"});
}

}  // namespace
