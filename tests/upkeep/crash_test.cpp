// Crash test: a writer child changes the notes table as the Monitor does
// (every other life then stops, with backup and compaction) or as qbnote does
// alone, acknowledging each change over a pipe once its call gave 1. It ends
// in place of a random write (as a kill just before it) or at a power cut at a
// random changing call (support/fault_io.h). After the Monitor's start every
// acknowledged change is there, the one under way whole or not at all (a
// rename may leave its note under both paths). A sweep ends single changes at
// each write. QB_CRASH_KILLS (30), QB_POWER_CUTS (300), QB_POWER_GAPS=1 and
// QB_CRASH_SEED tune the loops.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>

#include "support/fault_io.h"
#include "support/fork_helper.h"
#include "upkeep_fixture.h"

namespace {

namespace fs = std::filesystem;

int envNumber(const char* name, int fallback) {
  const long value = std::getenv(name) != nullptr ? std::strtol(std::getenv(name), nullptr, 10) : 0;
  return value > 0 && value < INT32_MAX ? static_cast<int>(value) : fallback;
}
uint32_t hashOf(const std::string& s, uint32_t h = 2166136261u) {
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return (h ^ 0xFFu) * 16777619u;  // ends the string: "ab"+"c" differs from "a"+"bc"
}

struct Op {
  enum Kind : uint8_t { kAdd, kLonger, kShorter, kRename, kDelete } kind = kAdd;
  std::string path, target, remark;  // target: a rename's new path; remark: the new note
  uint32_t fingerprint() const { return hashOf(remark, hashOf(target, hashOf(path, kind))); }
};
const char* const kKindNames[] = {"add", "longer", "shorter", "rename", "delete"};
Op makeOp(Op::Kind kind, const std::string& path, const std::string& text = "") {
  Op op{kind, path, "", ""};
  (kind == Op::kRename ? op.target : op.remark) = text;
  return op;
}
void applyOp(Notes* notes, const Op& op) {
  if (op.kind == Op::kRename) (*notes)[op.target] = notes->at(op.path);
  if (op.kind == Op::kRename || op.kind == Op::kDelete) notes->erase(op.path);
  else (*notes)[op.path] = op.remark;
}

// The changes of a life, drawn from a seeded generator and the notes as they
// stand: writer and parent, from the same notes, draw the same. New paths
// come from a pool of the life, so that deleted and renamed ones come back.
class Workload {
 public:
  Workload(uint32_t seed, int life) : rng_(seed * 2654435761u + static_cast<uint32_t>(life)), life_(life) {}
  explicit Workload(const std::vector<Op>& script) : script_(script), life_(0) {}
  Op next(const Notes& notes) {
    if (!script_.empty()) return script_.at(static_cast<size_t>(count_++));
    static const char* const kDirs[] = {"Projects", "docs", "Reports", "src", "Photos", "2024", "Archive", "tmp"};
    const uint32_t roll = rng_() % 100, k = rng_() % 300;
    const std::string fresh = "/home/Ada/" + std::string(kDirs[k % 8]) + "/N" + std::to_string(life_) + "_" +
                              std::to_string(k) + std::string(k * 7 % 60, 'x') + (k % 2 == 0 ? ".TXT" : ".md");
    const bool free = notes.count(fresh) == 0;
    ++count_;
    if (free && (notes.size() < 60 || (roll < 25 && notes.size() < 260))) return makeOp(Op::kAdd, fresh, text(1 + rng_() % 700));
    const auto it = std::next(notes.begin(), static_cast<long>(rng_() % notes.size()));
    const size_t length = it->second.size();
    if (notes.size() > 260 || (roll < 45 && notes.size() >= 60)) return makeOp(Op::kDelete, it->first);
    if (roll < 60 && free) return makeOp(Op::kRename, it->first, fresh);
    if (roll < 80 || length < 2) return makeOp(Op::kLonger, it->first, text(length + 1 + rng_() % 400));
    return makeOp(Op::kShorter, it->first, text(1 + rng_() % (length - 1)));
  }

 private:
  std::string text(size_t length) {
    std::string t;
    while (t.size() < length) t += "life " + std::to_string(life_) + " change " + std::to_string(count_) + "; ";
    return t.substr(0, length);
  }
  std::vector<Op> script_;  // a fixed sequence instead
  std::mt19937 rng_;
  int life_, count_ = 0;
};

// From the writer: a change's number and fingerprint, or a mark; eight bytes
// a write, so that the pipe carries each whole.
struct Report { uint32_t op, value; };
constexpr uint32_t kReady = 0, kDone = ~0u, kFailed = ~0u - 1, kStopping = ~0u - 2, kMarks = kStopping;
bool sendReport(int fd, uint32_t op, uint32_t value) {
  const Report r{op, value};
  return ::write(fd, &r, sizeof r) == static_cast<ssize_t>(sizeof r);
}
bool readNotes(TableHandle& t, Notes* notes) {
  int rc = t.firstRecord();
  for (notes->clear(); rc == 1 && t.readRecord(0) == 1; rc = t.nextRecord()) notes->emplace(t.getField(0), t.getField(1));
  return rc == -3;
}

// `op` on notesTable as the event handler makes it: adds without a record
// lock, updates and deletes under one, MODIFIED set after a deletion.
// `acknowledge` runs once the changing call gave 1.
int perform(const Op& op, const std::function<void()>& acknowledge) {
  TableHandle& t = notesTable;
  int32_t lock = 0;
  bool ok = t.setField(0, op.path.c_str()) == 1;
  if (op.kind == Op::kAdd) {
    ok = ok && t.setField(1, op.remark.c_str()) == 1 && t.addRecord() == 1;
  } else {
    ok = ok && t.findKey() == 2;
    if (op.kind == Op::kRename) ok = ok && t.readRecord(0) == 1 && t.setField(0, op.target.c_str()) == 1;
    if (op.kind != Op::kRename && op.kind != Op::kDelete) ok = ok && t.setField(1, op.remark.c_str()) == 1;
    ok = ok && t.lockRecord(&lock) == 1 && (op.kind == Op::kDelete ? t.deleteRecord() : t.updateRecord()) == 1;
  }
  if (ok) acknowledge();
  ok = ok && (op.kind == Op::kAdd || t.unlockRecord(lock) == 1);
  ok = ok && (op.kind != Op::kDelete || profile_write(kProfileSection, kModifiedKey, "1") == 0);
  if (!ok) std::fprintf(stderr, "crash writer: %s of %s: error %d\n", kKindNames[op.kind], op.path.c_str(), t.lastError());
  return ok ? 1 : -1;
}

// A writer ends in place of its N-th write to a table file, as a kill just
// before it would; with g_tear inside a write across a 4096-byte page
// boundary instead, after the bytes before the boundary.
constexpr int kCrashed = 77;
int g_crash_at = 0, g_writes = 0, g_stop_at = 0;  // g_stop_at: g_crash_at counted from the stop
bool g_tear = false;
int crashingWrite(int h, int32_t offset, int32_t length, const void* buffer) {
  if (++g_writes != g_crash_at) return io_default_table().write_at(h, offset, length, buffer);
  const int32_t cut = (offset / 4096 + 1) * 4096 - offset;
  if (g_tear && cut < length) (void)io_default_table().write_at(h, offset, cut, buffer);
  ::_exit(kCrashed);
}

// How a life ends: in place of write `at` (`tear`: inside it), or with
// `power` by a power cut at changing call `at`, the disk keeping what `fate`
// draws; 0: the writer runs to its end.
struct End { bool power; long at; bool tear; std::mt19937* fate; };

struct Tally { long acknowledged = 0, half = 0, stopping = 0, rebuilt = 0, restored = 0, writes[3] = {0, 0, 0}; };

// The notes found against the states: [0] after every acknowledged change,
// each next after one more of `ops`, the changes under way (one, or the rest
// of a group, which reach the disk together and may land in part). Appends
// what is wrong.
void judge(const Notes& found, const std::vector<Notes>& states, const std::vector<Op>& ops, Tally* tally,
           std::string* problems) {
  if (found == states.front() || found == states.back()) return;
  Notes all = found;  // path by path, each must stand as in one of the states
  for (const Notes& state : states) all.insert(state.begin(), state.end());
  const size_t before = problems->size();
  for (const auto& [path, unused] : all) {
    const auto f = found.find(path);
    if (std::none_of(states.begin(), states.end(), [&, p = path](const Notes& state) {
          return state.count(p) == (f != found.end() ? 1u : 0u) && (f == found.end() || f->second == state.at(p));
        }))
      *problems += "  " + path + (f == found.end() ? ": missing\n" : ": wrong note\n");
  }
  // Landed in part: no note is under no path unless a change under way
  // deleted or replaced it.
  std::vector<std::string> notes;
  for (size_t i = 0; i < ops.size(); ++i)
    if (ops[i].kind == Op::kDelete || ops[i].kind == Op::kLonger || ops[i].kind == Op::kShorter)
      notes.push_back(states[i].at(ops[i].path));
  for (const auto& entry : found) notes.push_back(entry.second);
  for (const auto& [path, remark] : problems->size() == before ? states.front() : Notes{})
    if (std::find(notes.begin(), notes.end(), remark) == notes.end()) *problems += "  lost the note of " + path + "\n";
  tally->half += problems->size() == before;
}

class CrashTest : public UpkeepTest {
 protected:
  // The parent runs no engine while writers are forked: each starts its own.
  void SetUp() override {
    UpkeepTest::SetUp();
    (void)tb_shutdown();
  }

  // A first run that added the notes and stopped cleanly with a backup.
  void freshState(Notes* model) {
    fs::remove_all(state_);
    *model = makeNotes(150, "Start");
    ASSERT_EQ(TableHandle::startEngine(16, kNotesPageSize), 1);
    ASSERT_EQ(openDatabase(), 1);
    for (const auto& [path, remark] : *model) addNote(notesTable, path, remark);
    setModified();
    closeDatabase();
    (void)tempTable.close(), (void)tb_shutdown();
  }

  // A writer's life, ended from outside. Changes in groups go under one hold
  // of the table's write lock, as the Monitor handles queued events, and are
  // acknowledged once the unlock committed them. `alone`: qbnote, no Monitor.
  static int writerLife(Workload work, int changes, bool stop, int group, bool alone, int in, int out) {
    Notes notes;
    const int opened = !alone ? openDatabase()
                       : notesTable.open(sys("qb").c_str(), 1) != 1 ? -1 : notesTable.setIndex(kPathIndex);
    if (opened != 1 || !readNotes(notesTable, &notes) || !sendReport(out, kReady, 0)) return 2;
    std::vector<Report> held;
    for (int k = 1; k <= changes; ++k) {
      const Op op = work.next(notes);
      if (group > 1 && k % group == 1 && notesTable.lockTable(2) != 1) return 2;
      if (perform(op, [&] { held.push_back({static_cast<uint32_t>(k), op.fingerprint()}); }) != 1)
        return sendReport(out, kFailed, static_cast<uint32_t>(k)), 3;
      applyOp(&notes, op);
      if (group > 1 && k % group != 0 && k != changes) continue;
      if (group > 1 && notesTable.unlockTable(2) != 1) return 2;
      for (const Report& r : held)
        if (!sendReport(out, r.op, r.value)) return 2;
      held.clear();
    }
    if (stop && (!sendReport(out, kStopping, 0) || profile_write(kProfileSection, kModifiedKey, "1") != 0)) return 2;
    const int base = stop ? g_writes : 0;
    if (stop) g_crash_at = g_stop_at > 0 ? base + g_stop_at : 0, closeDatabase();
    char wake;  // kDone carries the writes made (of the stop), to draw the next life's end
    return sendReport(out, kDone, static_cast<uint32_t>(g_writes - base)) && ::read(in, &wake, 1) >= 0 ? 0 : 2;
  }

  // Runs a writer; the reports it sent until it ended, or killed it once it
  // was done.
  static std::vector<Report> runWriter(const std::function<int(int, int)>& life, int* exitCode) {
    Child c = fork_child(life);
    std::vector<Report> got;
    Report buffer[512];  // the pipe holds whole reports only
    for (ssize_t n; (n = ::read(c.from_child, buffer, sizeof buffer)) != 0 && (n > 0 || errno == EINTR);) {
      got.insert(got.end(), buffer, buffer + std::max<ssize_t>(n, 0) / static_cast<ssize_t>(sizeof(Report)));
      if (!got.empty() && got.back().op == kDone) (void)::kill(c.pid, SIGKILL);
    }
    *exitCode = wait_child(c);
    return got;
  }

  // The Monitor's start in its event thread's order: "status" 1 rebuilds the
  // index, the backup coming back when that fails; an open that cannot use
  // the index rebuilds it, the backup once more when the open fails. Then the
  // table is verified, read by the path index into *found, and stopped.
  bool recover(Notes* found, Tally* tally, std::string* problems) {
    EXPECT_EQ(TableHandle::startEngine(16, kNotesPageSize), 1);
    const int was = status();
    bool rebuilt = false, restored = false, gave_up = false;
    if (was == 1 && !(rebuilt = rebuildNotesTable() == 1)) gave_up = !(restored = restoreFromBackup() == 1);
    int r = gave_up ? -1 : openDatabase();
    if (r == kNotesIndexUnusable) rebuilt = rebuildNotesTable() == 1 || rebuilt, r = openDatabase();
    if (!gave_up && r != 1 && restoreFromBackup() == 1) restored = true, r = openDatabase();
    (void)notesTable.close(), (void)tempTable.close();
    const Inspection in = inspect(sys("qb"));
    if (r == 1 && in.findings != 0) *problems += "  unsound after the start: " + in.report + "\n";
    if (r == 1) r = openDatabase() == 1 && readNotes(notesTable, found) ? 1 : -5;
    if (r != 1) *problems += "  no table after the start: status " + std::to_string(was) + ", open " + std::to_string(r) + "\n";
    if (r == 1) closeDatabase();
    if (r == 1 && status() != 0) *problems += "  the stop did not leave \"status\" 0\n";
    (void)tempTable.close(), (void)tb_shutdown();
    tally->rebuilt += rebuilt, tally->restored += restored;
    return r == 1;
  }

  // One life: a writer works through `work` and ends as `end` says; the
  // Monitor's start follows, and what it found is judged against the
  // acknowledged changes. Problems found; *model becomes what was found
  // (empty when nothing could be read), *calls the writes or changing calls
  // of the life when it ran to its end.
  std::string live(const Workload& work, int count, bool stop, int group, bool alone, const End& end, Notes* model,
                   long* calls, Tally* tally) {
    int code = 0;
    const std::vector<Report> reports = runWriter([&](int in, int out) {
      // Installed for the rest of the child, which ends without unwinding.
      if (TableHandle::startEngine(16, kNotesPageSize) == 1 && end.power) new PowerCutIo(file("writes.log"), end.at);
      if (!end.power) (stop ? g_stop_at : g_crash_at) = static_cast<int>(end.at), g_tear = end.tear;
      if (!end.power) g_file_io.write_at = crashingWrite;
      return writerLife(work, count, stop, group, alone, in, out);
    }, &code);
    std::string problems = code == -1 || code == (end.power ? kPowerCutExit : kCrashed) ? "" : "  the writer ended with " + std::to_string(code) + "\n";
    bool ready = false, done = false, stopping = false;
    Workload replay = work;
    std::vector<Notes> states = {*model};  // then the changes under way: the next, or the rest of its group
    std::vector<Op> ops;
    uint32_t last = 0;
    for (const Report& r : reports) {
      ready |= r.op == kReady, done |= r.op == kDone, stopping |= r.op == kStopping;
      if (r.op == kDone && !end.power) *calls = r.value;
      if (r.op == kFailed) problems += "  the writer's change " + std::to_string(r.value) + " failed\n";
      if (r.op == kReady || r.op >= kMarks) continue;
      const Op op = replay.next(states[0]);
      if (r.op != ++last || r.value != op.fingerprint()) problems += "  an acknowledgement is not the change drawn\n";
      applyOp(&states[0], op), ++tally->acknowledged;
    }
    tally->stopping += stopping && !done;
    for (auto k = last + 1; ready && !done && k <= static_cast<uint32_t>(count) && (k == last + 1 || (k - 1) % group != 0); ++k) {
      ops.push_back(replay.next(states.back()));
      applyOp(&states.emplace_back(states.back()), ops.back());
    }
    if (end.power) {
      const PowerCut cut = cutPower(file("writes.log"), state_, *end.fate, envNumber("QB_POWER_GAPS", 0) == 1);
      tally->writes[0] += cut.lost, tally->writes[1] += cut.kept, tally->writes[2] += cut.torn;
      problems += cut.error;
      *calls = done ? cut.calls : *calls;
    }
    const long half = tally->half;
    model->clear();
    if (recover(model, tally, &problems)) judge(*model, states, ops, tally, &problems);
    // Only a rename can be left half made, with its note under both paths.
    if (group == 1 && tally->half != half && ops.front().kind != Op::kRename)
      problems += std::string("  a ") + kKindNames[ops.front().kind] + " was left half made\n";
    return problems;
  }

  void runLives(int lives, int changes, int changes_before_stop, bool power) {
    const auto seed = static_cast<uint32_t>(envNumber("QB_CRASH_SEED", 20240611));
    Notes model;
    ASSERT_NO_FATAL_FAILURE(freshState(&model));
    std::mt19937 rng(seed ^ 0x5EEDu);
    // The writes of a whole life or its stop (kills), the changing calls of a
    // whole life (cuts), as the last one of its kind to run to its end counted
    // them: ends fall evenly over a tenth more. The first of each kind runs on.
    long calls[2] = {0, 0};
    Tally tally;
    int reported = 0;
    for (int life = 0; life < lives; ++life) {
      const bool stop = life % 2 == 1;
      const long at = calls[stop] == 0 ? 0 : 1 + static_cast<long>(rng() % (calls[stop] * 11 / 10 + 1));
      // Every fourth cut life changes in groups of eight under one hold; every eighth life is qbnote alone.
      // Fault: a qbnote killed inside a change left an index naming changed records, opened as it was.
      const std::string problems = live(Workload(seed, life), stop ? changes_before_stop : changes, stop,
                                        power && life % 4 == 2 ? 8 : 1, life % 8 == 4, {power, at, false, &rng}, &model,
                                        &calls[stop], &tally);
      if (!problems.empty() && ++reported <= 5)
        ADD_FAILURE() << "life " << life << (power ? " cut at call " : " ended at write ") << at << ":\n" << problems;
      if (model.empty()) {
        ASSERT_NO_FATAL_FAILURE(freshState(&model));
      }
    }
    std::printf("%s: seed %u, %d lives (%ld inside the stop), %ld rebuilt, %ld restored, %ld changes acknowledged, %ld "
                "half made; unflushed writes %ld lost, %ld kept, %ld torn\n", power ? "power cuts" : "kills", seed,
                lives, tally.stopping, tally.rebuilt, tally.restored, tally.acknowledged, tally.half, tally.writes[0],
                tally.writes[1], tally.writes[2]);
    EXPECT_EQ(reported, 0);
  }
};

TEST_F(CrashTest, KilledWriterLosesNoAcknowledgedChange) { runLives(envNumber("QB_CRASH_KILLS", 30), 400, 40, false); }

// Fault: a power cut kept a later write that made an earlier, lost one part of the block chain.
TEST_F(CrashTest, PowerCutLosesNoAcknowledgedChange) { runLives(envNumber("QB_POWER_CUTS", 300), 100, 20, true); }

// One change after its preparation, over every road of the record layer,
// ended at each write in turn (before it, then inside it); `held`: both under
// one hold of the table write lock, as the Monitor handles a group, ended by
// a power cut at each changing call (six fates each).
struct Scenario { const char* name; std::vector<Op> prepare; Op change; bool held = false; };

TEST_F(CrashTest, CrashAtEachWriteOfAChangeLosesNothing) {
  const auto at = [](int i) { return "/home/Ada/Sweep/note-" + std::to_string(i) + ".txt"; };
  const std::string medium(350, 'M'), big = "/home/Ada/Sweep/big.txt";
  const Op del3 = makeOp(Op::kDelete, at(3));
  const Scenario scenarios[] = {
      {"add at the end of the data file", {}, makeOp(Op::kAdd, "/home/Ada/Sweep/new.txt", medium)},
      {"add into a free block", {del3}, makeOp(Op::kAdd, "/home/Ada/Sweep/n.txt", medium)},
      {"re-add a deleted path", {makeOp(Op::kDelete, at(6))}, makeOp(Op::kAdd, at(6), "t")},
      {"longer note moves to the end", {}, makeOp(Op::kLonger, at(0), std::string(2000, 'B'))},
      {"longer note moves into a free block", {del3}, makeOp(Op::kLonger, at(5), medium)},
      {"shorter note gives its tail back", {}, makeOp(Op::kShorter, at(10), "t")},
      {"shorter note beside a free block", {makeOp(Op::kDelete, at(11))}, makeOp(Op::kShorter, at(10), "t")},
      {"rename to a longer path moves the note", {}, makeOp(Op::kRename, at(5), at(5) + "/a/much/longer/folder/name")},
      {"rename to a shorter path", {}, makeOp(Op::kRename, at(8), "/home/Ada/S/8")},
      {"delete", {}, makeOp(Op::kDelete, at(4))},
      {"delete between free blocks", {del3, makeOp(Op::kDelete, at(5))}, makeOp(Op::kDelete, at(4))},
      // Fault: a power cut kept the reuse of a block released under the same hold and lost the release.
      {"a block given up and taken again under one hold", {del3}, makeOp(Op::kAdd, "/home/Ada/Sweep/n.txt", medium), true},
      // Fault: a power cut kept a rename over a deleted note's path and lost the deletion.
      {"renamed over a path whose note went, under one hold", {makeOp(Op::kDelete, at(2))},
       makeOp(Op::kRename, at(8), at(2)), true},
      // Fault: a kill inside a write across a page boundary left its first page alone written.
      {"note rewritten across a page boundary", {makeOp(Op::kAdd, big, std::string(5000, 'B'))},
       makeOp(Op::kShorter, big, std::string(4999, 'b'))},
  };
  static const size_t kLengths[] = {10, 400, 30, 900, 50, 20, 700, 15, 300, 5, 1200, 60};  // room for every move
  Notes start;
  for (int i = 0; i < 12; ++i) start.emplace(at(i), std::string(kLengths[i], static_cast<char>('a' + i)));
  ASSERT_EQ(TableHandle::startEngine(16, kNotesPageSize), 1);
  ASSERT_EQ(openDatabase(), 1);
  for (const auto& [path, remark] : start) addNote(notesTable, path, remark);
  closeDatabase();
  (void)tempTable.close(), (void)tb_shutdown();
  fs::copy(state_, file("snapshot"), fs::copy_options::recursive);
  Tally tally;
  int points = 0;
  for (const Scenario& s : scenarios) {
    std::vector<Op> script = s.prepare;
    script.push_back(s.change);
    const int count = static_cast<int>(script.size()), draws = s.held ? 6 : 2;
    for (long k = draws, calls = 0; calls == 0 && !HasFailure(); ++k, ++points) {
      fs::remove_all(state_);
      fs::copy(file("snapshot"), state_, fs::copy_options::recursive);
      std::mt19937 fate(static_cast<uint32_t>(k));
      Notes found = start;
      EXPECT_EQ(live(Workload(script), count, false, s.held ? count : 1, false, {s.held, k / draws, k % 2 == 1, &fate},
                     &found, &calls, &tally), "")
          << s.name << (s.held ? ", power cut at call " : k % 2 ? ", inside write " : ", before write ") << k / draws;
    }
  }
  std::printf("sweep: %d points, %ld renames left under both paths\n", points, tally.half);
}

}  // namespace
