// Found by fuzz/profile_fuzz: WriteProfileStringA accepted names that no
// read could find again. A key or section with blanks around it was written
// as given but read without them, and a key starting with ';' or '[' was
// written as a comment or a section header; every such write reported
// success, read back as the default, and added one more line to the file.
#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/state_dir.h"
#include "state_home.h"

namespace {

class ProfileNamesReadBack : public StateHome {
 protected:
  std::string ini() const { return read_whole_file(state_file("win.ini")); }
};

TEST_F(ProfileNamesReadBack, BlanksAroundAKeyAreNotPartOfIt) {
  ASSERT_TRUE(write_whole_file(qb_state_path("win.ini"), "[Other]\n  Key = 12 \n"));
  EXPECT_EQ(GetProfileIntA("Other", "  Key ", 7), 12u);
  ASSERT_TRUE(WriteProfileStringA("Other", "  Key ", "42"));
  EXPECT_EQ(GetProfileIntA("Other", "  Key ", 7), 42u);
  EXPECT_EQ(GetProfileIntA("Other", "Key", 7), 42u);
  EXPECT_EQ(ini(), "[Other]\nKey=42\n");  // the one key changed in place, no second line
}

TEST_F(ProfileNamesReadBack, BlanksAroundASectionAreNotPartOfIt) {
  ASSERT_TRUE(WriteProfileStringA(" Quibbet\t", "MODIFIED", "1"));
  EXPECT_EQ(GetProfileIntA(" Quibbet\t", "MODIFIED", 7), 1u);
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 7), 1u);
  ASSERT_TRUE(WriteProfileStringA("Quibbet ", "MODIFIED", "2"));
  EXPECT_EQ(ini(), "[Quibbet]\nMODIFIED=2\n");
  ASSERT_TRUE(WriteProfileStringA("  Quibbet", nullptr, nullptr));
  EXPECT_EQ(GetProfileIntA("Quibbet", "MODIFIED", 7), 7u);
}

TEST_F(ProfileNamesReadBack, KeysThatWouldReadAsAnotherKindOfLineAreRefused) {
  ASSERT_TRUE(WriteProfileStringA("Quibbet", "MODIFIED", "1"));
  const std::string before = ini();
  for (const char* key : {";note", " ;note", "[Other]", "[x", "  ", "\t"}) {
    SetLastError(0);
    EXPECT_FALSE(WriteProfileStringA("Quibbet", key, "5")) << key;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << key;
  }
  EXPECT_EQ(ini(), before);
  EXPECT_EQ(GetProfileIntA("Other", "x", 7), 7u);  // no section was made by a key
}

}  // namespace
