// DoResponse: what each operation does to the notes table, the temporary
// table, "FileSpec" and "MODIFIED", and how it waits for the tables.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "support/fault_io.h"
#include "support/fork_helper.h"
#include "platform/state_dir.h"
#include "tracking/reconcile.h"
#include "tracking/table_guard.h"
#include "tracking_fixture.h"
#include "upkeep/identity_table.h"
#include "upkeep/monitor_tables.h"
#include "upkeep/set_aside.h"

namespace {

const std::string kA = "/home/Ada/a.txt";
const std::string kB = "/home/Ada/b.txt";

// ---- what every event does ---------------------------------------------------------

class Acknowledgement : public TrackingTest {};

TEST_F(Acknowledgement, UnknownCodesAndStopGetOnlyTheEntryTrace) {
  note(notesTable, kA, "kept");
  setFileSpec(kA);
  for (int32_t code : {0, 7, 99, 101, -1, OP_STOP}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(event(code, kA, kB), "\nDoResponse with " + std::to_string(code) + "\n");
  }
  EXPECT_EQ(remarkOf(notesTable, kA), "kept");
  EXPECT_EQ(remarkOf(notesTable, kB), std::nullopt);
  EXPECT_TRUE(isEmpty(tempTable));
  EXPECT_EQ(fileSpec(), kA);
  EXPECT_EQ(modified(), 7u);
}

TEST_F(Acknowledgement, ClosedTablesCountAsNotFound) {
  note(notesTable, kA, "a");
  ASSERT_EQ(notesTable.close(), 1);
  ASSERT_EQ(tempTable.close(), 1);
  for (int32_t code : {OP_COPY, OP_RENAME, OP_DELETE, OP_REMOVE, OP_COPY_REVERSE, OP_CREATE}) {
    SCOPED_TRACE(code);
    (void)event(code, kA, kB);
  }
  EXPECT_EQ(modified(), 7u);
}

TEST_F(Acknowledgement, AnEventWaitsWhileAnotherThreadHoldsTheTables) {
  note(notesTable, kA, "moved");
  std::unique_lock<std::mutex> held(tracking_table_mutex());
  std::thread other([] { (void)DoResponse(FileEvent{OP_RENAME, kA, kB}, nullptr); });
  // The entry trace comes before the tables are touched; while this thread
  // holds them, the note stays where it was.
  for (int i = 0; i < 10000 && traceLines().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(traceLines(), std::vector<std::string>{"\nDoResponse with 2\n"});
  EXPECT_EQ(remarkOf(notesTable, kA), "moved");
  held.unlock();
  other.join();
  EXPECT_EQ(remarkOf(notesTable, kB), "moved");
}

// ---- copy -----------------------------------------------------------------------

class Copy : public TrackingTest {};

TEST_F(Copy, TargetGetsTheSourceNoteOverASetAsideOne) {
  note(notesTable, kA, "source");
  note(tempTable, kB, "set aside");
  EXPECT_EQ(event(OP_COPY, kA, kB), "\nDoResponse with 1\n");
  EXPECT_EQ(remarkOf(notesTable, kA), "source");
  EXPECT_EQ(remarkOf(notesTable, kB), "source");
  EXPECT_EQ(remarkOf(tempTable, kB), std::nullopt);  // used up: never given to a later file there
}

TEST_F(Copy, SetAsideNoteComesBackWhenTheSourceHasNone) {
  note(tempTable, kB, "set aside");
  (void)event(OP_COPY, kA, kB);
  EXPECT_EQ(remarkOf(notesTable, kA), std::nullopt);
  EXPECT_EQ(remarkOf(notesTable, kB), "set aside");
}

TEST_F(Copy, CopyOntoANotedPathReplacesItsNote) {
  note(notesTable, kA, "source");
  note(notesTable, kB, "old target");
  (void)event(OP_COPY, kA, kB);
  EXPECT_EQ(remarkOf(notesTable, kB), "source");
  EXPECT_EQ(remarkOf(notesTable, kA), "source");
}

TEST_F(Copy, ReverseCopiesTheTargetNoteToTheSourceUnlessItHasOne) {
  note(notesTable, kB, "target");
  (void)event(OP_COPY_REVERSE, kA, kB);
  EXPECT_EQ(remarkOf(notesTable, kA), "target");
  EXPECT_EQ(remarkOf(notesTable, kB), "target");

  const std::string c = "/home/Ada/c.txt";
  note(notesTable, c, "own");
  (void)event(OP_COPY_REVERSE, c, kB);
  EXPECT_EQ(remarkOf(notesTable, c), "own");
}

// ---- rename of files --------------------------------------------------------------

class Rename : public TrackingTest {};

TEST_F(Rename, MovesTheNoteAndSetsACopyAsideUnderTheOldPath) {
  const std::string trace = "\nDoResponse with 2\nRENAME: " + kA + ", " + kB + "\n";
  note(notesTable, kA, "mine");
  EXPECT_EQ(event(OP_RENAME, kA, kB), trace);
  EXPECT_EQ(remarkOf(notesTable, kA), std::nullopt);
  EXPECT_EQ(remarkOf(notesTable, kB), "mine");
  EXPECT_EQ(remarkOf(tempTable, kA), "mine");
  EXPECT_EQ(remarkOf(tempTable, kB), std::nullopt);
  // Onto a noted path: the replaced note is set aside, as a deleted file's is.
  note(notesTable, kA, "a");
  EXPECT_EQ(event(OP_RENAME, kA, kB), trace + "REPLACED: " + kB + "\n");
  EXPECT_EQ(remarkOf(notesTable, kA), std::nullopt);
  EXPECT_EQ(remarkOf(notesTable, kB), "a");
  EXPECT_EQ(remarkOf(tempTable, kA), "a");
  EXPECT_EQ(remarkOf(tempTable, kB), "mine");
  EXPECT_EQ(modified(), 1u);
  (void)event(OP_REMOVE, kB, "");
  (void)event(OP_CREATE, "", kB);
  EXPECT_EQ(remarkOf(notesTable, kB), "mine");
  // A change of case only: one note, which stays with its file.
  (void)event(OP_RENAME, kB, "/home/Ada/B.txt");
  EXPECT_EQ(remarkOf(notesTable, "/home/Ada/B.txt"), "mine");
}

TEST_F(Rename, AWriteTheTableRefusesIsTracedAndLoggedWithTheEnginesError) {
  note(notesTable, kA, "mine");
  FaultIo io;
  io.arm(IoKind::Write, 1, true);
  const std::string trace = event(OP_RENAME, kA, kB);
  io.disarm();
  EXPECT_NE(trace.find("FAILED: add " + kA + ": error "), std::string::npos) << trace;  // setting it aside
  std::vector<std::string> said = reports();
  ASSERT_FALSE(said.empty());
  EXPECT_EQ(said[0].rfind("FAILED: add " + kA + ": error ", 0), 0u) << said[0];
}

TEST_F(Rename, BackToASetAsideNameBringsItsNoteBack) {
  note(notesTable, kA, "mine");
  (void)event(OP_DELETE, kA, "");
  ASSERT_EQ(remarkOf(notesTable, kA), std::nullopt);
  (void)event(OP_RENAME, "/home/Ada/~a.tmp", kA);
  EXPECT_EQ(remarkOf(notesTable, kA), "mine");
  EXPECT_EQ(remarkOf(tempTable, kA), std::nullopt);
}

// After `mv draft final`, a draft made later is another file: the copy the
// rename left serves for RenameBackSeconds (an editor's save) and then never
// again, while a deleted file's note still waits for its path.
int64_t g_now = 1700000000;
TEST_F(Rename, ItsCopyServesOnlyWithinTheWindowADeletedNoteLonger) {
  int64_t (*const wall)() = set_aside_clock;
  set_aside_clock = [] { return g_now; };
  const std::string c = "/home/Ada/c.txt", d = "/home/Ada/d.txt", e = "/home/Ada/e.txt";
  note(notesTable, kA, "a");
  note(notesTable, c, "confidential");
  note(notesTable, e, "e");
  (void)event(OP_RENAME, kA, kB);
  (void)event(OP_RENAME, c, d);
  (void)event(OP_DELETE, e, "");
  g_now += 60;
  (void)event(OP_CREATE, "", kA);
  EXPECT_EQ(remarkOf(notesTable, kA), "a");
  g_now += 1;
  EXPECT_EQ(event(OP_CREATE, "", c), "\nDoResponse with 6\nEXPIRED: " + c + "\n");
  EXPECT_EQ(remarkOf(notesTable, c), std::nullopt);
  EXPECT_EQ(remarkOf(tempTable, c), std::nullopt);
  g_now += 3600;
  (void)event(OP_CREATE, "", e);
  EXPECT_EQ(remarkOf(notesTable, e), "e");
  set_aside_clock = wall;
}

// The two tables hold equal (path, address) entries here: a change in one
// must not move the other's cursor onto z's note.
TEST_F(Rename, AwayBackAndAwayAgainKeepsEachNoteWithItsFile) {
  const std::string c = "/home/Ada/c.txt", z = "/home/Ada/z.txt";
  note(notesTable, kA, "a");
  note(notesTable, z, "z");
  for (auto [from, to] : {std::pair{kA, kB}, {kB, kA}, {kA, c}}) (void)event(OP_RENAME, from, to);
  EXPECT_EQ(remarkOf(notesTable, c), "a");
  EXPECT_EQ(remarkOf(notesTable, z), "z");
}

// ---- other processes ------------------------------------------------------------------

// qbnote removes or sets b's note between the Monitor's look-up of b and its
// record lock: the Monitor acts on the note as qbnote left it, on no other.
// Or a qbnote import is killed while it holds the table's write lock,
// waiting for a line: it leaves the index file's busy mark, which refuses
// the Monitor's change; the Monitor rebuilds the index and handles the
// event again.
std::string g_at, g_qbnote;  // the path whose lock qbnote's run precedes; its arguments

void killImportHoldingTheTable() {
  const std::string fifo = std::filesystem::temp_directory_path() / ("qbkill." + std::to_string(::getpid()));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(QBNOTE_BIN, QBNOTE_BIN, "import", fifo.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // A blank line read off the pipe: the import reads only under its hold.
  const int feed = ::open(fifo.c_str(), O_WRONLY);
  EXPECT_TRUE(feed >= 0 && ::write(feed, "\n", 1) == 1 && wait_pipe_read(feed)) << "the import never read its line";
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (feed >= 0) ::close(feed);
  std::remove(fifo.c_str());
}

void runQbnoteOnce(const char* path) {
  if (g_at != path) return;
  g_at.clear();
  if (g_qbnote.rfind("killed", 0) == 0) return killImportHoldingTheTable();
  EXPECT_EQ(std::system((QBNOTE_BIN " " + g_qbnote + " >/dev/null").c_str()), 0) << "qbnote " << g_qbnote;
}

class OtherProcess : public TrackingTest {};

TEST_F(OtherProcess, QbnoteChangingTheNoteBeforeTheMonitorsLockKeepsEveryNoteWithItsFile) {
  // qbnote: "rm" b, or "set" b to kSet; after: the row's notes; asideB: tempTable's note of b.
  struct Row {
    int32_t operation;
    std::string source, target, fileSpec, qbnote;
    std::map<std::string, std::string> after;
    std::optional<std::string> asideB;
  };
  const std::string kSet = "set meanwhile, longer than the note it replaces";
  const std::map<std::string, std::string> ac = {{"a", "A"}, {"c", "C"}};
  const Row rows[] = {
      {OP_DELETE, "b", "", "", "rm", ac, std::nullopt},
      {OP_REMOVE, "b", "", "", "rm", ac, std::nullopt},
      {OP_RENAME, "b", "z", "", "rm", ac, std::nullopt},
      {OP_RENAME, "a", "b", "", "rm", {{"b", "A"}, {"c", "C"}}, std::nullopt},
      {OP_COPY, "b", "z", "", "rm", ac, std::nullopt},
      {OP_COPY_REVERSE, "z", "b", "", "rm", ac, std::nullopt},
      {OP_CREATE, "", "b.new", "b", "rm", ac, std::nullopt},
      {OP_DELETE, "b", "", "", "set", ac, kSet},
      {OP_RENAME, "b", "z", "", "set", {{"a", "A"}, {"c", "C"}, {"z", kSet}}, kSet},
      {OP_COPY, "b", "z", "", "set", {{"a", "A"}, {"b", kSet}, {"c", "C"}, {"z", kSet}}, std::nullopt},
      {OP_COPY_REVERSE, "z", "b", "", "set", {{"a", "A"}, {"b", kSet}, {"c", "C"}, {"z", kSet}}, std::nullopt},
      {OP_CREATE, "", "b.new", "b", "set", {{"a", "A"}, {"b.new", kSet}, {"c", "C"}}, std::nullopt},
      {OP_RENAME, "b", "z", "", "killed", {{"a", "A"}, {"c", "C"}, {"z", "B"}}, "B"},
      {OP_DELETE, "b", "", "", "killed", ac, "B"},
  };
  const std::string resolved = std::filesystem::canonical(files());
  tracking_before_lock = runQbnoteOnce;
  for (const Row& row : rows) {
    const std::string dir = resolved + "/r" + std::to_string(&row - rows) + "/";
    SCOPED_TRACE(dir);
    for (const char* p : {"a", "b", "c"}) note(notesTable, dir + p, std::string(1, static_cast<char>(*p - 32)));
    g_at = dir + "b";  // also the FileSpec of the rows that have one
    g_qbnote = row.qbnote + " '" + dir + "b'" + (row.qbnote == "set" ? " '" + kSet + "'" : "");
    if (!row.fileSpec.empty()) setFileSpec(dir + row.fileSpec);
    (void)event(row.operation, row.source.empty() ? "" : dir + row.source, row.target.empty() ? "" : dir + row.target);
    EXPECT_TRUE(g_at.empty()) << "qbnote did not run";
    for (const char* p : {"a", "b", "b.new", "c", "z"})
      EXPECT_EQ(remarkOf(notesTable, dir + p), row.after.count(p) ? std::optional(row.after.at(p)) : std::nullopt) << p;
    EXPECT_EQ(remarkOf(tempTable, dir + "b"), row.asideB);
  }
  tracking_before_lock = nullptr;
}

// ---- delete, remove and create -------------------------------------------------------

class DeleteCreate : public TrackingTest {};

TEST_F(DeleteCreate, SaveByDeleteThenCreateKeepsTheNote) {
  note(notesTable, kA, "mine");
  EXPECT_EQ(event(OP_DELETE, kA, ""), "\nDoResponse with 3\nPRE DELETE: " + kA + ", \nDO DELETE: " + kA + "\n");
  EXPECT_EQ(remarkOf(notesTable, kA), std::nullopt);
  EXPECT_EQ(remarkOf(tempTable, kA), "mine");
  EXPECT_EQ(modified(), 1u);

  // Given back, the note leaves the set-aside table: kept there, it would
  // go to a file made at this path after this one is renamed away.
  (void)event(OP_CREATE, "", kA);
  EXPECT_EQ(remarkOf(notesTable, kA), "mine");
  EXPECT_EQ(remarkOf(tempTable, kA), std::nullopt);
}

TEST_F(DeleteCreate, RemoveSetsNothingAsideSoCreateFindsNothing) {
  note(notesTable, kA, "mine");
  EXPECT_EQ(event(OP_REMOVE, kA, ""), "\nDoResponse with 4\n");
  EXPECT_EQ(remarkOf(notesTable, kA), std::nullopt);
  EXPECT_TRUE(isEmpty(tempTable));
  EXPECT_EQ(modified(), 1u);
  EXPECT_EQ(event(OP_CREATE, "", kA), "\nDoResponse with 6\n");
  EXPECT_EQ(remarkOf(notesTable, kA), std::nullopt);
}

TEST_F(DeleteCreate, DeleteOfAPathWithoutANoteWritesNoModified) {
  ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, "0"), 0);
  note(notesTable, kB, "other");
  setFileSpec(kB);  // has a note, but is no prefix of the deleted path
  (void)event(OP_DELETE, kA, "");
  EXPECT_EQ(modified(), 0u);
  EXPECT_EQ(remarkOf(notesTable, kB), "other");
  EXPECT_TRUE(isEmpty(tempTable));
  EXPECT_EQ(fileSpec(), "");
}

TEST_F(DeleteCreate, RemoveOfAPathWithoutANoteWritesNoModified) {
  (void)event(OP_REMOVE, kA, "");
  EXPECT_EQ(modified(), 7u);
}

TEST_F(DeleteCreate, CreateOfANotedPathKeepsItsOwnNote) {
  note(notesTable, kA, "own");
  note(tempTable, kA, "set aside");
  (void)event(OP_CREATE, "", kA);
  EXPECT_EQ(remarkOf(notesTable, kA), "own");
}

// ---- the FileSpec hand-shake -----------------------------------------------------------

class SaveAs : public TrackingTest {};

TEST_F(SaveAs, DeleteMovesTheFileSpecNoteToTheDeletedPathAndSetsItAside) {
  const std::string spec = "/Home/Ada/Report";
  const std::string path = "/Home/Ada/Report.doc";
  note(notesTable, spec, "plan");
  setFileSpec(spec);
  EXPECT_EQ(event(OP_DELETE, path, ""), "\nDoResponse with 3\n"
                                        "SaveAs contains " + spec + "\n"
                                        "Result for findKey," + spec + " = 2\n"
                                        "PRE DELETE: " + path + ", " + spec + "\n"
                                        "FOUND IN REGISTRY: " + spec + "\n"
                                        "DO DELETE: " + path + "\n");
  EXPECT_EQ(remarkOf(notesTable, spec), std::nullopt);
  EXPECT_EQ(remarkOf(notesTable, path), std::nullopt);
  EXPECT_EQ(remarkOf(tempTable, path), "plan");
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(modified(), 1u);

  // The save's create: the emptied value matches nothing, the set-aside
  // note comes back.
  EXPECT_EQ(event(OP_CREATE, "", path), "\nDoResponse with 6\n"
                                        "SaveAs contains \n"
                                        "Result for findKey, = 3\n"
                                        "Found in dbtmp: " + path + "\n");
  EXPECT_EQ(remarkOf(notesTable, path), "plan");
}

TEST_F(SaveAs, CreateMatchingAPrefixIgnoringCaseTakesTheNoteAndSkipsTheTemporaryTable) {
  // Only a notes table made elsewhere, declaring "Path", compares paths
  // ignoring case.
  char base[kPathBuffer];
  ASSERT_EQ(notesTable.close() + tempTable.close(), 2);
  ASSERT_EQ(systemFilePath(base, "qb"), 1);
  ASSERT_EQ(TableHandle::deleteTable(base), 1);
  ASSERT_EQ(createNotesTable(base, "Path"), 1);
  ASSERT_EQ(openDatabase(), 1);
  const std::string spec = "/docs/PLAN";
  const std::string path = "/Docs/plan.txt";
  note(notesTable, "/Docs/Plan", "the plan");
  note(tempTable, path, "set aside");
  setFileSpec(spec);
  EXPECT_EQ(event(OP_CREATE, "", path), "\nDoResponse with 6\n"
                                        "SaveAs contains " + spec + "\n"
                                        "Result for findKey," + spec + " = 2\n"
                                        "CREATENEW: " + path + ", " + spec + "\n");
  EXPECT_EQ(remarkOf(notesTable, path), "the plan");
  EXPECT_EQ(remarkOf(notesTable, "/Docs/Plan"), std::nullopt);
  EXPECT_EQ(remarkOf(tempTable, path), "set aside");
  EXPECT_EQ(fileSpec(), "");
}

TEST_F(SaveAs, NoMatchWhenThePathIsShorterDiffersOrTheFileSpecHasNoNote) {
  note(notesTable, "/docs/plan", "the plan");
  note(tempTable, "/docs/pla", "set aside");
  setFileSpec("/docs/plan");
  (void)event(OP_CREATE, "", "/docs/pla");  // a prefix of FileSpec, not the reverse
  EXPECT_EQ(remarkOf(notesTable, "/docs/plan"), "the plan");
  EXPECT_EQ(remarkOf(notesTable, "/docs/pla"), "set aside");

  // Another file, and on a table that tells case apart, another case.
  for (const char* other : {"/docs/plam.txt", "/docs/PLAN.txt"}) {
    setFileSpec("/docs/plan");
    (void)event(OP_CREATE, "", other);
    EXPECT_EQ(remarkOf(notesTable, "/docs/plan"), "the plan");
    EXPECT_EQ(remarkOf(notesTable, other), std::nullopt);
  }

  // Only A to Z fold: '[' and '{' differ by the case bit but are no letters.
  note(notesTable, "/docs/[x]", "brackets");
  setFileSpec("/docs/[x]");
  (void)event(OP_CREATE, "", "/docs/{x}.txt");
  EXPECT_EQ(remarkOf(notesTable, "/docs/[x]"), "brackets");

  setFileSpec("/docs/none");
  EXPECT_EQ(event(OP_CREATE, "", "/docs/none.txt"), "\nDoResponse with 6\n"
                                                    "SaveAs contains /docs/none\n"
                                                    "Result for findKey,/docs/none = 3\n");
}

TEST_F(SaveAs, OnlyDeleteAndCreateConsumeTheValue) {
  note(notesTable, "/docs/plan", "the plan");
  setFileSpec("/docs/plan");
  for (int32_t code : {OP_COPY, OP_RENAME, OP_REMOVE, OP_COPY_REVERSE, 0, 7, OP_STOP}) {
    SCOPED_TRACE(code);
    (void)event(code, kA, kB);
    EXPECT_EQ(fileSpec(), "/docs/plan");
  }
  (void)event(OP_DELETE, kA, "");
  EXPECT_EQ(fileSpec(), "");
  setFileSpec("/docs/plan");
  (void)event(OP_CREATE, "", kB);
  EXPECT_EQ(fileSpec(), "");
  EXPECT_EQ(remarkOf(notesTable, "/docs/plan"), "the plan");
}

TEST_F(SaveAs, MissingKeyGivesNoHandShakeTraces) {
  ASSERT_EQ(fileSpec(), "<none>");
  EXPECT_EQ(event(OP_DELETE, kA, ""), "\nDoResponse with 3\nPRE DELETE: " + kA + ", \n");
  EXPECT_EQ(fileSpec(), "<none>");  // nothing is created
}

}  // namespace

// ---- files moved while the Monitor was not looking -------------------------------

namespace fs = std::filesystem;

class Reconcile : public TrackingTest {
 protected:
  void SetUp() override {
    TrackingTest::SetUp();
    ASSERT_EQ(openIdentityTable(idTable, true, false, kPathDeclaration), 1);
  }
  void TearDown() override {
    (void)idTable.close();
    TrackingTest::TearDown();
  }
  static void make(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    std::fclose(std::fopen(path.c_str(), "w"));
  }
  // The listing the driver makes, for the probe.
  void list(IdentityProbe* probe) {
    for (const auto& e : fs::recursive_directory_iterator(files())) {
      struct stat st;
      if (::lstat(e.path().c_str(), &st) == 0 && probe->inodes.count(st.st_ino) != 0)
        probe->found.emplace_back(e.path().string(), st.st_ino);
    }
  }
  size_t reconcile(const std::function<void()>& whileListed = [] {}) {
    Reconciliation r;
    IdentityProbe probe;
    reconcileBegin(&r, &probe);
    list(&probe);
    whileListed();
    return reconcileEnd(r, probe);
  }
};

// A note is moved only onto the one file that is surely its own, and never
// away from a path that holds a file or onto a path that has a note.
TEST_F(Reconcile, ANoteFollowsItsFileOnlyWhenNothingElseCouldBeMeant) {
  struct Row {
    const char* what;
    std::function<void()> after;  // what happened while no Monitor looked, after "a" moved to "b"
    bool follows;
    bool whileListed = false;  // `after` happens between the look at the notes and the move
  };
  const Row rows[] = {
      {"moved", [] {}, true},
      {"a file at the old path again", [this] { make(file("a")); }, false},
      {"a file at the old path again meanwhile", [this] { make(file("a")); }, false, true},
      {"the new path noted", [this] { note(notesTable, file("b"), "b's own"); }, false},
      {"a hard link beside it", [this] { ASSERT_EQ(::link(file("b").c_str(), file("c").c_str()), 0); }, false},
      {"another birth time (a reused inode number)",
       [this] {
         std::string text;
         ASSERT_TRUE(recordedIdentity(idTable, file("a").c_str(), &text));
         FileIdentity id;
         ASSERT_TRUE(qb_parse_identity(text.c_str(), &id));
         id.btime_sec -= 1;
         ASSERT_EQ(writeIdentity(idTable, file("a").c_str(), qb_identity_text(id)), 1);
       },
       false},
  };
  FileIdentity here;
  ASSERT_EQ(qb_file_identity(files().c_str(), &here), 0);
  if (!here.has_btime) GTEST_SKIP() << "the file system keeps no birth times";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(files());
    fs::create_directories(files());
    (void)notesTable.close(), (void)tempTable.close(), (void)idTable.close();
    for (const char* name : {"qb", "qbtmp", "qbid"}) (void)TableHandle::deleteTable((qb_system_dir() + "/" + name).c_str());
    ASSERT_EQ(openDatabase(), 1);
    ASSERT_EQ(openIdentityTable(idTable, true, false, kPathDeclaration), 1);
    make(file("a"));
    note(notesTable, file("a"), "a's");
    EXPECT_EQ(reconcile(), 0u);  // records a's identity
    ASSERT_EQ(::rename(file("a").c_str(), file("b").c_str()), 0);
    if (!row.whileListed) row.after();
    EXPECT_EQ(reconcile(row.whileListed ? row.after : [] {}), row.follows ? 1u : 0u);
    EXPECT_EQ(remarkOf(notesTable, file(row.follows ? "b" : "a")), "a's");
  }
  // A folder's note brings those inside along; an identity without a
  // birth time is taken with a single candidate.
  make(file("d/in/x"));
  note(notesTable, file("d"), "folder");
  note(notesTable, file("d/in/x"), "inside");
  EXPECT_EQ(reconcile(), 0u);
  FileIdentity id;
  ASSERT_EQ(qb_file_identity(file("d").c_str(), &id), 0);
  id.has_btime = false;
  ASSERT_EQ(writeIdentity(idTable, file("d").c_str(), qb_identity_text(id)), 1);
  ASSERT_EQ(::rename(file("d").c_str(), file("e").c_str()), 0);
  EXPECT_EQ(reconcile(), 1u);
  EXPECT_EQ(remarkOf(notesTable, file("e")), "folder");
  EXPECT_EQ(remarkOf(notesTable, file("e/in/x")), "inside");
}
