// qbnote end to end: every command through the real binary on a temporary
// state folder.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/xattr.h>

#include <cstring>

#include <csignal>
#include <dirent.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "qbnote_run.h"
#include "support/fork_helper.h"
#include "upkeep/database.h"
#include "upkeep/set_aside.h"

namespace {

using NotesCommands = QbnoteTest;

int lines_of(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

TEST_F(NotesCommands, SetGetReplaceAndRemove) {
  const std::string plan = make("plan.txt");
  // No Monitor runs here: said at the first note of this boot only.
  QbRun first = run({"set", plan, "call Ann"});
  ASSERT_EQ(first.status, 0);
  EXPECT_NE(first.err.find("no Monitor runs"), std::string::npos) << first.err;
  const std::string gone = make("gone.txt");
  ASSERT_EQ(::unlink(gone.c_str()), 0);
  QbRun missing = run({"set", gone, "kept"});
  EXPECT_EQ(missing.status, 0);
  EXPECT_NE(missing.err.find("no such file: the note is kept"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("no Monitor runs"), std::string::npos) << missing.err;
  EXPECT_EQ(run({"ls", "--missing"}).out, gone + "\tkept\n");
  QbRun got = run({"get", plan});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "call Ann\n");

  ASSERT_EQ(run({"set", plan, "call Ann at noon"}).status, 0);
  EXPECT_EQ(run({"get", plan}).out, "call Ann at noon\n");

  ASSERT_EQ(run({"rm", plan}).status, 0);
  got = run({"get", plan});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out, "");
  EXPECT_NE(got.err.find("has no note"), std::string::npos) << got.err;
  EXPECT_NE(read_whole_file(home_ + "/win.ini").find("MODIFIED=1"), std::string::npos);
  EXPECT_EQ(run({"rm", plan}).status, 1);
}

// Comments that file managers keep in user.xdg.comment come in as notes and
// go back out; a note a person wrote is never replaced by a comment.
TEST_F(NotesCommands, XattrCommentsComeInAsNotesAndGoBackOut) {
  const std::string a = make("c/a"), b = make("c/sub/b"), own = make("c/own");
  if (::setxattr(a.c_str(), "user.xdg.comment", "from the file manager", 21, 0) != 0)
    GTEST_SKIP() << "no user attributes here: " << std::strerror(errno);
  ASSERT_EQ(::setxattr(b.c_str(), "user.xdg.comment", "deeper", 6, 0), 0);
  ASSERT_EQ(::setxattr(own.c_str(), "user.xdg.comment", "a comment", 9, 0), 0);
  ASSERT_EQ(run({"set", own, "mine"}).status, 0);
  QbRun in = run({"import", "--xattr", make("c/")});
  EXPECT_EQ(in.status, 0) << in.err;
  EXPECT_NE(in.err.find("2 comments taken as notes, 1 paths kept their own notes"), std::string::npos) << in.err;
  EXPECT_EQ(run({"get", a}).out, "from the file manager\n");
  EXPECT_EQ(run({"get", b}).out, "deeper\n");
  EXPECT_EQ(run({"get", own}).out, "mine\n");
  EXPECT_EQ(run({"export", "--xattr"}).status, 0);
  char back[16] = {};
  EXPECT_EQ(::getxattr(own.c_str(), "user.xdg.comment", back, sizeof back), 4);
  EXPECT_STREQ(back, "mine");
}

// Settings are read and written with their types; nonsense is refused.
TEST_F(NotesCommands, ConfigListsGetsSetsAndUnsetsTheMonitorsSettings) {
  EXPECT_NE(run({"config"}).out.find("SetAsideDays       (not set: 30)"), std::string::npos);
  const std::vector<std::vector<std::string>> refused = {
      {"config", "set", "SetAsideDays", "-3"}, {"config", "set", "CrossMounts", "2"},
      {"config", "set", "WatchRoots", "/tmp:rel/dir"}, {"config", "set", "NoSuchThing", "1"}, {"config", "get"}};
  for (const std::vector<std::string>& row : refused) EXPECT_EQ(run(row).status, 2) << row.back();
  EXPECT_EQ(run({"config", "set", "setasidedays", "7"}).status, 0);
  EXPECT_EQ(run({"config", "get", "SetAsideDays"}).out, "7\n");
  EXPECT_NE(read_whole_file(home_ + "/registry.reg").find("\"SetAsideDays\"=dword:00000007"), std::string::npos);
  EXPECT_EQ(run({"config", "set", "NotesProgram", "--a-program-with-dashes"}).status, 0);
  EXPECT_EQ(run({"config", "unset", "SetAsideDays"}).status, 0);
  EXPECT_EQ(run({"config", "get", "SetAsideDays"}).status, 1);
}

// No Monitor runs here: mv moves the notes itself.
TEST_F(NotesCommands, MvAndCpRMoveAndCopyFilesAndFoldersWithTheirNotes) {
  const std::string a = make("a.txt"), inner = make("dir/sub/x"), beside = make("dir2/y");
  const std::string dir = make("dir/"), into = make("into/");
  for (const std::string& p : {a, dir, inner, beside}) ASSERT_EQ(run({"set", p, "of " + p}).status, 0);
  EXPECT_EQ(run({"mv", a, into}).status, 0);
  EXPECT_EQ(run({"get", into + "/a.txt"}).out, "of " + a + "\n");
  EXPECT_EQ(run({"mv", dir, into + "/moved"}).status, 0);
  EXPECT_EQ(run({"get", into + "/moved/sub/x"}).out, "of " + inner + "\n");
  EXPECT_EQ(run({"get", into + "/moved"}).out, "of " + dir + "\n");
  EXPECT_EQ(run({"get", beside}).out, "of " + beside + "\n");  // a name the folder's begins
  EXPECT_EQ(run({"ls", "--missing"}).out, "");
  QbRun onto = run({"mv", beside, into + "/a.txt"});
  EXPECT_EQ(onto.status, 2);
  EXPECT_NE(onto.err.find("exists"), std::string::npos) << onto.err;
  // cp -r: a new folder with everything in it and the notes; the source keeps its own.
  ASSERT_EQ(::symlink("sub/x", (into + "/moved/link").c_str()), 0);
  EXPECT_EQ(run({"cp", "-r", into + "/moved", into + "/copy"}).status, 0);
  EXPECT_EQ(run({"get", into + "/copy/sub/x"}).out, "of " + inner + "\n");
  EXPECT_EQ(run({"get", into + "/copy"}).out, "of " + dir + "\n");
  EXPECT_EQ(run({"get", into + "/moved/sub/x"}).out, "of " + inner + "\n");
  EXPECT_EQ(std::filesystem::read_symlink(into + "/copy/link"), "sub/x");
  EXPECT_EQ(run({"cp", "-r", into, into + "/copy/inside"}).status, 2);
  EXPECT_EQ(run({"cp", "-r", into + "/moved", into}).status, 2);  // into/moved exists
}

TEST_F(NotesCommands, ReadingCommandsNeitherNeedNorCreateTheTable) {
  const std::string plan = make("plan.txt");
  EXPECT_EQ(run({"get", plan}).status, 1);
  EXPECT_EQ(run({"rm", plan}).status, 1);
  QbRun ls = run({"ls"});
  EXPECT_EQ(ls.status, 1);
  EXPECT_EQ(ls.out, "");
  EXPECT_EQ(run({"find", "x"}).status, 1);
  EXPECT_EQ(run({"check"}).status, 1);
  EXPECT_NE(::access(notes_db().c_str(), F_OK), 0);
}

TEST_F(NotesCommands, TextFromStandardInputLosesOneFinalNewline) {
  const std::string a = make("a"), b = make("b");
  ASSERT_EQ(run({"set", a}, "first\nsecond\n\n").status, 0);
  ASSERT_EQ(run({"set", b, "-"}, "only\n").status, 0);
  EXPECT_EQ(run({"get", a}).out, "first\nsecond\n\n");
  EXPECT_EQ(run({"get", b}).out, "only\n");
}

TEST_F(NotesCommands, RelativePathsAndLinkedFoldersMeetOnTheCanonicalPath) {
  const std::string file = make("real/report.odt");
  ASSERT_EQ(::symlink((files_ + "/real").c_str(), (files_ + "/via").c_str()), 0);
  ASSERT_EQ(run({"set", files_ + "/via/report.odt", "draft"}).status, 0);
  QbRun got = run({"get", "--json", file});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "{\"path\": \"" + file + "\", \"note\": \"draft\"}\n");
  // A path whose folder is gone is normalized by its text.
  ASSERT_EQ(run({"set", files_ + "/gone/./x/../old.txt", "stale"}).status, 0);
  EXPECT_EQ(run({"get", files_ + "/gone/old.txt"}).out, "stale\n");
}

// Names that differ only in case are two files with two notes; in a table
// made elsewhere whose path field ignores case ("Path") they share one.
TEST_F(NotesCommands, PathsThatDifferOnlyInCaseAreTwoNotesUnlessTheTableIgnoresCase) {
  const std::string lower = make("dir/plan.txt"), upper = make("Dir/Plan.TXT");
  ASSERT_EQ(run({"set", lower, "one"}).status, 0);
  ASSERT_EQ(run({"set", upper, "two"}).status, 0);
  EXPECT_EQ(run({"get", lower}).out, "one\n");
  EXPECT_EQ(run({"ls", files_ + "/Dir"}).out, upper + "\ttwo\n");
  ASSERT_EQ(run({"rm", upper}).status, 0);
  EXPECT_EQ(run({"ls"}).out, lower + "\tone\n");

  home_ = tmp_.path() + "/elsewhere";
  Child made = fork_child([this](int, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    char base[kPathBuffer];
    return systemFilePath(base, "qb") == 1 ? createNotesTable(base, "Path") : -1;
  });
  ASSERT_EQ(wait_child(made), 1);
  ASSERT_EQ(run({"set", lower, "one"}).status, 0);
  ASSERT_EQ(run({"set", upper, "two"}).status, 0);
  EXPECT_EQ(run({"get", files_ + "/dir/PLAN.txt"}).out, "two\n");
  EXPECT_EQ(run({"ls", files_ + "/dir"}).out, upper + "\ttwo\n");  // one note, with the spelling set last
  EXPECT_EQ(run({"check"}).status, 0);  // the re-spelt key is in the index once
  ASSERT_EQ(run({"rm", files_ + "/DIR/plan.txt"}).status, 0);
  EXPECT_EQ(run({"ls"}).out, "");
}

TEST_F(NotesCommands, LsListsTheFolderItsNoteAndNothingBeside) {
  const std::string docs = make("docs/");
  const std::string a = make("docs/a.txt"), c = make("docs/sub/c.txt");
  const std::string sibling1 = make("docs-old/x"), sibling2 = make("docs.bak"), sibling3 = make("docsx/y");
  const std::string other_case = make("Docs/z");
  for (const std::string& p : {docs, a, c, sibling1, sibling2, sibling3, other_case})
    ASSERT_EQ(run({"set", p, "note of " + p.substr(files_.size()) + "\nmore"}).status, 0);

  QbRun ls = run({"ls", docs + "/"});
  ASSERT_EQ(ls.status, 0);
  // The folder's own note, then everything under it in index order; "Docs"
  // is another folder.
  EXPECT_EQ(ls.out, docs + "\tnote of /docs\n" + a + "\tnote of /docs/a.txt\n" + c + "\tnote of /docs/sub/c.txt\n");

  ASSERT_EQ(::chdir(files_.c_str()), 0);  // a relative folder works too
  QbRun sub = run({"ls", "--json", "docs/sub"});
  EXPECT_EQ(sub.out, "{\"path\": \"" + c + "\", \"note\": \"note of /docs/sub/c.txt\\nmore\"}\n");
  EXPECT_EQ(lines_of(run({"ls"}).out), 7);
  EXPECT_EQ(run({"ls", files_ + "/empty-folder"}).out, "");
}

TEST_F(NotesCommands, LsMissingListsOnlyStaleNotes) {
  const std::string keep = make("keep.txt"), lost = make("lost.txt"), folder = make("old/");
  for (const std::string& p : {keep, lost, folder}) ASSERT_EQ(run({"set", p, "n"}).status, 0);
  ASSERT_EQ(::unlink(lost.c_str()), 0);
  ASSERT_EQ(::rmdir(folder.c_str()), 0);
  QbRun ls = run({"ls", "--missing"});
  EXPECT_EQ(ls.status, 0);
  EXPECT_EQ(ls.out, lost + "\tn\n" + folder + "\tn\n");
  EXPECT_EQ(run({"ls", "--missing", files_ + "/old"}).out, folder + "\tn\n");
}

TEST_F(NotesCommands, FindMatchesTextIgnoringCase) {
  const std::string a = make("a"), b = make("b"), c = make("c");
  ASSERT_EQ(run({"set", a, "shopping\nCall ANN tomorrow"}).status, 0);
  ASSERT_EQ(run({"set", b, "nothing here"}).status, 0);
  ASSERT_EQ(run({"set", c, "ann's report"}).status, 0);
  QbRun found = run({"find", "ann"});
  EXPECT_EQ(found.status, 0);
  EXPECT_EQ(found.out, a + "\tCall ANN tomorrow\n" + c + "\tann's report\n");
  EXPECT_EQ(run({"find", "--json", "NOTHING"}).out, "{\"path\": \"" + b + "\", \"note\": \"nothing here\"}\n");
  QbRun none = run({"find", "bob"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  // Every alphabet's case, and bytes that are not UTF-8 taken as they are.
  ASSERT_EQ(run({"set", b, "\xff\xfe\nÄrger mit ÖL, Ἀθῆναι"}).status, 0);
  EXPECT_EQ(run({"find", "öl"}).out, b + "\tÄrger mit ÖL, Ἀθῆναι\n");
  EXPECT_EQ(run({"find", "ärger"}).status, 0);
  EXPECT_EQ(run({"find", "ἀθῆναι"}).status, 0);
  EXPECT_EQ(run({"find", "\xff\xfe"}).status, 0);
}

TEST_F(NotesCommands, ExportThenImportIntoAFreshStateGivesIdenticalNotes) {
  const std::string odd = std::string("bytes \xff\xfe and \xc3\x28, overlong \xc0\xaf, surrogate \xed\xa0\x80") +
                          " and a good \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
  const std::string controls = "quote \" backslash \\ tab\tcr\r bell\x07 del\x7f /slash";
  const std::string big(30000, 'q');
  const std::string paths[] = {make("odd"), make("controls"), make("big"), files_ + "/gone/\xe9t\xe9.txt"};
  const std::string notes[] = {odd, controls, big, "a note of a file already gone"};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(run({"set", paths[i], "-"}, notes[i] + "\n").status, 0) << i;

  QbRun exported = run({"export"});
  ASSERT_EQ(exported.status, 0);
  EXPECT_EQ(lines_of(exported.out), 4);
  EXPECT_NE(exported.out.find("\\udcff\\udcfe"), std::string::npos);  // invalid bytes escaped
  EXPECT_NE(exported.out.find("\xc3\xa9 \xe2\x82\xac"), std::string::npos);  // valid UTF-8 kept

  home_ = tmp_.path() + "/fresh-state";
  QbRun imported = run({"import", "-"}, exported.out);
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(run({"export"}).out, exported.out);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(run({"get", paths[i]}).out, notes[i] + "\n") << i;
  EXPECT_EQ(run({"check"}).status, 0);
}

TEST_F(NotesCommands, ImportReplacesExistingNotesAndCtrlCKeepsWhatItStored) {
  const std::string a = make("a");
  ASSERT_EQ(run({"set", a, "old"}).status, 0);
  const std::string line = "{\"note\": \"new\", \"extra\": [1, {\"x\": null}], \"path\": \"" + a + "\"}\n";
  ASSERT_TRUE(write_whole_file(tmp_.file("notes.jsonl"), line));
  EXPECT_EQ(run({"import", tmp_.file("notes.jsonl")}).status, 0);
  EXPECT_EQ(run({"get", a}).out, "new\n");
  EXPECT_EQ(lines_of(run({"export"}).out), 1);

  // Ctrl-C while an import waits for its next line, its changes made but
  // not yet committed: they are committed, and the process ends by the
  // signal. Killed there, it left the index file marked busy, and the next
  // program rebuilt it first.
  const std::string b = make("b"), fifo = tmp_.file("slow.jsonl");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t import = start({"import", fifo});
  const int feed = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(feed, 0);
  const std::string more = "{\"path\": \"" + b + "\", \"note\": \"typed\"}\n";
  ASSERT_EQ(::write(feed, more.data(), more.size()), static_cast<ssize_t>(more.size()));
  // The pipe empty: the import read the line under its hold, and stores it
  // or waits for the next one.
  ASSERT_TRUE(wait_pipe_read(feed)) << "the import never read its line";
  ASSERT_EQ(::kill(import, SIGINT), 0);
  QbRun stopped = finish(import);
  ::close(feed);
  EXPECT_EQ(stopped.status, -1) << stopped.err;
  EXPECT_NE(stopped.err.find("interrupted"), std::string::npos) << stopped.err;
  QbRun got = run({"get", b});
  EXPECT_EQ(got.out, "typed\n");
  EXPECT_EQ(got.err, "");
  EXPECT_EQ(run({"check"}).status, 0);
}

TEST_F(NotesCommands, CheckFindsASoundTableSoundAndADamagedOneDamaged) {
  const std::string alpha = make("alpha-unique.txt"), beta = make("beta.txt");
  ASSERT_EQ(run({"set", alpha, "first"}).status, 0);
  ASSERT_EQ(run({"set", beta, "second"}).status, 0);
  QbRun sound = run({"check"});
  EXPECT_EQ(sound.status, 0) << sound.out;
  EXPECT_NE(sound.out.find("sound"), std::string::npos);

  // A path changed inside the data file: the index entry no longer matches
  // its record.
  std::string db = read_whole_file(notes_db());
  size_t at = db.find("alpha-unique");
  ASSERT_NE(at, std::string::npos);
  db[at] = 'o';
  ASSERT_TRUE(write_whole_file(notes_db(), db));
  QbRun damaged = run({"check"});
  EXPECT_EQ(damaged.status, 3);
  EXPECT_NE(damaged.out.find("finding"), std::string::npos) << damaged.out;
}

TEST_F(NotesCommands, CheckLooksAtTheTemporaryTableToo) {
  const std::string a = make("a");
  ASSERT_EQ(run({"set", a, "note"}).status, 0);
  // A temporary table as the Monitor leaves it: the layout of the notes table.
  ASSERT_TRUE(write_whole_file(home_ + "/system/qbtmp.db", read_whole_file(notes_db())));
  ASSERT_TRUE(write_whole_file(home_ + "/system/qbtmp.idx", read_whole_file(notes_idx())));
  QbRun both = run({"check"});
  EXPECT_EQ(both.status, 0) << both.out;
  EXPECT_NE(both.out.find("temporary table"), std::string::npos);

  std::string idx = read_whole_file(home_ + "/system/qbtmp.idx");
  for (size_t i = 0; i < 36; ++i) idx[i] = static_cast<char>(0x5A);
  ASSERT_TRUE(write_whole_file(home_ + "/system/qbtmp.idx", idx));
  QbRun damaged = run({"check"});
  EXPECT_EQ(damaged.status, 3);
  EXPECT_NE(damaged.out.find("temporary table"), std::string::npos);
  EXPECT_NE(damaged.out.find("index file cannot be used"), std::string::npos) << damaged.out;
}

// One exit status per outcome, whatever the command; every refusal says what
// helps. Rows run in order on one state folder; `fsize` limits the size of
// files qbnote may write (a disk that fails mid-import).
TEST_F(NotesCommands, ExitStatusesAndMessagesAreAlikeAcrossCommands) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string says, never;  // in standard output or error
    long fsize = 0;
  };
  const std::string a = make("a.txt"), jsonl = tmp_.file("300.jsonl");
  std::string lines;
  for (int i = 0; i < 300; ++i) lines += "{\"path\": \"/f/" + std::to_string(i) + "\", \"note\": \"" + std::string(60, 'n') + "\"}\n";
  ASSERT_TRUE(write_whole_file(jsonl, lines));
  const Row rows[] = {
      {{"ls"}, 1, "", ""},
      {{"export"}, 1, "no notes table", ""},
      {{"repair"}, 1, "no notes table", ""},
      {{"set", a, "x"}, 0, "", ""},
      {{"ls", files_ + "/none"}, 1, "", "\t"},
      {{"find", "zzz"}, 1, "", ""},
      {{"restore-backup"}, 3, "no backup", ""},
      {{"repair", "more"}, 2, "too many operands", ""},
      {{"repair", "--help"}, 0, "  1  not found", "  4  held"},
      {{"set", "--help"}, 0, "  4  held", "  1  not found"},
      {{"import", jsonl}, 3, "stored, 0 lines skipped, 1 failed", "0 failed", 8 * 1024},
      {{"import", jsonl}, 3, "File too large; `qbnote check`", "stopped at line 1;", 8 * 1024},
  };
  for (const Row& row : rows) {
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    rlimit limit = before;
    if (row.fsize != 0) limit.rlim_cur = static_cast<rlim_t>(row.fsize);
    sighandler_t xfsz = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    QbRun r = run(row.args);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, xfsz);
    const std::string said = r.out + r.err, what = row.args[0] + " " + said;
    EXPECT_EQ(r.status, row.status) << what;
    EXPECT_NE(said.find(row.says), std::string::npos) << what;
    if (!row.never.empty()) {
      EXPECT_EQ(said.find(row.never), std::string::npos) << what;
    }
    if (row.args[0] != "import") continue;
    // The summary counts what the table holds: the note of a.txt beside those stored.
    const size_t at = r.err.find("import: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(lines_of(run({"export"}).out), 1 + std::stol(r.err.substr(at + 8))) << r.err;
  }
}

// Two damages, one to each file: repair rebuilds the index file from the
// data file, restore-backup puts the backup back and keeps the table aside;
// both refuse while another program has the table open.
TEST_F(NotesCommands, RepairAndRestoreBackupBringADamagedTableBack) {
  const std::string alpha = make("alpha-unique.txt"), beta = make("beta.txt"), late = make("late.txt");
  ASSERT_EQ(run({"set", alpha, "first"}).status, 0);
  ASSERT_EQ(run({"set", beta, "second"}).status, 0);
  const std::string sys = home_ + "/system/";
  ASSERT_TRUE(write_whole_file(sys + "qbbak.db", read_whole_file(notes_db())));
  ASSERT_TRUE(write_whole_file(sys + "qbbak.idx", read_whole_file(notes_idx())));
  ASSERT_EQ(run({"set", late, "after the backup"}).status, 0);

  // A record's path changed in the data file: its index entry leads astray.
  std::string db = read_whole_file(notes_db());
  db[db.find("alpha-unique")] = 'o';
  ASSERT_TRUE(write_whole_file(notes_db(), db));
  QbRun check = run({"check"});
  EXPECT_EQ(check.status, 3);
  EXPECT_NE(check.err.find("`qbnote repair`"), std::string::npos) << check.err;
  QbRun set = run({"set", alpha, "new"});
  EXPECT_EQ(set.status, 3);
  EXPECT_NE(set.err.find("`qbnote repair`"), std::string::npos) << set.err;
  EXPECT_EQ(read_whole_file(notes_db()), db);
  {
    const int open_elsewhere = ::open(notes_db().c_str(), O_RDONLY);  // as a table open in another program
    ASSERT_EQ(::flock(open_elsewhere, LOCK_SH), 0);
    for (const char* command : {"repair", "restore-backup"}) {
      QbRun refused = run({command});
      EXPECT_EQ(refused.status, 3) << command;
      EXPECT_NE(refused.err.find("qbmon --stop"), std::string::npos) << refused.err;
    }
    ::close(open_elsewhere);
  }
  EXPECT_EQ(read_whole_file(notes_db()), db);
  QbRun repaired = run({"repair"});
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_EQ(run({"check"}).status, 0);
  EXPECT_EQ(lines_of(run({"ls"}).out), 3);

  // The index file's header garbled: repair, then the backup put back.
  std::string idx = read_whole_file(notes_idx());
  for (size_t i = 0; i < 36; ++i) idx[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(write_whole_file(notes_idx(), idx));
  EXPECT_EQ(run({"set", beta, "new"}).status, 3);
  EXPECT_EQ(run({"repair"}).status, 0);
  EXPECT_EQ(run({"get", late}).out, "after the backup\n");
  ASSERT_TRUE(write_whole_file(notes_idx(), idx));
  QbRun restored = run({"restore-backup"});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(run({"check"}).status, 0);
  EXPECT_EQ(run({"get", alpha}).out, "first\n");
  EXPECT_EQ(run({"get", late}).status, 1);  // written after the backup
  int kept = 0;
  DIR* d = ::opendir(sys.c_str());
  for (dirent* e; d != nullptr && (e = ::readdir(d)) != nullptr;)
    kept += std::string(e->d_name).rfind("qb.idx.broken-", 0) == 0 && read_whole_file(sys + e->d_name) == idx;
  if (d != nullptr) ::closedir(d);
  EXPECT_EQ(kept, 1);
}

// The set-aside notes as the Monitor leaves them: listed with when and why,
// and restored under their own path or another, never over a note.
TEST_F(NotesCommands, SetAsideNotesAreListedAndRestoredNeverOverANote) {
  const std::string a = make("a.txt"), b = make("b.txt"), c = make("c.txt"), d = files_ + "/d.txt";
  Child made = fork_child([&](int, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    set_aside_clock = [] { return int64_t{1700000000}; };
    char base[kPathBuffer];
    TableHandle t;
    int ok = systemFilePath(base, "qbtmp") == 1 && createSetAsideTable(base, kPathDeclaration) == 1 &&
             t.open(base, 0) == 1 && t.setIndex(kPathIndex) == 1;
    for (const std::string& path : {a, b}) {
      ok = ok && t.setField(0, path.c_str()) == 1 && t.setField(1, ("note of " + path).c_str()) == 1;
      stampSetAside(t, path == a ? kAsideDeleted : kAsideRenamed);
      ok = ok && t.addRecord() == 1;
    }
    return ok && t.close() == 1 ? 1 : 0;
  });
  ASSERT_EQ(wait_child(made), 1);
  EXPECT_EQ(run({"ls", "--set-aside", "--json", a}).out,
            "{\"path\": \"" + a + "\", \"note\": \"note of " + a +
                "\", \"set_aside\": \"2023-11-14T22:13:20Z\", \"kind\": \"deleted\"}\n");
  QbRun listed = run({"ls", "--set-aside"});
  EXPECT_EQ(lines_of(listed.out), 2);
  EXPECT_NE(listed.out.find(b + "\t"), std::string::npos);
  EXPECT_NE(listed.out.find("\trenamed\tnote of " + b + "\n"), std::string::npos) << listed.out;

  ASSERT_EQ(run({"set", c, "own"}).status, 0);
  QbRun refused = run({"restore", b, c});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("has a note already"), std::string::npos) << refused.err;
  EXPECT_EQ(run({"get", c}).out, "own\n");
  EXPECT_EQ(run({"restore", a}).status, 0);
  EXPECT_EQ(run({"get", a}).out, "note of " + a + "\n");
  EXPECT_EQ(run({"restore", b, d}).status, 0);
  EXPECT_EQ(run({"get", d}).out, "note of " + b + "\n");
  EXPECT_EQ(run({"ls", "--set-aside"}).out, "");
  EXPECT_EQ(run({"restore", a}).status, 1);
  EXPECT_EQ(run({"check"}).status, 0);
}

// An editor given as a shell command line; "$1" is the file to edit.
TEST_F(NotesCommands, EditStoresWhatTheEditorLeaves) {
  const std::string a = make("a");
  ASSERT_EQ(run({"set", a, "old text"}).status, 0);
  EXPECT_EQ(run({"edit", a}, "", {{"VISUAL", ""}, {"EDITOR", "sed -i s/old/new/"}}).status, 0);
  EXPECT_EQ(run({"get", a}).out, "new text\n");

  const std::string b = make("b");  // no note yet: the editor starts empty
  EXPECT_EQ(run({"edit", b}, "", {{"VISUAL", "printf 'written\\n' >"}}).status, 0);
  EXPECT_EQ(run({"get", b}).out, "written\n");
}

TEST_F(NotesCommands, EditThatFailsOrEmptiesTheNoteStoresNothing) {
  const std::string a = make("a");
  ASSERT_EQ(run({"set", a, "keep me"}).status, 0);
  // A failed editor leaves no temporary file behind, unless it holds text
  // the person wrote.
  const std::string temp = tmp_.path() + "/editor-tmp";
  ASSERT_EQ(::mkdir(temp.c_str(), 0700), 0);
  QbRun failed = run({"edit", a}, "", {{"VISUAL", "false"}, {"TMPDIR", temp}});
  EXPECT_EQ(failed.status, 2);
  EXPECT_TRUE(std::filesystem::is_empty(temp)) << failed.err;
  QbRun wrote = run({"edit", a}, "", {{"VISUAL", "printf mine > \"$1\"; false"}, {"TMPDIR", temp}});
  EXPECT_EQ(wrote.status, 2);
  ASSERT_FALSE(std::filesystem::is_empty(temp));
  EXPECT_NE(wrote.err.find("your text is in " + temp + "/qbnote-"), std::string::npos) << wrote.err;
  QbRun emptied = run({"edit", a}, "", {{"VISUAL", ": >"}});
  EXPECT_EQ(emptied.status, 0);
  EXPECT_NE(emptied.err.find("empty"), std::string::npos);
  EXPECT_EQ(run({"get", a}).out, "keep me\n");
}

TEST_F(NotesCommands, EditDoesNotOverwriteAChangeMadeWhileTheEditorRan) {
  const std::string a = make("a");
  ASSERT_EQ(run({"set", a, "start"}).status, 0);
  // The "editor" first has another qbnote change the note, then writes.
  const std::string editor = std::string(QBNOTE_BIN) + " set '" + a + "' theirs; printf mine >";
  QbRun edit = run({"edit", a}, "", {{"VISUAL", editor}});
  EXPECT_EQ(edit.status, 4);
  EXPECT_NE(edit.err.find("changed by another program"), std::string::npos) << edit.err;
  EXPECT_EQ(run({"get", a}).out, "theirs\n");
}

TEST_F(NotesCommands, HelpVersionAndUsage) {
  QbRun help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"set", "get", "rm", "ls", "find", "edit", "export", "import", "check", "Exit status"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  QbRun set_help = run({"set", "--help"});
  EXPECT_EQ(set_help.status, 0);
  EXPECT_EQ(set_help.out.rfind("usage: qbnote set", 0), 0u);
  EXPECT_EQ(run({"help", "ls"}).out, run({"ls", "-h"}).out);
  QbRun version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("qbnote ", 0), 0u);

  EXPECT_EQ(run({}).status, 2);
  EXPECT_EQ(run({"frobnicate"}).status, 2);
  EXPECT_EQ(run({"get"}).status, 2);
  EXPECT_EQ(run({"get", "a", "b"}).status, 2);
  QbRun bad_option = run({"rm", "--json", "a"});
  EXPECT_EQ(bad_option.status, 2);
  EXPECT_NE(bad_option.err.find("unknown option --json"), std::string::npos);
  // A note that begins with '-' is text after the path; elsewhere the error
  // says how to give such an operand.
  const std::string cold = make("cold");
  EXPECT_EQ(run({"set", cold, "-5 degrees"}).status, 0);
  EXPECT_EQ(run({"get", cold}).out, "-5 degrees\n");
  QbRun dash = run({"find", "-5"});
  EXPECT_EQ(dash.status, 2);
  EXPECT_NE(dash.err.find("qbnote find -- -5"), std::string::npos) << dash.err;
  EXPECT_EQ(run({"find", "--", "-5"}).status, 0);
}

}  // namespace
