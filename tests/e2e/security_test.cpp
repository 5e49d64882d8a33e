// What the programs promise about safety, on the real processes: the state
// folder is private to the user, and refused when others can change it; a
// path is only ever a name, whatever it holds; control characters reach a
// terminal escaped; paths and notes past the limits are refused with one
// bounded line, and the Monitor outlives events about them.
#include <poll.h>
#include <pty.h>

#include <filesystem>
#include <set>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

class Security : public E2eTest {
 protected:
  void SetUp() override {
    old_umask_ = ::umask(0);  // every mode seen is then the one the programs asked for
    cwd_ = std::filesystem::current_path();
    E2eTest::SetUp();
  }
  void TearDown() override {
    std::filesystem::current_path(cwd_);
    for (size_t i = 0; i < monitors_.size(); ++i)
      if (!ended(i)) stop(i);
    E2eTest::TearDown();
    ::umask(old_umask_);
  }

  // Entries of the state folder, itself included, not private to this user
  // (folders 0700, files and sockets 0600); `seen` gets every name.
  std::vector<std::string> exposed(std::set<std::string>* seen) const {
    std::vector<std::string> paths = {home_}, out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(home_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      paths.push_back(it->path());
    for (const std::string& p : paths) {
      struct stat st;
      if (::lstat(p.c_str(), &st) != 0) continue;  // gone meanwhile
      seen->insert(p.substr(p.rfind('/') + 1));
      const unsigned want = S_ISDIR(st.st_mode) ? 0700 : S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode) ? 0600 : 1;
      if ((st.st_mode & 07777) != want || st.st_uid != ::geteuid())
        out.push_back(p + ": mode " + std::to_string(st.st_mode & 07777) + ", owner " + std::to_string(st.st_uid));
    }
    return out;
  }

  // A refusal: status 2 and one line, not much longer than the path it quotes.
  static ::testing::AssertionResult refused(const ProgramRun& r, size_t quoted) {
    if (r.status == 2 && !r.err.empty() && r.err.find('\n') == r.err.size() - 1 && r.err.size() <= quoted + 400)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << r.status << ", " << r.err.size() << " bytes: " << r.err.substr(0, 300);
  }

  // All qbnote wrote with its output and error on a pseudo-terminal.
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
    for (ssize_t n = 0; pid > 0 && ::poll(&p, 1, kRunDeadlineMs) == 1 && (n = ::read(master, buffer, 4096)) > 0;)
      out.append(buffer, static_cast<size_t>(n));
    int status = 0;
    if (pid > 0) ::close(master), reap_program(pid, -1, &status);
    return out;
  }

  mode_t old_umask_ = 0;
  std::string cwd_;
};

// A state folder or registry.reg another user owns or can write is refused
// by both programs, naming the fix: its "NotesProgram" would be a command of
// that user's choosing, run by the Monitor.
TEST_F(Security, StateFolderOthersCanChangeIsRefused) {
  const struct {
    const char* what;  // "": the folder itself
    mode_t mode;
    bool other_owner;  // only root can give a file away
    const char* fix;
  } rows[] = {{"", 0777, false, "chmod 700 "},
              {"", 0730, false, "chmod 700 "},
              {"/registry.reg", 0666, false, "chmod 600 "},
              {"", 0700, true, "chown"},
              {"/registry.reg", 0600, true, "chown"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.what) + " " + std::to_string(r.mode));
    if (r.other_owner && ::geteuid() != 0) continue;
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
  set_note(make("a"), "put right, it is used again");
}

// Reading commands find no state folder and make none; a relative QB_HOME names none.
TEST_F(Security, ReadingCommandsMakeNoStateFolder) {
  const std::string none = tmp_.path() + "/none";
  ::setenv("XDG_STATE_HOME", none.c_str(), 1);
  for (const char* home : {none.c_str(), "relative"}) {
    ::setenv("QB_HOME", home, 1);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"get", at("a")}, {"ls"}, {"find", "x"}, {"check"}, {"status"}, {"export"}}) {
      const ProgramRun r = qbnote(args);
      EXPECT_TRUE(r.status == 1 || (r.status == 0 && r.out.empty())) << args[0] << ": " << r.status;
      EXPECT_NE(r.err.find("no notes"), std::string::npos) << args[0] << ": " << r.err;
    }
    EXPECT_EQ(size_of(none), -1);
    EXPECT_EQ(size_of("relative"), -1);
  }
  ::unsetenv("XDG_STATE_HOME");
}

// A name holding ESC[2J (clear the screen), a note holding a bell and a
// window-title sequence: a terminal gets them escaped, a pipe byte for byte,
// -0 the bare paths for xargs -0. `ls FOLDER` on a terminal browses it:
// entries and notes, colour only without NO_COLOR, names still escaped.
TEST_F(Security, ControlCharactersReachATerminalEscaped) {
  const std::string f = make("clear\x1b[2Jscreen\\"), raw = "bell\a title\x1b]0;owned\a\x7f\xc2\x9b end";
  set_note(f, raw + "\nsecond\tline");
  const std::string shown = "clear\\033[2Jscreen\\\\", first = "bell\\007 title\\033]0;owned\\007\\177\\302\\233 end";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls"}, {"find", "TITLE"}, {"get", f}, {"ls", "--set-aside"}}) {
    const std::string out = on_terminal(args);
    EXPECT_EQ(out.find_first_of("\x1b\a\x7f\x9b"), std::string::npos) << args[0] << ": " << out;
    const std::string wanted = args[0] == "get" ? first + "\r\nsecond\tline" : shown + "\t" + first;
    EXPECT_TRUE(args.back() == "--set-aside" || out.find(wanted) != std::string::npos) << out;  // none set aside
  }
  EXPECT_EQ(qbnote({"ls"}).out, f + "\t" + raw + "\n");
  EXPECT_EQ(qbnote({"find", "TITLE"}).out, f + "\t" + raw + "\n");
  EXPECT_EQ(qbnote({"ls", "-0"}).out, f + std::string(1, '\0'));
  EXPECT_EQ(qbnote({"find", "--null", "second"}).out, f + std::string(1, '\0'));

  set_note(make("browse/plan\x1b[2J.txt"), "call Ann\nsecond line");
  set_note(make("browse/sub/"), "the folder");
  make("browse/unnoted");
  std::string out = on_terminal({"ls", at("browse")});
  for (const char* part : {"plan\\033[2J.txt  \x1b[33mcall Ann\x1b[0m\r\n", "\x1b[1;34msub/\x1b[0m", "unnoted\r\n"})
    EXPECT_NE(out.find(part), std::string::npos) << out;
  ::setenv("NO_COLOR", "1", 1);
  out = on_terminal({"ls", at("browse")});
  ::unsetenv("NO_COLOR");
  EXPECT_NE(out.find("sub/" + std::string(13, ' ') + "the folder\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b"), std::string::npos) << out;
  EXPECT_NE(qbnote({"ls", at("browse")}).out.find(at("browse/sub\tthe folder\n")), std::string::npos);  // a pipe
}

// Names a shell would act on are set, read, copied, renamed and edited and
// stay names: had any reached a shell, a file "pwned" would appear in the
// working folder (the root) or beside it. The state folder stays private
// all the while, and after the stop's backup too.
TEST_F(Security, ShellCharactersInPathsAreJustNamesAndTheStateStaysPrivate) {
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  std::filesystem::current_path(root_);
  for (const std::string name : {"semi;colon touch pwned", "$(touch pwned)", "`touch pwned`", "it's 'quoted'",
                                 "say \"touch pwned\"", "two\nlines", "-leading dash", "*glob?[a]", "back\\slash",
                                 "pipe | touch pwned", "and & touch pwned", "> pwned", "$HOME ${PATH}"}) {
    SCOPED_TRACE(name);
    const std::string f = make(name), text = "note of " + name + " $(touch pwned)";
    set_note(f, text);
    EXPECT_EQ(note(f), text);
    const ProgramRun cp = qbnote({"cp", f, at("copy of " + name)});
    EXPECT_EQ(cp.status, 0) << cp.err;
    move(f, at("moved " + name));
    EXPECT_TRUE(wait_note(at("copy of " + name), text));
    EXPECT_TRUE(wait_note(at("moved " + name), text));
  }
  make("-rf");  // a relative name that looks like an option, after "--"
  EXPECT_EQ(qbnote({"set", "--", "-rf", "dash"}).status, 0);
  EXPECT_EQ(qbnote({"cp", "--", "-rf", "-rf2"}).status, 0);
  EXPECT_TRUE(wait_note(at("-rf2"), "dash"));
  // The editor runs through a shell; the note's path is no part of what it reads.
  const std::string edited = make("edit `touch pwned`; $(touch pwned)");
  set_note(edited, "plain");
  ::setenv("EDITOR", "sed -i -e s/^/edited:/", 1);
  ::unsetenv("VISUAL");
  const ProgramRun edit = qbnote({"edit", edited});
  ::unsetenv("EDITOR");
  EXPECT_EQ(edit.status, 0) << edit.err;
  EXPECT_EQ(note(edited), "edited:plain");
  barrier();
  for (const std::string& where : {root_, outside_, home_, tmp_.path()}) EXPECT_EQ(size_of(where + "/pwned"), -1);

  ASSERT_EQ(qbnote({"rm", at("-rf2")}).status, 0);  // a deletion: the stop backs up and compacts
  std::set<std::string> seen;
  EXPECT_EQ(exposed(&seen), std::vector<std::string>{});
  EXPECT_TRUE(seen.count("qb.db") && seen.count("qb.idx") && seen.count("driver.sock")) << testing::PrintToString(seen);
  stop(m);
  EXPECT_EQ(exposed(&seen), std::vector<std::string>{});
  EXPECT_TRUE(seen.count("qbbak.db") && seen.count("qbbak.idx")) << testing::PrintToString(seen);
}

// Paths of 4000 bytes and notes of 60 KB are refused with one bounded line;
// events about paths far past the event record's room are skipped by the
// Monitor, which re-keys what it can name and keeps running.
TEST_F(Security, OverlongPathsAndNotesAreRefusedAndTheMonitorOutlivesThem) {
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  const std::string f = make("plain.txt"), long_path = root_ + "/" + std::string(4000 - root_.size() - 1, 'p');
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", long_path, "x"}, {"get", long_path}, {"rm", long_path}, {"ls", long_path}, {"edit", long_path},
           {"cp", f, long_path}})
    EXPECT_TRUE(refused(qbnote(args), long_path.size())) << args[0];
  const std::string huge(60 * 1024, 'n');
  EXPECT_TRUE(refused(qbnote({"set", f, huge}), 0));
  EXPECT_TRUE(refused(qbnote({"set", f, "-"}, huge), 0));
  EXPECT_EQ(notes_under(), Notes{});  // nothing was stored

  set_note(make("deep/"), "the deep folder");
  set_note(make("deep/short.txt"), "near the top");
  set_note(make("deep/" + std::string(255 - at("deep/").size(), 'x')), "fits under deep/, not deep2/");
  std::string bottom = at("deep");  // nineteen levels of 200-byte names: a file near 4000 bytes down
  for (char level = 'a'; level < 'a' + 19; ++level) make_parents((bottom += "/" + std::string(200, level)) + "/");
  ASSERT_TRUE(write_whole_file(bottom + "/f", "x"));
  move(bottom + "/f", bottom + "/g");
  ASSERT_EQ(::unlink((bottom + "/g").c_str()), 0);
  make(std::string(255, 'L'));  // the longest name an entry can have
  move(at(std::string(255, 'L')), at(std::string(254, 'M')));
  move(at("deep"), at("deep2"));
  EXPECT_TRUE(wait_note(at("deep2"), "the deep folder"));
  EXPECT_EQ(note(at("deep2/short.txt")), "near the top");
  barrier();
  EXPECT_FALSE(ended(m));
  EXPECT_NE(monitor_log(m).find("SKIPPED (too long)"), std::string::npos);
}

}  // namespace
}  // namespace e2e
