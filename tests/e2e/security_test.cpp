// Safety, on the real processes: the state folder is private, and refused when
// others can change it; a path is only ever a name; control characters reach a
// terminal escaped; paths and notes past the limits are refused in one line.
#include <poll.h>
#include <pty.h>

#include <filesystem>
#include <set>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

class Security : public E2eTest {
 protected:
  void TearDown() override {
    std::filesystem::current_path(cwd_);
    ::umask(old_umask_);
    E2eTest::TearDown();
  }

  // All qbnote wrote with its output and error on a pseudo-terminal.
  static std::string on_terminal(const std::vector<std::string>& args) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      std::vector<char*> argv{const_cast<char*>(QBNOTE_BIN)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(QBNOTE_BIN, argv.data());
      ::_exit(127);
    }
    std::string out;
    char buffer[4096];
    pollfd p{master, POLLIN, 0};
    for (ssize_t n = 0; pid > 0 && ::poll(&p, 1, kRunDeadlineMs) == 1 && (n = ::read(master, buffer, 4096)) > 0;)
      out.append(buffer, static_cast<size_t>(n));
    int status = 0;
    if (pid > 0 && ::close(master) == 0) reap_program(pid, -1, &status);
    return out;
  }

  const std::string cwd_ = std::filesystem::current_path();
  const mode_t old_umask_ = ::umask(0);  // every mode seen is then the one the programs asked for
};

// A name holding ESC[2J (clear the screen), a note holding a bell and a
// window-title sequence: a terminal gets them escaped, a pipe byte for byte,
// -0 the bare paths for xargs -0; `ls FOLDER` on a terminal too escapes names.
TEST_F(Security, ControlCharactersReachATerminalEscapedAndOverlongInputIsRefused) {
  const std::string f = make("in/clear\x1b[2Jscreen\\"), raw = "bell\a title\x1b]0;owned\a\x7f\xc2\x9b end";
  set_note(f, raw + "\nsecond\tline");
  const std::string shown = "clear\\033[2Jscreen\\\\", first = "bell\\007 title\\033]0;owned\\007\\177\\302\\233 end";
  ::setenv("NO_COLOR", "1", 1);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"ls"}, {"find", "TITLE"}, {"get", f}, {"ls", at("in")}}) {
    const std::string out = on_terminal(args);
    const std::string wanted =
        args[0] == "get" ? first + "\r\nsecond\tline" : args.back() == at("in") ? shown : shown + "\t" + first;
    EXPECT_EQ(out.find_first_of("\x1b\a\x7f\x9b"), std::string::npos) << args[0] << ": " << out;
    EXPECT_NE(out.find(wanted), std::string::npos) << out;
  }
  ::unsetenv("NO_COLOR");
  EXPECT_EQ(qbnote({"ls"}).out + qbnote({"find", "TITLE"}).out, f + "\t" + raw + "\n" + f + "\t" + raw + "\n");
  EXPECT_EQ(qbnote({"ls", "-0"}).out + qbnote({"find", "--null", "second"}).out, f + '\0' + f + '\0');

  // Paths of 4000 bytes and notes of 60 KB are refused in one bounded line.
  const std::string long_path = root_ + "/" + std::string(4000 - root_.size() - 1, 'p');
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", long_path, "x"}, {"get", long_path}, {"rm", long_path}, {"ls", long_path}, {"edit", long_path},
           {"cp", f, long_path}, {"set", f, std::string(60 * 1024, 'n')}, {"set", f, "-"}}) {  // "-": standard input
    const ProgramRun r = qbnote(args, std::string(60 * 1024, 'n'));
    EXPECT_TRUE(r.status == 2 && r.err.find('\n') == r.err.size() - 1 &&
                r.err.size() <= (args[0] == "set" && args[1] == f ? 0 : long_path.size()) + 400)
        << args[0] << ": " << r.status << " " << r.err;
  }
  EXPECT_EQ(notes_under(), (Notes{{f, raw}}));  // nothing else was stored
}

// Names a shell would act on are set, copied, renamed and edited and stay
// names: had any reached a shell, a file "pwned" would appear in the working
// folder (the root) or beside it. Every file the programs make in the state
// folder is private, the one qbnote makes when no Monitor answers too, and
// so after the stop's backup. A state folder others can write is then refused
// by both programs, naming the fix: its "NotesProgram" would be a command of
// another's choosing, run by the Monitor.
TEST_F(Security, ShellCharactersInPathsAreJustNamesAndTheStateStaysPrivate) {
  set_note(make("before"), "set while no Monitor runs");
  std::filesystem::current_path(root_);
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  for (const std::string name : {"semi;colon touch pwned", "$(touch pwned)", "`touch pwned`", "it's 'quoted'",
                                 "say \"touch pwned\"", "two\nlines", "-leading dash", "*glob?[a]", "back\\slash",
                                 "pipe | touch pwned", "and & touch pwned", "> pwned", "$HOME ${PATH}"}) {
    const std::string text = "note of " + name + " $(touch pwned)";
    set_note(make(name), text);
    EXPECT_EQ(qbnote({"cp", at(name), at("copy of " + name)}).status, 0) << name;
    move(at(name), at("moved " + name));
    EXPECT_TRUE(wait_note(at("copy of " + name), text) && wait_note(at("moved " + name), text)) << name;
  }
  make("-rf");  // a relative name that looks like an option, after "--"
  EXPECT_EQ(qbnote({"set", "--", "-rf", "dash"}).status, 0);
  EXPECT_EQ(qbnote({"cp", "--", "-rf", "-rf2"}).status, 0);
  EXPECT_TRUE(wait_note(at("-rf2"), "dash"));
  // The editor runs through a shell; the note's path is no part of what it reads.
  const std::string edited = make("edit `touch pwned`; $(touch pwned)");
  set_note(edited, "plain");
  ::setenv("EDITOR", "sed -i -e s/^/edited:/", 1);
  EXPECT_EQ(qbnote({"edit", edited}).status, 0);
  ::unsetenv("EDITOR");
  EXPECT_TRUE(wait_note(edited, "edited:plain"));
  barrier();
  for (const std::string& where : {root_, outside_, home_, tmp_.path()})
    EXPECT_FALSE(std::filesystem::exists(where + "/pwned")) << where;

  ASSERT_EQ(qbnote({"rm", at("-rf2")}).status, 0);  // a deletion: the stop backs up and compacts
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) stop(m);
    EXPECT_EQ(std::filesystem::status(home_).permissions(), std::filesystem::perms::owner_all);
    std::vector<std::string> names;  // folders 0700, files and sockets 0600, all this user's
    std::error_code ec;              // an entry gone meanwhile ends the walk, not the test
    for (auto e = std::filesystem::recursive_directory_iterator(home_, ec); e != decltype(e)(); e.increment(ec)) {
      struct stat st;
      names.push_back(e->path().filename());
      if (::lstat(e->path().c_str(), &st) != 0) continue;  // gone meanwhile
      if ((st.st_mode & 07777) != (S_ISDIR(st.st_mode) ? 0700u : 0600u) || st.st_uid != ::geteuid() ||
          S_ISLNK(st.st_mode) || S_ISFIFO(st.st_mode))
        ADD_FAILURE() << e->path() << " mode " << std::oct << (st.st_mode & 07777);
    }
    for (const char* name : {"qb.db", "qb.idx", "no-monitor-told",
                             pass ? "qbbak.db" : "driver.sock", pass ? "qbbak.idx" : ""})
      EXPECT_TRUE(*name == '\0' || std::find(names.begin(), names.end(), name) != names.end()) << name;
  }
  ASSERT_EQ(::chmod(home_.c_str(), 0730), 0);
  const ProgramRun ls = qbnote({"ls"});
  EXPECT_EQ(ls.status, 3);
  const size_t again = start_monitor();
  EXPECT_EQ(wait_exit(again), EPERM);
  for (const std::string& said : {ls.err, monitor_log(again)})
    EXPECT_NE(said.find("chmod 700 " + home_), std::string::npos) << said;
}

}  // namespace
}  // namespace e2e
