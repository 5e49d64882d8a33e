// registry.reg and win.ini: read back as written, looked up as a reader would, what cannot be
// read back refused, malformed lines kept and reported once, two processes writing at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"
#include "platform/watch_config.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

constexpr RegHive kLM = RegHive::kLocalMachine, kCU = RegHive::kCurrentUser;
const char kSaveAs[] = "SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs";
const char kConfiguration[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("QB_HOME", home_.c_str(), 1); }
  void TearDown() override { ::unsetenv("QB_HOME"); }
  std::string file(const char* name) const { return read_whole_file(home_ + "/" + name); }
  void put(const char* name, const std::string& text) {
    ASSERT_EQ(qb_state_dir(), home_);
    ASSERT_TRUE(write_whole_file(home_ + "/" + name, text));
  }
  static std::string read(const char* key, const char* name, RegHive hive = kLM) {  // "rc:value"
    uint32_t n = 0;
    std::string s;
    int rc = reg_read_string(hive, key, name, &s);
    if (rc == EPROTOTYPE && (rc = reg_read_number(hive, key, name, &n)) == 0) s = "#" + std::to_string(n);
    return std::to_string(rc) + ":" + s;
  }
  std::string stderr_of(const std::function<void()>& work) {  // what `work` writes to standard error
    std::fflush(stderr);
    const int saved = ::dup(2), fd = ::open(tmp_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2), ::close(fd);
    work();
    std::fflush(stderr);
    ::dup2(saved, 2), ::close(saved);
    return read_whole_file(tmp_.file("stderr"));
  }
  TempDir tmp_;
  std::string home_ = tmp_.path() + "/state";
};

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(Settings, RegistryValuesReadBackAsWrittenAndKeysAsAReaderFindsThem) {
  const std::string tricky = "C:\\dir\\\"quoted\"\\\nsecond line\r\\n";
  EXPECT_EQ(read(kConfiguration, "ShowIcon"), "0:#1");  // first use writes the defaults
  EXPECT_EQ(file("registry.reg").rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\", 0), 0u);
  ASSERT_EQ(reg_write_number(kLM, kSaveAs, "Count", 0xDEADBEEFu) | reg_write_string(kLM, kSaveAs, "FileSpec", tricky) |
                reg_write_string(kLM, kSaveAs, nullptr, "unnamed") | reg_write_string(kLM, kSaveAs, "Empty", "") |
                reg_write_string(kLM, kSaveAs, "Cut", std::string("up to\0here", 10)) |
                reg_write_number(kCU, "Software\\Other", "Mine", 5) |
                reg_write_number(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status\\", "status", 1),
            0);
  const std::string written = file("registry.reg");
  EXPECT_NE(written.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n\"Count\"=dword:deadbeef\n"
                         "\"FileSpec\"=\"C:\\\\dir\\\\\\\"quoted\\\"\\\\\\nsecond line\\r\\\\n\"\n@=\"unnamed\"\n"),
            std::string::npos)
      << written;
  // Another state folder holding a copy of the file: nothing cached applies.
  home_ = tmp_.path() + "/copy";
  ::setenv("QB_HOME", home_.c_str(), 1);
  put("registry.reg", written + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n\"Bytes\"=hex:01,ff\n");
  const struct {
    const char *key, *name;
    RegHive hive;
    std::string read;
  } rows[] = {
      {kSaveAs, "filespec", kLM, "0:" + tricky},  // names ignore case
      {kSaveAs, nullptr, kLM, "0:unnamed"}, {kSaveAs, "", kLM, "0:unnamed"}, {kSaveAs, "Empty", kLM, "0:"},
      {kSaveAs, "Cut", kLM, "0:up to"}, {kSaveAs, "COUNT", kLM, "0:#3735928559"}, {kSaveAs, "Bytes", kLM, "91:"},
      {kSaveAs, "Absent", kLM, "2:"}, {"software\\other", "mine", kCU, "0:#5"}, {"Software\\Other", "Mine", kLM, "2:"},
      {"software\\kestrin software\\quibbet\\STATUS\\\\", "Status", kLM, "0:#1"},  // trailing backslashes
  };
  for (const auto& r : rows) EXPECT_EQ(read(r.key, r.name, r.hive), r.read) << (r.name ? r.name : "(null)");
  EXPECT_EQ(count_of(file("registry.reg"), "\\Status]"), 1);
  uint32_t number = 0;
  EXPECT_EQ(reg_read_number(kLM, kSaveAs, "FileSpec", &number), EPROTOTYPE);  // a string is no number
  EXPECT_EQ(reg_delete_value(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "STATUS"), 0);
  EXPECT_EQ(reg_delete_value(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status"), ENOENT);
  EXPECT_EQ(reg_delete_value(kLM, "SOFTWARE\\Nowhere", "status"), ENOENT);
  // A replacement by another program is read, not the text read before.
  std::string t = file("registry.reg");
  t.replace(t.find("\"Count\"=dword:deadbeef"), 22, "\"Count\"=dword:00000007");
  ASSERT_TRUE(write_whole_file(tmp_.file("other.tmp"), t));
  ASSERT_EQ(::rename(tmp_.file("other.tmp").c_str(), (home_ + "/registry.reg").c_str()), 0);
  EXPECT_EQ(read(kSaveAs, "Count"), "0:#7");
}

TEST_F(Settings, WhatCannotBeReadBackIsRefusedAndLeavesTheFilesAlone) {
  ASSERT_EQ(reg_create_key(kLM, "SOFTWARE\\Plain") | profile_write("Quibbet", "MODIFIED", "1"), 0);
  const std::string reg = file("registry.reg"), ini = file("win.ini");
  for (const char* key : {"SOFTWARE\\two\nlines", "SOFTWARE\\Plain\\\n[HKEY_CURRENT_USER\\Taken]", "\n",
                          "SOFTWARE\\cr\r", "SOFTWARE\\\\Plain", "\\SOFTWARE"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(key)));
    EXPECT_EQ(reg_create_key(kLM, key), EINVAL);
    EXPECT_EQ(reg_write_number(kLM, key, "v", 1), EINVAL);
    EXPECT_EQ(reg_write_string(kLM, key, "v", "x"), EINVAL);
    EXPECT_EQ(reg_delete_value(kLM, key, "v"), EINVAL);
    EXPECT_EQ(read(key, "v"), "22:");
  }
  EXPECT_EQ(read("Taken", "v", kCU), "2:");
  ASSERT_EQ(reg_create_key(kLM, "software\\plain\\"), 0);  // the same key
  EXPECT_EQ(file("registry.reg"), reg);
  for (const auto& [section, key, value] : std::vector<std::tuple<const char*, const char*, const char*>>{
           {nullptr, "MODIFIED", "1"}, {"Quibbet", "MODIFIED", "1\n[Evil]"}, {"Qui]bbet", "MODIFIED", "1"},
           {"Quibbet", "A=B", "1"}, {"Quibbet", "", "1"}, {"Quibbet", ";note", "5"}, {"Quibbet", " ;note", "5"},
           {"Quibbet", "[Other]", "5"}, {"Quibbet", "  ", "5"}, {"Quibbet", "a\rb", "5"}})
    EXPECT_EQ(profile_write(section, key, value), EINVAL) << (key != nullptr ? key : "(null)");
  EXPECT_EQ(file("win.ini"), ini);
}

// Fuzzing found texts whose kept lines ended in returns of their own or in
// a continuation backslash: each is written so that it reads back as itself.
TEST_F(Settings, RegistryTextReadsBackAsItself) {
  auto once = [](const std::string& text) { return reg_format(reg_parse(text, "t", nullptr)); };
  const std::string h = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
  for (const std::string& t : std::vector<std::string>{
           "G\r\r", "REGEDIT4\n\njunk\r\r\n[HKEY_LOCAL_MACHINE\\A]\n", h + "; note\r\r\r\n",
           h + "\"x\"=zz\r\r\n\"y\"=dword:2\n", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\r\r\n\"x\"=dword:1\n",
           h + "\"x\"=hex:01,\\\r\r\n  zz\r\r\n", h + "\"x\"=hex:\\\r\r\n\r\r\n\"y\"=\"v\"\n", h + "\"x\"=zz\r\r" + '\0' + "\r\r\n",
           h + "\"x\"=zz\\", h + "\"x\"=hex:01,\\\n", "REGEDIT4\n\"before any key\"=\\", h + "\"x\"=hex:\\\n  \\",
           h + "\"f\"=\"C:\\\\Notes\\\\"}) {
    EXPECT_EQ(once(once(t)), once(t)) << testing::PrintToString(t);
  }
  // A CRLF's return ends the line and another is text; a blank line ends a value.
  RegDoc doc = reg_parse(once(h + "; note\r\r\n\"x\"=hex:01,\\\n\n\"y\"=dword:00000002\r\n"), "t", nullptr);
  RegSection* s = reg_find_section(doc, "HKEY_LOCAL_MACHINE\\A");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->lines.at(0).raw, "; note\r");
  EXPECT_EQ(s->lines.at(1).raw, "\"x\"=hex:01,\\");
  EXPECT_TRUE(reg_find_value(*s, "y") != nullptr && reg_find_value(*s, "x") == nullptr);
  // A value set again leaves the file as it was.
  for (const char* start : {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n; kept\r\r\n\"x\"=dword:00000001\r\n",
                            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:\\"}) {
    put("registry.reg", start);
    const std::string x = read("A", "x");
    ASSERT_EQ(reg_write_number(kLM, "A", "y", 1), 0);
    const std::string first = file("registry.reg");
    ASSERT_EQ(reg_write_number(kLM, "A", "y", 2) | reg_write_number(kLM, "A", "y", 1), 0);
    EXPECT_EQ(file("registry.reg"), first);
    EXPECT_EQ(read("A", "x"), x);
  }
}

TEST_F(Settings, MalformedLinesAreKeptAndReportedOnce) {
  put("registry.reg", std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kSaveAs + "]\n; kept comment\n" +
                          "\"Broken\"=dword:xyz\n\"FileSpec\"=\"C:\\\\x\"\n\n[HKEY_NOWHERE\\Thing]\n\"Orphan\"=dword:00000001\n");
  put("win.ini", "stray=before any section\n[Quibbet]\nthis line means nothing\nMODIFIED=1\n");
  const std::string said = stderr_of([&] {
    EXPECT_EQ(read(kSaveAs, "FileSpec"), "0:C:\\x");
    EXPECT_EQ(read(kSaveAs, "Broken"), "2:");
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(reg_write_number(kLM, kSaveAs, "Count", i), 0);  // re-reads, rewrites
    EXPECT_EQ(profile_read_number("Quibbet", "MODIFIED", 0), 1u);
    EXPECT_EQ(profile_write("Quibbet", "MODIFIED", "0") | profile_write("Quibbet", "Other", "2"), 0);
  });
  for (const char* once : {"\"Broken\"=dword:xyz", "registry.reg:5:", "[HKEY_NOWHERE\\Thing]", "this line means nothing",
                           "win.ini:3:", "stray=before"})
    EXPECT_EQ(count_of(said, once), 1) << once << " in: " << said;
  EXPECT_NE(file("registry.reg").find("; kept comment\n\"Broken\"=dword:xyz\n\"FileSpec\"=\"C:\\\\x\"\n\"Count\"=dword:"
                                      "00000002\n\n[HKEY_NOWHERE\\Thing]\n\"Orphan\"=dword:00000001\n"),
            std::string::npos);
  EXPECT_EQ(file("win.ini"), "stray=before any section\n[Quibbet]\nthis line means nothing\nMODIFIED=0\nOther=2\n");
}

TEST_F(Settings, WinIniNumbersAndWritesAsAReaderFindsThem) {
  EXPECT_EQ(profile_read_number("Quibbet", "MODIFIED", 9), 9u);  // no file at all
  put("win.ini", "[Other]\nA=55\n  Key = 12 \n[quibbet]\nA=12\nb=+7\nC=-3\nD=102abc\nE=abc\nF=\n  G = 5  \n");
  const struct {
    const char *section, *key;
    unsigned read;  // with 9 as the default
  } rows[] = {{"QUIBBET", "a", 12}, {"Quibbet", "B", 7}, {"Quibbet", "C", 0},  {"Quibbet", "D", 102},
              {"Quibbet", "E", 0},  {"Quibbet", "F", 9}, {"Quibbet", "G", 5},  {"Quibbet", "H", 9},
              {"Missing", "A", 9},  {" Other\t", "  Key ", 12}, {nullptr, "A", 9}, {"Other", nullptr, 9}};
  for (const auto& r : rows) EXPECT_EQ(profile_read_number(r.section, r.key, 9), r.read) << r.section << r.key;
  put("win.ini", "");
  const struct {
    const char *section, *key, *value, *after;  // the whole file after
  } writes[] = {
      {"Quibbet", "MODIFIED", "1", "[Quibbet]\nMODIFIED=1\n"},
      {"quibbet", "modified", "0", "[Quibbet]\nMODIFIED=0\n"},  // the key keeps its spelling
      {" Quibbet\t", "  Extra ", "yes", "[Quibbet]\nMODIFIED=0\nExtra=yes\n"},
      {"Quibbet", "MODIFIED", nullptr, "[Quibbet]\nExtra=yes\n"}, {"Quibbet", "None", nullptr, "[Quibbet]\nExtra=yes\n"},
      {"  QUIBBET", nullptr, nullptr, ""}};
  for (const auto& w : writes) {
    ASSERT_EQ(profile_write(w.section, w.key, w.value), 0);
    EXPECT_EQ(file("win.ini"), w.after);
  }
  // The rest of the file is left as it was; a new section goes at the end.
  put("win.ini", "; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_EQ(profile_write("Quibbet", "Extra", "yes"), 0);
  EXPECT_EQ(file("win.ini"),
            "; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\nExtra=yes\n\n[Desktop]\nWallpaper=(None)\n");
  ASSERT_EQ(profile_write("QUIBBET", nullptr, nullptr) | profile_write("Quibbet", "MODIFIED", "1"), 0);
  EXPECT_EQ(file("win.ini"), "; a comment\n[Windows]\nload=\n\n[Desktop]\nWallpaper=(None)\n\n[Quibbet]\nMODIFIED=1\n");
}

TEST_F(Settings, TwoProcessesWritingTheRegistryAtOnceLoseNothing) {
  constexpr uint32_t kWrites = 200;
  auto writer = [&](char tag) {
    return fork_child([tag](int in, int) {
      char go;
      if (recv_byte(in, &go) != 1) return 2;
      for (uint32_t i = 0; i < kWrites; ++i)
        if (reg_write_number(kLM, kSaveAs, (tag + std::to_string(i)).c_str(), i * 7 + tag) != 0) return 3;
      return 0;
    });
  };
  ASSERT_EQ(qb_state_dir(), home_);
  Child a = writer('A'), b = writer('B');
  send_byte(a.to_child, 'g'), send_byte(b.to_child, 'g');  // let go at the same moment
  EXPECT_EQ(wait_child(a), 0);
  EXPECT_EQ(wait_child(b), 0);
  int missing = 0;
  for (char tag : {'A', 'B'})
    for (uint32_t i = 0; i < kWrites; ++i)
      missing += read(kSaveAs, (tag + std::to_string(i)).c_str()) != "0:#" + std::to_string(i * 7 + tag);
  EXPECT_EQ(missing, 0);
}

// The watch configuration qbmon and qbnote read, and the verdict on a path under it.
TEST_F(Settings, TheWatchConfigurationAndWhatItFollows) {
  WatchConfig c = qb_read_watch_config();
  EXPECT_EQ(c.roots, std::vector<std::string>{qb_home_dir()});
  EXPECT_FALSE(c.ignore.empty() || c.cross_mounts);
  ASSERT_EQ(reg_write_string(kLM, kWatchConfigKey, "WatchRoots", "/r::/s/t") |
                reg_write_string(kLM, kWatchConfigKey, "IgnoreNames", "") |
                reg_write_number(kLM, kWatchConfigKey, "CrossMounts", 1),
            0);
  c = qb_read_watch_config();
  EXPECT_EQ(c.roots, (std::vector<std::string>{"/r", "/s/t"}));
  EXPECT_TRUE(c.ignore.empty() && c.cross_mounts);
  c = {{}, {".git", ".cache"}, false, "/r/home"};
  const std::set<std::string> mounts = {"/r", "/r/nfs"};
  const std::pair<const char*, WatchVerdict> rows[] = {
      {"/r/a/b", WatchVerdict::kFollowed},          {"/r", WatchVerdict::kFollowed},
      {"/r/.git", WatchVerdict::kFollowed},         {"/r/p/.git/x", WatchVerdict::kIgnored},
      {"/r/.cache/x", WatchVerdict::kFollowed},     {"/r/home/.cache/x", WatchVerdict::kIgnored},
      {"/r/nfs/x", WatchVerdict::kOtherFileSystem}, {"/rr/x", WatchVerdict::kOutsideRoots},
      {"/r/st/x", WatchVerdict::kStateFolder}};
  for (const auto& [path, verdict] : rows)
    EXPECT_EQ(qb_watch_verdict(c, {"/r", "/s"}, mounts, "/r/st", path), verdict) << path;
  c.cross_mounts = true;
  EXPECT_EQ(qb_watch_verdict(c, {"/r", "/s"}, mounts, "/r/st", "/r/nfs/x"), WatchVerdict::kFollowed);
  EXPECT_EQ(qb_mount_points().count("/"), 1u);  // every system has a root file system
}

}  // namespace
