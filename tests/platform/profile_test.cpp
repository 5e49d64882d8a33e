// win.ini: number parsing, writes and deletions and what they leave of the
// rest of the file, malformed lines, and two processes writing at once.
#include <gtest/gtest.h>

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

TEST_F(Profile, NumbersFollowWindows) {
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 0), 0u);  // no file at all
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 9), 9u);
  write_ini("[Other]\nA=55\n[quibbet]\nA=12\nb=+7\nC=-3\nD=102abc\nE=abc\nF=\n  G = 5  \n");
  EXPECT_EQ(GetProfileIntA("QUIBBET", "a", 9), 12u);  // names ignore case; first section that has it
  EXPECT_EQ(GetProfileIntA("Quibbet", "B", 9), 7u);
  EXPECT_EQ(GetProfileIntA("Quibbet", "C", 9), 0u);  // negative reads as 0
  EXPECT_EQ(GetProfileIntA("Quibbet", "D", 9), 102u);
  EXPECT_EQ(GetProfileIntA("Quibbet", "E", 9), 0u);
  EXPECT_EQ(GetProfileIntA("Quibbet", "F", 9), 9u);  // empty value: the default
  EXPECT_EQ(GetProfileIntA("Quibbet", "G", 9), 5u);
  EXPECT_EQ(GetProfileIntA("Quibbet", "H", 9), 9u);
  EXPECT_EQ(GetProfileIntA("Missing", "A", 9), 9u);
}

TEST_F(Profile, WriteCreatesThenReplacesInPlace) {
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "MODIFIED", "1"));
  EXPECT_EQ(ini(), "[Quibbet]\nMODIFIED=1\n");
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 0), 1u);
  ASSERT_TRUE(WriteProfileStringA("quibbet", "modified", "0"));
  EXPECT_EQ(ini(), "[Quibbet]\nMODIFIED=0\n");  // the key keeps its spelling
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 7), 0u);
}

TEST_F(Profile, ChangesLeaveTheRestAlone) {
  write_ini("; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "Extra", "yes"));
  EXPECT_EQ(ini(), "; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\nExtra=yes\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "MODIFIED", nullptr));
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "NotThere", nullptr));
  EXPECT_EQ(ini(), "; a comment\n[Windows]\nload=\n\n[Quibbet]\nExtra=yes\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_TRUE(WriteProfileStringA("QUIBBET", nullptr, nullptr));
  EXPECT_EQ(ini(), "; a comment\n[Windows]\nload=\n\n[Desktop]\nWallpaper=(None)\n");
  EXPECT_EQ(GetProfileIntA("Quibbet", "Extra", 4), 4u);
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "MODIFIED", "1"));
  EXPECT_EQ(ini(), "; a comment\n[Windows]\nload=\n\n[Desktop]\nWallpaper=(None)\n\n[Quibbet]\nMODIFIED=1\n");
}

TEST_F(Profile, RefusesWhatCannotBeWritten) {
  EXPECT_FALSE(WriteProfileStringA(nullptr, "MODIFIED", "1"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WriteProfileStringA("Quibbet", "MODIFIED", "1\n[Evil]"));
  EXPECT_FALSE(WriteProfileStringA("Quibbet", "A=B", "1"));
  EXPECT_FALSE(WriteProfileStringA("Quibbet", "", "1"));
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 3), 3u);
}

TEST_F(Profile, MalformedLinesAreReportedOnceAndKept) {
  write_ini("stray=before any section\n[Quibbet]\nthis line means nothing\nMODIFIED=1\n");
  StderrCapture err(tmp_.file("stderr"));
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 0), 1u);
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "MODIFIED", "0"));
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "Other", "2"));
  EXPECT_EQ(GetProfileIntA("Quibbet", "Other", 0), 2u);
  std::string said = err.finish();
  EXPECT_EQ(count_of(said, "this line means nothing"), 1) << said;
  EXPECT_NE(said.find("win.ini:3:"), std::string::npos) << said;
  EXPECT_EQ(count_of(said, "stray=before"), 1) << said;
  EXPECT_EQ(ini(), "stray=before any section\n[Quibbet]\nthis line means nothing\nMODIFIED=0\nOther=2\n");
}

TEST_F(Profile, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kWrites = 100;
  auto writer = [&](char tag) {
    return fork_child([tag](int in, int) {
      char go;
      if (recv_byte(in, &go) != 1) return 2;
      for (int i = 0; i < kWrites; ++i) {
        std::string key = tag + std::to_string(i);
        if (!WriteProfileStringA(tag == 'A' ? "Quibbet" : "Second", key.c_str(), std::to_string(i + 1).c_str()))
          return 3;
      }
      return 0;
    });
  };
  Child a = writer('A'), b = writer('B');
  send_byte(a.to_child, 'g');
  send_byte(b.to_child, 'g');
  EXPECT_EQ(wait_child(a), 0);
  EXPECT_EQ(wait_child(b), 0);
  int missing = 0;
  for (int i = 0; i < kWrites; ++i) {
    if (GetProfileIntA("Quibbet", ("A" + std::to_string(i)).c_str(), 0) != static_cast<UINT>(i + 1)) ++missing;
    if (GetProfileIntA("Second", ("B" + std::to_string(i)).c_str(), 0) != static_cast<UINT>(i + 1)) ++missing;
  }
  EXPECT_EQ(missing, 0);
}

}  // namespace
