// The text forms of notes: JSON lines in which any bytes but NUL survive a
// write and a read, what is not JSON or not a note refused with the reason,
// and a terminal's escapes that turn control characters into text to read.
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

TEST(NotesJson, LinesOfOtherWritersAreReadOrRefusedWithTheReason) {
  const struct {
    const char* line;
    const char* note;  // what is read, or why the line is refused
    int rc;
  } rows[] = {
      {R"({ "path" : "\/a\u00e9" , "note":"\ud83d\ude00\b\f\r\t\"\\"})", "\xf0\x9f\x98\x80\b\f\r\t\"\\", 1},
      {R"({"v": -1.5e3, "t": [true, false, null, {"a": []}], "path": "/a\u00e9", "o": {}, "note": ""})", "", 1},
      {R"({"path": "/a", "note": "x\udc41"})", "low surrogate", -1},  // not a byte escape
      {R"({"path": "/a"})", "\"note\" is missing", -1}, {R"({"note": "n"})", "\"path\" is missing", -1},
      {R"({"path": "/a", "note": 5})", "\"note\" must be a string", -1},
      {R"({"path": "/a", "path": "/b", "note": ""})", "\"path\" is given twice", -1},
      {R"({"path": "/a", "note": "n"} x)", "text follows the object", -1},
      {R"({"path": "/a", "note": "n")", "',' or '}' was expected", -1},
      {R"({"path": "/a", "note": "n)", "no closing quote", -1},
      {R"({"path": "/a", "note": "\q"})", "unknown escape", -1},
      {R"({"path": "/a", "note": "\u12"})", "four hex digits", -1}, {R"({"path": "/a", "note": "\u0000"})", "NUL", -1},
      {R"({"path": "/a", "note": "\ud800x"})", "high surrogate", -1},
      {"{\"path\": \"/a\", \"note\": \"raw\ttab\"}", "control character", -1},
      {R"({"path": "/a", "note": "n", "x": [1, }])", "a value was expected", -1},
      {R"({"path" "/a"})", "':' was expected", -1},
      {R"(["path", "note"])", "an object was expected", -1}, {"", "an object was expected", -1},
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

// On a terminal C0, DEL and C1 show as octal escapes, a backslash doubled; a note keeps breaks and tabs.
TEST(NotesTerminalText, ControlCharactersBecomeTextToRead) {
  EXPECT_EQ(term_text("clear\x1b[2Jscreen\\", false), "clear\\033[2Jscreen\\\\");
  EXPECT_EQ(term_text("bell\a\x7f\xc2\x9b \xc2\xa0 \xc2", false), "bell\\007\\177\\302\\233 \xc2\xa0 \xc2");
  EXPECT_EQ(term_text("two\nlines\tand tab", true), "two\nlines\tand tab");
  EXPECT_EQ(term_text(std::string("\n\t\0", 3), false), "\\012\\011\\000");
}

}  // namespace
