// Found by fuzz/profile_fuzz: a line of registry.reg kept as text (one not
// understood, a comment, a header outside the two hives) that ended in a
// carriage return of its own, past the one a CRLF line end brings, lost
// that return at each write. The reader drops one '\r' before a line end;
// the writer put the kept line back with a bare '\n', so the next reader
// took the line's own '\r' for the line end and dropped it too. Each
// program's write changed the file's text once more.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"
#include "state_home.h"

namespace {

class RegistryRoundTrip : public StateHome {
 protected:
  static std::string once(const std::string& text) { return reg_format(reg_parse(text, "t", nullptr)); }
};

TEST_F(RegistryRoundTrip, KeptLinesEndingInReturnsReadBackAsThemselves) {
  const std::string texts[] = {
      std::string("G\r\r"),                                                    // no header line, at the end
      std::string("REGEDIT4\n\njunk\r\r\n[HKEY_LOCAL_MACHINE\\A]\n"),          // before the first key
      std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n; note\r\r\r\n"),        // a comment, three returns
      std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=zz\r\r\n\"y\"=dword:2\n"),
      std::string("REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\r\r\n\"x\"=dword:1\n"),   // a header not understood
      std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\r\r\n  zz\r\r\n"),  // continued
      std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\\r\r\n\r\r\n\"y\"=\"v\"\n"),
      std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=zz\r\r") + '\0' + "\r\r\n",  // a zero byte
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(testing::PrintToString(text));
    const std::string first = once(text);
    EXPECT_EQ(once(first), first);
  }
}

TEST_F(RegistryRoundTrip, KeptLineKeepsItsReturns) {
  RegDoc doc = reg_parse(once("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n; note\r\r\n\"v\"=dword:00000003\r\n"), "t", nullptr);
  RegSection* s = reg_find_section(doc, "HKEY_LOCAL_MACHINE\\A");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->lines.size(), 2u);
  EXPECT_FALSE(s->lines[0].is_value);
  EXPECT_EQ(s->lines[0].raw, "; note\r");  // the CRLF's return is the line end; the other is text
  const RegValue* v = reg_find_value(*s, "v");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, REG_DWORD);
}

TEST_F(RegistryRoundTrip, ValueSetTwiceLeavesTheFileAsItWas) {
  ASSERT_FALSE(qb_state_dir().empty());
  ASSERT_TRUE(write_whole_file(qb_state_path("registry.reg"),
                               "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n; kept\r\r\n\"x\"=dword:00000001\r\n"));
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  const DWORD one = 1, two = 2;
  ASSERT_EQ(RegSetValueExA(k, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
  const std::string first = read_whole_file(qb_state_path("registry.reg"));
  EXPECT_NE(first.find("; kept\r\r\n"), std::string::npos) << first;
  ASSERT_EQ(RegSetValueExA(k, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
  EXPECT_EQ(read_whole_file(qb_state_path("registry.reg")), first);
  DWORD type = 0, data = 0, size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(k, "x", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, 1u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

}  // namespace
