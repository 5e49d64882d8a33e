// What the programs promise about safety, checked on the real processes:
// the state folder and everything in it are private to the user; a path
// is only ever a name (no shell sees it, whatever characters it holds);
// and paths or notes far past the limits are refused with one bounded
// message, by qbnote and by the Monitor alike, without a crash (the
// sanitizer build runs these same tests on instrumented programs).
#include <dirent.h>
#include <poll.h>
#include <pty.h>

#include <algorithm>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

class Security : public E2eTest {
 protected:
  void SetUp() override {
    // With no umask to help, every mode seen is the one the programs asked
    // for themselves.
    old_umask_ = ::umask(0);
    E2eTest::SetUp();
  }
  void TearDown() override {
    for (size_t i = 0; i < monitors_.size(); ++i)
      if (!ended(i)) stop(i);
    E2eTest::TearDown();
    ::umask(old_umask_);
  }

  // Every entry under `folder` whose mode or owner is not private: folders
  // 0700, files and sockets 0600, all owned by this user. `seen` gets the
  // names met.
  static void find_exposed(const std::string& folder, std::vector<std::string>* exposed,
                           std::vector<std::string>* seen) {
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) {
      exposed->push_back(folder + ": cannot be listed");
      return;
    }
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) continue;  // gone meanwhile
      seen->push_back(name);
      const mode_t mode = st.st_mode & 07777;
      const bool folder_entry = S_ISDIR(st.st_mode);
      const bool file_entry = S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode);
      if (!folder_entry && !file_entry) {
        exposed->push_back(path + ": neither a file, a socket nor a folder");
      } else if (mode != (folder_entry ? 0700u : 0600u) || st.st_uid != ::geteuid()) {
        char text[64];
        std::snprintf(text, sizeof text, ": mode %04o, owner %u", static_cast<unsigned>(mode),
                      static_cast<unsigned>(st.st_uid));
        exposed->push_back(path + text);
      }
      if (folder_entry) find_exposed(path, exposed, seen);
    }
    ::closedir(d);
  }

  // find_exposed over the whole state folder, the folder itself included.
  std::vector<std::string> exposed_in_state(std::vector<std::string>* seen) {
    std::vector<std::string> exposed;
    struct stat st;
    if (::stat(home_.c_str(), &st) != 0 || (st.st_mode & 07777) != 0700) exposed.push_back(home_ + " is not 0700");
    find_exposed(home_, &exposed, seen);
    return exposed;
  }

  static bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  // A refusal is one line, naming the cause, not much longer than the path
  // it quotes.
  static ::testing::AssertionResult bounded_refusal(const ProgramRun& r, size_t quoted) {
    if (r.status != 2) return ::testing::AssertionFailure() << "status " << r.status << ": " << r.err;
    const size_t newline = r.err.find('\n');
    if (r.err.empty() || newline != r.err.size() - 1)
      return ::testing::AssertionFailure() << "not one line: " << r.err.substr(0, 300);
    if (r.err.size() > quoted + 400) return ::testing::AssertionFailure() << r.err.size() << " bytes of message";
    return ::testing::AssertionSuccess();
  }

  // qbnote run with standard output (and error) on a pseudo-terminal: all
  // it wrote there, until it closed the terminal or the deadline passed.
  static std::string on_terminal(const std::vector<std::string>& args) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      std::vector<char*> argv{const_cast<char*>(qbnote_bin())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(qbnote_bin(), argv.data());
      ::_exit(127);
    }
    std::string out;
    char buffer[4096];
    pollfd p{master, POLLIN, 0};
    ssize_t n = 0;
    while (pid > 0 && ::poll(&p, 1, kDeadlineMs) == 1 && (n = ::read(master, buffer, sizeof buffer)) > 0)
      out.append(buffer, static_cast<size_t>(n));
    if (master >= 0) ::close(master);
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    return out;
  }

  mode_t old_umask_ = 0;
};

// A state folder or registry.reg that another user owns or can write is
// refused by both programs, naming the fix: its "NotesProgram" would be a
// command of that user's choosing, run by the Monitor.
TEST_F(Security, StateFolderOthersCanChangeIsRefused) {
  struct Row {
    const char* what;  // "" the folder itself
    mode_t mode;
    bool other_owner;
    const char* fix;
  };
  const Row rows[] = {{"", 0777, false, "chmod 700 "},           {"", 0730, false, "chmod 700 "},
                      {"/registry.reg", 0666, false, "chmod 600 "}, {"", 0700, true, "chown"},
                      {"/registry.reg", 0600, true, "chown"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.what) + " " + std::to_string(r.mode));
    if (r.other_owner && ::geteuid() != 0) continue;  // only root can give a file away
    const std::string what = home_ + r.what;
    ASSERT_EQ(::chmod(what.c_str(), r.mode), 0);
    ASSERT_EQ(::chown(what.c_str(), r.other_owner ? 65534 : ::geteuid(), -1), 0);
    const ProgramRun ls = qbnote({"ls"});
    EXPECT_EQ(ls.status, 3);
    EXPECT_NE(ls.err.find(std::string(r.fix) + (r.other_owner ? "" : what)), std::string::npos) << ls.err;
    const size_t monitor = start_monitor();
    EXPECT_EQ(wait_exit(monitor), EPERM);
    EXPECT_NE(monitor_log(monitor).find(r.fix), std::string::npos) << monitor_log(monitor);
    ASSERT_EQ(::chown(what.c_str(), ::geteuid(), -1), 0);
    ASSERT_EQ(::chmod(what.c_str(), r.what[0] == '\0' ? 0700 : 0600), 0);
  }
  set_note(make_file("a"), "put right, it is used again");
}

// Reading commands find no state folder and make none; a relative
// QB_HOME names none.
TEST_F(Security, ReadingCommandsMakeNoStateFolder) {
  const std::string none = tmp_.path() + "/none";
  for (const char* home : {none.c_str(), "relative"}) {
    ::setenv("QB_HOME", home, 1);
    ::setenv("XDG_STATE_HOME", none.c_str(), 1);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"get", at("a")}, {"ls"}, {"find", "x"}, {"check"}, {"status"}, {"export"}}) {
      const ProgramRun r = qbnote(args);
      EXPECT_TRUE(r.status == 1 || (r.status == 0 && r.out.empty())) << args[0] << ": " << r.status;
      EXPECT_NE(r.err.find("no notes"), std::string::npos) << args[0] << ": " << r.err;
    }
    EXPECT_FALSE(stamp_of(none).exists);
    EXPECT_FALSE(stamp_of("relative").exists);
  }
  ::unsetenv("XDG_STATE_HOME");
}

// A name holding ESC[2J (clear the screen) and a note holding a bell and a
// window-title sequence: on a terminal they are shown escaped; to a pipe
// they go byte for byte, and -0 gives the bare paths for xargs -0.
TEST_F(Security, ControlCharactersReachATerminalEscaped) {
  const std::string f = make_file("clear\x1b[2Jscreen\\");
  set_note(f, "bell\a title\x1b]0;owned\a\x7f\xc2\x9b end\nsecond\tline");
  const std::string shown = "clear\\033[2Jscreen\\\\";
  const std::string first = "bell\\007 title\\033]0;owned\\007\\177\\302\\233 end";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls"}, {"find", "TITLE"}, {"get", f}, {"ls", "--set-aside"}}) {
    const std::string out = on_terminal(args);
    EXPECT_EQ(out.find_first_of("\x1b\a\x7f\x9b"), std::string::npos) << args[0] << ": " << out;
    if (args.size() == 2 && args[1] == "--set-aside") continue;  // nothing set aside: run for its exit only
    EXPECT_NE(out.find(args[0] == "get" ? first + "\r\nsecond\tline" : shown + "\t" + first), std::string::npos)
        << args[0] << ": " << out;
  }
  const std::string line = f + "\tbell\a title\x1b]0;owned\a\x7f\xc2\x9b end\n";
  EXPECT_EQ(qbnote({"ls"}).out, line);
  EXPECT_EQ(qbnote({"find", "TITLE"}).out, line);
  EXPECT_EQ(qbnote({"ls", "-0"}).out, f + std::string(1, '\0'));
  EXPECT_EQ(qbnote({"find", "--null", "second"}).out, f + std::string(1, '\0'));
}

// On a terminal, `ls FOLDER` shows the folder as a person browses it:
// entries and their notes, colour only without NO_COLOR, and still every
// name escaped.
TEST_F(Security, LsOfAFolderOnATerminalBrowsesIt) {
  const std::string dir = make_folder("browse");
  set_note(make_file("browse/plan\x1b[2J.txt"), "call Ann\nsecond line");
  set_note(make_folder("browse/sub"), "the folder");
  make_file("browse/unnoted");
  std::string out = on_terminal({"ls", dir});
  EXPECT_NE(out.find("plan\\033[2J.txt  \x1b[33mcall Ann\x1b[0m\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\x1b[1;34msub/\x1b[0m"), std::string::npos) << out;
  EXPECT_NE(out.find("unnoted\r\n"), std::string::npos) << out;
  ::setenv("NO_COLOR", "1", 1);
  out = on_terminal({"ls", dir});
  ::unsetenv("NO_COLOR");
  EXPECT_NE(out.find("sub/" + std::string(13, ' ') + "the folder\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b"), std::string::npos) << out;
  EXPECT_NE(qbnote({"ls", dir}).out.find(dir + "/sub\tthe folder\n"), std::string::npos);  // a pipe: every note
}

TEST_F(Security, StateFolderAndEverythingInItArePrivate) {
  const size_t monitor = start_monitor();
  ASSERT_TRUE(wait_ready(monitor));
  const std::string a = make_file("a.txt");
  set_note(a, "first");
  set_note(make_file("b.txt"), "second");
  ASSERT_EQ(qbnote({"cp", a, at("a-copy.txt")}).status, 0);
  ASSERT_TRUE(wait_note(at("a-copy.txt"), "first"));
  ASSERT_EQ(qbnote({"rm", at("b.txt")}).status, 0);  // the stop compacts: backup files too

  std::vector<std::string> seen;
  std::vector<std::string> exposed = exposed_in_state(&seen);
  EXPECT_TRUE(exposed.empty()) << ::testing::PrintToString(exposed);
  EXPECT_TRUE(contains(seen, "qb.db") && contains(seen, "qb.idx") && contains(seen, "driver.sock"))
      << ::testing::PrintToString(seen);

  stop(monitor);
  seen.clear();
  exposed = exposed_in_state(&seen);
  EXPECT_TRUE(exposed.empty()) << ::testing::PrintToString(exposed);
  EXPECT_TRUE(contains(seen, "qbbak.db") && contains(seen, "qbbak.idx")) << ::testing::PrintToString(seen);
}

// Names a shell would act on: each is set, read, copied, edited and
// renamed, and stays a name throughout. Had any reached a shell, a file
// "pwned" would appear in the working folder (the root) or beside it.
TEST_F(Security, ShellCharactersInPathsAreJustNames) {
  const size_t monitor = start_monitor();
  ASSERT_TRUE(wait_ready(monitor));
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(root_.c_str()), 0);
  struct Back {
    const char* to;
    ~Back() { (void)!::chdir(to); }
  } back{cwd};

  const std::vector<std::string> names = {
      "semi;colon touch pwned", "$(touch pwned)", "`touch pwned`", "it's 'quoted'", "say \"touch pwned\"",
      "two\nlines",             "-leading dash", "*glob?[a]",    "back\\slash",   "pipe | touch pwned",
      "and & touch pwned",      "> pwned",       "$HOME ${PATH}"};
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE("name " + std::to_string(i));
    const std::string f = make_file(names[i]);
    const std::string text = "note " + std::to_string(i) + " $(touch pwned)";
    ProgramRun set = qbnote({"set", f, text});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(note(f), text);
    const std::string copy = at("copy of " + names[i]);
    ProgramRun cp = qbnote({"cp", f, copy});
    EXPECT_EQ(cp.status, 0) << cp.err;
    EXPECT_TRUE(wait_note(copy, text));
    move(f, at("moved " + names[i]));
    EXPECT_TRUE(wait_note(at("moved " + names[i]), text));
  }

  // A relative name that looks like an option, after "--".
  ASSERT_TRUE(write_whole_file(at("-rf"), "x"));
  EXPECT_EQ(qbnote({"set", "--", "-rf", "dash"}).status, 0);
  EXPECT_EQ(note(at("-rf")), "dash");
  EXPECT_EQ(qbnote({"cp", "--", "-rf", "-rf2"}).status, 0);
  EXPECT_TRUE(wait_note(at("-rf2"), "dash"));

  // The editor is run through a shell; the note's path is not part of
  // what the shell reads.
  const std::string edited = make_file("edit `touch pwned`; $(touch pwned)");
  set_note(edited, "plain");
  ::setenv("EDITOR", "sed -i -e s/^/edited:/", 1);
  ::unsetenv("VISUAL");
  ProgramRun edit = qbnote({"edit", edited});
  ::unsetenv("EDITOR");
  EXPECT_EQ(edit.status, 0) << edit.err;
  EXPECT_EQ(note(edited), "edited:plain");

  barrier();
  for (const std::string& where : {root_, outside_, home_, tmp_.path()})
    EXPECT_EQ(stamp_of(where + "/pwned").exists, false) << where;
  EXPECT_FALSE(ended(monitor));
}

TEST_F(Security, OverlongPathsAndNotesAreRefusedWithABoundedMessage) {
  const std::string f = make_file("plain.txt");
  const std::string long_path = root_ + "/" + std::string(4000 - root_.size() - 1, 'p');
  ASSERT_EQ(long_path.size(), 4000u);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", long_path, "x"}, {"get", long_path}, {"rm", long_path}, {"ls", long_path}, {"edit", long_path}})
    EXPECT_TRUE(bounded_refusal(qbnote(args), long_path.size())) << args[0];
  EXPECT_TRUE(bounded_refusal(qbnote({"cp", f, long_path}), long_path.size()));
  EXPECT_EQ(qbnote({"ls"}).out, "");  // nothing was stored

  // The edge: 255 bytes are taken, 256 are not.
  const std::string at_limit = root_ + "/" + std::string(255 - root_.size() - 1, 'q');
  EXPECT_EQ(qbnote({"set", at_limit, "fits"}).status, 0);
  EXPECT_EQ(note(at_limit), "fits");
  EXPECT_TRUE(bounded_refusal(qbnote({"set", at_limit + "q", "too long"}), 256));

  // 60 KB of note, on the command line and on standard input.
  const std::string huge(60 * 1024, 'n');
  EXPECT_TRUE(bounded_refusal(qbnote({"set", f, huge}), 0));
  EXPECT_TRUE(bounded_refusal(qbnote({"set", f, "-"}, huge), 0));
  EXPECT_FALSE(note(f));
  // A long note within the record's room goes through whole.
  const std::string long_note(30000, 'k');
  EXPECT_EQ(qbnote({"set", f, "-"}, long_note).status, 0);
  EXPECT_EQ(note(f), long_note);

  // Import reports the line and goes on.
  const std::string lines = "{\"path\": \"" + long_path + "\", \"note\": \"x\"}\n{\"path\": \"" + at("ok.txt") +
                            "\", \"note\": \"imported\"}\n";
  ProgramRun import = qbnote({"import", "-"}, lines);
  EXPECT_EQ(import.status, 2) << import.err;
  EXPECT_LT(import.err.size(), long_path.size() + 400);
  EXPECT_EQ(note(at("ok.txt")), "imported");
}

// Events about paths far past the event record's room: the Monitor skips
// what it cannot name, re-keys what it can, and keeps running.
TEST_F(Security, TheMonitorOutlivesPathsTooLongForItsRecords) {
  const size_t monitor = start_monitor();
  ASSERT_TRUE(wait_ready(monitor));
  const std::string deep = make_folder("deep");
  set_note(deep, "the deep folder");
  set_note(make_file("deep/short.txt"), "near the top");
  // A note whose path fits under deep/ and no longer under deep2/.
  set_note(make_file("deep/" + std::string(255 - at("deep/").size(), 'x')), "stays");
  // Nineteen levels of 200-byte names: a file near 4000 bytes down.
  std::string bottom = deep;
  for (int level = 0; level < 19; ++level) {
    bottom += "/" + std::string(200, static_cast<char>('a' + level));
    ASSERT_EQ(::mkdir(bottom.c_str(), 0700), 0) << std::strerror(errno);
  }
  ASSERT_TRUE(write_whole_file(bottom + "/f", "x"));
  move(bottom + "/f", bottom + "/g");
  ASSERT_EQ(::unlink((bottom + "/g").c_str()), 0);
  // A name of the longest length a folder entry can have.
  const std::string longest = at(std::string(255, 'L'));
  ASSERT_TRUE(write_whole_file(longest, "x"));
  move(longest, at(std::string(254, 'M')));

  move(deep, at("deep2"));
  EXPECT_TRUE(wait_note(at("deep2"), "the deep folder"));
  EXPECT_EQ(note(at("deep2/short.txt")), "near the top");
  barrier();
  EXPECT_FALSE(ended(monitor));
  EXPECT_NE(monitor_log(monitor).find("SKIPPED (too long)"), std::string::npos);
}

}  // namespace
}  // namespace e2e
