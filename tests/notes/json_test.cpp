// Notes as JSON lines: any bytes but NUL survive a write and a read; what is not
// JSON or not a note is refused with the reason.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "notes/json.h"
#include "notes/notes.h"

namespace {

TEST(NotesJson, AnyBytesButNulSurviveAWriteAndARead) {
  std::mt19937 random(20240611);
  // Mostly bytes near the UTF-8 boundaries, so that sequences form and break.
  static const unsigned char kBytes[] = {'a',  '"',  '\\', '\n', 0x01, 0x7F, 0x80, 0xBF, 0xC0, 0xC2,
                                         0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F};
  for (int round = 0; round < 2000; ++round) {
    std::string note, p, n, why;
    for (int i = random() % 40; i > 0; --i) note += static_cast<char>(kBytes[random() % sizeof kBytes]);
    const std::string line = json_note("/p", note);
    ASSERT_EQ(json_read_note(line, &p, &n, &why), 1) << why << " in " << line;
    ASSERT_TRUE(n == note && p == "/p") << "round " << round;
    for (char c : line) ASSERT_GE(static_cast<unsigned char>(c), 0x20u);  // one line, no raw controls
  }
  // Each byte of an overlong, surrogate, too high or cut-short sequence becomes a low surrogate.
  EXPECT_EQ(json_string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82"),
            "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \\udcc0\\udcaf \\udced\\udca0\\udc80 "
            "\\udcf4\\udc90\\udc80\\udc80 \\udce2\\udc82\"");
  EXPECT_EQ(json_string("tab\there \x1b"), "\"tab\\there \\u001b\"");
}

// Lines other writers made: read (path "/a\u00e9"), or refused with the reason.
TEST(NotesJson, LinesOfOtherWritersAreReadOrRefusedWithTheReason) {
  const struct {
    const char *line, *note;  // what is read, or why the line is refused
    int rc;
  } rows[] = {
      {R"({ "path" : "\/a\u00e9" , "note":"\ud83d\ude00\b\f\r\t\"\\"})", "\xf0\x9f\x98\x80\b\f\r\t\"\\", 1},
      {R"({"v": -1.5e3, "t": [true, false, null, {"a": []}], "path": "/a\u00e9", "o": {}, "note": ""})", "", 1},
      {R"({"path": "/a", "note": "x\udc41"})", "low surrogate", -1},  // not a byte escape
      {R"({"path": "/a", "path": "/b", "note": ""})", "\"path\" is given twice", -1},
      {R"({"path": "/a"})", "\"note\" is missing", -1},  // each name marks its own member seen
      {R"({"path": "/a", "note": "\ud800x"})", "high surrogate", -1}, {R"({"path" "/a"})", "':' was expected", -1},
  };
  for (const auto& r : rows) {
    std::string p, n, why;
    EXPECT_EQ(json_read_note(r.line, &p, &n, &why), r.rc) << r.line << ": " << why;
    if (r.rc == 1) {
      EXPECT_TRUE(n == r.note && p == "/a\xc3\xa9") << r.line;
    } else {
      EXPECT_NE(why.find(r.note), std::string::npos) << r.line << " gave: " << why;
    }
  }
}

}  // namespace
