// The registry file: defaults, value round trips through the file, the text
// format, key naming, Windows size rules, malformed lines, and two processes
// writing at once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/state_dir.h"
#include "state_home.h"
#include "support/fork_helper.h"

namespace {

const char kQuibbet[] = "SOFTWARE\\Kestrin Software\\Quibbet";
const char kSaveAs[] = "SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs";

class Registry : public StateHome {
 protected:
  HKEY create(const char* path, HKEY hive = HKEY_LOCAL_MACHINE, DWORD* disposition = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(hive, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                              disposition),
              ERROR_SUCCESS);
    return k;
  }
  static DWORD get_dword(HKEY k, const char* name, LONG* rc = nullptr) {
    DWORD v = 0xFFFFFFFFu, type = 0, size = 4;
    LONG r = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (rc != nullptr) *rc = r;
    if (r == ERROR_SUCCESS) {
      EXPECT_EQ(type, REG_DWORD);
      EXPECT_EQ(size, 4u);
    }
    return v;
  }
  static void set_dword(HKEY k, const char* name, DWORD v) {
    EXPECT_EQ(RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
  }
  static void set_string(HKEY k, const char* name, const std::string& s) {
    EXPECT_EQ(RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                             static_cast<DWORD>(s.size() + 1)),
              ERROR_SUCCESS);
  }
  // The value's type and bytes as a fresh query hands them out.
  static std::string get_bytes(HKEY k, const char* name, DWORD* type) {
    DWORD size = 0;
    if (RegQueryValueExA(k, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return "<missing>";
    std::string out(size, '\0');
    EXPECT_EQ(RegQueryValueExA(k, name, nullptr, type, reinterpret_cast<BYTE*>(out.data()), &size), ERROR_SUCCESS);
    return out;
  }
};

TEST_F(Registry, FirstUseWritesTheDefaults) {
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration", 0,
                          KEY_ALL_ACCESS, &k),
            ERROR_SUCCESS);
  EXPECT_EQ(get_dword(k, "ShowIcon"), 1u);
  EXPECT_EQ(get_dword(k, "Integrate"), 1u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrin Software\\Quibbet\\Status\\", 0, KEY_ALL_ACCESS, &k),
            ERROR_SUCCESS);
  EXPECT_EQ(get_dword(k, "status"), 0u);
  RegCloseKey(k);
  EXPECT_EQ(read_whole_file(state_file("registry.reg")).rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\", 0), 0u);
}

TEST_F(Registry, EveryTypeSurvivesAReadFromTheFile) {
  const std::string tricky = "C:\\dir\\\"quoted\"\\\nsecond line\r\\n";
  const std::string bytes("\x00\x01\xff\x7f\x80", 5);
  HKEY k = create(kSaveAs);
  set_dword(k, "Count", 0xDEADBEEFu);
  set_string(k, "FileSpec", tricky);
  set_string(k, "", "unnamed");
  set_string(k, "Empty", "");
  EXPECT_EQ(RegSetValueExA(k, "Settings", 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()), 5),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(k, "Nothing", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(k, "Multi", 0, 7, reinterpret_cast<const BYTE*>("a\0b\0\0"), 5), ERROR_SUCCESS);
  RegCloseKey(k);

  // Another state folder holding a copy of the file: nothing cached applies.
  std::string text = read_whole_file(state_file("registry.reg"));
  move_home(tmp_.path() + "/copy");
  ASSERT_EQ(qb_state_dir(), home_);
  ASSERT_TRUE(write_whole_file(state_file("registry.reg"), text));
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSaveAs, 0, KEY_READ, &again), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(get_dword(again, "count"), 0xDEADBEEFu);  // value names ignore case
  EXPECT_EQ(get_bytes(again, "FileSpec", &type), tricky + '\0');
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(get_bytes(again, nullptr, &type), std::string("unnamed") + '\0');
  EXPECT_EQ(get_bytes(again, "Empty", &type), std::string(1, '\0'));
  EXPECT_EQ(get_bytes(again, "Settings", &type), bytes);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(get_bytes(again, "Nothing", &type), "");
  EXPECT_EQ(get_bytes(again, "Multi", &type), std::string("a\0b\0\0", 5));
  EXPECT_EQ(type, 7u);
  RegCloseKey(again);
}

TEST_F(Registry, FileTextIsRegedit4) {
  HKEY k = create(kSaveAs);
  set_string(k, "FileSpec", "C:\\Notes\\a \"b\"");
  set_dword(k, "Count", 42);
  const BYTE b[] = {1, 2, 0xff};
  RegSetValueExA(k, "Settings", 0, REG_BINARY, b, 3);
  RegCloseKey(k);
  std::string text = read_whole_file(state_file("registry.reg"));
  EXPECT_NE(text.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n"
                      "\"FileSpec\"=\"C:\\\\Notes\\\\a \\\"b\\\"\"\n"
                      "\"Count\"=dword:0000002a\n"
                      "\"Settings\"=hex:01,02,ff\n"),
            std::string::npos)
      << text;
}

TEST_F(Registry, KeyNamesIgnoreCaseAndTrailingBackslash) {
  DWORD disposition = 0;
  HKEY a = create("SOFTWARE\\Kestrin Software\\Quibbet\\Status\\", HKEY_LOCAL_MACHINE, &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  HKEY q = create(kQuibbet);
  HKEY b = nullptr;
  ASSERT_EQ(RegOpenKeyExA(q, "status", 0, KEY_ALL_ACCESS, &b), ERROR_SUCCESS);  // relative to an open key
  set_dword(a, "status", 1);
  EXPECT_EQ(get_dword(b, "STATUS"), 1u);
  HKEY fresh = create("Software\\Other\\", HKEY_CURRENT_USER, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(fresh);
  create("SOFTWARE\\other", HKEY_CURRENT_USER, &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  // One block in the file for the Status key, however it was named.
  EXPECT_EQ(count_of(read_whole_file(state_file("registry.reg")), "\\Status]"), 1);
  RegCloseKey(a);
  RegCloseKey(b);
  RegCloseKey(q);
}

TEST_F(Registry, SizesAndMissingThingsFollowWindows) {
  HKEY k = create(kSaveAs);
  set_string(k, "FileSpec", "abcdef");
  char buf[16];
  std::memset(buf, 'z', sizeof buf);
  DWORD size = 6, type = 0;
  EXPECT_EQ(RegQueryValueExA(k, "FileSpec", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);  // the terminator counts
  EXPECT_EQ(buf[0], 'z');
  EXPECT_EQ(RegQueryValueExA(k, "FileSpec", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "abcdef");
  EXPECT_EQ(RegQueryValueExA(k, "FileSpec", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
            ERROR_INVALID_PARAMETER);
  LONG rc = 0;
  get_dword(k, "Absent", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  DWORD three = 3;
  EXPECT_EQ(RegSetValueExA(k, "Short", 0, REG_DWORD, reinterpret_cast<BYTE*>(&three), 3), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteValueA(k, "filespec"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(k, "FileSpec"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegFlushKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegFlushKey(k), ERROR_INVALID_HANDLE);

  HKEY none = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Kestrin Software", 0, KEY_READ, &none),
            ERROR_INVALID_PARAMETER);
  // A key that exists only through the keys below it.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\kestrin software", 0, KEY_READ, &none), ERROR_SUCCESS);
  RegCloseKey(none);
}

TEST_F(Registry, ReadsSeeAnotherProgramsReplacement) {
  HKEY k = create("SOFTWARE\\Kestrin Software\\Quibbet\\Configuration");
  EXPECT_EQ(get_dword(k, "ShowIcon"), 1u);
  std::string text = read_whole_file(state_file("registry.reg"));
  size_t at = text.find("\"ShowIcon\"=dword:00000001");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 25, "\"ShowIcon\"=dword:00000000");
  ASSERT_TRUE(write_whole_file(state_file("other.tmp"), text));
  ASSERT_EQ(::rename(state_file("other.tmp").c_str(), state_file("registry.reg").c_str()), 0);
  EXPECT_EQ(get_dword(k, "ShowIcon"), 0u);
  RegCloseKey(k);
}

TEST_F(Registry, MalformedLinesAreReportedOnceAndKept) {
  ASSERT_EQ(qb_state_dir(), home_);
  ASSERT_TRUE(write_whole_file(state_file("registry.reg"),
                               "REGEDIT4\n"
                               "\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n"
                               "; kept comment\n"
                               "\"Broken\"=dword:xyz\n"
                               "\"FileSpec\"=\"C:\\\\x\"\n"
                               "\n"
                               "[HKEY_NOWHERE\\Thing]\n"
                               "\"Orphan\"=dword:00000001\n"));
  StderrCapture err(tmp_.file("stderr"));
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSaveAs, 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(get_bytes(k, "FileSpec", &type), std::string("C:\\x") + '\0');
  EXPECT_EQ(get_bytes(k, "Broken", &type), "<missing>");
  for (int i = 0; i < 3; ++i) set_dword(k, "Count", static_cast<DWORD>(i));  // three re-reads and rewrites
  RegCloseKey(k);
  std::string said = err.finish();
  EXPECT_EQ(count_of(said, "\"Broken\"=dword:xyz"), 1) << said;
  EXPECT_NE(said.find("registry.reg:5:"), std::string::npos) << said;
  EXPECT_EQ(count_of(said, "[HKEY_NOWHERE\\Thing]"), 1) << said;

  std::string text = read_whole_file(state_file("registry.reg"));
  EXPECT_NE(text.find("; kept comment\n\"Broken\"=dword:xyz\n\"FileSpec\"=\"C:\\\\x\"\n\"Count\"=dword:00000002\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[HKEY_NOWHERE\\Thing]\n\"Orphan\"=dword:00000001\n"), std::string::npos) << text;
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kWrites = 200;
  HKEY k = create(kSaveAs);
  RegCloseKey(k);
  auto writer = [&](char tag) {
    return fork_child([tag](int in, int) {
      char go;
      if (recv_byte(in, &go) != 1) return 2;
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSaveAs, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 3;
      for (DWORD i = 0; i < kWrites; ++i) {
        std::string name = tag + std::to_string(i);
        DWORD v = i * 7 + static_cast<DWORD>(tag);
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) != ERROR_SUCCESS)
          return 4;
      }
      return RegCloseKey(key) == ERROR_SUCCESS ? 0 : 5;
    });
  };
  Child a = writer('A'), b = writer('B');
  send_byte(a.to_child, 'g');
  send_byte(b.to_child, 'g');
  EXPECT_EQ(wait_child(a), 0);
  EXPECT_EQ(wait_child(b), 0);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSaveAs, 0, KEY_READ, &k), ERROR_SUCCESS);
  int missing = 0;
  for (char tag : {'A', 'B'}) {
    for (DWORD i = 0; i < kWrites; ++i) {
      LONG rc = 0;
      DWORD v = get_dword(k, (tag + std::to_string(i)).c_str(), &rc);
      if (rc != ERROR_SUCCESS || v != i * 7 + static_cast<DWORD>(tag)) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
  RegCloseKey(k);
}

}  // namespace
