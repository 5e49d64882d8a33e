// Values that do not fit: paths longer than the notes table takes, a
// FileSpec of more than 259 characters, and trace lines of more than 511.
// None is ever used cut short as a path.
#include <gtest/gtest.h>

#include "tracking_fixture.h"
#include "upkeep/monitor_tables.h"

namespace {

class TooLong : public TrackingTest {
 protected:
  // A path one byte longer than the table takes, and its first 255 bytes.
  static std::string full() { return "/" + std::string(255, 'p'); }
  static std::string cut() { return full().substr(0, 255); }
  static std::string skipped() { return "SKIPPED (too long): " + cut() + "\n"; }
  // Each skip is also said in the log.
  void expectReported(size_t times) {
    std::vector<std::string> said = reports();
    ASSERT_EQ(said.size(), times);
    for (const std::string& s : said) EXPECT_NE(s.find(cut() + "..."), std::string::npos) << s;
  }
};

TEST_F(TooLong, RemoveDoesNotDeleteTheNoteOfTheCutPath) {
  note(notesTable, cut(), "cut");
  EXPECT_EQ(event(OP_REMOVE, full(), ""), "\nDoResponse with 4\n" + skipped());
  EXPECT_EQ(remarkOf(notesTable, cut()), "cut");
  EXPECT_EQ(modified(), 7u);
  expectReported(1);
}

TEST_F(TooLong, RenameMovesNothingInEitherDirection) {
  const std::string a = "/home/Ada/a.txt";
  note(notesTable, a, "a");
  note(notesTable, cut(), "cut");
  EXPECT_EQ(event(OP_RENAME, a, full()), "\nDoResponse with 2\n" + skipped());
  note(tempTable, a, "set aside");
  EXPECT_EQ(event(OP_RENAME, full(), a), "\nDoResponse with 2\n" + skipped());
  EXPECT_EQ(remarkOf(notesTable, a), "a");
  EXPECT_EQ(remarkOf(notesTable, cut()), "cut");
  EXPECT_EQ(remarkOf(tempTable, cut()), std::nullopt);
}

TEST_F(TooLong, CopiesGiveTheCutPathNoNoteAndAZeroByteIsNoPath) {
  const std::string a = "/home/Ada/a.txt";
  note(notesTable, a, "a");
  (void)event(OP_COPY, a, full());
  (void)event(OP_COPY_REVERSE, full(), a);
  EXPECT_EQ(remarkOf(notesTable, cut()), std::nullopt);
  EXPECT_EQ(event(OP_COPY, a, std::string("/home/Ada/b\0c", 14)),
            "\nDoResponse with 1\nSKIPPED (too long): /home/Ada/b\n");
  EXPECT_EQ(remarkOf(notesTable, "/home/Ada/b"), std::nullopt);
}

TEST_F(TooLong, DeleteAndCreateStillConsumeFileSpecButTouchNoNote) {
  note(notesTable, "/p", "spec note");
  note(tempTable, cut(), "set aside");
  setFileSpec("/p");
  EXPECT_EQ(event(OP_CREATE, "", full()),
            "\nDoResponse with 6\nSaveAs contains /p\nResult for findKey,/p = 2\n" + skipped());
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(remarkOf(notesTable, "/p"), "spec note");
  EXPECT_EQ(remarkOf(notesTable, cut()), std::nullopt);

  note(notesTable, cut(), "cut");
  setFileSpec("/p");
  (void)event(OP_DELETE, full(), "");
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(remarkOf(notesTable, cut()), "cut");
  EXPECT_EQ(remarkOf(notesTable, "/p"), "spec note");
  EXPECT_EQ(modified(), 7u);
}

TEST_F(TooLong, PathOf255CharactersIsWhole) {
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
  std::vector<std::string> lines = traceLines();
  ASSERT_EQ(lines.size(), 2u);
  std::string whole = "RENAME: " + a + ", " + b + "\n";
  ASSERT_GT(whole.size(), 511u);
  EXPECT_EQ(lines[1], whole.substr(0, 507) + "...\n");
  EXPECT_EQ(lines[1].size(), 511u);
}

TEST_F(TraceLines, LineOfExactly511CharactersIsNotCut) {
  traceLine("%s\n", std::string(510, 'x').c_str());
  traceLine("%s\n", std::string(511, 'x').c_str());
  std::vector<std::string> lines = traceLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(510, 'x') + "\n");
  EXPECT_EQ(lines[1], std::string(507, 'x') + "...\n");
}

}  // namespace
