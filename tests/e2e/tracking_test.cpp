// Notes following their files while the real Monitor runs, as one table of
// scenarios: notes set; files and folders renamed, moved out and back,
// deleted, copied and saved the ways editors save; the Monitor stopped,
// killed and restarted in between; then every note checked. After it, the
// Monitor's life as a process: the backup and compaction at a stop, the
// index file's mark, a second Monitor, what it watches, `qbnote status`.
#include <filesystem>
#include <fstream>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

// The steps run once per round, '#' standing for the round's number; `end`
// (path=note, '|' between) is then every note there is, all rounds' together.
// Paths are relative to the root, "^name" beside it (unwatched). Steps:
//   f P, d P        a file, a folder (with the folders leading to it)
//   n P TEXT        qbnote set; P made first when missing (a folder when it ends in '/')
//   mv A B, rm P    rename(2), unlink(2)
//   cp A B          qbnote cp; a copied file holds the source's bytes
//   junk N          N files made and deleted
//   sync            barrier()
//   w P TEXT        wait until P has the note TEXT
//   = MAP           barrier(), then wait until the notes are MAP
//   stop, kill      the Monitor stopped ("status" 0) or killed ("status" stays 1)
//   start           a Monitor started and ready; its log never says "corrupt"
//   check           qbnote check is clean
//   aside P [TEXT]  qbnote ls --set-aside P lists P as deleted with TEXT, or nothing
//   restore P Q     qbnote restore
struct Scenario {
  const char* name;
  int rounds;
  std::vector<std::string> steps;
  const char* end;
};

const Scenario kScenarios[] = {
    {"RenameAndMovesAcrossFolders", 1,
     {"n docs/plan.txt call Ann", "d archive/2024", "mv docs/plan.txt docs/plan-v2.txt", "= docs/plan-v2.txt=call Ann",
      "mv docs/plan-v2.txt archive/2024/plan.txt", "= archive/2024/plan.txt=call Ann",
      "mv archive/2024/plan.txt final.txt"},
     "final.txt=call Ann"},
    // Everything inside re-keyed, nothing beside (proj2 has proj as a prefix),
    // the moved folders still watched; then behind 500 deletions the folder and
    // a file inside renamed at once: when the folder's event comes, the disk moved on.
    {"FolderMoveReKeysEveryNoteInside", 1,
     {"n proj/ the project", "n proj/top.txt top", "n proj/src/ sources", "n proj/src/main.c entry",
      "d proj/src/lib/empty", "n proj/src/lib/util.c two levels down", "f proj/src/unnoted.c",
      "n proj2/readme not inside", "d archive", "mv proj archive/p24",
      "= archive/p24=the project|archive/p24/src=sources|archive/p24/src/lib/util.c=two levels down|"
      "archive/p24/src/main.c=entry|archive/p24/top.txt=top|proj2/readme=not inside",
      "mv archive/p24/src/lib/util.c archive/p24/src/lib/util2.c", "w archive/p24/src/lib/util2.c two levels down",
      "junk 500", "mv archive/p24 archive/p", "mv archive/p/top.txt archive/p/top2.txt"},
     "archive/p=the project|archive/p/src=sources|archive/p/src/lib/util2.c=two levels down|"
     "archive/p/src/main.c=entry|archive/p/top2.txt=top|proj2/readme=not inside"},
    // `mkdir -p a/b/c && mv proj a/b/c/`: the rename may come before c is
    // watched, naming no target; c's listing then finds the folder.
    {"FolderMovedIntoAFolderJustMade", 5,
     {"n proj#/ folder #", "n proj#/src/main.c main #", "n proj#/src/lib/util.c util #", "sync", "d archive#/a/b/c",
      "mv proj# archive#/a/b/c/proj", "w archive#/a/b/c/proj folder #", "w archive#/a/b/c/proj/src/lib/util.c util #",
      "mv archive#/a/b/c/proj/src/main.c archive#/a/b/c/proj/src/main2.c"},
     "archive#/a/b/c/proj=folder #|archive#/a/b/c/proj/src/lib/util.c=util #|archive#/a/b/c/proj/src/main2.c=main #"},
    // `mkdir new && mv noted new/`: usually only the half of the rename that
    // left is reported, and the new folder's listing finds the file.
    {"FileMovedIntoAFolderJustMade", 10, {"n noted#.txt note #", "sync", "d new#", "mv noted#.txt new#/noted#.txt"},
     "new#/noted#.txt=note #"},
    // `mkdir -p a/b/c`, a file in c noted and renamed at once: c is watched in time.
    {"FileRenamedInAFolderJustMade", 3,
     {"n new#/b/c/first.txt noted at once", "mv new#/b/c/first.txt new#/b/c/second.txt"},
     "new#/b/c/second.txt=noted at once"},
    // A name differing only in case is another file and takes no note along;
    // a rename to another case does.
    {"DeletedThenRecreatedGetsItsNoteBack", 1,
     {"n report.odt send on Friday", "rm report.odt", "=", "f report.odt", "= report.odt=send on Friday",
      "f Report.odt", "rm Report.odt", "= report.odt=send on Friday", "mv report.odt REPORT.odt"},
     "REPORT.odt=send on Friday"},
    // rename(f, f~), write f, unlink(f~): the note goes to f~ and aside
    // under f; f's creation brings it back; f~'s deletion sets its copy aside.
    {"EditorSaveThroughABackupName", 1,
     {"n essay.txt for the journal", "mv essay.txt essay.txt~", "f essay.txt", "rm essay.txt~",
      "= essay.txt=for the journal", "mv essay.txt essay.txt~", "f essay.txt", "rm essay.txt~"},
     "essay.txt=for the journal"},
    // A temporary file without a note renamed over the original leaves its
    // note; a noted file renamed over it brings its own.
    {"SaveThroughATemporaryRenamedOver", 1,
     {"n config.toml hand-tuned", "f .config.toml.tmp1", "mv .config.toml.tmp1 config.toml",
      "= config.toml=hand-tuned", "f .config.toml.tmp2", "mv .config.toml.tmp2 config.toml",
      "= config.toml=hand-tuned", "n other.toml the other", "mv other.toml config.toml"},
     "config.toml=the other"},
    {"MovedOutOfTheRootsAndBack", 1,
     {"n photos/beach.jpg summer", "mv photos/beach.jpg ^beach.jpg", "=", "mv ^beach.jpg photos/beach.jpg",
      "= photos/beach.jpg=summer", "mv photos/beach.jpg ^beach.jpg", "mv ^beach.jpg photos/beach.jpg"},
     "photos/beach.jpg=summer"},
    {"QbnoteCpGivesTheCopyTheNote", 1,
     {"n letters/draft.md reply by May", "d sent", "cp letters/draft.md sent/final.md", "cp letters/draft.md sent"},
     "letters/draft.md=reply by May|sent/final.md=reply by May|sent/draft.md=reply by May"},
    // A file moved out for longer than one run still gets its note back; a
    // deleted file's note is listed and restored by hand; files moved while
    // no Monitor runs are found by identity at the start, and a path that
    // holds a file again keeps its note.
    {"SetAsideNotesAndMovesWhileStoppedOutliveARestart", 1,
     {"n usb/photo.jpg from the trip", "n draft.txt gone for good", "n b.txt kept", "n c.txt alone",
      "mv usb/photo.jpg ^photo.jpg", "rm draft.txt", "= b.txt=kept|c.txt=alone", "stop", "d sub",
      "mv c.txt sub/c-moved.txt", "mv b.txt d.txt", "f b.txt", "start", "mv ^photo.jpg usb/photo.jpg",
      "= usb/photo.jpg=from the trip|b.txt=kept|sub/c-moved.txt=alone", "aside draft.txt gone for good",
      "restore draft.txt final.txt", "aside draft.txt"},
     "usb/photo.jpg=from the trip|b.txt=kept|sub/c-moved.txt=alone|final.txt=gone for good"},
    // SIGKILL leaves "status" 1 and no backup: the next start rebuilds the
    // index from the data file and finds what moved meanwhile, including what
    // the killed Monitor had just re-keyed, and a folder's files one by one.
    {"KilledMonitorRecoversEveryNote", 1,
     {"n d0/n0 zero", "n d0/n1 one", "n d1/n2 two", "n d1/n3 three", "n d2/n4 four", "mv d0/n0 d0/r0",
      "mv d1 d1-moved", "= d0/r0=zero|d0/n1=one|d1-moved/n2=two|d1-moved/n3=three|d2/n4=four", "kill",
      "mv d0/r0 d2/zero", "mv d1-moved d1-back", "start",
      "= d2/zero=zero|d0/n1=one|d1-back/n2=two|d1-back/n3=three|d2/n4=four", "check", "mv d2/n4 d2/n4-again"},
     "d2/zero=zero|d0/n1=one|d1-back/n2=two|d1-back/n3=three|d2/n4-again=four"},
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

  std::string path(const std::string& p) const {
    return !p.empty() && p[0] == '^' ? outside_ + "/" + p.substr(1) : at(p);
  }

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
    const bool folder = !a.empty() && a.back() == '/';
    const std::string pa = path(folder ? a.substr(0, a.size() - 1) : a), pb = path(b);
    if (op == "f") {
      make_parents(pa);
      ASSERT_TRUE(write_whole_file(pa, "bytes of " + a));
    } else if (op == "d") {
      make_parents(pa + "/");
    } else if (op == "n") {
      if (size_of(pa) < 0) folder ? make_parents(pa + "/") : step("f " + a);
      set_note(pa, b);
    } else if (op == "mv") {
      move(pa, pb);
    } else if (op == "rm") {
      ASSERT_EQ(::unlink(pa.c_str()), 0) << pa;
    } else if (op == "cp") {
      const ProgramRun r = qbnote({"cp", pa, pb});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(std::filesystem::is_directory(pb) || read_whole_file(pb) == read_whole_file(pa));
    } else if (op == "junk") {
      for (int i = 0; i < std::stoi(a); ++i) ASSERT_EQ(::unlink(make_file("junk/" + std::to_string(i)).c_str()), 0);
    } else if (op == "sync") {
      barrier();
    } else if (op == "w") {
      EXPECT_TRUE(wait_note(pa, b));
    } else if (op == "=") {
      expect_notes(map_of(s.substr(s.size() > 1 ? 2 : 1)));
    } else if (op == "stop") {
      stop(monitor_);
      EXPECT_EQ(status(), 0);
    } else if (op == "kill") {
      kill_hard(monitor_);
      EXPECT_EQ(status(), 1);
    } else if (op == "start") {
      ASSERT_TRUE(start_ready(&monitor_));
      EXPECT_EQ(monitor_log(monitor_).find("corrupt"), std::string::npos) << monitor_log(monitor_);
    } else if (op == "check") {
      const ProgramRun r = qbnote({"check"});
      EXPECT_EQ(r.status, 0) << r.out << r.err;
    } else if (op == "aside") {
      const std::string out = qbnote({"ls", "--set-aside", pa}).out;
      if (b.empty()) {
        EXPECT_EQ(out, "");
      } else {
        EXPECT_EQ(out.rfind(pa + "\t", 0), 0u) << out;
        EXPECT_NE(out.find("\tdeleted\t" + b + "\n"), std::string::npos) << out;
      }
    } else if (op == "restore") {
      EXPECT_EQ(qbnote({"restore", pa, pb}).status, 0);
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

// A stop right after bulk deletions: the events queued behind them, a rename
// among them, are handled before the table closes; then the backup (the
// table as the Monitor left it) and the compaction.
TEST_F(Lifecycle, StopRightAfterDeletionsHandlesWhatIsQueuedThenBacksUpAndCompacts) {
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  constexpr int kFiles = 400;
  Notes kept;
  std::string lines;
  for (int i = 0; i < kFiles; ++i) {
    const std::string f = make_file("f" + std::to_string(i)), text = "note " + std::to_string(i) + std::string(60, 'x');
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
  EXPECT_EQ(request_stop(), 1);  // no Monitor runs yet
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  set_note(make_file("a"), "kept");
  move(at("a"), at("b"));
  ASSERT_TRUE(wait_note(at("b"), "kept"));
  stop(m);
  EXPECT_EQ(size_of(system_file("qbbak.db")), -1);
  EXPECT_EQ(read_whole_file(system_file("qb.idx")).substr(64, 24), std::string(24, '\0'));
  set_note(make_file("c"), "alone");
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

// A second Monitor says so and leaves with 183; the first keeps tracking,
// idle on three threads (main, event thread, the driver's reader; the thread
// sanitizer adds one). And qbmon's options, one version for both programs.
TEST_F(Lifecycle, SecondMonitorLeavesAndTheFirstKeepsTracking) {
  const auto qbmon = [&](const char* option) { return run_program(tmp_.path(), qbmon_bin(), {option}); };
  EXPECT_NE(qbmon("--help").out.find("--stop"), std::string::npos);
  EXPECT_EQ(qbmon("--frobnicate").status, 2);
  const ProgramRun version = qbmon("--version"), notes_version = qbnote({"--version"});
  ASSERT_EQ(version.out.rfind("qbmon ", 0), 0u) << version.out;
  EXPECT_EQ(version.out.substr(6), notes_version.out.substr(7)) << notes_version.out;

  size_t first = 0;
  ASSERT_TRUE(start_ready(&first));
  set_note(make_file("a"), "first");
  const size_t second = start_monitor();
  EXPECT_EQ(wait_exit(second), 183);
  EXPECT_NE(monitor_log(second).find("already running"), std::string::npos) << monitor_log(second);
#ifdef __SANITIZE_THREAD__
  constexpr long kThreads = 4;
#else
  constexpr long kThreads = 3;
#endif
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(monitors_[first].pid) + "/task"),
                          std::filesystem::directory_iterator{}),
            kThreads);
  move(at("a"), at("b"));
  EXPECT_TRUE(wait_note(at("b"), "first"));
  EXPECT_EQ(status(), 1);
  stop(first);
  EXPECT_EQ(status(), 0);
}

// The "inotify wd:" lines of process `pid`'s inotify descriptor; -1 without one.
int watches_of(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(fd.path(), ec).string() != "anon_inode:inotify") continue;
    std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
    int n = 0;
    for (std::string line; std::getline(info, line);) n += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
    return n;
  }
  return -1;
}

TEST_F(Lifecycle, IgnoredFoldersAreNotWatchedAndStatusTellsOfTheMonitor) {
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  const int before = watches_of(monitors_[m].pid);
  ASSERT_GT(before, 0);
  make_folder(".git/objects/a/b");
  make_folder("plain/objects/a/b");
  barrier();
  EXPECT_EQ(watches_of(monitors_[m].pid), before + 4);  // plain/ and below; .git/ is ignored
  const std::string pid = std::to_string(monitors_[m].pid);
  ProgramRun run = qbnote({"status"});
  EXPECT_NE(run.out.find("running (pid " + pid + ","), std::string::npos) << run.status << run.out;
  run = qbnote({"status", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string& part :
       {"{\"monitor\": true, \"pid\": " + pid + ",", std::string("\"folders_ignored\": 1,"), "\"roots\": [\"" + root_ + "\"]"})
    EXPECT_NE(run.out.find(part), std::string::npos) << part << " in " << run.out;
  stop(m);
  run = qbnote({"status", "--json"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out.rfind("{\"monitor\": false, \"notes\": ", 0), 0u) << run.out;
  EXPECT_EQ(qbnote({"status"}).status, 3);
}

// A second root not there at the start, then deleted and made again: each
// time it appears it is followed, and a file's note comes back with it.
TEST_F(Lifecycle, ARootMadeLaterOrDeletedAndMadeAgainIsFollowed) {
  const std::string second = outside_ + "/second";
  set_watch_roots(root_ + ":" + second);
  size_t m = 0;
  ASSERT_TRUE(start_ready(&m));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    make_parents(second + "/in/");
    ASSERT_TRUE(write_whole_file(second + "/in/f", "x"));
    barrier();  // the root's appearance came before it, in the kernel's order
    if (round == 0) set_note(second + "/in/f", "kept");
    EXPECT_TRUE(wait_note(second + "/in/f", "kept"));
    move(second + "/in/f", second + "/in/g");
    EXPECT_TRUE(wait_note(second + "/in/g", "kept"));
    move(second + "/in/g", second + "/in/f");
    EXPECT_TRUE(wait_note(second + "/in/f", "kept"));
    std::filesystem::remove_all(second);
    EXPECT_TRUE(wait_note(second + "/in/f", std::nullopt));
  }
  stop(m);
}

}  // namespace
}  // namespace e2e
