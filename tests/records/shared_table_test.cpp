// One table shared by several processes: writers change records of their
// own under record locks and scan under the table read lock; at the end the
// table holds exactly what the engine acknowledged, in every order. Then
// record locks and walks between two processes.
#include <cstring>
#include <map>
#include <sstream>

#include "records_fixture.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"

namespace {

using Records = std::map<std::string, Note>;  // by folded path: the path index's order

int find(Table* t, TableIndex* ix, const std::string& path) {
  const void* key[] = {path.c_str()};
  return tb_find_key(t, ix, key);
}

class SharedTableTest : public RecordsTest {
 protected:
  void SetUp() override {
    RecordsTest::SetUp();
    Table* t = create("shared", {"Path", "Name,C", "Size,L", "Remark"});
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    ASSERT_EQ(create_index(t, "BySize", {"Size,L"}), 1);
    for (const char* p : {"/x1", "/x2", "/x3"}) ASSERT_EQ(tb_add_record(t, nullptr, Note{p, "n", 7, "before"}.values().data()), 1);
    ASSERT_EQ(tb_close(t), 1);
  }
  std::string name_ = base("shared");
};

// The log: "X what" for each failure, then the records the writer holds as
// acknowledged, one a line: "path name size remark".
int writer(int id, const std::string& table, const std::string& log_name, int in, int out) {
  // Quick retries keep standoffs short (a record lock held while waiting for
  // the index lock, a scan waiting for that record); a refusal leaves nothing.
  tb_lock_settings = TbLockSettings{25, 10, 2000};
  ix_lock_settings = IxLockSettings{25, 10, 2000};
  std::ostringstream log;
  uint64_t seed = 0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(id + 1);
  auto below = [&](int n) { return static_cast<int>(((seed = seed * 6364136223846793005ULL + 1442695040888963407ULL) >> 33) % n); };
  auto text = [&](int lo, int hi, const char* a) {
    std::string s(static_cast<size_t>(lo + below(hi - lo + 1)), ' ');
    for (char& c : s) c = a[below(static_cast<int>(std::strlen(a)))];
    return s;
  };
  auto path = [&] { return "/p" + std::to_string(id) + "/" + text(1, 18, "abcXYZ019._"); };
  auto fail = [&](const char* what, int rc) { log << "X " << what << " gave " << rc << " tb_error " << tb_error << " ix_error " << ix_error << "\n"; return 0; };
  auto refused = [&](int rc, const char* what) {  // a lock held elsewhere past the retries, or a failure
    if (rc == -4 || tb_error == kTbLockFailed || (tb_error == kTbIndexLayer && ix_error == kIxLockFailed)) return 1;
    return fail(what, rc);
  };
  Records mine;
  Table* t = tb_open(table.c_str(), 1, 0);
  TableIndex* ix = t != nullptr ? tb_find_index(t, "INDX_Path,U") : nullptr;
  char go = 0;
  if (ix == nullptr || send_byte(out, 'r') != 1 || recv_byte(in, &go) != 1) return 2;  // all open, then go
  auto add = [&](int step) {
    Note r{path(), text(1, 10, "nameNAME"), below(2000) - 1000, text(1, below(10) == 0 ? 700 : 120, "remark")};
    if (mine.count(fold(r.path)) != 0) return 1;
    const int rc = tb_add_record(t, step % 2 == 0 ? nullptr : ix, r.values().data());
    if (rc == 1) mine[fold(r.path)] = r;
    return rc != 1 ? refused(rc, "add") : 2;
  };
  auto change = [&](bool update) {
    const Note old = std::next(mine.begin(), below(static_cast<int>(mine.size())))->second;
    int32_t number = 0;
    int rc = find(t, ix, old.path);
    if (rc != 2) return refused(rc, "find");
    if ((rc = tb_lock_record(t, ix, &number)) != 1) return refused(rc, "lock");
    if (number != 1) return fail("lock number", number);  // every earlier lock was given back
    Note r = old;
    if (update) r = Note{below(3) == 0 ? path() : old.path, old.name, below(2000) - 1000, text(1, below(4) == 0 ? 600 : 80, "grown")};
    if (fold(r.path) != fold(old.path) && mine.count(fold(r.path)) != 0) r.path = old.path;
    rc = update ? tb_update_record(t, ix, r.values().data()) : tb_delete_record(t, ix);
    const int error = tb_error, lower = ix_error;
    if (tb_unlock_record(t, number) != 1) return fail("unlock", -1);
    tb_error = error, ix_error = lower;
    if (rc != 1) return refused(rc, update ? "update" : "delete");
    mine.erase(fold(old.path));
    if (update) mine[fold(r.path)] = r;
    return 2;
  };
  auto scan = [&] {  // in path order under the table read lock: ascending, own records as left
    int rc = tb_lock_table(t, 1);
    if (rc != 1) return refused(rc, "table read lock");
    Records seen;
    std::string previous;
    Note r;
    for (rc = tb_first_record(t, ix); rc == 1 && read_note(t, ix, &r) == 1; rc = tb_next_record(t, ix)) {
      if (!previous.empty() && !(previous < fold(r.path))) rc = -9;
      if (r.path.rfind("/p" + std::to_string(id) + "/", 0) == 0) seen[fold(r.path)] = r;
      previous = fold(r.path);
    }
    return tb_unlock_table(t, 1) != 1 || rc != -3 || seen != mine ? fail("scan", rc) : 1;
  };
  int ok = 1, acked = 0;  // 2: a change done, 1: refused or a scan, 0: a failure
  for (int i = 0; i < 700 && ok != 0; ++i, acked += ok == 2) {
    const int p = below(100), a = mine.size() < 60 ? 35 : 20;
    if (mine.empty() || p < a) ok = add(i);
    else if (p < a + 22) ok = change(false);
    else if (p < a + 30) ok = scan();
    else ok = change(true);
  }
  const bool done = ok != 0 && scan() == 1;
  for (const auto& [folded, r] : mine) log << r.path << " " << r.name << " " << r.size << " " << r.remark << "\n";
  write_whole_file(log_name, log.str());
  return !done || tb_close(t) != 1 ? 3 : acked < 700 / 2 ? 4 : 0;
}

TEST_F(SharedTableTest, AcknowledgedChangesOfConcurrentWritersAreAllThere) {
  std::vector<Child> children;
  for (int id = 0; id < 3; ++id) {
    const std::string log = base("log" + std::to_string(id));
    children.push_back(fork_child([id, log, this](int in, int out) { return writer(id, name_, log, in, out); }));
    ASSERT_GT(children.back().pid, 0);
  }
  char ready = 0;
  for (Child& c : children) ASSERT_EQ(recv_byte(c.from_child, &ready, 30000), 1);
  for (Child& c : children) ASSERT_EQ(send_byte(c.to_child, 'g'), 1);
  Records expect;
  for (const char* p : {"/x1", "/x2", "/x3"}) expect[p] = Note{p, "n", 7, "before"};
  for (int id = 0; id < 3; ++id) {
    EXPECT_EQ(wait_child(children[static_cast<size_t>(id)]), 0) << "writer " << id << " (4: most changes refused)";
    std::istringstream lines(read_whole_file(base("log" + std::to_string(id))));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream in(line);
      Note r;
      if (line[0] == 'X' || !(in >> r.path >> r.name >> r.size >> r.remark)) ADD_FAILURE() << "writer " << id << ": " << line;
      expect[fold(r.path)] = r;
    }
  }
  Table* t = tb_open(name_.c_str(), 0, 0);
  ASSERT_NE(t, nullptr) << tb_error;
  EXPECT_EQ(findings(t), "");  // every index holds exactly the records, in its order
  Records seen;
  Note r;
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  for (int rc = tb_first_record(t, ix); rc == 1 && read_note(t, ix, &r) == 1; rc = tb_next_record(t, ix)) seen[fold(r.path)] = r;
  EXPECT_TRUE(seen == expect);
  EXPECT_EQ(tb_close(t), 1);
}

// A child holds /x1 locked: it is refused here after the retries. Then this
// process reads /x1, waiting for it, while the child changes it, which needs
// the index write lock: the reader must not hold the index read lock while
// it waits, or each waits on the other until one runs out of tries. The
// child goes on once the read has begun (its first lock call).
int g_go_fd = -1;
TEST_F(SharedTableTest, RecordLocksBetweenTwoProcesses) {
  tb_lock_settings = TbLockSettings{3, 5, 100};  // refusals come quickly
  const Note after{"/x1", "n", 8, "after"};
  Child h = fork_child([&](int in, int out) {
    Table* t = tb_open(name_.c_str(), 1, 0);
    TableIndex* ix = t != nullptr ? tb_find_index(t, "INDX_Path,U") : nullptr;
    int32_t n = 0;
    char b = 0;
    if (ix == nullptr || find(t, ix, "/x1") != 2 || tb_lock_record(t, ix, &n) != 1 || send_byte(out, 'L') != 1) return 2;
    if (recv_byte(in, &b) != 1) return 3;
    tb_lock_settings = TbLockSettings{200, 5, 5000};
    return tb_update_record(t, ix, after.values().data()) == 1 && tb_unlock_record(t, n) == 1 && tb_close(t) == 1 ? 0 : 4;
  });
  char b = 0;
  ASSERT_EQ(recv_byte(h.from_child, &b), 1);
  Table* t = tb_open(name_.c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_EQ(find(t, ix, "/x1"), 2);
  int32_t n = 99;
  EXPECT_TRUE(tb_lock_record(t, ix, &n) == -4 && ix_error == kIxLockFailed && n == 99);
  EXPECT_TRUE(tb_delete_record(t, ix) == -1 && tb_error == kTbLockFailed);  // changing it is refused too
  tb_lock_settings = TbLockSettings{200, 5, 5000};
  ASSERT_EQ(find(t, ix, "/x1"), 2);
  Note r;
  {
    FaultIo watch;
    g_go_fd = h.to_child;
    watch.plan().observe = [](IoKind kind) {
      if (kind == IoKind::Lock && g_go_fd >= 0) send_byte(std::exchange(g_go_fd, -1), 'g');
    };
    EXPECT_EQ(read_note(t, ix, &r), 1) << "tb_error " << tb_error;
  }
  EXPECT_EQ(r, after);
  EXPECT_EQ(wait_child(h), 0) << "the child could not finish its change";
  EXPECT_TRUE(tb_lock_record(t, ix, &n) == 1 && n == 1) << n;  // numbers count from 1
  EXPECT_EQ(tb_close(t), 1);
}

// A walk locks a block's word only while it looks at it: the free block
// this process's walk passed over is free for another process's walk.
TEST_F(SharedTableTest, AWalkLeavesNoLockOnTheFreeBlocksItPassed) {
  Child c = fork_child([&](int in, int) {
    char go = 0;
    tb_lock_settings = TbLockSettings{3, 5, 100};
    Table* t = recv_byte(in, &go) == 1 ? tb_open(name_.c_str(), 1, 0) : nullptr;
    TableIndex* phys = t != nullptr ? tb_physical_index(t) : nullptr;
    return phys != nullptr && tb_first_record(t, phys) == 1 && tb_next_record(t, phys) == 1 && tb_next_record(t, phys) == -3 ? 0 : 1;
  });
  Table* t = tb_open(name_.c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  TableIndex *path = tb_find_index(t, "INDX_Path,U"), *phys = tb_physical_index(t);
  ASSERT_TRUE(find(t, path, "/x2") == 2 && tb_delete_record(t, path) == 1) << tb_error;
  ASSERT_TRUE(tb_first_record(t, phys) == 1 && tb_next_record(t, phys) == 1 && tb_next_record(t, phys) == -3) << tb_error;
  ASSERT_EQ(send_byte(c.to_child, 'g'), 1);
  EXPECT_EQ(wait_child(c), 0) << "the other process's walk met a lock";
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
