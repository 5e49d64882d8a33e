// One table shared by several processes. Writers add, update and delete
// records of their own (each under its own path prefix), holding a record
// lock around every update and delete as a notes program does, and report
// each change the engine acknowledged to the parent over a pipe; meanwhile
// they scan the whole table under a table read lock and check that their
// own records read exactly as they left them. At the end the parent finds
// every acknowledged change in the table and nothing else, in every order,
// and the verifier finds the table sound. Besides: a record locked by one
// process is refused to another after the retries, and record-lock numbers
// count from 1.
//
// Code that runs in a child never uses the test framework's assertions (the
// child ends with _exit); it reports failures as lines to the parent.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "records_fixture.h"
#include "support/fork_helper.h"

namespace {

constexpr int kWriters = 3;
constexpr int kStepsPerWriter = 700;
constexpr size_t kOwnRecords = 60;

std::string fold(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

struct Rec {
  std::string path, name;
  int32_t size = 0;
  std::string remark;
  bool operator==(const Rec& o) const {
    return path == o.path && name == o.name && size == o.size && remark == o.remark;
  }
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
  return os << "{" << r.path << " " << r.name << " " << r.size << " remark of " << r.remark.size() << "}";
}

// Records by folded path: the order of the unique path index.
using Records = std::map<std::string, Rec>;

// Lines over the pipe; no field holds a space or a newline.
//   A path name size remark        added
//   U oldpath path name size remark updated
//   D path                         deleted
//   R what                         a change refused by another's lock
//   S adds updates deletes refusals scans start end   the writer's tally
//                                  (start and end in ms of the monotonic clock)
//   X text                         a failure seen in the child
std::string rec_line(const Rec& r) {
  return r.path + " " + r.name + " " + std::to_string(r.size) + " " + r.remark;
}

// Reads the current record of `ix` into `out`; the engine's result.
int read_current(Table* t, TableIndex* ix, Rec* out) {
  void* buffers[4] = {std::malloc(8), std::malloc(8), std::malloc(4), std::malloc(8)};
  int32_t sizes[4] = {8, 8, 4, 8};
  int rc = tb_read_record(t, ix, buffers, sizes);
  if (rc == 1) {
    out->path = static_cast<const char*>(buffers[0]);
    out->name = static_cast<const char*>(buffers[1]);
    std::memcpy(&out->size, buffers[2], 4);
    out->remark = static_cast<const char*>(buffers[3]);
  }
  for (void* b : buffers) std::free(b);
  return rc;
}

long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

bool write_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

class SharedTableTest : public RecordsTest {
 protected:
  // The table every process opens: the notes fields plus a name and a size,
  // a unique path index and a size index.
  void MakeTable() {
    Table* t = create("shared", {"Path", "Name,C", "Size,L", "Remark"});
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    ASSERT_EQ(create_index(t, "BySize", {"Size,L"}), 1);
    ASSERT_EQ(tb_close(t), 1);
  }
  std::string name() const { return base("shared"); }
};

// --- the writer, run in a child ---------------------------------------------------------------

class Writer {
 public:
  Writer(int id, int out) : id_(id), out_(out), seed_(0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(id + 1)) {}

  int run(const std::string& table_name, int go_fd) {
    // A writer holding a record lock waits for the index file's write lock
    // while a scan holding the read lock waits for that record: one of them
    // gives up when its retries run out. Quicker retries keep such standoffs
    // short; the refusals they cause must leave nothing behind.
    tb_lock_settings = TbLockSettings{25, 10, 2000};
    ix_lock_settings = IxLockSettings{25, 10, 2000};
    t_ = tb_open(table_name.c_str(), 1, 0);
    if (t_ == nullptr) return fail("open failed, tb_error " + std::to_string(tb_error));
    path_ = tb_find_index(t_, "INDX_Path,U");
    if (path_ == nullptr) return fail("no path index");
    char go = 0;
    if (send_byte(out_, 'r') != 1 || recv_byte(go_fd, &go) != 1) return fail("no start signal");
    const long started = now_ms();

    for (int i = 0; i < kStepsPerWriter; ++i) {
      // Each writer keeps about kOwnRecords records once it has them.
      const int p = below(100), add_weight = mine_.size() < kOwnRecords ? 35 : 20;
      int rc;
      if (mine_.empty() || p < add_weight) rc = add(i);
      else if (p < add_weight + 22) rc = change(false);
      else if (p < add_weight + 30) rc = scan();
      else if (p < add_weight + 35) rc = grouped(i);
      else rc = change(true);
      if (rc != 1) return 1;
      if (i == kStepsPerWriter / 2 && verify() != 1) return 1;
    }
    if (scan() != 1 || verify() != 1) return 1;
    std::ostringstream tally;
    tally << "S " << adds_ << " " << updates_ << " " << deletes_ << " " << refusals_ << " " << scans_ << " " << started
          << " " << now_ms() << "\n";
    if (!write_all(out_, tally.str())) return 1;
    if (tb_close(t_) != 1) return fail("close failed, tb_error " + std::to_string(tb_error));
    return 0;
  }

 private:
  int below(int n) {
    seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((seed_ >> 33) % static_cast<uint64_t>(n));
  }
  std::string text(int min_len, int max_len, const char* alphabet) {
    int n = min_len + below(max_len - min_len + 1);
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(alphabet[below(static_cast<int>(std::strlen(alphabet)))]);
    return s;
  }
  Rec random_rec() {
    Rec r;
    r.path = "/p" + std::to_string(id_) + "/" + text(1, 18, "abcXYZ019._");
    r.name = text(1, 10, "nameNAME");
    r.size = static_cast<int32_t>(below(2000)) - 1000;
    r.remark = text(1, below(10) == 0 ? 700 : 120, "remark");
    return r;
  }

  // Steps return 1 to go on; a failure ends the writer.
  int fail(const std::string& what) {
    (void)write_all(out_, "X writer " + std::to_string(id_) + ": " + what + "\n");
    return -1;
  }
  // A lock another process held past the retries (a record lock, or the
  // index file's lock, which a search takes in the index layer) refuses the
  // operation as a whole; anything else is a failure.
  int refused_or_fail(int rc, const std::string& what) {
    if (rc == -4 || tb_error == kTbLockFailed || (tb_error == kTbIndexLayer && ix_error == kIxLockFailed)) {
      ++refusals_;
      return write_all(out_, "R " + what + "\n") ? 1 : -1;
    }
    return fail(what + " gave " + std::to_string(rc) + ", tb_error " + std::to_string(tb_error) + ", ix_error " +
                std::to_string(ix_error));
  }

  int add(int step) {
    Rec r = random_rec();
    if (mine_.count(fold(r.path)) != 0) return 1;
    const void* values[] = {r.path.c_str(), r.name.c_str(), &r.size, r.remark.c_str()};
    int rc = tb_add_record(t_, step % 2 == 0 ? nullptr : path_, values);
    if (rc != 1) return refused_or_fail(rc, "add " + r.path);
    mine_[fold(r.path)] = r;
    ++adds_;
    return write_all(out_, "A " + rec_line(r) + "\n") ? 1 : -1;
  }

  const Rec& pick() {
    auto it = mine_.begin();
    std::advance(it, below(static_cast<int>(mine_.size())));
    return it->second;
  }

  // Finds one of this writer's records, locks it, updates or deletes it and
  // unlocks it again.
  int change(bool update) {
    const Rec old = pick();
    const void* key[] = {old.path.c_str()};
    int rc = tb_find_key(t_, path_, key);
    if (rc == -1) return refused_or_fail(rc, "find " + old.path);
    if (rc != 2) return fail("find " + old.path + " gave " + std::to_string(rc));
    int32_t number = 0;
    rc = tb_lock_record(t_, path_, &number);
    if (rc != 1) return refused_or_fail(rc, "record_lock " + old.path);
    // Every earlier lock was given back, so the table's first slot is free.
    if (number != 1) return fail("lock number " + std::to_string(number));

    Rec r = old;
    std::string line;
    if (update) {
      if (below(3) == 0) r.path = "/p" + std::to_string(id_) + "/" + text(1, 18, "abcXYZ019._");
      if (below(2) == 0) r.size = static_cast<int32_t>(below(2000)) - 1000;
      r.remark = text(1, below(4) == 0 ? 600 : 80, "grown");
      if (fold(r.path) != fold(old.path) && mine_.count(fold(r.path)) != 0) r.path = old.path;
      const void* values[] = {r.path.c_str(), r.name.c_str(), &r.size, r.remark.c_str()};
      rc = tb_update_record(t_, path_, values);
      line = "U " + old.path + " " + rec_line(r) + "\n";
    } else {
      rc = tb_delete_record(t_, path_);
      line = "D " + old.path + "\n";
    }
    const int done = rc, error = tb_error, index_error = ix_error;
    int unlocked = tb_unlock_record(t_, number);
    if (done != 1) {
      tb_error = error;
      ix_error = index_error;
      return refused_or_fail(done, (update ? "update " : "delete ") + old.path);
    }
    if (unlocked != 1) return fail("unlock gave tb_error " + std::to_string(tb_error));
    mine_.erase(fold(old.path));
    if (update) {
      mine_[fold(r.path)] = r;
      ++updates_;
    } else {
      ++deletes_;
    }
    return write_all(out_, line) ? 1 : -1;
  }

  // Two changes under one table write lock: no other writer comes between.
  int grouped(int step) {
    int rc = tb_lock_table(t_, 2);
    if (rc != 1) return refused_or_fail(rc, "table_write_lock");
    rc = add(step);
    if (rc == 1 && !mine_.empty()) rc = change(true);
    if (tb_unlock_table(t_, 2) != 1) return fail("table unlock gave tb_error " + std::to_string(tb_error));
    return rc;
  }

  // The whole table in path order under a table read lock: ascending, and
  // this writer's records exactly as it left them.
  int scan() {
    int rc = tb_lock_table(t_, 1);
    if (rc != 1) return refused_or_fail(rc, "table_read_lock");
    Records seen;
    std::string previous;
    bool first = true;
    std::string problem;
    for (rc = tb_first_record(t_, path_); rc == 1; rc = tb_next_record(t_, path_)) {
      Rec r;
      // A record another writer holds locked reads as it is: no change
      // comes while this scan holds the table read lock.
      if (read_current(t_, path_, &r) != 1) {
        problem = "read during scan, tb_error " + std::to_string(tb_error);
        break;
      }
      if (!first && !(previous < fold(r.path))) problem = "scan out of order at " + r.path;
      first = false;
      previous = fold(r.path);
      if (r.path.rfind("/p" + std::to_string(id_) + "/", 0) == 0) seen[fold(r.path)] = r;
    }
    if (problem.empty() && rc != -3) problem = "scan ended with " + std::to_string(rc) + ", tb_error " + std::to_string(tb_error);
    if (tb_unlock_table(t_, 1) != 1 && problem.empty()) problem = "table read unlock failed";
    if (!problem.empty()) return fail(problem);
    if (seen != mine_) return fail("own records differ: " + std::to_string(seen.size()) + " seen, " +
                                   std::to_string(mine_.size()) + " expected");
    ++scans_;
    return 1;
  }

  // The verifier walks the table under the index file's read lock; a
  // refusal of that lock is tried again.
  int verify() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      std::vector<std::string> findings;
      int rc = tb_verify(t_, [](void* ctx, const char* f) { static_cast<std::vector<std::string>*>(ctx)->push_back(f); },
                         &findings, 5);
      if (rc == 0) return 1;
      if (rc == -1 && refused_or_fail(rc, "verify") == 1) continue;
      return fail("verify gave " + std::to_string(rc) + (findings.empty() ? "" : ": " + findings[0]));
    }
    return fail("verify refused 20 times");
  }

  int id_;
  int out_;
  uint64_t seed_;
  Table* t_ = nullptr;
  TableIndex* path_ = nullptr;
  Records mine_;
  long adds_ = 0, updates_ = 0, deletes_ = 0, refusals_ = 0, scans_ = 0;
};

// Reads every child's lines until all pipes close.
std::vector<std::string> collect(std::vector<Child>& children) {
  std::vector<std::string> text(children.size());
  std::vector<bool> open(children.size(), true);
  size_t left = children.size();
  while (left > 0) {
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < children.size(); ++i)
      if (open[i]) {
        fds.push_back({children[i].from_child, POLLIN, 0});
        which.push_back(i);
      }
    int r = ::poll(fds.data(), fds.size(), 60000);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;  // a stuck child: what arrived so far is judged
    for (size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      char chunk[4096];
      ssize_t n = ::read(fds[k].fd, chunk, sizeof chunk);
      if (n > 0) {
        text[which[k]].append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open[which[k]] = false;
        --left;
      }
    }
  }
  return text;
}

// Reads a table's records in the order of `ix`.
std::vector<Rec> read_all(Table* t, TableIndex* ix) {
  std::vector<Rec> out;
  int rc;
  for (rc = tb_first_record(t, ix); rc == 1; rc = tb_next_record(t, ix)) {
    Rec r;
    if (read_current(t, ix, &r) != 1) break;
    out.push_back(r);
  }
  EXPECT_EQ(rc, -3) << "walk of " << ix->name << " stopped, tb_error " << tb_error;
  return out;
}

TEST_F(SharedTableTest, AcknowledgedChangesOfConcurrentWritersAreAllThere) {
  ASSERT_NO_FATAL_FAILURE(MakeTable());
  const std::string table = name();
  std::vector<Child> children;
  for (int id = 0; id < kWriters; ++id) {
    children.push_back(fork_child([id, table](int in, int out) {
      Writer w(id, out);
      return w.run(table, in);
    }));
    ASSERT_GT(children.back().pid, 0);
  }
  // Every writer has the table open before any of them starts.
  for (Child& c : children) {
    char ready = 0;
    ASSERT_EQ(recv_byte(c.from_child, &ready, 30000), 1);
    ASSERT_EQ(ready, 'r');
  }
  for (Child& c : children) ASSERT_EQ(send_byte(c.to_child, 'g'), 1);
  std::vector<std::string> reports = collect(children);
  for (int id = 0; id < kWriters; ++id) EXPECT_EQ(wait_child(children[static_cast<size_t>(id)]), 0) << "writer " << id;

  // Replay the acknowledged changes.
  Records expect;
  long changes = 0, refusals = 0, scans = 0;
  long last_start = 0, first_end = LONG_MAX;
  std::map<std::string, int> refused;
  for (int id = 0; id < kWriters; ++id) {
    std::istringstream lines(reports[static_cast<size_t>(id)]);
    std::string line;
    bool tallied = false;
    while (std::getline(lines, line)) {
      std::istringstream in(line);
      std::string kind, old;
      in >> kind;
      Rec r;
      if (kind == "A") {
        in >> r.path >> r.name >> r.size >> r.remark;
        EXPECT_EQ(expect.count(fold(r.path)), 0u) << "writer " << id << " added " << r.path << " twice";
        expect[fold(r.path)] = r;
        ++changes;
      } else if (kind == "U") {
        in >> old >> r.path >> r.name >> r.size >> r.remark;
        EXPECT_EQ(expect.erase(fold(old)), 1u) << "writer " << id << " updated unknown " << old;
        expect[fold(r.path)] = r;
        ++changes;
      } else if (kind == "D") {
        in >> old;
        EXPECT_EQ(expect.erase(fold(old)), 1u) << "writer " << id << " deleted unknown " << old;
        ++changes;
      } else if (kind == "R") {
        in >> old;
        ++refused[old];
      } else if (kind == "S") {
        long a = 0, u = 0, d = 0, f = 0, s = 0, start = 0, end = 0;
        in >> a >> u >> d >> f >> s >> start >> end;
        refusals += f;
        scans += s;
        last_start = std::max(last_start, start);
        first_end = std::min(first_end, end);
        tallied = true;
      } else {
        ADD_FAILURE() << line;
      }
    }
    EXPECT_TRUE(tallied) << "writer " << id << " did not finish";
  }
  std::printf("[ shared   ] %d writers: %ld acknowledged changes, %ld refused by locks, %ld checked scans, %zu records\n",
              kWriters, changes, refusals, scans, expect.size());
  for (const auto& [what, count] : refused) std::printf("[ shared   ]   %d refused: %s\n", count, what.c_str());
  EXPECT_GT(changes, kWriters * kStepsPerWriter / 2);
  // The writers really ran side by side.
  EXPECT_LT(last_start, first_end);

  Table* t = tb_open(table.c_str(), 0, 0);
  ASSERT_NE(t, nullptr) << tb_error;
  std::vector<Rec> want;
  for (const auto& [key, r] : expect) want.push_back(r);
  std::vector<Rec> by_path = read_all(t, tb_find_index(t, "INDX_Path,U"));
  ASSERT_EQ(by_path.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(by_path[i], want[i]) << "record " << i << " in path order";
  // Every record once in record order and in size order too.
  for (TableIndex* ix : {tb_physical_index(t), tb_find_index(t, "BySize")}) {
    std::vector<Rec> walk = read_all(t, ix);
    Records again;
    for (const Rec& r : walk) again[fold(r.path)] = r;
    EXPECT_EQ(walk.size(), expect.size()) << ix->name;
    EXPECT_TRUE(again == expect) << ix->name;
    for (size_t i = 1; ix->number != 0 && i < walk.size(); ++i) EXPECT_LE(walk[i - 1].size, walk[i].size);
  }
  std::vector<std::string> findings;
  EXPECT_EQ(tb_verify(t, [](void* ctx, const char* f) { static_cast<std::vector<std::string>*>(ctx)->push_back(f); },
                      &findings, 10),
            0)
      << (findings.empty() ? "" : findings[0]);
  EXPECT_EQ(tb_close(t), 1);
}

// --- record locks between two processes ---------------------------------------------------------

class RecordLockTest : public SharedTableTest {
 protected:
  void SetUp() override {
    SharedTableTest::SetUp();
    tb_lock_settings = TbLockSettings{3, 5, 100};  // refusals come quickly
    ASSERT_NO_FATAL_FAILURE(MakeTable());
    Table* t = tb_open(name().c_str(), 0, 0);
    ASSERT_NE(t, nullptr);
    for (const char* p : {"/x1", "/x2", "/x3", "/x4"}) {
      int32_t size = 7;
      const void* values[] = {p, "n", &size, "before"};
      ASSERT_EQ(tb_add_record(t, nullptr, values), 1);
    }
    ASSERT_EQ(tb_close(t), 1);
  }

  // A child that holds record locks on command: 'l' + path locks the record
  // with that path, 'u' unlocks its last lock, 'q' quits. Each command is
  // answered with the lock number, 0 for a refusal, or -1.
  void StartHolder() {
    std::string table = name();
    holder_ = fork_child([table](int in, int out) {
      Table* t = tb_open(table.c_str(), 1, 0);
      if (t == nullptr) return 2;
      TableIndex* ix = tb_find_index(t, "INDX_Path,U");
      int32_t last = 0;
      for (char cmd; recv_byte(in, &cmd) == 1 && cmd != 'q';) {
        int answer = -1;
        if (cmd == 'l') {
          char digit = 0;
          if (recv_byte(in, &digit) != 1) break;
          std::string path = std::string("/x") + digit;
          const void* key[] = {path.c_str()};
          int32_t n = 0;
          if (tb_find_key(t, ix, key) == 2) {
            int rc = tb_lock_record(t, ix, &n);
            answer = rc == 1 ? n : rc == -4 ? 0 : -1;
            if (rc == 1) last = n;
          }
        } else if (cmd == 'u') {
          answer = tb_unlock_record(t, last) == 1 ? 1 : -1;
        }
        send_byte(out, static_cast<char>(answer));
      }
      return tb_close(t) == 1 ? 0 : 3;
    });
    ASSERT_GT(holder_.pid, 0);
  }
  int Ask(char cmd, char arg = 0) {
    char b = 0;
    if (send_byte(holder_.to_child, cmd) != 1) return -100;
    if (arg != 0 && send_byte(holder_.to_child, arg) != 1) return -100;
    if (recv_byte(holder_.from_child, &b) != 1) return -100;
    return b;
  }
  int Stop() {
    send_byte(holder_.to_child, 'q');
    return wait_child(holder_);
  }
  int Find(Table* t, TableIndex* ix, const char* path) {
    const void* key[] = {path};
    return tb_find_key(t, ix, key);
  }

  Child holder_;
};

TEST_F(RecordLockTest, RecordLockedByAnotherProcessIsRefusedAfterTheRetries) {
  ASSERT_NO_FATAL_FAILURE(StartHolder());
  ASSERT_EQ(Ask('l', '1'), 1);  // the holder's first lock
  Table* t = tb_open(name().c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_EQ(Find(t, ix, "/x1"), 2);
  int32_t n = 99;
  EXPECT_EQ(tb_lock_record(t, ix, &n), -4);
  EXPECT_EQ(ix_error, kIxLockFailed);
  EXPECT_EQ(n, 99);
  // Changing it is refused too, and changes nothing.
  int32_t size = 8;
  const void* values[] = {"/x1", "n", &size, "after"};
  EXPECT_EQ(tb_update_record(t, ix, values), -1);
  EXPECT_EQ(tb_error, kTbLockFailed);
  EXPECT_EQ(tb_delete_record(t, ix), -1);
  EXPECT_EQ(tb_error, kTbLockFailed);
  EXPECT_EQ(t->lock_bits, 0u);

  // The other records are free; the numbers count from 1.
  ASSERT_EQ(Find(t, ix, "/x2"), 2);
  EXPECT_EQ(tb_lock_record(t, ix, &n), 1);
  EXPECT_EQ(n, 1);
  ASSERT_EQ(Find(t, ix, "/x3"), 2);
  EXPECT_EQ(tb_lock_record(t, ix, &n), 1);
  EXPECT_EQ(n, 2);
  ASSERT_EQ(Find(t, ix, "/x4"), 2);
  EXPECT_EQ(tb_lock_record(t, ix, &n), 1);
  EXPECT_EQ(n, 3);
  // Now the holder is refused the records this process holds.
  EXPECT_EQ(Ask('l', '3'), 0);

  // Once the holder lets go, the record can be locked and changed here.
  ASSERT_EQ(Ask('u'), 1);
  ASSERT_EQ(Find(t, ix, "/x1"), 2);
  EXPECT_EQ(tb_lock_record(t, ix, &n), 1);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(tb_update_record(t, ix, values), 1);
  EXPECT_EQ(tb_unlock_record(t, n), 1);
  EXPECT_EQ(Stop(), 0);

  // Giving back number 1 frees the table's first slot for the next lock.
  EXPECT_EQ(tb_unlock_record(t, 1), 1);
  ASSERT_EQ(Find(t, ix, "/x1"), 2);
  EXPECT_EQ(tb_lock_record(t, ix, &n), 1);
  EXPECT_EQ(n, 1);
  Rec r;
  ASSERT_EQ(read_current(t, ix, &r), 1);
  EXPECT_EQ(r, (Rec{"/x1", "n", 8, "after"}));
  EXPECT_EQ(tb_close(t), 1);
}

// A writer holds a record and then needs the index write lock to change
// it; a reader of that record waits for the record. The reader must not
// hold the index read lock while it waits, or each waits on the other until
// one runs out of tries.
TEST_F(RecordLockTest, AReaderWaitingForARecordLetsItsHolderFinishTheChange) {
  tb_lock_settings = TbLockSettings{200, 5, 5000};  // both sides, after the fork too
  std::string table = name();
  Child writer = fork_child([table](int in, int out) {
    Table* t = tb_open(table.c_str(), 1, 0);
    if (t == nullptr) return 2;
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {"/x1"};
    int32_t n = 0;
    if (tb_find_key(t, ix, key) != 2 || tb_lock_record(t, ix, &n) != 1) return 3;
    char go = 0;
    if (send_byte(out, 'L') != 1 || recv_byte(in, &go) != 1) return 4;
    usleep(50 * 1000);  // the reader is waiting for the record by now
    int32_t size = 8;
    const void* values[] = {"/x1", "n", &size, "after"};
    if (tb_update_record(t, ix, values) != 1) return 5;
    if (tb_unlock_record(t, n) != 1) return 6;
    return tb_close(t) == 1 ? 0 : 7;
  });
  ASSERT_GT(writer.pid, 0);
  char locked = 0;
  ASSERT_EQ(recv_byte(writer.from_child, &locked), 1);
  Table* t = tb_open(name().c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_EQ(Find(t, ix, "/x1"), 2);
  ASSERT_EQ(send_byte(writer.to_child, 'g'), 1);
  Rec r;
  EXPECT_EQ(read_current(t, ix, &r), 1) << "tb_error " << tb_error;
  EXPECT_EQ(r, (Rec{"/x1", "n", 8, "after"}));
  EXPECT_EQ(wait_child(writer), 0) << "the writer could not finish its change";
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
