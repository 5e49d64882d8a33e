// qbnote through the real binary, on a temporary state folder (`state/`, QB_HOME of
// every run) and the files its notes are about (`files/`); every run has a deadline.
// One table of command lines run in order, then qbnote beside other processes.
#include <gtest/gtest.h>
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // rows leave what they do not check at its default

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "btree/index_file.h"
#include "engine/engine.h"
#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "platform/profile.h"
#include "support/fork_helper.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "table_handle/table_handle.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

namespace {

using QbRun = ProgramRun;
constexpr size_t npos = std::string::npos;
const std::string kAny = "\x01(any)";

int lines_of(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
std::string json(const std::string& path, const std::string& note) {  // the text as given, unescaped
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

void limit_file_size(bool on) {  // writes past 8 KiB fail with EFBIG
  rlimit limit;
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = on ? 8192 : limit.rlim_max;
  std::signal(SIGXFSZ, on ? SIG_IGN : SIG_DFL);
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

class NotesCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    char resolved[PATH_MAX];  // notes are stored under resolved folders; TMPDIR may lie behind a link
    ASSERT_TRUE(::mkdir(files_.c_str(), 0700) == 0 && ::realpath(files_.c_str(), resolved) != nullptr);
    files_ = resolved;
  }

 public:
  StartedProgram start(const std::vector<std::string>& args, const std::string& input = "", EnvList env = {}) {
    const std::string n = tmp_.path() + "/run." + std::to_string(::getpid()) + "." + std::to_string(++runs_);
    env.insert(env.begin(), {"QB_HOME", home_});
    return start_program(QBNOTE_BIN, args, input, env, n + ".out", n + ".err");
  }
  QbRun run(const std::vector<std::string>& args, const std::string& input = "", const EnvList& env = {}) {
    return finish_program(start(args, input, env));
  }
  // A file (or, with a trailing '/', a folder) under files/, made with its parents; its full path.
  std::string make(const std::string& relative) {
    std::string full = files_ + "/" + relative;
    for (size_t at = files_.size() + 1; (at = full.find('/', at)) != npos; ++at)
      ::mkdir(full.substr(0, at).c_str(), 0700);
    if (full.back() == '/') full.pop_back();
    else write_whole_file(full, "");
    return full;
  }
  std::string notes_db() const { return home_ + "/system/qb.db"; }
  std::string notes_idx() const { return home_ + "/system/qb.idx"; }
  std::function<void()> home(const std::string& name) {
    return [this, name] { home_ = tmp_.path() + "/" + name; };
  }
  void garble(const std::string& file, size_t at, const std::string& with) {
    std::string bytes = read_whole_file(file);
    ASSERT_LT(at, bytes.size());
    ASSERT_TRUE(write_whole_file(file, bytes.replace(at, with.size(), with)));
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

  TempDir tmp_;
  std::string home_ = tmp_.path() + "/state", files_ = tmp_.path() + "/files";
  int runs_ = 0;
};
using NotesSharing = NotesCommands;

TEST_F(NotesCommands, OneTableOfCommandLines) {
  const std::string f = files_, plan = make("plan.txt"), gone = f + "/gone.txt", a = make("a"), b = make("b");
  const std::string cold = make("cold"), nul = make("nul"), big = make("big"), latin = make("latin1");
  const size_t limit = 32767 - (big.size() + 1) - 1 - 29;  // room kept for a set-aside copy's time and kind
  const std::string report = make("real/report.odt"), lower = make("dir/plan.txt"), upper = make("Dir/Plan.TXT");
  ASSERT_EQ(::symlink((f + "/real").c_str(), (f + "/via").c_str()), 0);
  const std::string docs = make("docs/"), da = make("docs/a.txt"), dc = make("docs/sub/c.txt");
  const std::string fa = make("fa"), fb = make("fb"), fc = make("fc");
  const std::string greek = "\xe1\xbc\x88\xce\xb8\xe1\xbf\x86\xce\xbd\xce\xb1\xce\xb9";  // capital alpha first
  const std::string exported = tmp_.file("exported.jsonl"), ea = make("ea");
  const std::string temp = tmp_.path() + "/editor-tmp", ma = make("mv/a.txt"), inner = make("mv/dir/sub/x");
  const std::string beside = make("mv/dir2/y"), dir = make("mv/dir/"), into = make("mv/into/");
  const std::string alpha = make("alpha-unique.txt"), late = make("late.txt");
  ASSERT_EQ(::mkdir(temp.c_str(), 0700), 0);
  std::string bad_lines = json(a, "first") + "{\"path\": \"" + a + "\n{\"path\": \"/x\"}\n" + json("relative", "n") +
                          json("/" + std::string(300, 'p'), "n") + json("/x", std::string(32767, 'n')) +
                          json("/x", "a\\u0000b") + "not json\n{\"path\": \"/x\", \"note\": \"y\"} trailing\n   \n" +
                          json(b, "last"),
              many, db, idx;
  for (int i = 0; i < 300; ++i) many += json("/f/" + std::to_string(i), std::string(60, 'n'));
  ASSERT_TRUE(write_whole_file(tmp_.file("300.jsonl"), many));
  int elsewhere = -1;
  auto save = [&] { db = read_whole_file(notes_db()), idx = read_whole_file(notes_idx()); };
  auto unchanged = [&](const QbRun&) {
    EXPECT_TRUE(read_whole_file(notes_db()) == db && read_whole_file(notes_idx()) == idx);
  };
  std::vector<Step> steps = {
      // No table yet: reading commands find nothing and create nothing.
      {{"status"}, 1, kAny, {"no notes yet"}}, {{"ls"}, 1, ""}, {{"get", plan}, 1}, {{"find", "x"}, 1},
      {.args = {"repair"}, .status = 1, .says = {"no notes table"},
       .after = [&](const QbRun&) { EXPECT_NE(::access(notes_db().c_str(), F_OK), 0); }},
      // Usage: exit 2 and what helps; help names the statuses that apply.
      {{"frobnicate"}, 2}, {{"get"}, 2}, {{"rm", "--json", "a"}, 2, kAny, {"unknown option --json"}},
      {{"repair", "more"}, 2, kAny, {"too many operands"}},
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
      // Standard input loses one final newline; "-5" is a note, elsewhere it follows "--".
      {.args = {"set", a}, .in = "first\nsecond\n\n"}, {.args = {"set", b, "-"}, .in = "only\n"},
      {{"get", a}, 0, "first\nsecond\n\n"}, {{"get", b}, 0, "only\n"}, {{"set", cold, "-5 degrees"}},
      {{"find", "-5"}, 2, kAny, {"qbnote find -- -5"}}, {{"find", "--", "-5"}, 0, cold + "\t-5 degrees\n"},
      // Bad input is refused and stores nothing; up to the limits it fits.
      {.args = {"set", nul}, .status = 2, .says = {"NUL"}, .in = std::string("before\0after", 12)}, {{"get", nul}, 1},
      {{"set", f + "/" + std::string(255 - f.size(), 'p'), "x"}, 2, kAny, {"cannot follow paths longer than 255"}},
      {.args = {"set", big, "-"}, .status = 2, .says = {"at most " + std::to_string(limit) + " bytes"},
       .in = std::string(limit + 1, 'x')},
      {{"get", big}, 1}, {.args = {"set", big, "-"}, .in = std::string(limit, 'y')},
      {{"get", big}, 0, std::string(limit, 'y') + "\n"}, {{"set", latin, "caf\xe9 \xff\xfe end"}},
      {{"get", latin}, 0, "caf\xe9 \xff\xfe end\n"},
      {{"get", "--json", latin}, 0, json(latin, "caf\\udce9 \\udcff\\udcfe end")},
      // Paths meet on the canonical form; names differing only in case are two notes.
      {{"set", f + "/via/report.odt", "draft"}}, {{"get", "--json", report}, 0, json(report, "draft")},
      {{"set", lower, "one"}}, {{"set", upper, "two"}}, {{"get", lower}, 0, "one\n"},
      {{"ls", f + "/Dir"}, 0, upper + "\ttwo\n"},
      // ls FOLDER: its note, then everything under it, nothing beside it.
      {{"set", docs, "of docs\nmore"}}, {{"set", da, "a"}}, {{"set", dc, "c"}}, {{"set", make("docs-old/x"), "x"}},
      {{"set", make("docs.bak"), "x"}}, {{"set", make("docsx/y"), "x"}},
      {{"ls", docs + "/"}, 0, docs + "\tof docs\n" + da + "\ta\n" + dc + "\tc\n"},
      {{"ls", "--json", docs + "/sub"}, 0, json(dc, "c")},
      // find: the matching line, any alphabet's case, bytes as they are.
      {{"set", fa, "shopping\nCall ZEBRA tomorrow"}}, {{"set", fc, "zebra's report"}},
      {{"find", "zebra"}, 0, fa + "\tCall ZEBRA tomorrow\n" + fc + "\tzebra's report\n"},
      {{"set", fb, "\xff\xfe\n\xc3\x84rger mit \xc3\x96L, " + greek}},
      {{"find", "\xc3\xb6l"}, 0, fb + "\t\xc3\x84rger mit \xc3\x96L, " + greek + "\n"}, {{"find", "\xff\xfe"}},
      {{"find", "\xe1\xbc\x80\xce\xb8\xe1\xbf\x86\xce\xbd\xce\xb1\xce\xb9"}},
      // import reports each line it cannot take and stores the rest.
      {.args = {"import", "-"}, .status = 2,
       .says = {"line 2:", "line 3:", "line 4:", "line 5:", "line 6:", "line 7:", "line 8:", "line 9:"},
       .never = {"line 1:", "line 10:", "line 11:"}, .in = bad_lines},
      {{"get", a}, 0, "first\n"}, {{"get", b}, 0, "last\n"},
      // export, then import into a fresh state folder: the same notes.
      {.args = {"set", f + "/gone/\xe9t\xe9.txt", "-"},
       .in = "bytes \xff\xfe, overlong \xc0\xaf, surrogate \xed\xa0\x80, good \xc3\xa9 \xe2\x82\xac\n"},
      {.args = {"export"}, .says = {"\\udcff\\udcfe", "\xc3\xa9 \xe2\x82\xac"},
       .after = [&](const QbRun& r) { write_whole_file(exported, r.out); }},
      {.args = {"import", exported}, .before = home("fresh")},
      {.args = {"export"}, .after = [&](const QbRun& r) { EXPECT_EQ(r.out, read_whole_file(exported)); }},
      {{"check"}, 0, kAny, {"sound"}}, {{"get", big}, 0, std::string(limit, 'y') + "\n"},
      // Settings, with their types; nonsense refused.
      {{"config", "set", "SetAsideDays", "-3"}, 2}, {{"config", "set", "WatchRoots", "/tmp:rel/dir"}, 2},
      {{"config", "set", "setasidedays", "7"}}, {{"config", "get", "SetAsideDays"}, 0, "7\n"},
      {{"config", "set", "NotesProgram", "--a-program-with-dashes"}}, {{"config", "unset", "SetAsideDays"}},
      {{"config", "get", "SetAsideDays"}, 1},
      // A failed editor's temporary file is kept when it holds text the person wrote.
      {{"set", ea, "old text"}}, {.args = {"edit", ea}, .env = {{"VISUAL", ""}, {"EDITOR", "sed -i s/old/new/"}}},
      {{"get", ea}, 0, "new text\n"},
      {.args = {"edit", ea}, .status = 2, .says = {"your text is in " + temp + "/qbnote-"},
       .env = {{"VISUAL", "printf mine > \"$1\"; false"}, {"TMPDIR", temp}},
       .after = [&](const QbRun&) { EXPECT_FALSE(std::filesystem::is_empty(temp)); }},
      {.args = {"edit", ea}, .status = 4, .says = {"changed by another program"},
       .env = {{"VISUAL", std::string(QBNOTE_BIN) + " set '" + ea + "' theirs; printf mine >"}}},
      {{"get", ea}, 0, "theirs\n"},
      // mv and cp -r carry the notes along when no Monitor runs.
      {{"set", ma, "of a"}}, {{"set", dir, "of dir"}}, {{"set", inner, "of x"}}, {{"set", beside, "of y"}},
      {{"mv", ma, into}}, {{"get", into + "/a.txt"}, 0, "of a\n"}, {{"mv", dir, into + "/moved"}},
      {{"get", into + "/moved/sub/x"}, 0, "of x\n"}, {{"get", beside}, 0, "of y\n"},  // a name the folder's begins
      {.args = {"cp", "-r", into + "/moved", into + "/copy"},
       .before = [&] { ASSERT_EQ(::symlink("sub/x", (into + "/moved/link").c_str()), 0); },
       .after = [&](const QbRun&) { EXPECT_EQ(std::filesystem::read_symlink(into + "/copy/link"), "sub/x"); }},
      {{"get", into + "/copy/sub/x"}, 0, "of x\n"}, {{"get", into + "/copy"}, 0, "of dir\n"},
      {{"cp", "-r", into, into + "/copy/inside"}, 2}, {{"ls", "--missing", f + "/mv"}, 1, ""},
      // Damaged tables: found, left alone, brought back (not while open elsewhere).
      {.args = {"set", alpha, "first"}, .before = home("damaged")}, {{"set", b, "second"}},
      {.args = {"set", late, "after the backup"}, .before = [&] {  // a backup of two notes
         std::filesystem::copy_file(notes_db(), home_ + "/system/qbbak.db");
         std::filesystem::copy_file(notes_idx(), home_ + "/system/qbbak.idx");
       }},
      {.args = {"check"}, .status = 3, .says = {"finding", "`qbnote repair`"},
       .before = [&] { garble(notes_db(), read_whole_file(notes_db()).find("alpha-unique"), "o"), save(); }},
      {.args = {"set", alpha, "new"}, .status = 3, .says = {"`qbnote repair`"}, .after = unchanged},
      {.args = {"repair"}, .status = 3, .says = {"qbmon --stop"},
       .before = [&] { elsewhere = ::open(notes_db().c_str(), O_RDONLY), ::flock(elsewhere, LOCK_SH); },
       .after = [&](const QbRun& r) { ::close(elsewhere), unchanged(r); }},
      {.args = {"repair"}, .notes = 3}, {{"check"}, 0, kAny, {"sound"}},
      {.args = {"set", b, "new"}, .status = 3, .says = {"index", "error 12 ("},
       .before = [&] { garble(notes_idx(), 0, std::string(36, 'Z')), save(); }, .after = unchanged},
      {{"restore-backup"}},
      {{"check"}, 0, kAny, {"sound"}}, {{"get", alpha}, 0, "first\n"},
      {.args = {"get", late}, .status = 1, .after = [&](const QbRun&) {  // written after the backup
         int kept = 0;
         for (const auto& e : std::filesystem::directory_iterator(home_ + "/system/"))
           kept += e.path().filename().string().rfind("qb.idx.broken-", 0) == 0 && read_whole_file(e.path()) == idx;
         EXPECT_EQ(kept, 1);
       }},
      {.args = {"set", alpha, "precious"}, .before = home("db-header"),
       .after = [&](const QbRun&) { garble(notes_db(), 0, "\xff\x7f"), save(); }},
  };
  // The data file's header damaged: every command stops and leaves both files alone.
  for (const std::vector<std::string>& c : std::vector<std::vector<std::string>>{{"set", alpha, "new"}, {"get", alpha},
           {"rm", alpha}, {"ls"}, {"find", "precious"}, {"import", tmp_.file("300.jsonl")}, {"export"}, {"check"}})
    steps.push_back({.args = c, .status = 3, .says = {"error "}, .after = unchanged});
  // A disk that fails mid-import: the summary counts what the table holds.
  steps.push_back({.args = {"import", tmp_.file("300.jsonl")}, .status = 3,
                   .says = {"stored, 0 lines skipped, 1 failed", "File too large; `qbnote check`"},
                   .never = {"stopped at line 1;", " 0 failed"},
                   .before = [&] { home("full")(), limit_file_size(true); },
                   .after = [&](const QbRun& r) {
                     limit_file_size(false);  // the table in "full" started empty
                     EXPECT_EQ(lines_of(run({"export"}).out), std::stoi(r.err.substr(r.err.find("import: ") + 8)));
                   }});
  run_steps(steps);
}

// Regression: a failed index-file write once lost the system's cause; either file's names it.
TEST(NotesErrorText, AFailedWriteOfEitherFileNamesTheSystemsCause) {
  for (auto [code, index_error] : {std::pair{kTbDataFile, 0}, {kTbIndexLayer, kIxWriteFailed}})
    EXPECT_NE(engine_error_text(code, index_error, ENOSPC).find("No space left on device"), npos) << code;
  EXPECT_NE(engine_error_text(kTbCannotOpen, 0, EROFS).find("Read-only file system"), npos);
}


// Four sets race the Monitor's first start to create the table (in four new state folders),
// then each other to replace one note: every note is kept, one text wins, whole.
TEST_F(NotesSharing, SetsBesideTheMonitorsFirstStartAndEachOtherLoseNothing) {
  const std::string shared = make("shared");
  for (int round = 0; round < 6; ++round) {
    std::vector<StartedProgram> sets;
    std::vector<std::string> texts, paths;
    if (round < 4) home_ = tmp_.path() + "/state" + std::to_string(round);
    for (int i = 0; i < 4; ++i) {
      texts.emplace_back(6000 + 1000 * i, static_cast<char>('a' + i + 4 * round));
      paths.push_back(round < 4 ? make("p" + std::to_string(i)) : shared);
      sets.push_back(start({"set", paths.back(), "-"}, texts.back()));
    }
    Child monitor = fork_child([&](int, int) {  // a Monitor only while the table is new
      return round < 4 ? (::setenv("QB_HOME", home_.c_str(), 1), openDatabase()) : 1;
    });
    for (const StartedProgram& p : sets) EXPECT_EQ(finish_program(p).status, 0) << "round " << round;
    EXPECT_EQ(wait_child(monitor), 1) << round;
    for (int i = 0; i < 4; ++i) {
      const std::string got = run({"get", paths[i]}).out;
      const auto first = texts.begin() + (round < 4 ? i : 0), last = round < 4 ? first + 1 : texts.end();
      EXPECT_NE(std::find(first, last, got.substr(0, got.size() - 1)), last) << round;  // one text, whole
    }
  }
  EXPECT_EQ(run({"check"}).status, 0);
  EXPECT_EQ(lines_of(run({"export"}).out), 5);
}

// The Monitor stops again and again beside sets: each note is kept, or the set says busy.
TEST_F(NotesSharing, SetsDuringTheMonitorsStopAreKeptOrRefused) {
  std::string bulk;  // enough notes that each stop's compaction takes a while
  for (int i = 0; i < 3000; ++i) bulk += json_note("/home/Ada/bulk/" + std::to_string(i), "bulk") + "\n";
  ASSERT_EQ(run({"import", "-"}, bulk).status, 0);
  Child monitor = fork_child([this](int in_fd, int out_fd) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    char b;
    for (int round = 0; recv_byte(in_fd, &b, 0) != 1; ++round) {
      if (openDatabase() != 1 || (round == 0 && send_byte(out_fd, 'R') != 1)) return 12;
      (void)profile_write(kProfileSection, kModifiedKey, "1");
      closeDatabase();
    }
    return 0;
  });
  char ready = 0;  // the Monitor has started once
  ASSERT_EQ(recv_byte(monitor.from_child, &ready), 1);
  std::vector<StartedProgram> sets;
  for (int i = 0; i < 24; ++i) sets.push_back(start({"set", make("during/" + std::to_string(i)), "during"}));
  std::vector<int> status;
  for (const StartedProgram& p : sets) status.push_back(finish_program(p).status);
  EXPECT_EQ(send_byte(monitor.to_child, 'S'), 1);
  EXPECT_EQ(wait_child(monitor), 0);
  for (int i = 0; i < 24; ++i) {
    ASSERT_TRUE(status[i] == kExitDone || status[i] == kExitHeld) << status[i];
    if (status[i] == kExitDone) { EXPECT_EQ(run({"get", files_ + "/during/" + std::to_string(i)}).out, "during\n"); }
  }
}

// Between look-up and add, another qbnote adds the path (replaced) or the files are swapped (refused).
NotesCommands* g_fixture = nullptr;
std::string g_path;
bool g_ran = false;  // the other qbnote ran and added the path

TEST_F(NotesSharing, AnAddThatLosesARaceIsNeverLost) {
  g_fixture = this;
  ASSERT_EQ(run({"set", make("other"), "x"}).status, 0);
  for (int replaced = 0; replaced < 2; ++replaced) {
    g_path = make(replaced ? "replaced" : "raced");
    Child child = fork_child([replaced](int, int) {
      ::setenv("QB_HOME", g_fixture->home_.c_str(), 1);
      notes_before_add = !replaced ? [] { g_ran = g_ran || g_fixture->run({"set", g_path, "won"}).status == 0; } : [] {
        for (const std::string& file : {g_fixture->notes_db(), g_fixture->notes_idx()})
          std::filesystem::copy_file(file, file + ".copy"), std::filesystem::rename(file + ".copy", file);
      };
      NotesTable table;
      const int rc = table.open(NotesTable::kWriting) == kExitDone ? table.put(g_path, "mine") : 10;
      return replaced || g_ran ? rc : 12;
    });
    EXPECT_EQ(wait_child(child), replaced ? kExitHeld : kExitDone);
    EXPECT_EQ(run({"get", g_path}).out, replaced ? "" : "mine\n");
  }
  EXPECT_EQ(run({"check"}).status, 0);
}

// Sliced scans beside a writer and deletions: each path once, in order, every note whole.
TEST_F(NotesSharing, ScansInSlicesBesideAWriterListEachNoteOnceAndWhole) {
  constexpr int kPairs = 60;
  auto path = [](int i, char kind) { return "/scan/" + std::to_string(1000 + i) + kind; };
  auto text = [](int k) { return "v" + std::to_string(k) + " " + std::string(1 + k * 131 % 2000, 'a' + k % 26); };
  std::string lines;
  for (int i = 0; i < kPairs; ++i)
    lines += json_note(path(i, 's'), "still " + std::to_string(i)) + "\n" + json_note(path(i, 'v'), text(0)) + "\n";
  ASSERT_EQ(run({"import", "-"}, lines).status, 0);
  Child writer = fork_child([&](int in_fd, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    ix_lock_settings = {1000, 1, 10000};  // tries again often enough to land in the scan's gaps
    NotesTable table;
    char b;
    for (int k = 1, rc = table.open(NotesTable::kChanging); recv_byte(in_fd, &b, 0) != 1; ++k) {
      if (rc != kExitDone && rc != kExitNotFound) return 11;
      rc = k % 3 == 0 ? table.remove(path(k % kPairs, 'v')) : table.put(path(k % kPairs, 'v'), text(k));
      ::usleep(2000);  // and leaves gaps for the scan in turn
    }
    return 0;
  });
  // 20 order, 21 an untouched note wrong, 22 torn, 23 scan failed, 24 no change in 200 scans.
  Child scanner = fork_child([&](int, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    notes_scan_slices = {0, 2};
    ix_lock_settings = {1000, 1, 10000};
    NotesTable table;
    if (table.open(NotesTable::kReading) != kExitDone) return 23;
    std::vector<std::pair<std::string, std::string>> last, seen;
    for (int scans = 0, changed = 0; changed < 3; ++scans, last = std::move(seen), seen.clear()) {
      if (scans == 200) return 24;
      int still = 0, rc = table.scan("", [&](const std::string& p, const std::string& n) {
        if (!seen.empty() && !(seen.back().first < p)) ::_exit(20);
        seen.emplace_back(p, n);
        if (p.back() == 'v' && std::atoi(p.c_str() + 6) % 8 == 0) (void)run({"rm", p});  // gone by the next slice
      });
      if (rc != kExitDone) return 23;
      for (const auto& [p, n] : seen) {
        if (p.back() == 's' && (p != path(still, 's') || n != "still " + std::to_string(still++))) return 21;
        if (p.back() == 'v' && n != text(std::atoi(n.c_str() + 1))) return 22;
      }
      if (still != kPairs) return 21;
      changed += scans > 0 && seen != last;
    }
    return 0;
  });
  EXPECT_EQ(wait_child(scanner), 0);
  EXPECT_EQ(send_byte(writer.to_child, 'S'), 1);
  EXPECT_EQ(wait_child(writer), 0);
}

// A child holds one note's record lock, then the table's write lock, as the Monitor does.
TEST_F(NotesSharing, HeldLocksGiveExit4AfterTheRetriesAndReadsGoOn) {
  const std::string a = make("a"), b = make("b");
  ASSERT_EQ(run({"set", a, "original"}).status | run({"set", b, "neighbour"}).status, 0);
  for (const bool table : {false, true}) {
    Child holder = fork_child([&](int in_fd, int out_fd) {
      TableHandle t;
      int32_t lock_id = 0;
      char c;
      if (t.open((home_ + "/system/qb").c_str(), 1) != 1 || t.setIndex("INDX_Path,U") != 1) return 10;
      if (t.setField(t.fieldNumber("Path"), a.c_str()) != 1 || t.findKey() != 2) return 11;
      if ((table ? t.lockTable(2) : t.lockRecord(&lock_id)) != 1 || send_byte(out_fd, 'L') != 1) return 12;
      if (recv_byte(in_fd, &c, 60000) != 1) return 14;
      return (table ? t.unlockTable(2) : t.unlockRecord(lock_id)) == 1 && t.close() == 1 ? 0 : 15;
    });
    char c = 0;
    ASSERT_EQ(recv_byte(holder.from_child, &c), 1);
    const QbRun held = table ? run({"get", a}) : run({"set", a, "replacement"});
    EXPECT_EQ(held.status, kExitHeld);
    EXPECT_NE(held.err.find(table ? "is busy; try again" : "locked by another program"), npos) << held.err;
    if (!table) {
      EXPECT_NE(run({"ls", files_}).out.find(a + "\toriginal\n"), npos);  // read as it stands
      EXPECT_EQ(run({"set", b, "changed"}).status, 0);  // only that record is held
    }
    EXPECT_EQ(send_byte(holder.to_child, 'U'), 1);
    EXPECT_EQ(wait_child(holder), 0);
    EXPECT_EQ(run({"get", a}).out, "original\n");
  }
  EXPECT_EQ(run({"set", a, "replacement"}).status, 0);
  EXPECT_EQ(run({"get", b}).out, "changed\n");
}

// Regression: Ctrl-C inside an import once left the index file marked busy; what it stored stays.
TEST_F(NotesSharing, CtrlCDuringAnImportKeepsWhatItStored) {
  const std::string b = make("b"), fifo = tmp_.file("slow.jsonl");
  ASSERT_EQ(run({"set", make("a"), "x"}).status, 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const StartedProgram import = start({"import", fifo});
  const int feed = ::open(fifo.c_str(), O_WRONLY);
  const std::string line = json_note(b, "typed") + "\n";
  ASSERT_EQ(::write(feed, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  ASSERT_TRUE(wait_pipe_read(feed)) << "the import never read its line";
  ASSERT_EQ(::kill(import.pid, SIGINT), 0);
  const QbRun stopped = finish_program(import);
  ::close(feed);
  EXPECT_EQ(stopped.status, -1) << stopped.err;
  EXPECT_NE(stopped.err.find("interrupted"), npos) << stopped.err;
  const QbRun got = run({"get", b});
  EXPECT_EQ(got.out + got.err, "typed\n");
  EXPECT_EQ(run({"check"}).status, 0);
}

}  // namespace
