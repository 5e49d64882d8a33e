// The Monitor's life as a process: the backup and compaction at a stop that
// follows deletions, the plain close when nothing was deleted (and the index
// file that qbnote alone leaves to a later boot of the system), recovery
// after it was killed outright, a second Monitor meeting a running one,
// what it watches (folders ignored by name, a root gone and back) and what
// `qbnote status` says of it.
#include <filesystem>
#include <fstream>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

class Lifecycle : public E2eTest {};

// A stop asked for right after bulk deletions: the events still queued
// behind them, a rename among them, are handled before the table closes;
// then the backup and the compaction.
TEST_F(Lifecycle, StopRightAfterDeletionsHandlesWhatIsQueuedThenBacksUpAndCompacts) {
  const size_t monitor = start_monitor();
  ASSERT_TRUE(wait_ready(monitor));
  constexpr int kFiles = 400;
  std::map<std::string, std::string> kept;
  std::string lines;
  for (int i = 0; i < kFiles; ++i) {
    const std::string f = make_file("f" + std::to_string(i) + ".txt");
    // Notes long enough that the freed space is well above any slack.
    const std::string text = "note " + std::to_string(i) + " " + std::string(60, 'x');
    lines += "{\"path\": \"" + f + "\", \"note\": \"" + text + "\"}\n";
    if (i % 2 == 1) kept[f] = text;
  }
  ASSERT_EQ(qbnote({"import", "-"}, lines).status, 0);
  barrier();
  const off_t before = size_of(system_file("qb.db"));
  // Every other file deleted: the freed records lie all through the file.
  for (int i = 0; i < kFiles; i += 2) ASSERT_EQ(::unlink(at("f" + std::to_string(i) + ".txt").c_str()), 0);
  const std::string last = at("f" + std::to_string(kFiles - 1) + ".txt");
  move(last, at("last.txt"));
  kept[at("last.txt")] = kept[last];
  kept.erase(last);

  stop(monitor);
  EXPECT_EQ(monitor_log(monitor).find("not handled"), std::string::npos) << monitor_log(monitor);
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(modified_mark(), 0);
  // The backup is the table as the Monitor left it; the table itself was
  // written afresh without the deleted notes' space.
  EXPECT_EQ(size_of(system_file("qbbak.db")), before);
  EXPECT_GT(size_of(system_file("qbbak.idx")), 0);
  EXPECT_LT(size_of(system_file("qb.db")), before - kFiles / 2 * 60);
  ProgramRun check = qbnote({"check"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_EQ(notes_under(), kept);
}

// qbmon's options, and one version number for both programs.
TEST_F(Lifecycle, OptionsAndOneVersion) {
  EXPECT_EQ(program(qbmon_bin(), {"--help"}, "").status, 0);
  EXPECT_NE(program(qbmon_bin(), {"--help"}, "").out.find("--stop"), std::string::npos);
  EXPECT_EQ(program(qbmon_bin(), {"--frobnicate"}, "").status, 2);
  const ProgramRun mon = program(qbmon_bin(), {"--version"}, "");
  const ProgramRun note = program(qbnote_bin(), {"--version"}, "");
  EXPECT_EQ(mon.status, 0);
  ASSERT_EQ(mon.out.rfind("qbmon ", 0), 0u) << mon.out;
  EXPECT_EQ(mon.out.substr(6), note.out.substr(7)) << mon.out << note.out;
}

TEST_F(Lifecycle, StopWithoutDeletionsWritesNoBackup) {
  EXPECT_EQ(request_stop(), 1);  // no Monitor runs yet
  const size_t monitor = start_monitor();
  ASSERT_TRUE(wait_ready(monitor));
  const std::string f = make_file("a.txt");
  set_note(f, "kept");
  move(f, at("b.txt"));
  ASSERT_TRUE(wait_note(at("b.txt"), "kept"));

  stop(monitor);
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(size_of(system_file("qbbak.db")), -1);
  EXPECT_EQ(qbnote({"check"}).status, 0);
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{at("b.txt"), "kept"}}));

  // The stop flushed the index file and took its unflushed mark off (24
  // bytes at 64): the next boot of the system trusts it. qbnote alone then
  // marks it again; seen from a later boot (another boot id in the mark),
  // it is rebuilt from the data file, and no note is lost.
  const std::string kNoMark(24, '\0');
  EXPECT_EQ(read_whole_file(system_file("qb.idx")).substr(64, 24), kNoMark);
  const std::string c = make_file("c.txt");
  ASSERT_EQ(qbnote({"set", c, "alone"}).status, 0);
  std::string idx = read_whole_file(system_file("qb.idx"));
  ASSERT_EQ(idx.substr(64, 4), "UNFL");
  idx[68] = static_cast<char>(idx[68] ^ 0x5A);
  ASSERT_TRUE(write_whole_file(system_file("qb.idx"), idx));
  ProgramRun got = qbnote({"get", c});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, "alone\n");
  EXPECT_NE(got.err.find("rebuilding it from the data file"), std::string::npos) << got.err;
  EXPECT_EQ(qbnote({"check"}).status, 0);
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{at("b.txt"), "kept"}, {c, "alone"}}));

  // Moved while no Monitor runs, a file is found again by its identity at
  // the next start; a path that holds a file again keeps its note.
  move(c, make_folder("sub") + "/c-moved.txt");
  move(at("b.txt"), at("d.txt"));
  make_file("b.txt");
  const size_t again = start_monitor();
  ASSERT_TRUE(wait_ready(again));
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{at("b.txt"), "kept"}, {at("sub/c-moved.txt"), "alone"}}));
  stop(again);
}

// SIGKILL leaves "status" 1 and no backup: the next start rebuilds the
// index from the data file, and every note survives, including those the
// Monitor itself had just re-keyed.
TEST_F(Lifecycle, KilledMonitorRecoversEveryNoteAtTheNextStart) {
  const size_t first = start_monitor();
  ASSERT_TRUE(wait_ready(first));
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 30; ++i) {
    const std::string f = make_file("d" + std::to_string(i % 3) + "/n" + std::to_string(i));
    set_note(f, "note " + std::to_string(i));
    expected[f] = "note " + std::to_string(i);
  }
  for (int i = 0; i < 30; i += 3) {
    const std::string from = at("d0/n" + std::to_string(i));
    const std::string to = at("d0/renamed" + std::to_string(i));
    move(from, to);
    expected[to] = expected[from];
    expected.erase(from);
  }
  move(at("d1"), at("d1-moved"));
  for (int i = 1; i < 30; i += 3) {
    expected[at("d1-moved/n" + std::to_string(i))] = "note " + std::to_string(i);
    expected.erase(at("d1/n" + std::to_string(i)));
  }
  ASSERT_TRUE(wait_note(at("d1-moved/n28"), "note 28"));
  barrier();
  ASSERT_EQ(notes_under(), expected);

  kill_hard(first);
  EXPECT_EQ(status(), 1);
  // Moved before the next start: a file the Monitor had re-keyed, and a
  // folder it had moved, whose files are found one by one.
  move(at("d0/renamed0"), at("d2/zero"));
  move(at("d1-moved"), at("d1-back"));
  for (const std::string& from : {at("d0/renamed0"), at("d1-moved")}) {
    auto it = expected.lower_bound(from);
    while (it != expected.end() && it->first.compare(0, from.size(), from) == 0) {
      const std::string to = (from == at("d0/renamed0") ? at("d2/zero") : at("d1-back")) + it->first.substr(from.size());
      expected[to] = it->second;
      it = expected.erase(it);
    }
  }
  const size_t second = start_monitor();
  ASSERT_TRUE(wait_ready(second));
  EXPECT_EQ(monitor_log(second).find("corrupt"), std::string::npos) << monitor_log(second);
  EXPECT_EQ(notes_under(), expected);
  ProgramRun check = qbnote({"check"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;

  // And it tracks.
  move(at("d2/n2"), at("d2/n2-again"));
  EXPECT_TRUE(wait_note(at("d2/n2-again"), "note 2"));
  stop(second);
  EXPECT_EQ(status(), 0);
}

TEST_F(Lifecycle, SecondMonitorSaysSoAndLeavesAndTheFirstKeepsTracking) {
  const size_t first = start_monitor();
  ASSERT_TRUE(wait_ready(first));
  const std::string f = make_file("a.txt");
  set_note(f, "first");

  const size_t second = start_monitor();
  EXPECT_EQ(wait_exit(second, 5000), 183);  // said on stderr
  EXPECT_NE(monitor_log(second).find("already running"), std::string::npos) << monitor_log(second);
  EXPECT_FALSE(ended(first));
  // Idle, the Monitor runs three threads: its main thread, the event thread
  // and the driver's reader (ThreadSanitizer adds one of its own).
#ifdef __SANITIZE_THREAD__
  constexpr long kThreads = 4;
#else
  constexpr long kThreads = 3;
#endif
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid(first)) + "/task"),
                          std::filesystem::directory_iterator{}),
            kThreads);

  move(f, at("b.txt"));
  EXPECT_TRUE(wait_note(at("b.txt"), "first"));
  EXPECT_EQ(status(), 1);
  stop(first);
  EXPECT_EQ(status(), 0);
}

// The watches of process `pid`: the "inotify wd:" lines of its inotify
// descriptor's fdinfo; -1 when it has none.
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
  const size_t m = start_monitor();
  ASSERT_TRUE(wait_ready(m));
  const int before = watches_of(pid(m));
  ASSERT_GT(before, 0);
  make_folder(".git/objects/a/b");
  make_folder("plain/objects/a/b");
  barrier();
  EXPECT_EQ(watches_of(pid(m)), before + 4);  // plain/ and below; .git/ is ignored
  const std::string pid_text = std::to_string(pid(m));
  ProgramRun run = qbnote({"status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("running (pid " + pid_text + ","), std::string::npos) << run.out;
  run = qbnote({"status", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string& part :
       {"{\"monitor\": true, \"pid\": " + pid_text + ",", std::string("\"folders_ignored\": 1,"),
        "\"roots\": [\"" + root_ + "\"]"})
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
  const size_t m = start_monitor();
  ASSERT_TRUE(wait_ready(m));
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
    EXPECT_TRUE(wait_no_note(second + "/in/f"));
  }
  stop(m);
}

}  // namespace
}  // namespace e2e
