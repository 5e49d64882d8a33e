// The registry file through the plain calls: defaults, values read back from
// the file, key and value naming, the REGEDIT4 text and its round trip,
// malformed lines, and two processes writing at once. Texts that once failed
// under fuzz/profile_fuzz are rows of the round-trip tables.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"
#include "platform/watch_config.h"
#include "state_home.h"
#include "support/fork_helper.h"

namespace {

constexpr RegHive kLM = RegHive::kLocalMachine;
const char kSaveAs[] = "SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs";

class Registry : public StateHome {
 protected:
  std::string file() const { return read_whole_file(state_file("registry.reg")); }
  void put_file(const std::string& text) {
    ASSERT_EQ(qb_state_dir(), home_);
    ASSERT_TRUE(write_whole_file(state_file("registry.reg"), text));
  }
  static uint32_t number(const char* key, const char* name, int* rc = nullptr, RegHive hive = kLM) {
    uint32_t v = 0xFFFFFFFFu;
    int r = reg_read_number(hive, key, name, &v);
    if (rc != nullptr) *rc = r;
    return v;
  }
  static std::string text(const char* key, const char* name, int* rc = nullptr) {
    std::string v = "<unread>";
    int r = reg_read_string(kLM, key, name, &v);
    if (rc != nullptr) *rc = r;
    return v;
  }
};

std::string once(const std::string& text) { return reg_format(reg_parse(text, "t", nullptr)); }

TEST_F(Registry, FirstUseWritesTheDefaults) {
  struct Row {
    const char* key;
    const char* name;
    uint32_t value;
  };
  for (const Row& r : {Row{"SOFTWARE\\Kestrin Software\\Quibbet\\Configuration", "ShowIcon", 1},
                       Row{"SOFTWARE\\Kestrin Software\\Quibbet\\Configuration", "Integrate", 1},
                       Row{"SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status", 0}}) {
    int rc = -1;
    EXPECT_EQ(number(r.key, r.name, &rc), r.value) << r.name;
    EXPECT_EQ(rc, 0) << r.name;
  }
  EXPECT_EQ(file().rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\", 0), 0u);
}

TEST_F(Registry, ValuesReadBackFromTheFileAndItsTextIsRegedit4) {
  const std::string tricky = "C:\\dir\\\"quoted\"\\\nsecond line\r\\n";
  ASSERT_EQ(reg_write_number(kLM, kSaveAs, "Count", 0xDEADBEEFu), 0);
  ASSERT_EQ(reg_write_string(kLM, kSaveAs, "FileSpec", tricky), 0);
  ASSERT_EQ(reg_write_string(kLM, kSaveAs, nullptr, "unnamed"), 0);
  ASSERT_EQ(reg_write_string(kLM, kSaveAs, "Empty", ""), 0);
  ASSERT_EQ(reg_write_string(kLM, kSaveAs, "Cut", std::string("up to\0here", 10)), 0);
  ASSERT_EQ(reg_write_number(RegHive::kCurrentUser, "Software\\Other", "Mine", 5), 0);
  const std::string written = file();
  EXPECT_NE(written.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n"
                         "\"Count\"=dword:deadbeef\n"
                         "\"FileSpec\"=\"C:\\\\dir\\\\\\\"quoted\\\"\\\\\\nsecond line\\r\\\\n\"\n"
                         "@=\"unnamed\"\n"),
            std::string::npos)
      << written;

  // Another state folder holding a copy of the file: nothing cached applies.
  move_home(tmp_.path() + "/copy");
  put_file(written + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n\"Bytes\"=hex:01,ff\n");
  struct Row {
    const char* name;
    std::string want;  // "" with rc: not read
    int rc;
  };
  for (const Row& r : {Row{"filespec", tricky, 0},  // value names ignore case
                       Row{nullptr, "unnamed", 0}, Row{"", "unnamed", 0}, Row{"Empty", "", 0},
                       Row{"Cut", "up to", 0}, Row{"Count", "<unread>", EPROTOTYPE},
                       Row{"Bytes", "<unread>", EPROTOTYPE}, Row{"Absent", "<unread>", ENOENT}}) {
    int rc = -1;
    EXPECT_EQ(text(kSaveAs, r.name, &rc), r.want) << (r.name != nullptr ? r.name : "(null)");
    EXPECT_EQ(rc, r.rc) << (r.name != nullptr ? r.name : "(null)");
  }
  int rc = -1;
  EXPECT_EQ(number(kSaveAs, "COUNT", &rc), 0xDEADBEEFu);
  EXPECT_EQ(number(kSaveAs, "FileSpec", &rc), 0xFFFFFFFFu);
  EXPECT_EQ(rc, EPROTOTYPE);
  EXPECT_EQ(number("software\\other", "mine", &rc, RegHive::kCurrentUser), 5u);
  EXPECT_EQ(number("Software\\Other", "Mine", &rc), 0xFFFFFFFFu);  // the other hive
  EXPECT_EQ(rc, ENOENT);
}

TEST_F(Registry, KeyPaths) {
  ASSERT_EQ(reg_create_key(kLM, "SOFTWARE\\Plain"), 0);
  const std::string before = file();
  struct Row {
    const char* key;
    int rc;  // of a write of a value to it
  };
  for (const Row& r : {Row{"SOFTWARE\\two\nlines", EINVAL}, Row{"SOFTWARE\\Plain\\\n[HKEY_CURRENT_USER\\Taken]", EINVAL},
                       Row{"\n", EINVAL}, Row{"SOFTWARE\\cr\r", EINVAL}, Row{"SOFTWARE\\\\Plain", EINVAL},
                       Row{"\\SOFTWARE", EINVAL}}) {
    SCOPED_TRACE(testing::PrintToString(std::string(r.key)));
    EXPECT_EQ(reg_create_key(kLM, r.key), r.rc);
    EXPECT_EQ(reg_write_number(kLM, r.key, "v", 1), r.rc);
    EXPECT_EQ(reg_write_string(kLM, r.key, "v", "x"), r.rc);
    EXPECT_EQ(reg_delete_value(kLM, r.key, "v"), r.rc);
    int rc = 0;
    number(r.key, "v", &rc);
    EXPECT_EQ(rc, r.rc);
  }
  EXPECT_EQ(file(), before);
  int rc = 0;
  number("Taken", "v", &rc, RegHive::kCurrentUser);
  EXPECT_EQ(rc, ENOENT);

  // Case and trailing backslashes name one key: one block in the file.
  ASSERT_EQ(reg_write_number(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status\\", "status", 1), 0);
  EXPECT_EQ(number("software\\kestrin software\\quibbet\\STATUS\\\\", "Status"), 1u);
  EXPECT_EQ(count_of(file(), "\\Status]"), 1);
  ASSERT_EQ(reg_create_key(kLM, "software\\plain\\"), 0);
  EXPECT_EQ(count_of(file(), "Plain]"), 1);
  EXPECT_EQ(reg_delete_value(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "STATUS"), 0);
  EXPECT_EQ(reg_delete_value(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status"), ENOENT);
  EXPECT_EQ(reg_delete_value(kLM, "SOFTWARE\\Nowhere", "status"), ENOENT);
  number("SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status", &rc);
  EXPECT_EQ(rc, ENOENT);
}

TEST_F(Registry, WrittenTextReadsBackAsItself) {
  for (const std::string& t : {
           // kept lines ending in returns of their own
           std::string("G\r\r"), std::string("REGEDIT4\n\njunk\r\r\n[HKEY_LOCAL_MACHINE\\A]\n"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n; note\r\r\r\n"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=zz\r\r\n\"y\"=dword:2\n"),
           std::string("REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\r\r\n\"x\"=dword:1\n"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\r\r\n  zz\r\r\n"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\\r\r\n\r\r\n\"y\"=\"v\"\n"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=zz\r\r") + '\0' + "\r\r\n",
           // a continuation backslash on the last line
           std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=zz\\"),
           std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n"),
           std::string("REGEDIT4\n\"before any key\"=\\"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\\n  \\"),
           std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"f\"=\"C:\\\\Notes\\\\"),
       }) {
    SCOPED_TRACE(testing::PrintToString(t));
    const std::string first = once(t);
    EXPECT_EQ(once(first), first);
  }
}

TEST_F(Registry, WhatALineHoldsAfterAReturnOrABlankLine) {
  struct Row {
    const char* text;
    const char* name;
    bool value;        // `name` reads as a value
    const char* kept;  // the key's first line kept as text, or null
  };
  for (const Row& r : {Row{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n; note\r\r\n\"v\"=dword:00000003\r\n", "v", true,
                           "; note\r"},  // the CRLF's return is the line end; the other is text
                       Row{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n\n\"y\"=dword:00000002\n", "y", true,
                           "\"x\"=hex:01,\\"},  // a blank line ends the value
                       Row{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n\n\"y\"=dword:00000002\n", "x", false,
                           nullptr}}) {
    SCOPED_TRACE(testing::PrintToString(std::string(r.text)) + " " + r.name);
    RegDoc doc = reg_parse(once(r.text), "t", nullptr);
    RegSection* s = reg_find_section(doc, "HKEY_LOCAL_MACHINE\\A");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(reg_find_value(*s, r.name) != nullptr, r.value);
    if (r.kept != nullptr) {
      ASSERT_FALSE(s->lines.empty());
      EXPECT_FALSE(s->lines[0].is_value);
      EXPECT_EQ(s->lines[0].raw, r.kept);
    }
  }
}

TEST_F(Registry, AValueSetAgainLeavesTheFileAsItWas) {
  for (const char* start : {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n; kept\r\r\n\"x\"=dword:00000001\r\n",
                            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(start)));
    put_file(start);
    int x_before = 0;
    number("A", "x", &x_before);
    ASSERT_EQ(reg_write_number(kLM, "A", "y", 1), 0);
    const std::string first = file();
    ASSERT_EQ(reg_write_number(kLM, "A", "y", 2), 0);
    ASSERT_EQ(reg_write_number(kLM, "A", "y", 1), 0);
    EXPECT_EQ(file(), first);
    int x_after = 0;
    number("A", "x", &x_after);
    EXPECT_EQ(x_after, x_before);
  }
}

TEST_F(Registry, ReadsSeeAnotherProgramsReplacement) {
  const char kConfiguration[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
  EXPECT_EQ(number(kConfiguration, "ShowIcon"), 1u);
  std::string t = file();
  size_t at = t.find("\"ShowIcon\"=dword:00000001");
  ASSERT_NE(at, std::string::npos);
  t.replace(at, 25, "\"ShowIcon\"=dword:00000000");
  ASSERT_TRUE(write_whole_file(state_file("other.tmp"), t));
  ASSERT_EQ(::rename(state_file("other.tmp").c_str(), state_file("registry.reg").c_str()), 0);
  EXPECT_EQ(number(kConfiguration, "ShowIcon"), 0u);
}

TEST_F(Registry, MalformedLinesAreReportedOnceAndKept) {
  put_file("REGEDIT4\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n"
           "; kept comment\n"
           "\"Broken\"=dword:xyz\n"
           "\"FileSpec\"=\"C:\\\\x\"\n"
           "\n"
           "[HKEY_NOWHERE\\Thing]\n"
           "\"Orphan\"=dword:00000001\n");
  StderrCapture err(tmp_.file("stderr"));
  EXPECT_EQ(text(kSaveAs, "FileSpec"), "C:\\x");
  int rc = 0;
  text(kSaveAs, "Broken", &rc);
  EXPECT_EQ(rc, ENOENT);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(reg_write_number(kLM, kSaveAs, "Count", i), 0);  // re-reads, rewrites
  std::string said = err.finish();
  EXPECT_EQ(count_of(said, "\"Broken\"=dword:xyz"), 1) << said;
  EXPECT_NE(said.find("registry.reg:5:"), std::string::npos) << said;
  EXPECT_EQ(count_of(said, "[HKEY_NOWHERE\\Thing]"), 1) << said;
  const std::string t = file();
  EXPECT_NE(t.find("; kept comment\n\"Broken\"=dword:xyz\n\"FileSpec\"=\"C:\\\\x\"\n\"Count\"=dword:00000002\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("[HKEY_NOWHERE\\Thing]\n\"Orphan\"=dword:00000001\n"), std::string::npos) << t;
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr uint32_t kWrites = 200;
  EXPECT_TRUE(write_at_once(kWrites, [](char tag, unsigned i) {
    return reg_write_number(kLM, kSaveAs, (tag + std::to_string(i)).c_str(), i * 7 + static_cast<uint32_t>(tag)) == 0;
  }));
  int missing = 0;
  for (char tag : {'A', 'B'})
    for (uint32_t i = 0; i < kWrites; ++i)
      missing += number(kSaveAs, (tag + std::to_string(i)).c_str()) != i * 7 + static_cast<uint32_t>(tag) ? 1 : 0;
  EXPECT_EQ(missing, 0);
}

}  // namespace

// What qbmon and qbnote read as the watch configuration, and the verdict
// on a path that both take from it.
TEST_F(Registry, TheWatchConfigurationAndWhatItFollows) {
  const char* key = kWatchConfigKey;
  WatchConfig c = qb_read_watch_config();
  EXPECT_EQ(c.roots, std::vector<std::string>{qb_home_dir()});
  EXPECT_EQ(c.ignore.size(), 6u);  // the defaults
  EXPECT_FALSE(c.cross_mounts);
  ASSERT_EQ(reg_write_string(kLM, key, "WatchRoots", "/r::/s/t"), 0);
  ASSERT_EQ(reg_write_string(kLM, key, "IgnoreNames", ""), 0);
  ASSERT_EQ(reg_write_number(kLM, key, "CrossMounts", 1), 0);
  c = qb_read_watch_config();
  EXPECT_EQ(c.roots, (std::vector<std::string>{"/r", "/s/t"}));
  EXPECT_TRUE(c.ignore.empty());
  EXPECT_TRUE(c.cross_mounts);
  c = {{}, {".git", ".cache"}, false, "/r/home"};
  const std::vector<std::string> roots = {"/r", "/s"};
  const std::set<std::string> mounts = {"/r", "/r/nfs"};
  const struct {
    const char* path;
    WatchVerdict verdict;
  } rows[] = {
      {"/r/a/b", WatchVerdict::kFollowed},        {"/r", WatchVerdict::kFollowed},
      {"/r/.git", WatchVerdict::kFollowed},       {"/r/p/.git/x", WatchVerdict::kIgnored},
      {"/r/.cache/x", WatchVerdict::kFollowed},   {"/r/home/.cache/x", WatchVerdict::kIgnored},
      {"/r/nfs/x", WatchVerdict::kOtherFileSystem}, {"/rr/x", WatchVerdict::kOutsideRoots},
      {"/r/st/x", WatchVerdict::kStateFolder},
  };
  for (const auto& row : rows)
    EXPECT_EQ(qb_watch_verdict(c, roots, mounts, "/r/st", row.path), row.verdict) << row.path;
  c.cross_mounts = true;
  EXPECT_EQ(qb_watch_verdict(c, roots, mounts, "/r/st", "/r/nfs/x"), WatchVerdict::kFollowed);
  // Every system has a root file system.
  EXPECT_EQ(qb_mount_points().count("/"), 1u);
}
