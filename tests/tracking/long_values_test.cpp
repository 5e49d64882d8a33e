// Values that do not fit: record fields without a terminator, a FileSpec of
// more than 259 characters, and trace lines of more than 511. None is ever
// used cut short as a path.
#include <gtest/gtest.h>

#include "tracking_fixture.h"

namespace {

class Unterminated : public TrackingTest {
 protected:
  // A 256-byte path field with no terminator: "/p" then 'p's.
  static std::string full() { return "/" + std::string(255, 'p'); }
  static std::string cut() { return full().substr(0, 255); }
  static std::string skipped() { return "SKIPPED (too long): " + cut() + "\n"; }

  // Fills record_ for `operation`; `which` 0 leaves sourcePath unterminated,
  // 1 targetPath.
  void fill(int32_t operation, int which, const std::string& other) {
    std::memset(&record_, 0, sizeof record_);
    char* field = which == 0 ? record_.sourcePath : record_.targetPath;
    char* rest = which == 0 ? record_.targetPath : record_.sourcePath;
    std::memcpy(field, full().data(), kEventPathSize);
    std::memcpy(rest, other.c_str(), other.size() + 1);
    record_.operation = operation;
    std::memcpy(before_, &record_, 512);
  }
  void expectPathsUntouched() { EXPECT_EQ(std::memcmp(before_, &record_, 512), 0); }

  char before_[512];
};

TEST_F(Unterminated, RemoveDoesNotDeleteTheNoteOfTheCutPath) {
  note(notesTable, cut(), "cut");
  fill(OP_REMOVE, 0, "");
  EXPECT_EQ(run(), "\nDoResponse with 4\n" + skipped());
  EXPECT_EQ(remarkOf(notesTable, cut()), "cut");
  EXPECT_EQ(modified(), 7u);
  expectPathsUntouched();
}

TEST_F(Unterminated, RenameMovesNothingInEitherDirection) {
  const std::string a = "/home/Ada/a.txt";
  note(notesTable, a, "a");
  note(notesTable, cut(), "cut");
  fill(OP_RENAME, 1, a);
  EXPECT_EQ(run(), "\nDoResponse with 2\n" + skipped());
  fill(OP_RENAME, 0, a);
  note(tempTable, a, "set aside");
  EXPECT_EQ(run(), "\nDoResponse with 2\n" + skipped());
  EXPECT_EQ(remarkOf(notesTable, a), "a");
  EXPECT_EQ(remarkOf(notesTable, cut()), "cut");
  EXPECT_EQ(remarkOf(tempTable, cut()), std::nullopt);
  expectPathsUntouched();
}

TEST_F(Unterminated, CopiesGiveTheCutPathNoNote) {
  const std::string a = "/home/Ada/a.txt";
  note(notesTable, a, "a");
  fill(OP_COPY, 1, a);
  (void)run();
  fill(OP_COPY_REVERSE, 0, a);
  (void)run();
  EXPECT_EQ(remarkOf(notesTable, cut()), std::nullopt);
  expectPathsUntouched();
}

TEST_F(Unterminated, DeleteAndCreateStillConsumeFileSpecButTouchNoNote) {
  note(notesTable, "/p", "spec note");
  note(tempTable, cut(), "set aside");
  setFileSpec("/p");
  fill(OP_CREATE, 1, "");
  EXPECT_EQ(run(), "\nDoResponse with 6\nSaveAs contains /p\nResult for findKey,/p = 2\n" + skipped());
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(remarkOf(notesTable, "/p"), "spec note");
  EXPECT_EQ(remarkOf(notesTable, cut()), std::nullopt);

  note(notesTable, cut(), "cut");
  setFileSpec("/p");
  fill(OP_DELETE, 0, "");
  (void)run();
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(remarkOf(notesTable, cut()), "cut");
  EXPECT_EQ(remarkOf(notesTable, "/p"), "spec note");
  EXPECT_EQ(modified(), 7u);
  expectPathsUntouched();
}

TEST_F(Unterminated, PathOf255CharactersIsWhole) {
  const std::string a = "/home/Ada/a.txt";
  note(notesTable, a, "a");
  const std::string longest = "/" + std::string(254, 'q');
  (void)event(OP_RENAME, a, longest);
  EXPECT_EQ(remarkOf(notesTable, longest), "a");
}

// ---- FileSpec ----------------------------------------------------------------------

class LongFileSpec : public TrackingTest {};

TEST_F(LongFileSpec, OverlongValueIsEmptiedAndNotUsed) {
  const std::string spec = "/" + std::string(299, 's');
  note(notesTable, spec.substr(0, 259), "cut spec");
  setFileSpec(spec);
  EXPECT_EQ(event(OP_DELETE, "/home/Ada/a.txt", ""), "\nDoResponse with 3\n"
                                                     "SKIPPED (too long): FileSpec of 301 bytes\n"
                                                     "SaveAs contains \n"
                                                     "Result for findKey, = 3\n"
                                                     "PRE DELETE: /home/Ada/a.txt, \n");
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(remarkOf(notesTable, spec.substr(0, 259)), "cut spec");
}

TEST_F(LongFileSpec, ValueOf259CharactersIsTakenWhole) {
  const std::string spec = "/" + std::string(258, 's');
  setFileSpec(spec);
  std::string trace = event(OP_CREATE, "", "/home/Ada/a.txt");
  EXPECT_EQ(trace, "\nDoResponse with 6\nSaveAs contains " + spec + "\nResult for findKey," + spec + " = 3\n");
}

// ---- trace lines ------------------------------------------------------------------------

class TraceLines : public TrackingTest {};

TEST_F(TraceLines, LineOverTheBufferIsCutAndMarked) {
  const std::string a = "/" + std::string(254, 'a');
  const std::string b = "/" + std::string(254, 'b');
  (void)event(OP_RENAME, a, b);
  std::vector<std::string> lines = qb_debug_log();
  ASSERT_EQ(lines.size(), 2u);
  std::string whole = "RENAME: " + a + ", " + b + "\n";
  ASSERT_GT(whole.size(), 511u);
  EXPECT_EQ(lines[1], whole.substr(0, 507) + "...\n");
  EXPECT_EQ(lines[1].size(), 511u);
}

TEST_F(TraceLines, LineOfExactly511CharactersIsNotCut) {
  traceLine("%s\n", std::string(510, 'x').c_str());
  traceLine("%s\n", std::string(511, 'x').c_str());
  std::vector<std::string> lines = qb_debug_log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(510, 'x') + "\n");
  EXPECT_EQ(lines[1], std::string(507, 'x') + "...\n");
}

}  // namespace
