// qbnote's JSON lines: any bytes survive a write and a read; what is not
// JSON, or not a note, is refused with the reason.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "notes/json.h"

namespace {

int read_line(const std::string& line, std::string* path, std::string* note, std::string* why) {
  return json_read_note(line, path, note, why);
}

TEST(NotesJson, AnyBytesButNulSurviveAWriteAndARead) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 2000; ++round) {
    std::string path = "/p", note;
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) {
      // Mostly bytes near the UTF-8 boundaries, so sequences form and break.
      static const unsigned char kBytes[] = {'a', '"', '\\', '\n', 0x01, 0x7F, 0x80, 0xBF, 0xC0, 0xC2,
                                             0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F};
      note += static_cast<char>(kBytes[random() % sizeof kBytes]);
    }
    std::string line = json_note(path, note), p, n, why;
    ASSERT_EQ(read_line(line, &p, &n, &why), 1) << why << " in " << line;
    ASSERT_EQ(n, note) << "seed round " << round;
    ASSERT_EQ(p, path);
    for (char c : line) ASSERT_GE(static_cast<unsigned char>(c), 0x20u);  // one line, no raw controls
  }
}

TEST(NotesJson, ValidUtf8IsWrittenAsItIsAndInvalidBytesAsLowSurrogates) {
  EXPECT_EQ(json_string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
  EXPECT_EQ(json_string("\xc0\xaf"), "\"\\udcc0\\udcaf\"");          // overlong
  EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\\udced\\udca0\\udc80\"");  // encoded surrogate
  EXPECT_EQ(json_string("\xf4\x90\x80\x80"), "\"\\udcf4\\udc90\\udc80\\udc80\"");  // above U+10FFFF
  EXPECT_EQ(json_string("\xe2\x82"), "\"\\udce2\\udc82\"");  // cut short
  EXPECT_EQ(json_string("tab\there \x1b"), "\"tab\\there \\u001b\"");
}

TEST(NotesJson, EscapesOfOtherWritersAreRead) {
  std::string p, n, why;
  ASSERT_EQ(read_line(R"({ "path" : "\/a\u00e9" , "note":"\ud83d\ude00\b\f\r\t\"\\"})", &p, &n, &why), 1) << why;
  EXPECT_EQ(p, "/a\xc3\xa9");
  EXPECT_EQ(n, "\xf0\x9f\x98\x80\b\f\r\t\"\\");
  ASSERT_EQ(read_line(R"({"path": "/a", "note": "x\udc41"})", &p, &n, &why), -1);  // not a byte escape
  EXPECT_NE(why.find("low surrogate"), std::string::npos);
}

TEST(NotesJson, WhatIsNotANoteIsRefusedWithTheReason) {
  struct Case {
    const char* line;
    const char* why;
  };
  const Case cases[] = {
      {R"({"path": "/a"})", "\"note\" is missing"},
      {R"({"note": "n"})", "\"path\" is missing"},
      {R"({"path": "/a", "note": 5})", "\"note\" must be a string"},
      {R"({"path": "/a", "path": "/b", "note": ""})", "\"path\" is given twice"},
      {R"({"path": "/a", "note": "n"} x)", "text follows the object"},
      {R"({"path": "/a", "note": "n")", "',' or '}' was expected"},
      {R"({"path": "/a", "note": "n)", "no closing quote"},
      {R"({"path": "/a", "note": "\q"})", "unknown escape"},
      {R"({"path": "/a", "note": "\u12"})", "four hex digits"},
      {R"({"path": "/a", "note": "\u0000"})", "NUL"},
      {R"({"path": "/a", "note": "\ud800x"})", "high surrogate"},
      {"{\"path\": \"/a\", \"note\": \"raw\ttab\"}", "control character"},
      {R"({"path": "/a", "note": "n", "x": [1, }])", "a value was expected"},
      {R"(["path", "note"])", "an object was expected"},
      {"", "an object was expected"},
  };
  for (const Case& c : cases) {
    std::string p, n, why;
    EXPECT_EQ(read_line(c.line, &p, &n, &why), -1) << c.line;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.line << " gave: " << why;
  }
}

TEST(NotesJson, UnknownMembersOfAnyShapeAreSkipped) {
  std::string p, n, why;
  ASSERT_EQ(read_line(R"({"v": -1.5e3, "t": [true, false, null, {"a": []}], "path": "/a", "o": {}, "note": ""})",
                      &p, &n, &why),
            1)
      << why;
  EXPECT_EQ(p, "/a");
  EXPECT_EQ(n, "");
}

}  // namespace
