// qbnote on input it must refuse or take with care: every refusal has a
// clear message and loses nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <unistd.h>

#include "btree/index_file.h"
#include "engine/engine.h"
#include "notes/notes_table.h"
#include "qbnote_run.h"

namespace {

using NotesBadInput = QbnoteTest;

bool mentions(const QbRun& r, const std::string& text) { return r.err.find(text) != std::string::npos; }

TEST_F(NotesBadInput, APathLongerThan255BytesIsRefused) {
  // files_ exists, so the canonical path is files_ + "/" + name.
  const std::string longest = files_ + "/" + std::string(255 - files_.size() - 1, 'p');
  ASSERT_EQ(longest.size(), 255u);
  QbRun ok = run({"set", longest, "fits"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(run({"get", longest}).out, "fits\n");

  const std::string too_long = longest + "q";
  for (const char* command : {"set", "get", "rm", "edit"}) {
    QbRun r = command == std::string("set") ? run({command, too_long, "x"}) : run({command, too_long});
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_TRUE(mentions(r, "the Monitor cannot follow paths longer than 255 bytes")) << r.err;
  }
  EXPECT_EQ(run({"export"}).out.find("pq"), std::string::npos);  // nothing written
}

TEST_F(NotesBadInput, ANoteTooLongForOneRecordIsRefusedWithTheLimit) {
  const std::string path = make("big.txt");
  // Room left for a set-aside copy's time and kind: a note filling the
  // record could not be set aside when its file is deleted.
  const size_t limit = 32767 - (path.size() + 1) - 1 - 29;
  ASSERT_EQ(run({"set", path, "small"}).status, 0);

  QbRun refused = run({"set", path, "-"}, std::string(limit + 1, 'x'));
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(mentions(refused, "at most " + std::to_string(limit) + " bytes")) << refused.err;
  EXPECT_EQ(run({"get", path}).out, "small\n");

  const std::string exact(limit, 'y');
  ASSERT_EQ(run({"set", path, "-"}, exact).status, 0);
  EXPECT_EQ(run({"get", path}).out, exact + "\n");
  EXPECT_EQ(run({"check"}).status, 0);
}

TEST_F(NotesBadInput, ANulByteIsRefused) {
  const std::string path = make("nul.txt");
  QbRun r = run({"set", path}, std::string("before\0after", 12));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(mentions(r, "NUL")) << r.err;
  EXPECT_EQ(run({"get", path}).status, 1);
}

TEST_F(NotesBadInput, TextThatIsNotUtf8IsStoredAsGivenAndEscapedInJson) {
  const std::string path = make("latin1.txt");
  const std::string note = "caf\xe9 \xff\xfe end";
  ASSERT_EQ(run({"set", path, note}).status, 0);
  EXPECT_EQ(run({"get", path}).out, note + "\n");
  EXPECT_EQ(run({"get", "--json", path}).out,
            "{\"path\": \"" + path + "\", \"note\": \"caf\\udce9 \\udcff\\udcfe end\"}\n");
}

// A damaged data file header: every command that needs the table stops with
// exit 3, the engine's error number in words, and leaves both files alone.
TEST_F(NotesBadInput, ATableThatCannotBeOpenedIsReportedAndLeftAsItIs) {
  const std::string path = make("a.txt");
  ASSERT_EQ(run({"set", path, "precious"}).status, 0);
  std::string db = read_whole_file(notes_db());
  db[0] = static_cast<char>(0xFF);
  db[1] = static_cast<char>(0x7F);
  ASSERT_TRUE(write_whole_file(notes_db(), db));
  const std::string idx = read_whole_file(notes_idx());

  ASSERT_TRUE(write_whole_file(tmp_.file("one.jsonl"), "{\"path\": \"/x\", \"note\": \"y\"}\n"));
  const std::vector<std::vector<std::string>> commands = {
      {"set", path, "new"}, {"get", path},        {"rm", path},
      {"ls"},               {"find", "precious"}, {"import", tmp_.file("one.jsonl")},
      {"export"},           {"check"}};
  for (const auto& c : commands) {
    QbRun r = run(c);
    EXPECT_EQ(r.status, 3) << c[0] << ": " << r.err << r.out;
    EXPECT_TRUE(mentions(r, "error ") || r.out.find("error ") != std::string::npos) << c[0] << ": " << r.err;
  }
  EXPECT_EQ(read_whole_file(notes_db()), db);
  EXPECT_EQ(read_whole_file(notes_idx()), idx);
}

// A full disk under the index file as under the data file: the message
// keeps the system's cause.
TEST(NotesErrorText, AFailedWriteOfEitherFileNamesTheSystemsCause) {
  for (auto [code, index_error] : {std::pair{kTbDataFile, 0}, {kTbIndexLayer, kIxWriteFailed}})
    EXPECT_NE(engine_error_text(code, index_error, ENOSPC).find("No space left on device"), std::string::npos) << code;
  EXPECT_NE(engine_error_text(kTbCannotOpen, 0, EROFS).find("Read-only file system"), std::string::npos);
}

TEST_F(NotesBadInput, ADamagedIndexFileIsReportedAndLeftAsItIs) {
  const std::string path = make("a.txt");
  ASSERT_EQ(run({"set", path, "precious"}).status, 0);
  std::string idx = read_whole_file(notes_idx());
  for (size_t i = 0; i < 36; ++i) idx[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(write_whole_file(notes_idx(), idx));
  const std::string db = read_whole_file(notes_db());

  QbRun set = run({"set", path, "new"});
  EXPECT_EQ(set.status, 3);
  EXPECT_TRUE(mentions(set, "index")) << set.err;
  EXPECT_TRUE(mentions(set, "error 12 (") || mentions(set, "error 9 (")) << set.err;
  EXPECT_EQ(run({"get", path}).status, 3);
  EXPECT_EQ(read_whole_file(notes_db()), db);
  EXPECT_EQ(read_whole_file(notes_idx()), idx);
}

TEST_F(NotesBadInput, ImportReportsEachLineItCannotTakeAndGoesOn) {
  const std::string a = make("a"), b = make("b");
  const std::string too_long_path = "/" + std::string(300, 'p');
  const std::string lines[] = {
      "{\"path\": \"" + a + "\", \"note\": \"first\"}",
      "{\"path\": \"" + a,
      "{\"path\": \"/x\"}",
      "{\"path\": \"relative\", \"note\": \"n\"}",
      "{\"path\": \"" + too_long_path + "\", \"note\": \"n\"}",
      "{\"path\": \"/x\", \"note\": \"" + std::string(32767, 'n') + "\"}",
      "{\"path\": \"/x\", \"note\": \"a\\u0000b\"}",
      "not json",
      "{\"path\": \"/x\", \"note\": \"y\"} trailing",
      "   ",
      "{\"path\": \"" + b + "\", \"note\": \"last\"}",
  };
  std::string input;
  for (const std::string& l : lines) input += l + "\n";
  QbRun r = run({"import", "-"}, input);
  EXPECT_EQ(r.status, 2);
  for (int n = 2; n <= 9; ++n) EXPECT_TRUE(mentions(r, "line " + std::to_string(n) + ":")) << n << r.err;
  EXPECT_FALSE(mentions(r, "line 10:"));
  EXPECT_FALSE(mentions(r, "line 1:"));
  EXPECT_FALSE(mentions(r, "line 11:"));
  EXPECT_EQ(run({"export"}).out, "{\"path\": \"" + a + "\", \"note\": \"first\"}\n{\"path\": \"" + b +
                                      "\", \"note\": \"last\"}\n");
}

}  // namespace
