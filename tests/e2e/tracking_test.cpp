// Notes following their files while the real Monitor runs, as one table of
// scenarios: notes set; files and folders renamed, moved, deleted, copied,
// saved the ways editors save; the Monitor stopped, killed, restarted; then
// every note checked. After it, the Monitor's life as a process.
#include <filesystem>
#include <fstream>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

// The steps run once per round, '#' standing for the round's number; `end`
// (path=note, '|' between) is then every note there is, all rounds' together.
// Paths are relative to the root, "^name" beside it (unwatched). Steps:
//   f P           a file, or a folder when P ends in '/' (with the folders to it)
//   n P TEXT      qbnote set, P made first (as by f) when missing
//   mv A B, rm P, rmr P   rename(2), unlink(2), remove all of P
//   cp A B        qbnote cp; a copied file holds the source's bytes
//   junk N        N files made and deleted;  sync   barrier()
//   w P TEXT      wait until P has the note TEXT
//   = MAP         barrier(), then wait until the notes are MAP
//   stop, kill    the Monitor stopped ("status" 0) or killed ("status" stays 1)
//   start         a Monitor started and ready; its log never says "corrupt"
//   roots P       P watched beside the root from the next start
//   check         qbnote check is clean;  restore P Q   qbnote restore
//   aside P [TEXT]  qbnote ls --set-aside P lists P as deleted with TEXT, or nothing
struct Scenario {
  const char* name;
  int rounds;
  std::vector<std::string> steps;
  const char* end;
};

const Scenario kScenarios[] = {
    {"RenameAndMovesAcrossFolders", 1,
     {"n docs/plan call Ann", "f archive/2024/", "mv docs/plan docs/plan2", "= docs/plan2=call Ann",
      "mv docs/plan2 archive/2024/plan", "= archive/2024/plan=call Ann", "mv archive/2024/plan final"},
     "final=call Ann"},
    // Nothing beside is re-keyed (proj2 has proj as a prefix); behind 500
    // deletions a folder and a file in it renamed at once: the disk moved on.
    {"FolderMoveReKeysEveryNoteInside", 1,
     {"n proj/ folder", "n proj/top top", "n proj/src/ src", "n proj/src/main.c main", "f proj/src/lib/empty/",
      "n proj/src/lib/util.c util", "f proj/src/unnoted.c", "n proj2/readme beside", "f archive/", "mv proj archive/p",
      "= archive/p=folder|archive/p/src=src|archive/p/src/lib/util.c=util|archive/p/src/main.c=main|"
      "archive/p/top=top|proj2/readme=beside",
      "mv archive/p/src/lib/util.c archive/p/src/lib/util2.c", "w archive/p/src/lib/util2.c util", "junk 500",
      "mv archive/p archive/q", "mv archive/q/top archive/q/top2"},
     "archive/q=folder|archive/q/src=src|archive/q/src/lib/util2.c=util|archive/q/src/main.c=main|"
     "archive/q/top2=top|proj2/readme=beside"},
    // `mkdir -p a/b/c && mv proj a/b/c/`: the rename may come before c is
    // watched, naming no target; c's listing then finds the folder.
    {"FolderMovedIntoAFolderJustMade", 5,
     {"n p#/ folder #", "n p#/src/main.c main #", "n p#/src/lib/util.c util #", "sync", "f a#/b/c/",
      "mv p# a#/b/c/p", "w a#/b/c/p folder #", "w a#/b/c/p/src/lib/util.c util #",
      "mv a#/b/c/p/src/main.c a#/b/c/p/src/main2.c"},
     "a#/b/c/p=folder #|a#/b/c/p/src/lib/util.c=util #|a#/b/c/p/src/main2.c=main #"},
    // `mkdir new && mv noted new/`: often only the half that left is reported.
    {"FileMovedIntoAFolderJustMade", 10, {"n noted# note #", "sync", "f new#/", "mv noted# new#/noted#"},
     "new#/noted#=note #"},
    // `mkdir -p a/b/c`, a file in c noted and renamed at once: c is watched in time.
    {"FileRenamedInAFolderJustMade", 3, {"n n#/b/c/first at once", "mv n#/b/c/first n#/b/c/second"},
     "n#/b/c/second=at once"},
    // A name differing only in case is another file; a rename to another case takes the note.
    {"DeletedThenRecreatedGetsItsNoteBack", 1,
     {"n report on Friday", "rm report", "=", "f report", "= report=on Friday", "f Report", "rm Report",
      "= report=on Friday", "mv report REPORT"},
     "REPORT=on Friday"},
    // rename(f, f~), write f, unlink(f~): the note goes to f~ and aside under
    // f; f's creation brings it back; f~'s deletion sets its copy aside.
    {"EditorSaveThroughABackupName", 1,
     {"n essay kept", "mv essay essay~", "f essay", "rm essay~", "= essay=kept", "mv essay essay~", "f essay",
      "rm essay~"},
     "essay=kept"},
    // A temporary without a note renamed over the file leaves its note; a noted one brings its own.
    {"SaveThroughATemporaryRenamedOver", 1,
     {"n conf tuned", "f .conf.1", "mv .conf.1 conf", "= conf=tuned", "f .conf.2", "mv .conf.2 conf", "= conf=tuned",
      "n other the other", "mv other conf"},
     "conf=the other"},
    {"MovedOutOfTheRootsAndBack", 1,
     {"n photos/beach summer", "mv photos/beach ^beach", "=", "mv ^beach photos/beach", "= photos/beach=summer",
      "mv photos/beach ^beach", "mv ^beach photos/beach"},
     "photos/beach=summer"},
    {"QbnoteCpGivesTheCopyTheNote", 1, {"n letters/draft by May", "f sent/", "cp letters/draft sent/final", "cp letters/draft sent"},
     "letters/draft=by May|sent/final=by May|sent/draft=by May"},
    // A file out for longer than one run gets its note back; a deleted file's
    // note is restored by hand; files moved while no Monitor runs are found by
    // identity at the start, and a path holding a file again keeps its note.
    {"SetAsideNotesAndMovesWhileStoppedOutliveARestart", 1,
     {"n usb/photo trip", "n draft gone", "n b kept", "n c alone", "mv usb/photo ^photo", "rm draft",
      "= b=kept|c=alone", "stop", "f sub/", "mv c sub/c", "mv b d", "f b", "start", "mv ^photo usb/photo",
      "= usb/photo=trip|b=kept|sub/c=alone", "aside draft gone", "restore draft final", "aside draft"},
     "usb/photo=trip|b=kept|sub/c=alone|final=gone"},
    // SIGKILL leaves "status" 1: the next start rebuilds the index from the
    // data file and finds what moved meanwhile, re-keyed by the killed Monitor
    // or not, a folder's files one by one.
    {"KilledMonitorRecoversEveryNote", 1,
     {"n d0/n0 zero", "n d0/n1 one", "n d1/n2 two", "n d1/n3 three", "n d2/n4 four", "mv d0/n0 d0/r0", "mv d1 d1m",
      "= d0/r0=zero|d0/n1=one|d1m/n2=two|d1m/n3=three|d2/n4=four", "kill", "mv d0/r0 d2/zero", "mv d1m d1b",
      "start", "= d2/zero=zero|d0/n1=one|d1b/n2=two|d1b/n3=three|d2/n4=four", "check", "mv d2/n4 d2/n4b"},
     "d2/zero=zero|d0/n1=one|d1b/n2=two|d1b/n3=three|d2/n4b=four"},
    // A second root not there at the start, then deleted and made again: each
    // time it appears it is followed, and the file's note comes back.
    {"ARootMadeLaterOrAgainIsFollowed", 1,
     {"roots ^r", "stop", "start", "f ^r/in/f", "sync", "n ^r/in/f kept", "mv ^r/in/f ^r/in/g", "= ^r/in/g=kept",
      "mv ^r/in/g ^r/in/f", "rmr ^r", "=", "f ^r/in/f", "= ^r/in/f=kept", "mv ^r/in/f ^r/in/g", "rmr ^r"},
     ""},
};

class Tracking : public E2eTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    ASSERT_TRUE(start_ready(&monitor_));
  }
  void TearDown() override {
    if (!ended(monitor_)) step("stop");
    E2eTest::TearDown();
  }

  std::string path(const std::string& p) const { return p.starts_with('^') ? outside_ + "/" + p.substr(1) : at(p); }

  Notes map_of(const std::string& text) const {
    Notes m;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, '|');)
      if (!item.empty()) m[path(item.substr(0, item.find('=')))] = item.substr(item.find('=') + 1);
    return m;
  }

  void expect_notes(const Notes& want) {
    barrier();
    Notes got;
    EXPECT_TRUE(wait_until([&] { return (got = notes_under()) == want; }))
        << ::testing::PrintToString(got) << "\nwanted " << ::testing::PrintToString(want);
  }

  void step(const std::string& s) {
    std::istringstream in(s);
    std::string op, a, b;
    in >> op >> a;
    std::getline(in >> std::ws, b);  // a second path, or a note
    const std::string pa = path(a.ends_with('/') ? a.substr(0, a.size() - 1) : a), pb = path(b);
    if (op == "f") {
      make_parents(pa + (a.ends_with('/') ? "/" : ""));
      ASSERT_TRUE(a.ends_with('/') || write_whole_file(pa, "bytes of " + a));
    } else if (op == "n") {
      if (size_of(pa) < 0) step("f " + a);
      set_note(pa, b);
    } else if (op == "mv") {
      move(pa, pb);
    } else if (op == "rm" || op == "rmr") {
      ASSERT_TRUE(op == "rm" ? ::unlink(pa.c_str()) == 0 : std::filesystem::remove_all(pa) > 0) << pa;
    } else if (op == "cp") {
      const ProgramRun r = qbnote({"cp", pa, pb});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(std::filesystem::is_directory(pb) || read_whole_file(pb) == read_whole_file(pa));
    } else if (op == "junk") {
      for (int i = 0; i < std::stoi(a); ++i) ASSERT_EQ(::unlink(make("junk/" + std::to_string(i)).c_str()), 0);
    } else if (op == "sync" || op == "w" || op == "=") {
      if (op != "w") barrier();
      if (op == "w") ASSERT_TRUE(wait_note(pa, b));
      if (op == "=") expect_notes(map_of(s.substr(s.size() > 1 ? 2 : 1)));
    } else if (op == "stop") {
      stop(monitor_);
      EXPECT_EQ(status(), 0);
    } else if (op == "kill") {
      ASSERT_EQ(::kill(monitors_[monitor_].pid, SIGKILL), 0);
      EXPECT_EQ(wait_exit(monitor_), -1);
      EXPECT_EQ(status(), 1);
    } else if (op == "start") {
      ASSERT_TRUE(start_ready(&monitor_));
      EXPECT_EQ(monitor_log(monitor_).find("corrupt"), std::string::npos) << monitor_log(monitor_);
    } else if (op == "roots") {
      set_watch_roots(root_ + ":" + pa);
    } else if (op == "check") {
      const ProgramRun r = qbnote({"check"});
      EXPECT_EQ(r.status, 0) << r.out << r.err;
    } else if (op == "restore") {
      EXPECT_EQ(qbnote({"restore", pa, pb}).status, 0);
    } else if (op == "aside") {
      const std::string out = qbnote({"ls", "--set-aside", pa}).out;
      EXPECT_TRUE(b.empty() ? out.empty() : out.starts_with(pa + "\t") && out.find("\tdeleted\t" + b + "\n") != std::string::npos) << out;
    } else {
      FAIL() << "no such step: " << s;
    }
  }

  size_t monitor_ = 0;
};

TEST_P(Tracking, NotesEndWhereTheirFilesAre) {
  std::string end;
  for (int round = 1; round <= GetParam().rounds; ++round) {
    const auto expand = [round](std::string s) {
      for (size_t h; (h = s.find('#')) != std::string::npos;) s.replace(h, 1, std::to_string(round));
      return s;
    };
    for (const std::string& s : GetParam().steps) {
      SCOPED_TRACE("round " + std::to_string(round) + ": " + s);
      ASSERT_NO_FATAL_FAILURE(step(expand(s)));
    }
    end += "|" + expand(GetParam().end);
  }
  expect_notes(map_of(end));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Tracking, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& row) { return std::string(row.param.name); });

class Lifecycle : public E2eTest {};

// A stop right after bulk deletions handles the events queued behind them, a
// rename among them, before the table closes; then backs up (the table as the
// Monitor left it) and compacts.
TEST_F(Lifecycle, StopRightAfterDeletionsHandlesWhatIsQueuedThenBacksUpAndCompacts) {
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  constexpr int kFiles = 400;
  Notes kept;
  std::string lines;
  for (int i = 0; i < kFiles; ++i) {
    const std::string f = make("f" + std::to_string(i)), text = std::to_string(i) + std::string(60, 'x');
    lines += "{\"path\": \"" + f + "\", \"note\": \"" + text + "\"}\n";
    if (i % 2 == 1) kept[i == kFiles - 1 ? at("last") : f] = text;
  }
  ASSERT_EQ(qbnote({"import", "-"}, lines).status, 0);
  barrier();
  const off_t before = size_of(system_file("qb.db"));
  // Every other file deleted: the freed records lie all through the file.
  for (int i = 0; i < kFiles; i += 2) ASSERT_EQ(::unlink(at("f" + std::to_string(i)).c_str()), 0);
  move(at("f" + std::to_string(kFiles - 1)), at("last"));
  stop(m);
  EXPECT_EQ(monitor_log(m).find("not handled"), std::string::npos) << monitor_log(m);
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(profile_read_number("Quibbet", "MODIFIED", ~0u), 0u);
  EXPECT_EQ(size_of(system_file("qbbak.db")), before);
  EXPECT_GT(size_of(system_file("qbbak.idx")), 0);
  EXPECT_LT(size_of(system_file("qb.db")), before - kFiles / 2 * 60);
  EXPECT_EQ(qbnote({"check"}).status, 0);
  EXPECT_EQ(notes_under(), kept);
}

// Nothing deleted: no backup, and the stop flushed the index file and took
// its unflushed mark (24 bytes at 64) off. qbnote alone marks it again; seen
// from a later boot (another boot id in the mark) it is rebuilt from the data
// file, and no note is lost.
TEST_F(Lifecycle, StopWithoutDeletionsWritesNoBackupAndAnIndexOfAnotherBootIsRebuilt) {
  EXPECT_EQ(run_program(tmp_.path(), qbmon_bin(), {"--stop"}).status, 1);  // no Monitor runs yet
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  set_note(make("a"), "kept");
  move(at("a"), at("b"));
  ASSERT_TRUE(wait_note(at("b"), "kept"));
  stop(m);
  EXPECT_EQ(size_of(system_file("qbbak.db")), -1);
  EXPECT_EQ(read_whole_file(system_file("qb.idx")).substr(64, 24), std::string(24, '\0'));
  set_note(make("c"), "alone");
  std::string idx = read_whole_file(system_file("qb.idx"));
  ASSERT_EQ(idx.substr(64, 4), "UNFL");
  idx[68] = static_cast<char>(idx[68] ^ 0x5A);
  ASSERT_TRUE(write_whole_file(system_file("qb.idx"), idx));
  const ProgramRun got = qbnote({"get", at("c")});
  EXPECT_EQ(got.out, "alone\n");
  EXPECT_NE(got.err.find("rebuilding it from the data file"), std::string::npos) << got.err;
  EXPECT_EQ(qbnote({"check"}).status, 0);
  EXPECT_EQ(notes_under(), (Notes{{at("b"), "kept"}, {at("c"), "alone"}}));
}

// The "inotify wd:" lines of process `pid`'s inotify descriptor; -1 without one.
int watches_of(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(fd.path(), ec).string() != "anon_inode:inotify") continue;
    std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
    int n = 0;
    for (std::string line; std::getline(info, line);) n += line.starts_with("inotify wd:") ? 1 : 0;
    return n;
  }
  return -1;
}

// qbmon's options and one version for both programs. A running Monitor: a
// second one says so and leaves with 183; the first watches no folder named
// .git, runs three threads when idle (main, event thread, the driver's
// reader; the thread sanitizer adds one), `qbnote status` tells of it.
TEST_F(Lifecycle, ARunningMonitorAsOthersSeeIt) {
  const auto qbmon = [&](const char* option) { return run_program(tmp_.path(), qbmon_bin(), {option}); };
  EXPECT_NE(qbmon("--help").out.find("--stop"), std::string::npos);
  EXPECT_EQ(qbmon("--frobnicate").status, 2);
  const ProgramRun version = qbmon("--version"), notes_version = qbnote({"--version"});
  ASSERT_TRUE(version.out.starts_with("qbmon ")) << version.out;
  EXPECT_EQ(version.out.substr(6), notes_version.out.substr(7)) << notes_version.out;

  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  const size_t second = start_monitor();
  EXPECT_EQ(wait_exit(second), 183);
  EXPECT_NE(monitor_log(second).find("already running"), std::string::npos) << monitor_log(second);
  const std::string pid = std::to_string(monitors_[m].pid);
#ifdef __SANITIZE_THREAD__
  constexpr long kThreads = 4;
#else
  constexpr long kThreads = 3;
#endif
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/" + pid + "/task"), std::filesystem::directory_iterator{}), kThreads);
  EXPECT_EQ(status(), 1);
  const int before = watches_of(monitors_[m].pid);
  ASSERT_GT(before, 0);
  make(".git/objects/a/b/");
  make("plain/objects/a/b/");
  barrier();  // and the first Monitor keeps tracking
  EXPECT_EQ(watches_of(monitors_[m].pid), before + 4);  // plain/ and below; .git/ is ignored
  EXPECT_NE(qbnote({"status"}).out.find("running (pid " + pid + ","), std::string::npos);
  const ProgramRun json = qbnote({"status", "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  for (const std::string& part : {"{\"monitor\": true, \"pid\": " + pid + ",", std::string("\"folders_ignored\": 1,"),
                                  "\"roots\": [\"" + root_ + "\"]"})
    EXPECT_NE(json.out.find(part), std::string::npos) << part << " in " << json.out;
  stop(m);
  EXPECT_EQ(status(), 0);
  EXPECT_TRUE(qbnote({"status", "--json"}).out.starts_with("{\"monitor\": false, \"notes\": "));
  EXPECT_EQ(qbnote({"status"}).status, 3);
}

}  // namespace
}  // namespace e2e
