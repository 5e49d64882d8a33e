// registry.reg and win.ini (read back as written, looked up as a reader would, what cannot
// be read back refused, two processes at once), the state folder (which variable wins, made
// 0700, refused when another user owns it or can write it), canonical paths, whole-file copies.
#include <gtest/gtest.h>
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // rows leave what they do not check at its default

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "platform/canonical_path.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

constexpr RegHive kLM = RegHive::kLocalMachine, kCU = RegHive::kCurrentUser;
constexpr size_t npos = std::string::npos;
const char kSaveAs[] = "SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs";

int mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// QB_HOME is t_/state; the variables the state folder depends on and the current folder are put back after.
class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[PATH_MAX];
    ASSERT_TRUE(::realpath(tmp_.path().c_str(), buffer) != nullptr);
    t_ = buffer, home_ = t_ + "/state";
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    cwd_ = buffer;
    for (const char* name : kNames) saved_.push_back(std::getenv(name) ? std::getenv(name) : "\x01");
    ::setenv("QB_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) saved_[i] == "\x01" ? ::unsetenv(kNames[i]) : ::setenv(kNames[i], saved_[i].c_str(), 1);
    (void)!::chdir(cwd_.c_str());
  }
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
  static constexpr const char* kNames[3] = {"QB_HOME", "XDG_STATE_HOME", "HOME"};
  std::vector<std::string> saved_;
  TempDir tmp_;
  std::string t_, home_, cwd_;  // t_: the temporary folder, resolved
};
using Settings = Platform;

TEST_F(Settings, RegistryValuesReadBackAsWrittenAndKeysAsAReaderFindsThem) {
  const std::string tricky = "C:\\dir\\\"quoted\"\\\nsecond line\r\\n";
  EXPECT_EQ(read("SOFTWARE\\Kestrin Software\\Quibbet\\Configuration", "ShowIcon"), "0:#1");  // defaults at first use
  ASSERT_EQ(reg_write_number(kLM, kSaveAs, "Count", 0xDEADBEEFu) | reg_write_string(kLM, kSaveAs, "FileSpec", tricky) |
                reg_write_string(kLM, kSaveAs, nullptr, "unnamed") | reg_write_string(kLM, kSaveAs, "Empty", "") |
                reg_write_string(kLM, kSaveAs, "Cut", std::string("up to\0here", 10)) |
                reg_write_number(kCU, "Software\\Other", "Mine", 5) |
                reg_write_number(kLM, "SOFTWARE\\Kestrin Software\\Quibbet\\Status\\", "status", 1),
            0);
  std::string t = file("registry.reg");
  EXPECT_EQ(t.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\", 0), 0u);
  EXPECT_NE(t.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n\"Count\"=dword:deadbeef\n"
                   "\"FileSpec\"=\"C:\\\\dir\\\\\\\"quoted\\\"\\\\\\nsecond line\\r\\\\n\"\n@=\"unnamed\"\n"),
            npos)
      << t;
  // Replaced by another program (a number changed, a value of a type not read added): nothing cached applies.
  t.replace(t.find("dword:deadbeef"), 14, "dword:00000007") += "[HKEY_LOCAL_MACHINE\\" + std::string(kSaveAs);
  t += "]\n\"Bytes\"=hex:01\n";
  ASSERT_TRUE(write_whole_file(t_ + "/other.tmp", t));
  ASSERT_EQ(::rename((t_ + "/other.tmp").c_str(), (home_ + "/registry.reg").c_str()), 0);
  const struct {
    const char *key, *name;
    RegHive hive;
    std::string read;
  } rows[] = {
      {kSaveAs, "filespec", kLM, "0:" + tricky},  // names ignore case
      {kSaveAs, nullptr, kLM, "0:unnamed"}, {kSaveAs, "", kLM, "0:unnamed"}, {kSaveAs, "Empty", kLM, "0:"},
      {kSaveAs, "Cut", kLM, "0:up to"}, {kSaveAs, "COUNT", kLM, "0:#7"}, {kSaveAs, "Bytes", kLM, "91:"},
      {kSaveAs, "Absent", kLM, "2:"}, {"software\\other", "mine", kCU, "0:#5"}, {"Software\\Other", "Mine", kLM, "2:"},
      {"software\\kestrin software\\quibbet\\STATUS\\\\", "Status", kLM, "0:#1"},  // trailing backslashes
  };
  for (const auto& r : rows) EXPECT_EQ(read(r.key, r.name, r.hive), r.read) << (r.name ? r.name : "(null)");
  t = file("registry.reg");
  EXPECT_TRUE(t.find("\\Status]") != npos && t.find("\\Status]") == t.rfind("\\Status]"));  // the key once
  uint32_t number = 0;
  EXPECT_EQ(reg_read_number(kLM, kSaveAs, "FileSpec", &number), EPROTOTYPE);  // a string is no number
  EXPECT_EQ(reg_delete_value(kLM, kSaveAs, "EMPTY"), 0);
  EXPECT_EQ(reg_delete_value(kLM, kSaveAs, "empty"), ENOENT);
}

// Regression: key, section and value names were once written that could not be read back.
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
  for (const auto& [section, key, value] : {std::tuple{"Quibbet", "MODIFIED", "1\n[Evil]"}, {"Qui]bbet", "M", "1"},
                                            {"Quibbet", "A=B", "1"}, {"Quibbet", "", "1"}, {"Quibbet", " ;note", "5"},
                                            {"Quibbet", "[Other]", "5"}, {"Quibbet", "a\rb", "5"}})
    EXPECT_EQ(profile_write(section, key, value), EINVAL) << key;
  EXPECT_EQ(profile_write(nullptr, "MODIFIED", "1"), EINVAL);
  EXPECT_EQ(file("win.ini"), ini);
}

// Regression: fuzzing found texts whose kept lines ended in returns of their own or in
// a continuation backslash; each is now written so that it reads back as itself.
TEST_F(Settings, RegistryTextReadsBackAsItself) {
  auto once = [](const std::string& text) { return reg_format(reg_parse(text, "t", nullptr)); };
  const std::string h = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
  for (const std::string& t : std::vector<std::string>{
           "G\r\r", "REGEDIT4\n\njunk\r\r\n[HKEY_LOCAL_MACHINE\\A]\n", h + "; note\r\r\r\n",
           h + "\"x\"=zz\r\r\n\"y\"=dword:2\n", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\r\r\n\"x\"=dword:1\n",
           h + "\"x\"=hex:01,\\\r\r\n  zz\r\r\n", h + "\"x\"=hex:\\\r\r\n\r\r\n\"y\"=\"v\"\n",
           h + "\"x\"=zz\r\r" + '\0' + "\r\r\n", h + "\"x\"=zz\\", h + "\"x\"=hex:01,\\\n",
           "REGEDIT4\n\"before any key\"=\\", h + "\"x\"=hex:\\\n  \\", h + "\"f\"=\"C:\\\\Notes\\\\"}) {
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
    EXPECT_TRUE(file("registry.reg") == first && read("A", "x") == x) << start;
  }
}

// win.ini: sections and keys found ignoring case and blanks; a write leaves the rest of the
// file as it was, a key keeps its spelling, a new section goes at the end.
TEST_F(Settings, WinIniNumbersAndWritesAsAReaderFindsThem) {
  EXPECT_EQ(profile_read_number("Quibbet", "MODIFIED", 9), 9u);  // no file at all
  put("win.ini", "; a comment\n[Windows]\nload=\n\n[Quibbet]\nMODIFIED=1\n\n[Desktop]\nWallpaper=(None)\n");
  EXPECT_EQ(profile_read_number(" QUIBBET\t", "modified ", 9), 1u);
  const std::string before = "; a comment\n[Windows]\nload=\n\n", desktop = "[Desktop]\nWallpaper=(None)\n";
  const struct {
    const char *section, *key, *value;
    std::string after;  // the whole file
  } writes[] = {
      {" quibbet\t", "  Extra ", "yes", before + "[Quibbet]\nMODIFIED=1\nExtra=yes\n\n" + desktop},
      {"quibbet", "modified", "0", before + "[Quibbet]\nMODIFIED=0\nExtra=yes\n\n" + desktop},
      {"Quibbet", "MODIFIED", nullptr, before + "[Quibbet]\nExtra=yes\n\n" + desktop},
      {"Quibbet", "None", nullptr, before + "[Quibbet]\nExtra=yes\n\n" + desktop},
      {"QUIBBET", nullptr, nullptr, before + desktop},
      {"Quibbet", "MODIFIED", "1", before + desktop + "\n[Quibbet]\nMODIFIED=1\n"}};
  for (const auto& w : writes) {
    ASSERT_EQ(profile_write(w.section, w.key, w.value), 0);
    EXPECT_EQ(file("win.ini"), w.after) << (w.key ? w.key : "(null)");
  }
}

TEST_F(Settings, TwoProcessesWritingTheRegistryAtOnceLoseNothing) {
  auto writer = [&](char tag) {
    return fork_child([tag](int in, int) {
      char go;
      if (recv_byte(in, &go) != 1) return 2;
      for (uint32_t i = 0; i < 200; ++i)
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
    for (uint32_t i = 0; i < 200; ++i)
      missing += read(kSaveAs, (tag + std::to_string(i)).c_str()) != "0:#" + std::to_string(i * 7 + tag);
  EXPECT_EQ(missing, 0);
}

// A relative variable counts as unset; rows run in order.
TEST_F(Platform, TheStateFolderAndItsRefusals) {
  ::unsetenv("QB_HOME");
  const struct {
    const char *qb_home, *xdg, *chmod_what;  // chmod_what: the folder (""), or a file in it, given `mode`
    int mode;
    bool other_owner;
    std::string dir, refusal;  // dir "" : refused with EPERM (or `error`)
    int error = EPERM;
  } rows[] = {
      {"/a/b/c", "/xdg", nullptr, 0, false, t_ + "/a/b/c"},  // QB_HOME wins
      {"", "/xdg", nullptr, 0, false, t_ + "/xdg/quibbet"}, {"", "", nullptr, 0, false, t_ + "/home/.local/state/quibbet"},
      {"rel/state", "rel", nullptr, 0, false, t_ + "/home/.local/state/quibbet"},
      {"/file/below", "", nullptr, 0, false, "", "", ENOTDIR},
      {"/open", "", "", 0755, false, t_ + "/open"},  // keeps its mode
      {"/s", "", "", 0720, false, "", "chmod 700 " + t_ + "/s"},  // others can write in it
      {"/s", "", "/registry.reg", 0622, false, t_ + "/s", "chmod 600 " + t_ + "/s/registry.reg"},
      {"/s", "", "", 0700, true, "", "chown"}, {"/s", "", "/registry.reg", 0600, true, t_ + "/s", "chown"},
  };
  ASSERT_TRUE(write_whole_file(t_ + "/file", "x"));
  ::setenv("HOME", (t_ + "/home").c_str(), 1);
  const mode_t umask_before = ::umask(0277);  // mkdir alone would give 0500
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.qb_home) + " " + r.xdg + " " + std::to_string(r.mode));
    if (r.other_owner && ::geteuid() != 0) continue;  // only root can give a file away
    ::setenv("QB_HOME", r.qb_home[0] == '/' ? (t_ + r.qb_home).c_str() : r.qb_home, 1);
    ::setenv("XDG_STATE_HOME", r.xdg[0] == '/' ? (t_ + r.xdg).c_str() : r.xdg, 1);
    const std::string what = t_ + r.qb_home + (r.chmod_what != nullptr ? r.chmod_what : "");
    if (r.chmod_what != nullptr) {
      ASSERT_TRUE(::mkdir((t_ + r.qb_home).c_str(), 0700) == 0 || errno == EEXIST);
      if (*r.chmod_what != '\0') { ASSERT_TRUE(write_whole_file(what, "REGEDIT4\n")); }
      ASSERT_EQ(::chmod(what.c_str(), r.mode) | ::chown(what.c_str(), r.other_owner ? 65534 : ::geteuid(), -1), 0);
    }
    errno = 0;
    EXPECT_EQ(qb_state_dir(), r.dir);
    EXPECT_EQ(r.dir.empty() ? errno : r.error, r.error);
    const std::string refusal = qb_state_refusal();
    EXPECT_TRUE(r.refusal.empty() ? refusal.empty() : refusal.find(r.refusal) != npos) << refusal;
    if (r.chmod_what == nullptr && !r.dir.empty()) {  // made, and every missing parent of it, 0700
      EXPECT_EQ(qb_system_dir(), r.dir + "/system");
      EXPECT_TRUE(mode_of(r.dir) == 0700 && mode_of(r.dir + "/system") == 0700);
      EXPECT_EQ(mode_of(r.dir.substr(0, r.dir.find('/', t_.size() + 1))), 0700);
    } else if (r.chmod_what != nullptr) {
      if (!r.dir.empty() && *r.chmod_what == '\0') { EXPECT_EQ(mode_of(r.dir), r.mode); }
      ASSERT_EQ(::chown(what.c_str(), ::geteuid(), -1) | ::chmod((t_ + r.qb_home).c_str(), 0700), 0);
    }
  }
  ::umask(umask_before);
  EXPECT_EQ(mode_of(t_ + "/xdg"), 0700);  // made only when it won
}

// Links in the folder part resolved, the last component kept as given
// (even a link), ".." physical, a gone folder normalized by its text.
TEST_F(Platform, TheCanonicalPathForm) {
  ASSERT_EQ(::mkdir((t_ + "/real").c_str(), 0700) | ::mkdir((t_ + "/real/sub").c_str(), 0700), 0);
  ASSERT_TRUE(write_whole_file(t_ + "/real/sub/file", "x"));
  ASSERT_EQ(::symlink("real", (t_ + "/via").c_str()) | ::symlink("sub/file", (t_ + "/real/file-link").c_str()), 0);
  ASSERT_EQ(::chdir((t_ + "/real/sub").c_str()), 0);
  const std::string r = t_ + "/real";
  const std::pair<std::string, std::string> rows[] = {
      {"file", r + "/sub/file"}, {"./../sub/file", r + "/sub/file"}, {"new", r + "/sub/new"}, {".", r + "/sub"},
      {"..", r}, {t_ + "/via/sub/file", r + "/sub/file"}, {t_ + "/via/sub/not-yet", r + "/sub/not-yet"},
      {t_ + "/via", t_ + "/via"}, {t_ + "/via/file-link", r + "/file-link"}, {r + "/sub/", r + "/sub"},
      {t_ + "//real///sub//file", r + "/sub/file"}, {"///", "/"}, {t_ + "/via/sub/..", r},
      {t_ + "/via/gone/./x/../y//z/", t_ + "/via/gone/y/z"}, {"/no-such-top/../../a/./b", "/a/b"}, {"", ""}};
  for (const auto& [in, out] : rows) EXPECT_EQ(qb_canonical_path(in.c_str()), out) << in;
  EXPECT_EQ(qb_canonical_path(nullptr), "");
  EXPECT_EQ(qb_normalized_path((t_ + "/via/./sub//file/../../../c").c_str()), t_ + "/c");
  errno = 0;
  EXPECT_TRUE(qb_normalized_path("relative/path").empty() && errno == EINVAL);
}

// A copy replaces its target (contents and mode) or leaves it and no temporary file; flocked files are left alone.
TEST_F(Platform, WholeFileCopies) {
  auto f = [&](const char* name) { return t_ + "/" + name; };
  std::string big(300 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 2654435761u >> 13);
  ASSERT_TRUE(write_whole_file(f("a"), big) && write_whole_file(f("b"), "old"));
  ::chmod(f("a").c_str(), 0640);
  int source = ::open(f("a").c_str(), O_RDONLY), target = ::open(f("b").c_str(), O_RDONLY);
  const struct {
    std::string from, to;
    bool fail_if_exists;
    int source_lock, target_lock, rc;
  } rows[] = {{f("a"), f("b"), true, 0, 0, EEXIST}, {f("missing"), f("b"), false, 0, 0, ENOENT},
              {f("a"), f("b"), false, 0, LOCK_SH, EWOULDBLOCK}, {f("a"), f("b"), false, LOCK_EX, 0, EWOULDBLOCK},
              {f("a"), f("b"), false, LOCK_SH, 0, 0}, {f("a"), f("c"), true, 0, 0, 0}};
  for (const auto& r : rows) {
    ::flock(source, r.source_lock ? r.source_lock : LOCK_UN), ::flock(target, r.target_lock ? r.target_lock : LOCK_UN);
    EXPECT_EQ(qb_copy_file(r.from.c_str(), r.to.c_str(), r.fail_if_exists), r.rc) << r.from << " -> " << r.to;
    EXPECT_EQ(read_whole_file(f("b")), r.rc == 0 ? big : "old");
  }
  ::close(source), ::close(target);
  EXPECT_EQ(read_whole_file(f("c")), big);
  EXPECT_EQ(mode_of(f("b")), 0640);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(t_), {}), 3);  // a, b, c: no temporary file left
}

}  // namespace
