// Found by fuzz/profile_fuzz: RegCreateKeyExA accepted a key name holding a
// line break and wrote its "[...]" header across two lines of
// registry.reg. Read back, the header was no header: the key was gone, the
// text after the break became a line of its own (one that could read as a
// value of the key before it), and every value set on the new key was lost
// with it.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/state_dir.h"
#include "state_home.h"

namespace {

class RegistryKeyLineBreak : public StateHome {};

TEST_F(RegistryKeyLineBreak, IsRefusedAndLeavesTheFileAsItWas) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Plain", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  const std::string before = read_whole_file(qb_state_path("registry.reg"));

  for (const char* name : {"SOFTWARE\\two\nlines", "SOFTWARE\\Plain\\\n[HKEY_CURRENT_USER\\Taken]", "\n"}) {
    k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &k), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(read_whole_file(qb_state_path("registry.reg")), before);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Taken", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

}  // namespace
