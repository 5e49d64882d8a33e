// Found by fuzz/profile_fuzz: a value line ending in the continuation
// backslash as the last line of registry.reg had nothing to go on with, so
// it was read alone. The writer puts a blank line after every key, and read
// back the same line then took that blank line as its continuation: each
// program's write changed the file's text once more, and a line that had
// not been understood ("x"=hex:\) could turn into a value ("x"=hex:) that
// no one set.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"
#include "state_home.h"

namespace {

class RegistryTrailingBackslash : public StateHome {};

TEST_F(RegistryTrailingBackslash, WrittenTextReadsBackAsItself) {
  for (const char* text : {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=zz\\",
                           "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n",
                           "REGEDIT4\n\"before any key\"=\\",
                           "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\\n  \\",
                           "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"f\"=\"C:\\\\Notes\\\\"}) {
    SCOPED_TRACE(text);
    const std::string once = reg_format(reg_parse(text, "t", nullptr));
    EXPECT_EQ(reg_format(reg_parse(once, "t", nullptr)), once);
  }
}

TEST_F(RegistryTrailingBackslash, ABlankLineEndsTheValue) {
  RegDoc doc = reg_parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n\n\"y\"=dword:00000002\n", "t", nullptr);
  RegSection* s = reg_find_section(doc, "HKEY_LOCAL_MACHINE\\A");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(reg_find_value(*s, "x"), nullptr);  // "hex:01," is not understood
  const RegValue* y = reg_find_value(*s, "y");
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->type, REG_DWORD);
}

TEST_F(RegistryTrailingBackslash, AnotherValueWrittenLeavesItAsItWas) {
  ASSERT_FALSE(qb_state_dir().empty());
  ASSERT_TRUE(write_whole_file(qb_state_path("registry.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\"));
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  const LONG before = RegQueryValueExA(k, "x", nullptr, &type, nullptr, &size);
  const DWORD one = 1, two = 2;
  ASSERT_EQ(RegSetValueExA(k, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
  const std::string first = read_whole_file(qb_state_path("registry.reg"));
  ASSERT_EQ(RegSetValueExA(k, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
  EXPECT_EQ(read_whole_file(qb_state_path("registry.reg")), first);  // writes do not keep changing the text
  DWORD type_after = 0, size_after = 0;
  EXPECT_EQ(RegQueryValueExA(k, "x", nullptr, &type_after, nullptr, &size_after), before);
  EXPECT_EQ(type_after, type);
  EXPECT_EQ(size_after, size);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

}  // namespace
