// The event handler and the folder walk: random events against a model; a table of event scripts (FileSpec, long
// paths, qbnote acting meanwhile); notes found again by identity; a walk's fault loop; a process holding records.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "engine/engine.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"
#include "support/log_capture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "tracking/do_response.h"
#include "tracking/reconcile.h"
#include "tracking/save_as.h"
#include "tracking/walk_folder.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/identity_table.h"
#include "upkeep/monitor_tables.h"
#include "upkeep/set_aside.h"

namespace fs = std::filesystem;
namespace {

using Notes = std::map<std::string, std::string>;
std::string g_at, g_qbnote;  // the path whose lock a qbnote run precedes; its command
const std::string kSet = "set meanwhile, longer than the note it replaces";  // "K" in a row; the record moves
constexpr int32_t kLocks = 36, kLockBytes = kNotesPageSize - 36;  // the index file's lock bytes
int g_index = -1, g_records = -1;  // a second open of the table's files, as another process has them

// Locks or unlocks bytes of `fd` at once; with `get`, whether another open locks one of them.
bool lock(int fd, int32_t from, int32_t length, short type = F_WRLCK, bool get = false) {
  struct flock lk {};
  lk.l_type = type, lk.l_whence = SEEK_SET, lk.l_start = from, lk.l_len = length;
  return get ? ::fcntl(fd, F_OFD_GETLK, &lk) == 0 && lk.l_type != F_UNLCK : ::fcntl(fd, F_OFD_SETLK, &lk) == 0;
}
bool tableHeld() { return lock(g_index, kLocks, kLockBytes, F_WRLCK, true); }

// A fresh state folder, the notes database open and its files opened again; the engine and the tables are
// process-wide, so TearDown shuts them down.
class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QB_HOME", (tmp_.path() + "/state").c_str(), 1);
    ASSERT_EQ(TableHandle::startEngine(16, 512) + openDatabase(), 2);
    ASSERT_TRUE(fs::create_directory(tmp_.path() + "/files"));
    files_ = fs::canonical(tmp_.path() + "/files");  // as qbnote names the paths
    behind = 0, log_.clear();  // the trace of the set-aside table's making
    char idx[kPathBuffer], db[kPathBuffer];
    ASSERT_EQ(systemFilePath(idx, "qb.idx") + systemFilePath(db, "qb.db"), 2);
    g_index = ::open(idx, O_RDWR | O_CLOEXEC), g_records = ::open(db, O_RDWR | O_CLOEXEC);
    ASSERT_GE(std::min(g_index, g_records), 0);
  }
  void TearDown() override {
    ::close(g_index), ::close(g_records), endEventGroup(), (void)notesTable.close(), (void)tempTable.close();
    (void)idTable.close(), (void)tb_shutdown();
  }
  std::string file(const std::string& name) const { return files_ + "/" + name; }
  // Runs "R src tgt" (C R D X V N or a number; "-" no path), sets FileSpec ("S spec") or makes a link ("L link to").
  void run(const std::string& step) {
    static const std::map<std::string, int32_t> ops = {{"C", OP_COPY},   {"R", OP_RENAME},       {"D", OP_DELETE},
                                                       {"X", OP_REMOVE}, {"V", OP_COPY_REVERSE}, {"N", OP_CREATE}};
    std::istringstream in(step);
    std::string op, s, t;
    in >> op >> s >> t;
    if (op == "L") fs::create_symlink(x(t), x(s));
    else if (op == "S") ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, x(s).c_str()), 0);
    else EXPECT_EQ(DoResponse({ops.count(op) ? ops.at(op) : std::stoi(op), s == "-" ? "" : x(s), x(t)}, [] { return behind; }), 0);
  }
  static inline size_t behind = 0;  // events waiting after the one run
  // `s` with '@' as files()/, "<c*n>" as n times c and "<0>" as a zero byte.
  std::string x(const std::string& s) const {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i)
      if (s[i] == '@') out += files_ + "/";
      else if (s.compare(i, 3, "<0>") == 0) out += '\0', i += 2;
      else if (s[i] == '<') out += std::string(std::stoul(s.substr(i + 3)), s[i + 1]), i = s.find('>', i);
      else out += s[i];
    return out;
  }
  Notes notes(const char* list, char sep) const {  // those of "path<sep>remark ..."
    Notes out;
    std::istringstream in(list);
    for (std::string w; in >> w;)
      if (const size_t at = w.find(sep); at != std::string::npos) out[x(w.substr(0, at))] = w.substr(at + 1) == "K" ? kSet : w.substr(at + 1);
    return out;
  }
  std::string traces() const {  // the trace lines joined
    std::string all;
    for (const std::string& line : log_.texts(LogKind::kTrace)) all += line;
    return all;
  }
  // A note in t; one in tempTable is set aside now, as a deleted file's.
  static void note(TableHandle& t, const std::string& path, const std::string& remark) {
    ASSERT_EQ(t.setField(0, path.c_str()) + t.setField(1, remark.c_str()), 2);
    if (&t == &tempTable) stampSetAside(t, kAsideDeleted);
    ASSERT_EQ(t.addRecord(), 1) << path << " error " << t.lastError();
  }
  static Notes contents(TableHandle& t, bool kinds = false) {  // path to remark (and " <kind>")
    Notes all;
    for (int r = t.firstRecord(); r == 1 && t.readRecord(0) == 1; r = t.nextRecord())
      all[t.getField(0)] = t.getField(1) + (kinds ? std::string(" ") + t.getField(t.fieldNumber(kKindField)) : "");
    return all;
  }
  static unsigned modified() { return profile_read_number(kProfileSection, kModifiedKey, 7); }
  static void clear() {  // the tables empty, MODIFIED 0
    for (TableHandle* t : {&notesTable, &tempTable, &idTable})
      while (t->firstRecord() == 1) ASSERT_EQ(t->deleteRecord(), 1);
    ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, "0"), 0);
  }
  static std::string inside(int i) { return (i % 3 == 0 ? "/a/f" : i % 3 == 1 ? "/b/f" : "/a/c/f") + std::to_string(i); }
  void tree(const std::string& old) {  // six notes in three sub-folders, none on the folder
    for (int i = 0; i < 6; ++i) note(notesTable, file(old + inside(i)), "note " + std::to_string(i));
  }
  int reKeyed(const std::string& old, const std::string& now) {  // each note is under one of its paths
    Notes all = contents(notesTable);
    int moved = 0;
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(all[file(old + inside(i))] + all[file(now + inside(i))], "note " + std::to_string(i)) << inside(i);
      moved += !all[file(now + inside(i))].empty();
    }
    return moved;
  }
  TempDir tmp_;
  LogCapture log_;
  std::string files_;
};

int64_t g_now = 1700000000;

// What the notes and the set-aside notes (remark, renamed, since) should be.
struct Model {
  Notes notes;
  std::map<std::string, std::tuple<std::string, bool, int64_t>> aside;
  bool modified = false;
  bool serves(const std::string& p) {  // one past its use is dropped when met
    auto it = aside.find(p);
    if (it != aside.end() && g_now - std::get<2>(it->second) > (std::get<1>(it->second) ? 60 : 30 * 86400)) aside.erase(it);
    return aside.count(p);
  }
  void setAside(const std::string& p, bool renamed) {
    aside[p] = {notes.at(p), renamed, g_now};
    if (!renamed) notes.erase(p), modified = true;
  }
  void giveBack(const std::string& p) { notes.emplace(p, std::get<0>(aside.at(p))).second && aside.erase(p); }
  void apply(int32_t op, const std::string& s, const std::string& t) {
    if (op == OP_COPY && serves(t)) notes[t] = std::get<0>(aside[t]), aside.erase(t);
    if (op == OP_COPY && notes.count(s)) notes[t] = notes[s];
    if (op == OP_DELETE && notes.count(s)) setAside(s, false);
    if (op == OP_REMOVE) modified |= notes.erase(s) == 1;
    if (op == OP_COPY_REVERSE && notes.count(t)) notes.emplace(s, notes[t]);
    if (op == OP_CREATE && serves(t)) giveBack(t);
    if (op != OP_RENAME) return;
    for (const auto& [k, unused] : Notes(notes)) {  // nothing is on disk: any target may be a folder
      if (t.rfind(s + "/", 0) == 0 || k.rfind(s + "/", 0) != 0 || !notes.count(k) || s == t) continue;
      const std::string to = t + k.substr(s.size());
      if (notes.count(to)) setAside(to, false);
      notes[to] = notes[k], notes.erase(k);
    }
    const bool back = serves(t);
    if (notes.count(s) && s != t && notes.count(t)) setAside(t, false);
    if (notes.count(s)) setAside(s, true), notes.insert_or_assign(t, std::get<0>(aside[s])), s != t && notes.erase(s);
    else if (back) giveBack(t);
  }
};

// Every operation on files and folders, renames onto noted paths and back within the window and after it (fault: a
// change in one table moved the other's cursor onto a note of equal path and address), in groups, a note a slice.
TEST_F(TrackingTest, NotesFollowRandomEventsAsTheModelSays) {
  int64_t (*const wall)() = std::exchange(set_aside_clock, [] { return g_now; });
  const int delay = std::exchange(ix_lock_settings.delay_ms, 1);  // the pause between slices
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Model m;
    clear();
    walk_slice_ms = seed == 3 ? 0 : 100;
    const char* names[] = {"a", "b", "A", "d", "a/x", "a/y", "b/x", "A/x", "d/y", "a.x", "ab/x"};  // a.x, ab: not in a
    auto pick = [&](unsigned noted) {
      if (m.notes.empty() || rng() % 100 >= noted) return file(names[rng() % 11]);
      return std::next(m.notes.begin(), rng() % m.notes.size())->first;
    };
    std::pair<std::string, std::string> last{pick(0), pick(0)};
    for (int batch = 0, made = 0; batch < 12; ++batch) {
      for (const std::string& p : {pick(0), pick(0), pick(0)})
        if (m.notes.emplace(p, "n" + std::to_string(++made)).second) note(notesTable, p, m.notes[p]);
      for (int i = 0; i < 25; ++i) {
        const int32_t op = rng() % 10 < 4 ? OP_RENAME : 1 + rng() % 6;
        std::string s = pick(70), t = pick(40);
        if (op == OP_RENAME && rng() % 4 == 0) s = last.second, t = last.first;
        if (op == OP_RENAME) last = {s, t};
        g_now += rng() % 200 == 0 ? 31 * 86400 : rng() % 25;
        behind = rng() % 3;
        run(std::to_string(op) + " " + s + " " + t);
        m.apply(op, s, t);
      }
      { std::lock_guard<std::mutex> guard(tracking_table_mutex()); endEventGroup(); }
      Notes aside;
      for (const auto& [p, a] : m.aside) aside[p] = std::get<0>(a) + (std::get<1>(a) ? " renamed" : " deleted");
      ASSERT_EQ(contents(notesTable), m.notes) << "batch " << batch;
      ASSERT_EQ(contents(tempTable, true), aside) << "batch " << batch;
      ASSERT_EQ(modified(), m.modified ? 1u : 0u);
    }
  }
  set_aside_clock = wall, ix_lock_settings.delay_ms = delay, walk_slice_ms = 100;
  EXPECT_EQ(traces().find("COMMIT FAILED"), std::string::npos) << "a commit failed with no fault";
}

// qbnote removes or rewrites b's note between the Monitor's look-up and its lock (fault: the Monitor acted on the next
// note), or an import is killed holding the write lock (fault: its busy mark refused the Monitor's change, now redone).
void runQbnoteOnce(const char* path) {
  if (g_at != path) return;
  g_at.clear();
  const std::vector<std::string> args = g_qbnote == "set" ? std::vector<std::string>{"set", path, kSet} : std::vector<std::string>{"rm", path};
  if (g_qbnote != "killed") {
    EXPECT_EQ(run_program(fs::temp_directory_path(), QBNOTE_BIN, args).status, 0);
    return;
  }
  const std::string fifo = fs::temp_directory_path() / ("qbkill." + std::to_string(::getpid()));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const StartedProgram p = start_program(QBNOTE_BIN, {"import", fifo}, "", {}, "/dev/null", "/dev/null");
  const int feed = ::open(fifo.c_str(), O_WRONLY);  // the import reads its line only under its hold
  EXPECT_TRUE(feed >= 0 && ::write(feed, "\n", 1) == 1 && wait_pipe_read(feed)) << "the import never read its line";
  ::kill(p.pid, SIGKILL);
  int status = 0;
  EXPECT_TRUE(reap_program(p.pid, kRunDeadlineMs, &status));
  ::close(feed), std::remove(fifo.c_str());
}

// The notes ("p=r"; "p:r" set aside) before, a script (run()), then the notes (K: kSet), FileSpec ("<none>": no
// value), MODIFIED, the number of reports and the whole trace (when given).
TEST_F(TrackingTest, EachScriptLeavesTheTablesAsTheRowSays) {
  struct Row {
    const char *what, *notes, *script, *after, *spec;
    unsigned modified = 0, said = 0;
    const char *trace = nullptr, *qbnote = nullptr;
  };
  const Row rows[] = {
      {"nothing deleted, no MODIFIED; no operation, only delete and create take FileSpec", "/h/s=S",
       "D /h/a -; X /h/a -; S /h/s; 0 /h/a /h/b; 7 /h/a /h/b; 100 /h/a /h/b; C /h/a /h/b; R /h/a /h/b; X /h/a -; V /h/a /h/b",
       "/h/s=S", "/h/s"},
      {"remove: MODIFIED, nothing set aside", "/h/a=A", "X /h/a -; N - /h/a", "", "<none>", 1},
      {"save: delete, create", "/H/R=P", "S /H/R; D /H/R.doc -; N - /H/R.doc", "/H/R.doc=P", "", 1},
      // Fault: a FileSpec matched ignoring case on tables that tell case apart.
      {"FileSpec: no shorter path, other name or case, [ for {", "/d/plan=P /d/[x]=B /d/pla:S",
       "S /d/plan; N - /d/pla; S /d/plan; N - /d/plam.txt; S /d/plan; N - /d/PLAN.txt; S /d/[x]; N - /d/{x}.txt",
       "/d/plan=P /d/pla=S /d/[x]=B", ""},
      {"too long or a zero byte", "/h/a=A /<p*254>=cut /h/a:S",
       "X /<p*255> -; R /h/a /<p*255>; R /<p*255> /h/a; C /h/a /<p*255>; V /<p*255> /h/a", "/h/a=A /<p*254>=cut /h/a:S",
       "<none>", 0, 5},
      {"255 bytes are whole", "/h/a=A", "R /h/a /<q*254>; C /h/z /h/b<0>c", "/<q*254>=A /h/a:A", "<none>", 0, 1,
       "\nDoResponse with 2\nRENAME: /h/a, /<q*254>\n\nDoResponse with 1\nSKIPPED (too long): /h/b\n"},
      {"FileSpec over 259 characters", "/<s*258>=cut", "S /<s*299>; D /h/a -", "/<s*258>=cut", "", 0, 0,
       "\nDoResponse with 3\nSKIPPED (too long): FileSpec of 301 bytes\nSaveAs contains \nResult for findKey, = 3\n"
       "PRE DELETE: /h/a, \n"},
      {"the disk moved on; a link is no folder", "@O/a=a @O/g=g @O/S/c=c @N/g=old @L/i=i",
       "L @L2 @N; R @O @N; R @N/a @N/b; R @L @L2", "@N/b=a @N/g=g @N/S/c=c @L/i=i @N/a:a @N/g:old", "<none>", 1},
      // qbnote (rm, set b to K, killed import) acts between the look-up of b and its lock.
      {"rm: D", "@a=A @b=B @c=C", "D @b -", "@a=A @c=C", "<none>", 1, 0, nullptr, "rm"},
      {"rm: R a b", "@a=A @b=B @c=C", "R @a @b", "@b=A @c=C @a:A", "<none>", 1, 0, nullptr, "rm"},
      {"rm: N", "@a=A @b=B @c=C", "S @b; N - @b.new", "@a=A @c=C", "", 1, 0, nullptr, "rm"},
      {"set: R", "@a=A @b=B @c=C", "R @b @z", "@a=A @c=C @z=K @b:K", "<none>", 0, 0, nullptr, "set"},
      {"killed: R", "@a=A @b=B @c=C", "R @b @z", "@a=A @c=C @z=B @b:B", "<none>", 0, 0, nullptr, "killed"},
      {"killed: D", "@a=A @b=B @c=C", "D @b -", "@a=A @c=C @b:B", "<none>", 1, 0, nullptr, "killed"},
  };
  tracking_before_lock = runQbnoteOnce;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    clear();
    fs::remove_all(files_), fs::create_directories(files_);
    for (const auto& [p, r] : notes(row.notes, '=')) note(notesTable, p, r);
    for (const auto& [p, r] : notes(row.notes, ':')) note(tempTable, p, r);
    (void)reg_delete_value(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue);
    g_at = row.qbnote ? file("b") : "", g_qbnote = row.qbnote ? row.qbnote : "";
    log_.clear();
    std::istringstream script(row.script);
    for (std::string step; std::getline(script, step, ';');) run(step);
    EXPECT_TRUE(g_at.empty()) << "qbnote did not run";
    if (row.trace) {
      EXPECT_EQ(traces(), x(row.trace));
    }
    EXPECT_EQ(log_.lines().size() - log_.texts(LogKind::kTrace).size(), row.said);
    EXPECT_EQ(contents(notesTable), notes(row.after, '='));
    EXPECT_EQ(contents(tempTable), notes(row.after, ':'));
    std::string spec;
    const int read = reg_read_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, &spec);
    EXPECT_EQ(read == 0 ? spec : "<none>", row.spec);
    EXPECT_EQ(modified(), row.modified);
  }
  tracking_before_lock = nullptr;
}

// Notes whose files moved unseen are found again by identity, only on the one file that is surely theirs.
TEST_F(TrackingTest, ReconcileMovesANoteOnlyWhenNothingElseCouldBeMeant) {
  FileIdentity here;
  ASSERT_EQ(qb_file_identity(files_.c_str(), &here), 0);
  if (!here.has_btime) GTEST_SKIP() << "the file system keeps no birth times";
  auto reconcile = [this](const std::function<void()>& whileListed) {
    Reconciliation r;
    IdentityProbe probe;
    reconcileBegin(&r, &probe);
    for (const auto& e : fs::recursive_directory_iterator(files_))  // the driver's listing
      if (struct stat st; ::lstat(e.path().c_str(), &st) == 0 && probe.inodes.count(st.st_ino))
        probe.found.emplace_back(e.path().string(), st.st_ino);
    whileListed();
    return reconcileEnd(r, probe);
  };
  auto rebirth = [this] {  // a's recorded identity with another birth time
    std::string text;
    FileIdentity id;
    ASSERT_TRUE(recordedIdentity(idTable, file("a").c_str(), &text) && qb_parse_identity(text.c_str(), &id));
    id.btime_sec -= 1;
    ASSERT_EQ(writeIdentity(idTable, file("a").c_str(), qb_identity_text(id)), 1);
  };
  const std::function<void()> none = [] {}, make = [this] { ASSERT_TRUE(write_whole_file(file("a"), "")); };
  const std::tuple<const char*, std::function<void()>, std::function<void()>, bool> rows[] = {
      {"moved", none, none, true},  // (what, after "a" moved to "b" unseen, while listed, follows)
      {"a file at the old path again meanwhile", none, make, false},
      {"a hard link beside it", [&] { ASSERT_EQ(::link(file("b").c_str(), file("c").c_str()), 0); }, none, false},
      {"another birth time", rebirth, none, false},
  };
  ASSERT_EQ(openIdentityTable(idTable, true, false, kPathDeclaration), 1);
  for (const auto& [what, before, whileListed, follows] : rows) {
    SCOPED_TRACE(what);
    clear(), fs::remove_all(files_), fs::create_directories(files_);
    make(), note(notesTable, file("a"), "a's");
    EXPECT_EQ(reconcile(none), 0u);  // records a's identity
    ASSERT_EQ(::rename(file("a").c_str(), file("b").c_str()), 0);
    before();
    EXPECT_EQ(reconcile(whileListed), follows ? 1u : 0u);
    EXPECT_EQ(contents(notesTable)[file(follows ? "b" : "a")], "a's");
  }
}

// The commit's one flush fails once, then always; then each write of the walk fails once. A commit failing once is
// tried again; failing always, it is said and marks the index unsure (fault: the index was left half written). A
// refused write is traced and logged with the engine's error (fault: it went unsaid); the lock goes back; files verify.
TEST_F(TrackingTest, FailingCommitIsTriedAgainAndTheLockGivenBack) {
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    const std::string old = "Old" + std::to_string(n), now = "New" + std::to_string(n);
    tree(old);
    FaultIo faults;
    n > 2 ? faults.arm(IoKind::Write, n - 2) : faults.arm(IoKind::Flush, 1, n == 2);
    walkFolder(file(old).c_str(), file(now).c_str());
    const int fired = faults.plan().failures;
    faults.disarm();
    int unmoved = 0;
    std::string said;
    for (const std::string& error : log_.texts(LogKind::kError)) said += error + "\n", ++unmoved;
    EXPECT_EQ(traces(), said + (n == 2 ? "WALK COMMIT FAILED: " + file(now) + "\n" : ""));
    EXPECT_FALSE(tableHeld());
    EXPECT_EQ(notesIndexUnsure(), n == 2);
    EXPECT_TRUE(n > 2 || fired >= 1) << "the walk made no flush";
    setNotesIndexUnsure(false);
    char base[kPathBuffer];  // the files verify, and hold each note under one of its paths
    ASSERT_EQ(notesTable.close() + systemFilePath(base, "qb"), 2);
    Table* t = tb_open(base, 0, 1);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(tb_verify(t, nullptr, nullptr, 100), 0);
    ASSERT_EQ(tb_close(t) + notesTable.open(base, 1) + notesTable.setIndex(kPathIndex), 3);
    EXPECT_GE(reKeyed(old, now), fired == 0 ? 6 : 5);  // a failing write fails one re-key at most
    EXPECT_EQ(reKeyed(old, now), 6 - unmoved);
    log_.clear();
    if (n > 2 && fired == 0) break;
    ASSERT_LT(n, 300) << "the walk never ran out of writes";
  }
}

// Each record lock the Monitor asks for, as (the table held, tries); the other process waits for the first.
std::vector<std::pair<bool, int>> g_asked;
std::atomic<bool> g_began{false};
int (*g_lock)(int, int32_t, int32_t, int, int, int) = nullptr;

// A process locked the records and waits for the write lock (as `qbnote set` does): under its hold the walk tries a
// record lock once, then commits and lets the table go (fault: both waited until one gave up). Queued events share
// one hold: the first commits alone, the next three together once the queue is empty.
TEST_F(TrackingTest, AProcessHoldingRecordsIsLetThrough) {
  const TbLockSettings tb = std::exchange(tb_lock_settings, {20000, 1, 20000});  // waits end on a condition
  const IxLockSettings ix = std::exchange(ix_lock_settings, {20000, 1, 20000});
  tree("Old");
  ASSERT_TRUE(lock(g_records, 4, INT32_MAX - 4));
  g_lock = std::exchange(g_file_io.lock, [](int h, int32_t off, int32_t len, int n, int delay, int limit) {
    struct stat a {}, b {};
    if (::fstat(h, &a) == 0 && ::fstat(g_records, &b) == 0 && a.st_ino == b.st_ino) g_asked.emplace_back(tableHeld(), n), g_began = true;
    return g_lock(h, off, len, n, delay, limit);
  });
  bool through = false;
  std::thread other([&through] {  // from the first record lock on, waits for the write lock, then ends its change
    through = wait_until([] { return g_began.load(); }) && wait_until([] { return lock(g_index, kLocks, kLockBytes); }) &&
              lock(g_records, 4, INT32_MAX - 4, F_UNLCK) && lock(g_index, kLocks, kLockBytes, F_UNLCK);
  });
  walkFolder(file("Old").c_str(), file("New").c_str());
  other.join();
  g_file_io.lock = g_lock;
  EXPECT_TRUE(through);
  EXPECT_EQ(g_asked.empty() ? std::make_pair(false, 0) : g_asked[0], std::make_pair(true, 1));  // one try
  EXPECT_EQ(traces(), "");
  EXPECT_EQ(reKeyed("Old", "New"), 6);
  for (int i = 0; i < 4; ++i) {
    int32_t before = 0, after = 0;
    (void)::pread(g_index, &before, 4, 28);  // the change count, as other processes read it
    behind = static_cast<size_t>(3 - i);
    run("R @New" + inside(i) + " @g" + std::to_string(i));
    (void)::pread(g_index, &after, 4, 28);
    EXPECT_EQ(lock(g_index, kLocks + 1, 1, F_WRLCK, true) && lock(g_index, kNotesPageSize - 1, 1, F_WRLCK, true), i < 3);
    EXPECT_EQ(after != before, i == 0 || i == 3) << i;
  }
  tb_lock_settings = tb, ix_lock_settings = ix;
  EXPECT_FALSE(tableHeld());
  EXPECT_EQ(contents(notesTable), (Notes{{file("g0"), "note 0"}, {file("g1"), "note 1"}, {file("g2"), "note 2"},
                                         {file("g3"), "note 3"}, {file("New" + inside(4)), "note 4"}, {file("New" + inside(5)), "note 5"}}));
}

}  // namespace
