// Fault loops: every operation that changes a table runs again and again with
// the N-th file call of one kind failing (only that call, or that call and
// every later one), for every N until a run meets no failure at all. The
// number of calls is taken from a clean run first.
//
// After each run, with the fault taken away:
//   (1) a run whose operation and close both gave 1 left a table that passes
//       tb_verify as it lies on disk, holding exactly the records and the
//       indexes the operation was to leave;
//   (2) any other run left a table that passes tb_verify as it lies (and
//       keeps its indexes), or one that the start-up recovery
//       (rebuildNotesTable) turns into one that does;
//   (3) every record that was there before and is not the operation's target
//       is still there with its contents, and no record came from nowhere;
//   (4) a failed operation that left its table sound as it lies left its
//       target whole: as before, or as a success would have left it;
//   (5) the engine holds no table, index handle or paged file any more.
// A copy's source is opened read-only: its files must not change by a byte.
// Some loops go on adding records on the same table once the fault is gone,
// as the Monitor does after a change failed: every add that gave 1 must
// outlive the close and any recovery.
//
// Every table has the notes layout (recovery defines the path index of that
// layout) and a few dozen records with free blocks between them, so that
// adds reuse space and releases merge. Coverage per workload, mode and kind
// is printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "cache/page_cache.h"
#include "support/fault_io.h"
#include "upkeep_fixture.h"

namespace {

constexpr int kRecords = 40;
// Deleted while the table is built: free blocks, 17 and 18 merged into one.
const int kDeleted[] = {5, 10, 17, 18, 26, 33};
const char kByRemark[] = "ByRemark";

std::string pathOf(int i) {
  char b[64];
  std::snprintf(b, sizeof b, "/home/ada/docs/note_%03d.txt", i);
  return b;
}

// A remark of `length` bytes that differs from record to record.
std::string remarkOf(int i, size_t length) {
  std::string r = "r" + std::to_string(i) + ":";
  while (r.size() < length) r += static_cast<char>('a' + (r.size() * 7 + static_cast<size_t>(i)) % 26);
  r.resize(length);
  return r;
}
std::string remarkOf(int i) { return remarkOf(i, 20 + static_cast<size_t>(i * 37 % 100)); }

using Names = std::set<std::string>;

// What one look at a closed table found.
struct Inspection {
  bool opened = false;
  int findings = -1;  // tb_verify's count; -1 when it could not run
  std::string first_finding;
  bool walked = false;  // the record-order walk reached the end
  Notes records;
  int duplicates = 0;              // records whose path was met before in the walk
  std::vector<std::string> order;  // paths in record order
  Names indexes;
};

// One way of failing: the kind of call, and for reads whether the failing
// call hands back half of what was asked first.
struct Fault {
  IoKind kind;
  bool short_read;
  const char* name;
};
const Fault kFaults[] = {
    {IoKind::Read, false, "read"},     {IoKind::Read, true, "short"},   {IoKind::Write, false, "write"},
    {IoKind::Flush, false, "flush"},   {IoKind::Lock, false, "lock"},   {IoKind::Unlock, false, "unlock"},
    {IoKind::Create, false, "create"}, {IoKind::Close, false, "close"},
};

// Counts of one loop.
struct Tally {
  int calls = 0;      // matching calls in the clean run
  int tried = 0;      // runs with a failure injected
  int reported = 0;   // runs whose operation or close did not give 1
  int as_is = 0;      // tables sound as they lay
  int recovered = 0;  // tables made sound by the recovery
  int absent = 0;     // copies that left no target table behind
  int old_state = 0;  // failed runs, sound as is, target as before
  int new_state = 0;  // failed runs, sound as is, target as after success
  int mixed = 0;      // failed runs, sound as is, target neither
  int degraded = 0;   // copies that succeeded in record order without indexes
};

// One operation under test. `open` runs without faults and gives the table
// the operation works on (or null when it opens its own); `act` runs with
// the fault armed; the table is then closed, still under the fault.
struct Workload {
  std::string name;
  std::function<Table*()> open;
  std::function<int(Table*)> act;
  Notes before, after;
  Names before_indexes, after_indexes;
  bool copy = false;     // the checked table is a copy's target
  bool ordered = false;  // on success the records lie in path order
  // Records added on the same table once the fault is taken away, before
  // it is closed: a session that goes on after a failure.
  Notes follow_up;
};

class FaultLoop : public UpkeepTest {
 protected:
  // The loops flush to disk thousands of times: their files live in memory
  // (/dev/shm) where there is one, which changes nothing they check.
  void SetUp() override {
    UpkeepTest::SetUp();
    std::string shm = "/dev/shm/qbfault.XXXXXX";
    if (::access("/dev/shm", W_OK) == 0 && ::mkdtemp(shm.data()) != nullptr) {
      shm_ = shm;
      ::setenv("QB_HOME", shm_.c_str(), 1);
    }
    qb_ = sys("qb");
    src_ = sys("src");
    // An injected lock failure is retried like a held lock: a few quick
    // tries keep the loops short.
    saved_tb_locks_ = tb_lock_settings;
    saved_ix_locks_ = ix_lock_settings;
    tb_lock_settings = {2, 1, 100};
    ix_lock_settings = {2, 1, 100};
  }
  void TearDown() override {
    tb_lock_settings = saved_tb_locks_;
    ix_lock_settings = saved_ix_locks_;
    UpkeepTest::TearDown();
    std::error_code ec;
    if (!shm_.empty()) std::filesystem::remove_all(shm_, ec);
  }

  // A notes table at qb_ with its records, `by_remark` adding a second keyed
  // index changed before the path index; kept as the golden files.
  void BuildGolden(bool by_remark) {
    ASSERT_EQ(createNotesTable(qb_.c_str()), 1);
    Table* t = tb_open(qb_.c_str(), 0, 0);
    ASSERT_NE(t, nullptr);
    if (by_remark) {
      const char* specs[] = {"Remark", nullptr};
      ASSERT_EQ(tb_create_index(t, kByRemark, specs), 1);
    }
    for (int i = 0; i < kRecords; ++i) {
      std::string path = pathOf(i), remark = remarkOf(i);
      const void* values[] = {path.c_str(), remark.c_str()};
      ASSERT_EQ(tb_add_record(t, nullptr, values), 1) << tb_error;
      golden_.emplace(path, remark);
    }
    TableIndex* by_path = tb_find_index(t, kPathIndex);
    for (int i : kDeleted) {
      std::string path = pathOf(i);
      const void* key[] = {path.c_str()};
      ASSERT_EQ(tb_find_key(t, by_path, key), 2);
      ASSERT_EQ(tb_delete_record(t, by_path), 1);
      golden_.erase(path);
    }
    ASSERT_EQ(tb_close(t), 1);
    golden_indexes_ = by_remark ? Names{kPhysicalIndex, kPathIndex, kByRemark} : Names{kPhysicalIndex, kPathIndex};
    golden_db_ = read_whole_file(qb_ + ".db");
    golden_idx_ = read_whole_file(qb_ + ".idx");
    ASSERT_FALSE(golden_db_.empty());
    ASSERT_FALSE(golden_idx_.empty());
    Inspection in = Inspect(qb_);
    ASSERT_EQ(in.findings, 0) << in.first_finding;
    ASSERT_EQ(in.records, golden_);
  }

  // Puts the golden files back: at qb_ for an operation on the table, at
  // src_ for a copy (whose target qb_ is removed).
  void Restore(bool copy) {
    const std::string& at = copy ? src_ : qb_;
    ASSERT_TRUE(write_whole_file(at + ".db", golden_db_));
    ASSERT_TRUE(write_whole_file(at + ".idx", golden_idx_));
    if (copy) {
      (void)std::remove((qb_ + ".db").c_str());
      (void)std::remove((qb_ + ".idx").c_str());
    }
  }

  static Inspection Inspect(const std::string& base) {
    Inspection in;
    Table* t = tb_open(base.c_str(), 0, 1);
    if (t == nullptr) return in;
    in.opened = true;
    for (TableIndex* ix = t->indexes; ix != nullptr; ix = ix->next) in.indexes.insert(ix->name);
    in.findings = tb_verify(
        t,
        [](void* ctx, const char* finding) {
          auto* first = static_cast<std::string*>(ctx);
          if (first->empty()) *first = finding;
        },
        &in.first_finding, 8);
    TableIndex* physical = tb_physical_index(t);
    void* buffers[2] = {std::malloc(8), std::malloc(8)};
    int32_t sizes[2] = {8, 8};
    int rc = tb_first_record(t, physical);
    for (; rc == 1; rc = tb_next_record(t, physical)) {
      if (tb_read_record(t, physical, buffers, sizes) != 1) break;
      std::string path = static_cast<char*>(buffers[0]);
      in.order.push_back(path);
      if (!in.records.emplace(path, static_cast<char*>(buffers[1])).second) ++in.duplicates;
    }
    in.walked = rc == -3;
    std::free(buffers[0]);
    std::free(buffers[1]);
    (void)tb_close(t);
    return in;
  }

  static bool Includes(const Names& have, const Names& need) {
    for (const auto& n : need)
      if (have.count(n) == 0) return false;
    return true;
  }
  static bool Sound(const Inspection& in, const Names& need) {
    return in.opened && in.findings == 0 && in.walked && in.duplicates == 0 && Includes(in.indexes, need);
  }

  // The records of `in` on the keys where `a` and `b` differ equal `a`'s.
  static bool TargetAs(const Inspection& in, const Notes& a, const Notes& b) {
    std::set<std::string> keys;
    for (const auto& [k, v] : a)
      if (b.count(k) == 0 || b.at(k) != v) keys.insert(k);
    for (const auto& [k, v] : b)
      if (a.count(k) == 0 || a.at(k) != v) keys.insert(k);
    for (const auto& k : keys) {
      bool in_a = a.count(k) != 0, in_rec = in.records.count(k) != 0;
      if (in_a != in_rec || (in_a && a.at(k) != in.records.at(k))) return false;
    }
    return true;
  }

  // Checks (1) to (5) after one run and counts what it saw.
  void Judge(const Workload& w, int op, int closed, Tally* tally, const std::string& where) {
    SCOPED_TRACE(where);
    const bool success = op == 1 && closed == 1;
    EXPECT_EQ(tb_tables.head, nullptr) << "a table stayed open";
    EXPECT_EQ(ix_handles.head, nullptr) << "an index handle stayed open";
    EXPECT_EQ(pc_files.head, nullptr) << "a paged file stayed open";
    if (w.copy) {
      EXPECT_EQ(read_whole_file(src_ + ".db"), golden_db_) << "the copy's source changed";
      EXPECT_EQ(read_whole_file(src_ + ".idx"), golden_idx_) << "the copy's source changed";
    }

    // What a success leaves: the operation's records and the follow-up's.
    Notes after = w.after;
    after.insert(added_.begin(), added_.end());
    Inspection in = Inspect(qb_);
    const Names& need = success ? w.after_indexes : w.before_indexes;
    const bool sound = Sound(in, need);
    // A copy whose source's index file could not be used while it was opened
    // (a failed read or lock there) runs in record order, defines no keyed
    // index on the target, and succeeds all the same.
    const bool degraded = success && w.copy && in.indexes == Names{kPhysicalIndex};
    if (success) {
      EXPECT_EQ(in.findings, 0) << "success reported, table not sound: " << in.first_finding;
      EXPECT_TRUE(in.walked) << "success reported, records cannot be walked";
      EXPECT_EQ(in.records, after) << "success reported, records not as the operation leaves them";
      if (degraded) {
        ++tally->degraded;
      } else {
        EXPECT_EQ(in.indexes, w.after_indexes) << "success reported, indexes not as the operation leaves them";
        if (w.ordered) {
          std::vector<std::string> sorted;
          for (const auto& [k, v] : after) sorted.push_back(k);
          EXPECT_EQ(in.order, sorted) << "not in path order";
        }
      }
    } else {
      ++tally->reported;
    }

    if (sound) {
      ++tally->as_is;
      if (!success) {
        if (TargetAs(in, w.before, w.after) && in.indexes == w.before_indexes) {
          ++tally->old_state;
        } else if (TargetAs(in, w.after, w.before) && in.indexes == w.after_indexes) {
          ++tally->new_state;
        } else {
          ++tally->mixed;
          ADD_FAILURE() << "a failed operation left a sound table with its target half changed";
        }
      }
    } else if (w.copy && !in.opened && !exists(qb_ + ".db")) {
      ++tally->absent;
      return;
    } else {
      int r = rebuildNotesTable();
      EXPECT_EQ(r, 1) << "recovery failed; before it: findings " << in.findings << " " << in.first_finding;
      in = Inspect(qb_);
      EXPECT_TRUE(Sound(in, {kPhysicalIndex, kPathIndex}))
          << "not sound after recovery: findings " << in.findings << " " << in.first_finding;
      ++tally->recovered;
    }

    // (3): nothing lost but the target, nothing from nowhere; a follow-up
    // add that gave 1 on a table that then closed is there too.
    for (const auto& [path, remark] : in.records) {
      bool known = (w.before.count(path) != 0 && w.before.at(path) == remark) ||
                   (after.count(path) != 0 && after.at(path) == remark) ||
                   (w.follow_up.count(path) != 0 && w.follow_up.at(path) == remark);
      EXPECT_TRUE(known) << "record from nowhere: " << path;
    }
    if (closed == 1) {
      for (const auto& [path, remark] : added_) {
        auto it = in.records.find(path);
        EXPECT_TRUE(it != in.records.end() && it->second == remark) << "added after the failure, then lost: " << path;
      }
    }
    if (w.copy) return;  // a failed copy's target may hold any part of the source
    for (const auto& [path, remark] : w.before) {
      if (w.after.count(path) == 0 || w.after.at(path) != remark) continue;  // a target
      auto it = in.records.find(path);
      EXPECT_TRUE(it != in.records.end() && it->second == remark) << "unrelated record lost: " << path;
    }
  }

  // One run: restore, open, arm, act, close, disarm. Returns the failures
  // injected; the results of the operation and the close, and the matching
  // calls seen, through the pointers.
  int RunOnce(const Workload& w, FaultIo& fault, const Fault& kind, int fail_at, bool persistent, int* op, int* closed,
              int* calls) {
    Restore(w.copy);
    Table* t = w.open ? w.open() : nullptr;
    if (w.open && t == nullptr) {
      ADD_FAILURE() << w.name << ": cannot open, error " << tb_error;
      return 0;
    }
    fault.arm(kind.kind, fail_at, persistent);
    fault.plan().short_read = kind.short_read;
    *op = w.act(t);
    added_.clear();
    if (!w.follow_up.empty()) {
      fault.disarm();
      for (const auto& [path, remark] : w.follow_up) {
        const void* values[] = {path.c_str(), remark.c_str()};
        if (tb_add_record(t, nullptr, values) == 1) added_.emplace(path, remark);
      }
    }
    *closed = t != nullptr ? tb_close(t) : 1;
    int failures = fault.plan().failures;
    *calls = fault.plan().calls;
    fault.disarm();
    return failures;
  }

  Tally Loop(const Workload& w, const Fault& kind, bool persistent) {
    Tally tally;
    FaultIo fault;
    int op = 0, closed = 0, calls = 0;
    (void)RunOnce(w, fault, kind, INT_MAX, false, &op, &closed, &tally.calls);
    EXPECT_EQ(op, 1) << w.name << ": the clean run failed, error " << tb_error;
    EXPECT_EQ(closed, 1) << w.name;
    Tally unfaulted;  // the runs without a failure are checked, not counted
    Judge(w, op, closed, &unfaulted, w.name + " clean");
    for (int n = 1;; ++n) {
      const std::string where = w.name + " " + kind.name + (persistent ? " from " : " at ") + std::to_string(n);
      int failures = RunOnce(w, fault, kind, n, persistent, &op, &closed, &calls);
      if (failures == 0) {
        EXPECT_EQ(n, tally.calls + 1) << where << ": calls differ from the clean run";
        EXPECT_EQ(op, 1) << where;
        Judge(w, op, closed, &unfaulted, where);
        break;
      }
      ++tally.tried;
      Judge(w, op, closed, &tally, where);
      if (n > tally.calls + 100 || ::testing::Test::HasFatalFailure()) {
        ADD_FAILURE() << where << ": the loop does not end";
        break;
      }
    }
    return tally;
  }

  // Every kind, once and (unless a follow-up takes the fault away anyway)
  // from then on; prints the coverage.
  void RunAll(const Workload& w) {
    std::printf("%-24s %-6s %-4s %5s %5s %5s %5s %5s %5s %5s %5s %5s %5s\n", "workload", "kind", "mode", "calls",
                "tried", "fail", "as-is", "recov", "absnt", "old", "new", "mixed", "degr");
    for (const Fault& kind : kFaults) {
      for (bool persistent : {false, true}) {
        if (persistent && !w.follow_up.empty()) continue;
        Tally t = Loop(w, kind, persistent);
        std::printf("%-24s %-6s %-4s %5d %5d %5d %5d %5d %5d %5d %5d %5d %5d\n", w.name.c_str(), kind.name,
                    persistent ? "on" : "once", t.calls, t.tried, t.reported, t.as_is, t.recovered, t.absent,
                    t.old_state, t.new_state, t.mixed, t.degraded);
        std::fflush(stdout);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }

  // --- workloads ---------------------------------------------------------

  Workload RecordWork(const std::string& name, int shared) {
    Workload w;
    w.name = name + (shared ? " shared" : " excl");
    w.open = [this, shared] { return tb_open(qb_.c_str(), shared, 0); };
    w.before = w.after = golden_;
    w.before_indexes = w.after_indexes = golden_indexes_;
    return w;
  }

  static int FindPath(Table* t, const std::string& path) {
    TableIndex* by_path = tb_find_index(t, kPathIndex);
    if (by_path == nullptr) return -1;
    const void* key[] = {path.c_str()};
    return tb_find_key(t, by_path, key);
  }

  Workload Add(const std::string& name, int shared, const std::string& path, const std::string& remark) {
    Workload w = RecordWork(name, shared);
    w.act = [path, remark](Table* t) {
      const void* values[] = {path.c_str(), remark.c_str()};
      return tb_add_record(t, tb_find_index(t, kPathIndex), values);
    };
    w.after.emplace(path, remark);
    return w;
  }

  Workload Update(const std::string& name, int shared, int i, const std::string& path, const std::string& remark) {
    Workload w = RecordWork(name, shared);
    const std::string old_path = pathOf(i);
    w.act = [old_path, path, remark](Table* t) {
      if (FindPath(t, old_path) != 2) return -9;
      const void* values[] = {path.c_str(), remark.c_str()};
      return tb_update_record(t, tb_find_index(t, kPathIndex), values);
    };
    w.after.erase(old_path);
    w.after.emplace(path, remark);
    return w;
  }

  Workload Delete(int shared, int i) {
    Workload w = RecordWork("delete", shared);
    const std::string path = pathOf(i);
    w.act = [path](Table* t) {
      if (FindPath(t, path) != 2) return -9;
      return tb_delete_record(t, tb_find_index(t, kPathIndex));
    };
    w.after.erase(path);
    return w;
  }

  Workload Copy(int shared, bool by_index) {
    Workload w;
    w.name = std::string(by_index ? "copy by index" : "copy physical") + (shared ? " shared" : " excl");
    w.copy = true;
    w.ordered = by_index;
    w.act = [this, shared, by_index](Table*) {
      return tb_copy(src_.c_str(), qb_.c_str(), by_index ? kPathIndex : nullptr, 0, shared);
    };
    w.before = w.after = golden_;
    w.before_indexes = w.after_indexes = golden_indexes_;
    return w;
  }

  Notes added_;  // the follow-up records whose add gave 1 in the last run
  std::string shm_;
  TbLockSettings saved_tb_locks_;
  IxLockSettings saved_ix_locks_;
  std::string qb_, src_;
  Notes golden_;
  Names golden_indexes_;
  std::string golden_db_, golden_idx_;
};

TEST_F(FaultLoop, AddIntoFreeSpaceAndAtTheEnd) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  for (int shared : {0, 1}) {
    RunAll(Add("add reusing", shared, pathOf(100), remarkOf(100, 30)));
    RunAll(Add("add appending", shared, pathOf(101), remarkOf(101, 300)));
  }
}

TEST_F(FaultLoop, UpdateInPlaceShrinkingAndMoving) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  for (int shared : {0, 1}) {
    // The same lengths with a new path: both keys change, the block stays.
    std::string path = pathOf(20);
    path[path.size() - 1] = 'z';
    RunAll(Update("update in place", shared, 20, path, remarkOf(120, remarkOf(20).size())));
    // Record 9 is followed by the free block of 10: its tail merges.
    RunAll(Update("update shrinking", shared, 9, pathOf(9), "short"));
    RunAll(Update("update moving", shared, 30, pathOf(30), remarkOf(130, 250)));
  }
}

TEST_F(FaultLoop, DeleteNextToAFreeBlock) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  // Record 10 is free: the space of 11 merges with it.
  for (int shared : {0, 1}) RunAll(Delete(shared, 11));
}

// A record that grows is written anew before its old block is given up;
// with every write failing from the one that frees the old block, the data
// file holds the note twice under one path. Recovery must still define the
// unique path index, with the note there once, old or new.
TEST_F(FaultLoop, MoveCutShortAfterTheNewCopyIsRecoveredWithTheNoteOnce) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  const std::string remark = remarkOf(130, 250);
  Workload w = Update("update moving", 0, 30, pathOf(30), remark);
  FaultIo fault;
  int op = 0, closed = 0, calls = 0;
  const Fault writes{IoKind::Write, false, "write"};
  ASSERT_GE(RunOnce(w, fault, writes, 2, true, &op, &closed, &calls), 1);
  EXPECT_EQ(op, -1);
  Inspection cut = Inspect(qb_);
  ASSERT_EQ(cut.duplicates, 1) << "the fault no longer falls between the two copies";

  ASSERT_EQ(rebuildNotesTable(), 1);
  Inspection in = Inspect(qb_);
  EXPECT_TRUE(Sound(in, {kPhysicalIndex, kPathIndex})) << in.first_finding;
  Notes expected = golden_;
  const std::string& got = in.records[pathOf(30)];
  EXPECT_TRUE(got == golden_.at(pathOf(30)) || got == remark);
  expected[pathOf(30)] = got;
  EXPECT_EQ(in.records, expected);
}

// The Monitor keeps its table open after a change failed and goes on
// adding notes: the free space a failed change left must not hand out room
// that a record still covers, or a later note vanishes at the next rebuild.
// Several small records, so that free blocks other than the largest are
// reached too.
TEST_F(FaultLoop, AddsAfterAFailedChangeSurvive) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  Notes more;
  for (int i = 200; i < 206; ++i) more.emplace(pathOf(i), remarkOf(i, 8));
  for (int shared : {0, 1}) {
    std::vector<Workload> works = {Update("then add: shrinking", shared, 9, pathOf(9), "short"),
                                   Update("then add: moving", shared, 30, pathOf(30), remarkOf(130, 250)),
                                   Add("then add: add", shared, pathOf(100), remarkOf(100, 30))};
    Workload del = Delete(shared, 11);
    del.name = std::string("then add: delete") + (shared ? " shared" : " excl");
    works.push_back(del);
    for (Workload& w : works) {
      w.follow_up = more;
      RunAll(w);
    }
  }
}

TEST_F(FaultLoop, CreateIndexOnATableWithRecords) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(false));
  Workload w = RecordWork("create index", 0);
  w.act = [](Table* t) {
    const char* specs[] = {"Remark", nullptr};
    return tb_create_index(t, kByRemark, specs);
  };
  w.after_indexes.insert(kByRemark);
  RunAll(w);
  // A shared table refuses before anything is written.
  Restore(false);
  Table* t = tb_open(qb_.c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  const char* specs[] = {"Remark", nullptr};
  EXPECT_EQ(tb_create_index(t, kByRemark, specs), -1);
  EXPECT_EQ(tb_error, kTbNeedsExclusive);
  EXPECT_EQ(tb_close(t), 1);
  EXPECT_EQ(read_whole_file(qb_ + ".idx"), golden_idx_);
}

TEST_F(FaultLoop, CopyInRecordOrderAndByIndex) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  for (int shared : {0, 1})
    for (bool by_index : {false, true}) RunAll(Copy(shared, by_index));
}

TEST_F(FaultLoop, RebuildThenDefineThePathIndex) {
  ASSERT_NO_FATAL_FAILURE(BuildGolden(true));
  Workload w = RecordWork("rebuild", 0);
  w.act = [](Table* t) {
    int rc = tb_rebuild(t, kNotesPageSize, 1);
    if (rc != 1) return rc;
    const char* specs[] = {kPathDeclaration, nullptr};
    return tb_create_index(t, kPathIndex, specs);
  };
  // A rebuilt table keeps only what its caller defines again.
  w.before_indexes = w.after_indexes = {kPhysicalIndex, kPathIndex};
  RunAll(w);
}

}  // namespace
