// qbnote's command lines through the real binary as one table run in order:
// args, input, environment, set-up -> exit status, output, messages, notes held.
#include <gtest/gtest.h>
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // rows leave what they do not check at its default

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/xattr.h>

#include "btree/index_file.h"
#include "engine/engine.h"
#include "notes/notes_table.h"
#include "qbnote_run.h"
#include "support/fork_helper.h"
#include "upkeep/database.h"
#include "upkeep/set_aside.h"

namespace {

constexpr size_t npos = std::string::npos;
const std::string kAny = "\x01(any)";

int lines_of(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
std::string json(const std::string& path, const std::string& note) {
  return "{\"path\": \"" + path + "\", \"note\": \"" + note + "\"}\n";
}

struct Step {
  std::vector<std::string> args;
  int status = 0;
  std::string out = kAny;                // standard output, whole
  std::vector<std::string> says, never;  // in standard output or error
  std::string in;
  EnvList env;
  int notes = -1;                // how many notes the table holds after
  std::function<void()> before;  // set-up on disk, or another state folder
  std::function<void(const QbRun&)> after;
};

void limit_file_size(rlim_t bytes) {  // 0: as before
  static rlimit before{};
  if (bytes != 0) ::getrlimit(RLIMIT_FSIZE, &before);
  rlimit limit = before;
  if (bytes != 0) limit.rlim_cur = bytes;
  std::signal(SIGXFSZ, bytes != 0 ? SIG_IGN : SIG_DFL);
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

class NotesCommands : public QbnoteTest {
 protected:
  std::function<void()> home(const std::string& name) {
    return [this, name] { home_ = tmp_.path() + "/" + name; };
  }
  void garble(const std::string& file, size_t at, const std::string& with) {
    std::string bytes = read_whole_file(file);
    ASSERT_LT(at, bytes.size());
    ASSERT_TRUE(write_whole_file(file, bytes.replace(at, with.size(), with)));
  }
  void copy_table(const std::string& to) {  // as qbbak or qbtmp, in the system folder
    ASSERT_TRUE(write_whole_file(home_ + "/system/" + to + ".db", read_whole_file(notes_db())));
    ASSERT_TRUE(write_whole_file(home_ + "/system/" + to + ".idx", read_whole_file(notes_idx())));
  }
  void run_steps(const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      std::string line = "row " + std::to_string(i) + ": qbnote";
      for (const std::string& a : s.args) line += " " + a.substr(0, 80);
      SCOPED_TRACE(line);
      if (s.before) s.before();
      const QbRun r = run(s.args, s.in, s.env);
      const std::string said = r.out + r.err;
      EXPECT_EQ(r.status, s.status) << said;
      if (s.out != kAny) { EXPECT_EQ(r.out, s.out) << r.err; }
      for (const std::string& w : s.says) EXPECT_NE(said.find(w), npos) << w << " not in: " << said;
      for (const std::string& w : s.never) EXPECT_EQ(said.find(w), npos) << w << " in: " << said;
      if (s.notes >= 0) { EXPECT_EQ(lines_of(run({"export"}).out), s.notes); }
      if (s.after) s.after(r);
    }
  }
};

TEST_F(NotesCommands, OneTableOfCommandLines) {
  const std::string f = files_, plan = make("plan.txt"), gone = f + "/gone.txt", a = make("a"), b = make("b");
  const std::string cold = make("cold"), nul = make("nul"), big = make("big"), latin = make("latin1");
  const std::string longest = f + "/" + std::string(255 - f.size() - 1, 'p'), too_long = longest + "q";
  const size_t limit = 32767 - (big.size() + 1) - 1 - 29;  // room kept for a set-aside copy's time and kind
  const std::string report = make("real/report.odt"), lower = make("dir/plan.txt"), upper = make("Dir/Plan.TXT");
  ASSERT_EQ(::symlink((f + "/real").c_str(), (f + "/via").c_str()), 0);
  const std::string docs = make("docs/"), da = make("docs/a.txt"), dc = make("docs/sub/c.txt");
  const std::string keep = make("m/keep"), lost = make("m/lost"), old = make("m/old/");
  const std::string fa = make("fa"), fb = make("fb"), fc = make("fc"), ctl = make("ctl");
  const std::string greek = "\xe1\xbc\x88\xce\xb8\xe1\xbf\x86\xce\xbd\xce\xb1\xce\xb9";  // capital alpha first
  const std::string exported = tmp_.file("exported.jsonl"), ea = make("ea"), eb = make("eb");
  const std::string temp = tmp_.path() + "/editor-tmp", ma = make("mv/a.txt"), inner = make("mv/dir/sub/x");
  const std::string beside = make("mv/dir2/y"), dir = make("mv/dir/"), into = make("mv/into/");
  const std::string xa = make("x/a"), xb = make("x/sub/b"), own = make("x/own");
  const std::string alpha = make("alpha-unique.txt"), late = make("late.txt");
  ASSERT_EQ(::mkdir(temp.c_str(), 0700), 0);
  std::string bad_lines = json(a, "first") + "{\"path\": \"" + a + "\n{\"path\": \"/x\"}\n" + json("relative", "n") +
                          json("/" + std::string(300, 'p'), "n") + json("/x", std::string(32767, 'n')) +
                          json("/x", "a\\u0000b") + "not json\n{\"path\": \"/x\", \"note\": \"y\"} trailing\n   \n" +
                          json(b, "last"),
              many, db, idx;
  for (int i = 0; i < 300; ++i) many += json("/f/" + std::to_string(i), std::string(60, 'n'));
  ASSERT_TRUE(write_whole_file(tmp_.file("300.jsonl"), many));
  ASSERT_TRUE(write_whole_file(tmp_.file("one.jsonl"), json("/x", "y")));
  int elsewhere = -1;
  auto temp_empty = [&](bool empty) {
    return [&, empty](const QbRun&) { EXPECT_EQ(std::filesystem::is_empty(temp), empty); };
  };
  auto save = [&] { db = read_whole_file(notes_db()), idx = read_whole_file(notes_idx()); };
  auto unchanged = [&](const QbRun&) {
    EXPECT_TRUE(read_whole_file(notes_db()) == db && read_whole_file(notes_idx()) == idx);
  };
  std::vector<Step> steps = {
      // No table yet: reading commands find nothing and create nothing.
      {{"status"}, 1, kAny, {"no notes yet"}}, {{"ls"}, 1, ""}, {{"get", plan}, 1}, {{"rm", plan}, 1},
      {{"find", "x"}, 1}, {{"check"}, 1}, {{"export"}, 1, kAny, {"no notes table"}},
      {.args = {"repair"}, .status = 1, .says = {"no notes table"},
       .after = [&](const QbRun&) { EXPECT_NE(::access(notes_db().c_str(), F_OK), 0); }},
      // Usage: exit 2 and what helps; help names the statuses that apply.
      {{}, 2}, {{"frobnicate"}, 2}, {{"get"}, 2},
      {{"rm", "--json", "a"}, 2, kAny, {"unknown option --json"}}, {{"repair", "more"}, 2, kAny, {"too many operands"}},
      {{"--help"}, 0, kAny, {"edit", "import", "Exit status"}},
      {{"repair", "--help"}, 0, kAny, {"  1  not found"}, {"  4  held"}},
      {{"set", "--help"}, 0, kAny, {"usage: qbnote set", "  4  held"}, {"  1  not found"}},
      // set, get, rm; "no Monitor runs" is said once per boot.
      {.args = {"set", plan, "call Ann"}, .says = {"no Monitor runs"}, .notes = 1},
      {{"set", gone, "kept"}, 0, kAny, {"no such file: the note is kept"}, {"no Monitor runs"}},
      {{"ls", "--missing"}, 0, gone + "\tkept\n"}, {{"get", plan}, 0, "call Ann\n"},
      {.args = {"set", plan, "call Ann at noon"}, .notes = 2}, {{"get", plan}, 0, "call Ann at noon\n"},
      {{"status"}, 3, kAny, {"Monitor: none answers", "Notes                            2"}},
      {.args = {"rm", plan}, .notes = 1, .after = [&](const QbRun&) {
         EXPECT_NE(read_whole_file(home_ + "/win.ini").find("MODIFIED=1"), npos);
       }},
      {{"get", plan}, 1, "", {"has no note"}}, {{"rm", plan}, 1}, {{"restore-backup"}, 3, kAny, {"no backup"}},
      {{"find", "zzz"}, 1, ""},
      // Standard input loses one final newline; "-5" is a note, elsewhere it follows "--".
      {.args = {"set", a}, .in = "first\nsecond\n\n"}, {.args = {"set", b, "-"}, .in = "only\n"},
      {{"get", a}, 0, "first\nsecond\n\n"}, {{"get", b}, 0, "only\n"}, {{"set", cold, "-5 degrees"}},
      {{"find", "-5"}, 2, kAny, {"qbnote find -- -5"}}, {{"find", "--", "-5"}, 0, cold + "\t-5 degrees\n"},
      // Bad input is refused and stores nothing; up to the limits it fits.
      {.args = {"set", nul}, .status = 2, .says = {"NUL"}, .in = std::string("before\0after", 12)}, {{"get", nul}, 1},
      {{"set", longest, "fits"}}, {{"get", longest}, 0, "fits\n"},
      {{"set", too_long, "x"}, 2, kAny, {"cannot follow paths longer than 255 bytes"}},
      {{"get", too_long}, 2, kAny, {"longer than 255"}},
      {.args = {"set", big, "-"}, .status = 2, .says = {"at most " + std::to_string(limit) + " bytes"},
       .in = std::string(limit + 1, 'x')},
      {{"get", big}, 1}, {.args = {"set", big, "-"}, .in = std::string(limit, 'y')},
      {{"get", big}, 0, std::string(limit, 'y') + "\n"}, {{"set", latin, "caf\xe9 \xff\xfe end"}},
      {{"get", latin}, 0, "caf\xe9 \xff\xfe end\n"},
      {{"get", "--json", latin}, 0, json(latin, "caf\\udce9 \\udcff\\udcfe end")},
      // Paths meet on the canonical form; names differing only in case are two notes.
      {{"set", f + "/via/report.odt", "draft"}}, {{"get", "--json", report}, 0, json(report, "draft")},
      {{"set", f + "/gone/./x/../old.txt", "stale"}}, {{"get", f + "/gone/old.txt"}, 0, "stale\n"},
      {{"set", lower, "one"}}, {{"set", upper, "two"}}, {{"get", lower}, 0, "one\n"},
      {{"ls", f + "/Dir"}, 0, upper + "\ttwo\n"},
      // ls FOLDER: its note, then everything under it, nothing beside it.
      {{"set", docs, "of docs\nmore"}}, {{"set", da, "a"}}, {{"set", dc, "c"}}, {{"set", make("docs-old/x"), "x"}},
      {{"set", make("docs.bak"), "x"}}, {{"set", make("docsx/y"), "x"}}, {{"set", make("Docs/z"), "x"}},
      {{"ls", docs + "/"}, 0, docs + "\tof docs\n" + da + "\ta\n" + dc + "\tc\n"},
      {{"ls", "-0", docs}, 0, docs + '\0' + da + '\0' + dc + '\0'},
      {.args = {"ls", "--json", "docs/sub"}, .out = json(dc, "c"), .before = [&] { ASSERT_EQ(::chdir(f.c_str()), 0); }},
      // ls --missing: only notes whose file or folder is gone.
      {{"set", keep, "n"}}, {{"set", lost, "n"}}, {{"set", old, "n"}},
      {.args = {"ls", "--missing", f + "/m"}, .out = lost + "\tn\n" + old + "\tn\n",
       .before = [&] { ASSERT_EQ(::unlink(lost.c_str()) | ::rmdir(old.c_str()), 0); }},
      // find: the matching line, any alphabet's case, bytes as they are.
      {{"set", fa, "shopping\nCall ZEBRA tomorrow"}}, {{"set", fb, "nothing here"}}, {{"set", fc, "zebra's report"}},
      {{"find", "zebra"}, 0, fa + "\tCall ZEBRA tomorrow\n" + fc + "\tzebra's report\n"},
      {{"find", "--null", "zebra"}, 0, fa + '\0' + fc + '\0'},
      {{"find", "--json", "NOTHING"}, 0, json(fb, "nothing here")},
      {{"set", fb, "\xff\xfe\n\xc3\x84rger mit \xc3\x96L, " + greek}},
      {{"find", "\xc3\xb6l"}, 0, fb + "\t\xc3\x84rger mit \xc3\x96L, " + greek + "\n"}, {{"find", "\xff\xfe"}},
      {{"find", "\xe1\xbc\x80\xce\xb8\xe1\xbf\x86\xce\xbd\xce\xb1\xce\xb9"}},
      // To a pipe, control characters go byte for byte.
      {{"set", ctl, "bell\a title\x1b]0;x\a\x7f del"}}, {{"get", ctl}, 0, "bell\a title\x1b]0;x\a\x7f del\n"},
      // import reports each line it cannot take and stores the rest.
      {.args = {"import", "-"}, .status = 2,
       .says = {"line 2:", "line 3:", "line 4:", "line 5:", "line 6:", "line 7:", "line 8:", "line 9:"},
       .never = {"line 1:", "line 10:", "line 11:"}, .in = bad_lines},
      {{"get", a}, 0, "first\n"}, {{"get", b}, 0, "last\n"},
      // export, then import into a fresh state folder: the same notes.
      {.args = {"set", f + "/gone/\xe9t\xe9.txt", "-"},
       .in = "bytes \xff\xfe, overlong \xc0\xaf, surrogate \xed\xa0\x80, good \xc3\xa9 \xe2\x82\xac\n"},
      {{"set", make("q"), std::string(30000, 'q')}},
      {.args = {"export"}, .says = {"\\udcff\\udcfe", "\xc3\xa9 \xe2\x82\xac"},
       .after = [&](const QbRun& r) { write_whole_file(exported, r.out); }},
      {.args = {"import", exported}, .before = home("fresh")},
      {.args = {"export"}, .after = [&](const QbRun& r) { EXPECT_EQ(r.out, read_whole_file(exported)); }},
      {{"check"}, 0, kAny, {"sound"}}, {{"get", big}, 0, std::string(limit, 'y') + "\n"},
      // Settings, with their types; nonsense refused.
      {{"config"}, 0, kAny, {"SetAsideDays       (not set: 30)"}}, {{"config", "set", "SetAsideDays", "-3"}, 2},
      {{"config", "set", "CrossMounts", "2"}, 2}, {{"config", "set", "WatchRoots", "/tmp:rel/dir"}, 2},
      {{"config", "set", "NoSuchThing", "1"}, 2}, {{"config", "get"}, 2},
      {.args = {"config", "set", "setasidedays", "7"}, .after = [&](const QbRun&) {
         EXPECT_NE(read_whole_file(home_ + "/registry.reg").find("\"SetAsideDays\"=dword:00000007"), npos);
       }},
      {{"config", "get", "SetAsideDays"}, 0, "7\n"}, {{"config", "set", "NotesProgram", "--a-program-with-dashes"}},
      {{"config", "unset", "SetAsideDays"}}, {{"config", "get", "SetAsideDays"}, 1},
      // A failed editor leaves no temporary file, unless it holds text the person wrote.
      {{"set", ea, "old text"}}, {.args = {"edit", ea}, .env = {{"VISUAL", ""}, {"EDITOR", "sed -i s/old/new/"}}},
      {{"get", ea}, 0, "new text\n"}, {.args = {"edit", eb}, .env = {{"VISUAL", "printf 'written\\n' >"}}},
      {{"get", eb}, 0, "written\n"},
      {.args = {"edit", ea}, .status = 2, .env = {{"VISUAL", "false"}, {"TMPDIR", temp}}, .after = temp_empty(true)},
      {.args = {"edit", ea}, .status = 2, .says = {"your text is in " + temp + "/qbnote-"},
       .env = {{"VISUAL", "printf mine > \"$1\"; false"}, {"TMPDIR", temp}}, .after = temp_empty(false)},
      {.args = {"edit", ea}, .says = {"empty"}, .env = {{"VISUAL", ": >"}}}, {{"get", ea}, 0, "new text\n"},
      {.args = {"edit", ea}, .status = 4, .says = {"changed by another program"},
       .env = {{"VISUAL", std::string(QBNOTE_BIN) + " set '" + ea + "' theirs; printf mine >"}}},
      {{"get", ea}, 0, "theirs\n"},
      // mv and cp -r carry the notes along when no Monitor runs.
      {{"set", ma, "of a"}}, {{"set", dir, "of dir"}}, {{"set", inner, "of x"}}, {{"set", beside, "of y"}},
      {{"mv", ma, into}}, {{"get", into + "/a.txt"}, 0, "of a\n"}, {{"mv", dir, into + "/moved"}},
      {{"get", into + "/moved/sub/x"}, 0, "of x\n"}, {{"get", into + "/moved"}, 0, "of dir\n"},
      {{"get", beside}, 0, "of y\n"},  // a name the folder's begins
      {{"mv", beside, into + "/a.txt"}, 2, kAny, {"exists"}},
      {.args = {"cp", "-r", into + "/moved", into + "/copy"},
       .before = [&] { ASSERT_EQ(::symlink("sub/x", (into + "/moved/link").c_str()), 0); },
       .after = [&](const QbRun&) { EXPECT_EQ(std::filesystem::read_symlink(into + "/copy/link"), "sub/x"); }},
      {{"get", into + "/copy/sub/x"}, 0, "of x\n"}, {{"get", into + "/copy"}, 0, "of dir\n"},
      {{"get", into + "/moved/sub/x"}, 0, "of x\n"}, {{"cp", "-r", into, into + "/copy/inside"}, 2},
      {{"cp", "-r", into + "/moved", into}, 2}, {{"ls", "--missing", f + "/mv"}, 1, ""},
      // Damaged tables: found, left alone, brought back (not while open elsewhere).
      {.args = {"set", alpha, "first"}, .before = home("damaged")}, {{"set", b, "second"}},
      {.args = {"set", late, "after the backup"}, .before = [&] { copy_table("qbbak"); }},
      {.args = {"check"}, .status = 3, .says = {"finding", "`qbnote repair`"},
       .before = [&] { garble(notes_db(), read_whole_file(notes_db()).find("alpha-unique"), "o"), save(); }},
      {.args = {"set", alpha, "new"}, .status = 3, .says = {"`qbnote repair`"}, .after = unchanged},
      {.args = {"repair"}, .status = 3, .says = {"qbmon --stop"},
       .before = [&] { elsewhere = ::open(notes_db().c_str(), O_RDONLY), ::flock(elsewhere, LOCK_SH); },
       .after = unchanged},
      {.args = {"restore-backup"}, .status = 3, .says = {"qbmon --stop"},
       .after = [&](const QbRun& r) { ::close(elsewhere), unchanged(r); }},
      {.args = {"repair"}, .notes = 3}, {{"check"}, 0, kAny, {"sound"}},
      {.args = {"set", b, "new"}, .status = 3, .says = {"index", "error 12 ("},
       .before = [&] { garble(notes_idx(), 0, std::string(36, 'Z')), save(); }, .after = unchanged},
      {{"get", b}, 3}, {{"repair"}}, {{"get", late}, 0, "after the backup\n"},
      {.args = {"restore-backup"}, .before = [&] { garble(notes_idx(), 0, std::string(36, 'Z')), save(); }},
      {{"check"}, 0, kAny, {"sound"}}, {{"get", alpha}, 0, "first\n"},
      {.args = {"get", late}, .status = 1, .after = [&](const QbRun&) {  // written after the backup
         int kept = 0;
         for (const auto& e : std::filesystem::directory_iterator(home_ + "/system/"))
           kept += e.path().filename().string().rfind("qb.idx.broken-", 0) == 0 && read_whole_file(e.path()) == idx;
         EXPECT_EQ(kept, 1);
       }},
      // check looks at the temporary table the Monitor leaves, too.
      {.args = {"check"}, .says = {"temporary table"}, .before = [&] { copy_table("qbtmp"); }},
      {.args = {"check"}, .status = 3, .says = {"temporary table", "index file cannot be used"},
       .before = [&] { garble(home_ + "/system/" + "qbtmp.idx", 0, std::string(36, 'Z')); }},
      {.args = {"set", alpha, "precious"}, .before = home("db-header"),
       .after = [&](const QbRun&) { garble(notes_db(), 0, "\xff\x7f"), save(); }},
  };
  // The data file's header damaged: every command stops and leaves both files alone.
  for (const std::vector<std::string>& c : std::vector<std::vector<std::string>>{{"set", alpha, "new"}, {"get", alpha},
           {"rm", alpha}, {"ls"}, {"find", "precious"}, {"import", tmp_.file("one.jsonl")}, {"export"}, {"check"}})
    steps.push_back({.args = c, .status = 3, .says = {"error "}, .after = unchanged});
  // A disk that fails mid-import: the summary counts what the table holds.
  for (const char* says : {"stored, 0 lines skipped, 1 failed", "File too large; `qbnote check`"}) {
    steps.push_back({.args = {"import", tmp_.file("300.jsonl")}, .status = 3, .says = {says},
                     .never = {"stopped at line 1;", " 0 failed"},
                     .before = [&] { home("full")(), limit_file_size(8192); }, .after = [&](const QbRun& r) {
                       limit_file_size(0);  // the table in "full" started empty
                       EXPECT_EQ(lines_of(run({"export"}).out), std::stoi(r.err.substr(r.err.find("import: ") + 8)));
                     }});
  }
  // File managers' comments come in as notes and go back out, never over a note.
  char back[16] = {};
  if (::setxattr(xa.c_str(), "user.xdg.comment", "from the file manager", 21, 0) == 0) {
    ASSERT_EQ(::setxattr(xb.c_str(), "user.xdg.comment", "deeper", 6, 0), 0);
    ASSERT_EQ(::setxattr(own.c_str(), "user.xdg.comment", "a comment", 9, 0), 0);
    steps.insert(steps.end(), {
        {.args = {"set", own, "mine"}, .before = home("xattr")},
        {{"import", "--xattr", f + "/x"}, 0, kAny, {"2 comments taken as notes, 1 paths kept their own notes"}},
        {{"get", xa}, 0, "from the file manager\n"}, {{"get", xb}, 0, "deeper\n"}, {{"get", own}, 0, "mine\n"},
        {.args = {"export", "--xattr"}, .after = [&](const QbRun&) {
           EXPECT_EQ(std::string(back, std::max(0L, ::getxattr(own.c_str(), "user.xdg.comment", back, 16))), "mine");
         }},
    });
  }
  // Notes the Monitor set aside: listed with when and why, restored, never over a note.
  const std::string d = f + "/d.txt";
  auto made_in = [&](const char* name, std::function<int()> make_table) {  // in a child, in a new state folder
    return [&, name, make_table] {
      home(name)();
      Child made = fork_child([&](int, int) { return ::setenv("QB_HOME", home_.c_str(), 1), make_table(); });
      ASSERT_EQ(wait_child(made), 1);
    };
  };
  auto set_aside = made_in("aside", [&] {
    set_aside_clock = [] { return int64_t{1700000000}; };
    char base[kPathBuffer];
    TableHandle t;
    int ok = systemFilePath(base, "qbtmp") == 1 && createSetAsideTable(base, kPathDeclaration) == 1 &&
             t.open(base, 0) == 1 && t.setIndex(kPathIndex) == 1;
    for (const std::string& path : {a, b}) {
      ok = ok && t.setField(0, path.c_str()) == 1 && t.setField(1, ("of " + path).c_str()) == 1;
      stampSetAside(t, path == a ? kAsideDeleted : kAsideRenamed);
      ok = ok && t.addRecord() == 1;
    }
    return ok && t.close() == 1 ? 1 : 0;
  });
  // A table made elsewhere whose path field ignores case ("Path"): one note per name.
  auto ignoring_case = made_in("ignoring-case", [&] {
    char base[kPathBuffer];
    return systemFilePath(base, "qb") == 1 ? createNotesTable(base, "Path") : -1;
  });
  steps.insert(steps.end(), {
      {.args = {"ls", "--set-aside", "--json", a},
       .out = "{\"path\": \"" + a + "\", \"note\": \"of " + a +
              "\", \"set_aside\": \"2023-11-14T22:13:20Z\", \"kind\": \"deleted\"}\n",
       .before = set_aside},
      {{"ls", "--set-aside"}, 0, kAny, {a + "\t", "\trenamed\tof " + b + "\n"}}, {{"set", fc, "own"}},
      {{"restore", b, fc}, 2, kAny, {"has a note already"}}, {{"get", fc}, 0, "own\n"}, {{"restore", a}},
      {{"get", a}, 0, "of " + a + "\n"}, {{"restore", b, d}}, {{"get", d}, 0, "of " + b + "\n"},
      {{"ls", "--set-aside"}, 1, ""}, {{"restore", a}, 1}, {{"check"}, 0, kAny, {"sound"}},
      {.args = {"set", lower, "one"}, .before = ignoring_case}, {{"set", upper, "two"}},
      {{"get", f + "/dir/PLAN.txt"}, 0, "two\n"}, {{"ls", f + "/dir"}, 0, upper + "\ttwo\n"},
      {{"check"}, 0, kAny, {"sound"}}, {.args = {"rm", f + "/DIR/plan.txt"}, .notes = 0},
  });
  run_steps(steps);
}

// A full disk under either file: the message keeps the system's cause.
TEST(NotesErrorText, AFailedWriteOfEitherFileNamesTheSystemsCause) {
  for (auto [code, index_error] : {std::pair{kTbDataFile, 0}, {kTbIndexLayer, kIxWriteFailed}})
    EXPECT_NE(engine_error_text(code, index_error, ENOSPC).find("No space left on device"), npos) << code;
  EXPECT_NE(engine_error_text(kTbCannotOpen, 0, EROFS).find("Read-only file system"), npos);
}

}  // namespace
