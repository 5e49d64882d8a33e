// One table shared by several processes: writers change records of their
// own; at the end the table holds exactly what was acknowledged. Then record
// locks and walks between two processes.
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
  // Quick retries keep standoffs short; a refusal leaves nothing.
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
    return rc == -4 || tb_error == kTbLockFailed || (tb_error == kTbIndexLayer && ix_error == kIxLockFailed) ? 1 : fail(what, rc);
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
    int rc = find(t, ix, old.path);
    if (rc != 2) return refused(rc, "find");
    Note r = old;
    if (update) r = Note{below(3) == 0 ? path() : old.path, old.name, below(2000) - 1000, text(1, below(4) == 0 ? 600 : 80, "grown")};
    if (fold(r.path) != fold(old.path) && mine.count(fold(r.path)) != 0) r.path = old.path;
    rc = update ? tb_update_record(t, ix, r.values().data()) : tb_delete_record(t, ix);
    if (rc != 1) return refused(rc, update ? "update" : "delete");
    mine.erase(fold(old.path));
    if (update) mine[fold(r.path)] = r;
    return 2;
  };
  int ok = 1, acked = 0;  // 2: a change done, 1: refused, 0: a failure
  for (int i = 0; i < 700 && ok != 0; ++i, acked += ok == 2) {
    const int p = below(100), a = mine.size() < 60 ? 35 : 20;
    if (mine.empty() || p < a) ok = add(i);
    else ok = change(p >= a + 22);
  }
  for (const auto& [folded, r] : mine) log << r.path << " " << r.name << " " << r.size << " " << r.remark << "\n";
  write_whole_file(log_name, log.str());
  return ok == 0 || tb_close(t) != 1 ? 3 : acked < 700 / 2 ? 4 : 0;
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

// A child holds /x1 locked: refused here. Then a read of /x1 waits while the
// child changes it (which needs the index write lock, so the reader must not
// wait holding the index read lock). Last, a walk here passes a free block
// and must leave no lock on it for the child's walk.
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
    if (tb_update_record(t, ix, after.values().data()) != 1 || tb_unlock_record(t, n) != 1 || send_byte(out, 'U') != 1) return 4;
    TableIndex* phys = tb_physical_index(t);
    if (recv_byte(in, &b) != 1 || tb_first_record(t, phys) != 1 || tb_next_record(t, phys) != 1 || tb_next_record(t, phys) != -3) return 5;
    return tb_close(t) == 1 ? 0 : 6;
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
  ASSERT_EQ(recv_byte(h.from_child, &b), 1);  // the child let /x1 go
  TableIndex* phys = tb_physical_index(t);
  ASSERT_TRUE(find(t, ix, "/x2") == 2 && tb_delete_record(t, ix) == 1) << tb_error;
  ASSERT_TRUE(tb_first_record(t, phys) == 1 && tb_next_record(t, phys) == 1 && tb_next_record(t, phys) == -3) << tb_error;
  ASSERT_EQ(send_byte(h.to_child, 'w'), 1);
  EXPECT_EQ(wait_child(h), 0) << "the child could not finish its change (4) or its walk (5)";
  EXPECT_TRUE(tb_lock_record(t, ix, &n) == 1 && n == 1) << n;  // numbers count from 1
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
