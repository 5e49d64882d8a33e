// win.ini: the reading rule for numbers, names as a reader finds them,
// writes and deletions and what they leave of the rest of the file, what
// cannot be written, malformed lines, and two processes writing at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/state_dir.h"
#include "state_home.h"
#include "support/fork_helper.h"

namespace {

class Profile : public StateHome {
 protected:
  void write_ini(const std::string& text) {
    ASSERT_EQ(qb_state_dir(), home_);
    ASSERT_TRUE(write_whole_file(state_file("win.ini"), text));
  }
  std::string ini() const { return read_whole_file(state_file("win.ini")); }
};

TEST_F(Profile, NumbersAndNamesAsAReaderFindsThem) {
  EXPECT_EQ(profile_read_number("Quibbet", "MODIFIED", 9), 9u);  // no file at all
  write_ini("[Other]\nA=55\n  Key = 12 \n[quibbet]\nA=12\nb=+7\nC=-3\nD=102abc\nE=abc\nF=\n  G = 5  \n");
  struct Row {
    const char* section;
    const char* key;
    unsigned want;  // with 9 as the default
  };
  for (const Row& r : {Row{"QUIBBET", "a", 12},  // names ignore case; the first section that has it
                       Row{"Quibbet", "B", 7}, Row{"Quibbet", "C", 0},  // a negative number reads as 0
                       Row{"Quibbet", "D", 102}, Row{"Quibbet", "E", 0},
                       Row{"Quibbet", "F", 9},  // an empty value: the default
                       Row{"Quibbet", "G", 5}, Row{"Quibbet", "H", 9}, Row{"Missing", "A", 9},
                       Row{" Other\t", "  Key ", 12},  // blanks around names are no part of them
                       Row{nullptr, "A", 9}, Row{"Other", nullptr, 9}}) {
    EXPECT_EQ(profile_read_number(r.section, r.key, 9), r.want)
        << (r.section != nullptr ? r.section : "(null)") << " " << (r.key != nullptr ? r.key : "(null)");
  }
}

TEST_F(Profile, WritesChangeOneLineAndLeaveTheRestAlone) {
  struct Row {
    const char* section;
    const char* key;
    const char* value;
    const char* after;  // the whole file
  };
  const Row rows[] = {
      {"Quibbet", "MODIFIED", "1", "[Quibbet]\nMODIFIED=1\n"},
      {"quibbet", "modified", "0", "[Quibbet]\nMODIFIED=0\n"},  // the key keeps its spelling
      {" Quibbet\t", "  MODIFIED ", "2", "[Quibbet]\nMODIFIED=2\n"},
      {"Quibbet", "Extra", "yes", "[Quibbet]\nMODIFIED=2\nExtra=yes\n"},
      {"Quibbet", "MODIFIED", nullptr, "[Quibbet]\nExtra=yes\n"},
      {"Quibbet", "NotThere", nullptr, "[Quibbet]\nExtra=yes\n"},
      {"  QUIBBET", nullptr, nullptr, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.after);
    ASSERT_EQ(profile_write(r.section, r.key, r.value), 0);
    EXPECT_EQ(ini(), r.after);
  }
  EXPECT_EQ(profile_read_number("Quibbet", "Extra", 4), 4u);

  write_ini("; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_EQ(profile_write("Quibbet", "Extra", "yes"), 0);
  EXPECT_EQ(ini(), "; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\nExtra=yes\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_EQ(profile_write("QUIBBET", nullptr, nullptr), 0);
  ASSERT_EQ(profile_write("Quibbet", "MODIFIED", "1"), 0);
  EXPECT_EQ(ini(), "; a comment\n[Windows]\nload=\n\n[Desktop]\nWallpaper=(None)\n\n[Quibbet]\nMODIFIED=1\n");
}

TEST_F(Profile, RefusesWhatWouldNotReadBack) {
  ASSERT_EQ(profile_write("Quibbet", "MODIFIED", "1"), 0);
  const std::string before = ini();
  struct Row {
    const char* section;
    const char* key;
    const char* value;
  };
  for (const Row& r : {Row{nullptr, "MODIFIED", "1"}, Row{"Quibbet", "MODIFIED", "1\n[Evil]"},
                       Row{"Qui]bbet", "MODIFIED", "1"}, Row{"Quibbet", "A=B", "1"}, Row{"Quibbet", "", "1"},
                       Row{"Quibbet", ";note", "5"}, Row{"Quibbet", " ;note", "5"}, Row{"Quibbet", "[Other]", "5"},
                       Row{"Quibbet", "[x", "5"}, Row{"Quibbet", "  ", "5"}, Row{"Quibbet", "\t", "5"},
                       Row{"Quibbet", "a\rb", "5"}}) {
    EXPECT_EQ(profile_write(r.section, r.key, r.value), EINVAL) << (r.key != nullptr ? r.key : "(null)");
  }
  EXPECT_EQ(ini(), before);
  EXPECT_EQ(profile_read_number("Other", "x", 7), 7u);  // no section was made by a key
}

TEST_F(Profile, MalformedLinesAreReportedOnceAndKept) {
  write_ini("stray=before any section\n[Quibbet]\nthis line means nothing\nMODIFIED=1\n");
  StderrCapture err(tmp_.file("stderr"));
  EXPECT_EQ(profile_read_number("Quibbet", "MODIFIED", 0), 1u);
  ASSERT_EQ(profile_write("Quibbet", "MODIFIED", "0"), 0);
  ASSERT_EQ(profile_write("Quibbet", "Other", "2"), 0);
  EXPECT_EQ(profile_read_number("Quibbet", "Other", 0), 2u);
  std::string said = err.finish();
  EXPECT_EQ(count_of(said, "this line means nothing"), 1) << said;
  EXPECT_NE(said.find("win.ini:3:"), std::string::npos) << said;
  EXPECT_EQ(count_of(said, "stray=before"), 1) << said;
  EXPECT_EQ(ini(), "stray=before any section\n[Quibbet]\nthis line means nothing\nMODIFIED=0\nOther=2\n");
}

TEST_F(Profile, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr unsigned kWrites = 100;
  EXPECT_TRUE(write_at_once(kWrites, [](char tag, unsigned i) {
    return profile_write(tag == 'A' ? "Quibbet" : "Second", (tag + std::to_string(i)).c_str(),
                         std::to_string(i + 1).c_str()) == 0;
  }));
  int missing = 0;
  for (unsigned i = 0; i < kWrites; ++i) {
    missing += profile_read_number("Quibbet", ("A" + std::to_string(i)).c_str(), 0) != i + 1 ? 1 : 0;
    missing += profile_read_number("Second", ("B" + std::to_string(i)).c_str(), 0) != i + 1 ? 1 : 0;
  }
  EXPECT_EQ(missing, 0);
}

}  // namespace
