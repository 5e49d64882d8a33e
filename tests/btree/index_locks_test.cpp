// One index file shared by two processes: reader bytes and the writer range,
// and two writers with walking cursors. The other process, forked while the
// parent has nothing open, opens the file itself (an inherited IndexFile would
// share its descriptor and its byte-range locks).
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <set>
#include <vector>

#include "btree/tree_test_support.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"

namespace {

using namespace tree_test;

constexpr int kMarkAt = 270;  // a byte of page 1 (the one leaf) between its entries and keys

// A child holding its own shared handle, driven over the pipe:
//   'R' / 'W'  ix_lock mode 1 / 2 and keep it      'U' / 'V'  ix_unlock 1 / 2
//   'r' / 'w'  try mode 1 / 2 and give it back     'b'        own lock byte - 36
// Each command is answered by one byte: the result (or the byte).
class Prober {
 public:
  explicit Prober(const std::string& path) {
    child_ = fork_child([path](int in, int out) {
      IndexHandle* h = ix_open(path.c_str(), nullptr, 1, 0);
      if (h == nullptr) return 1;
      send_byte(out, 'o');
      for (char cmd; recv_byte(in, &cmd) == 1 && cmd != 'q';) {
        int rc = 0, mode = cmd == 'r' || cmd == 'R' || cmd == 'U' ? 1 : 2;
        if (cmd == 'R' || cmd == 'W') rc = ix_lock(h, mode);
        if (cmd == 'U' || cmd == 'V') rc = ix_unlock(h, mode);
        if ((cmd == 'r' || cmd == 'w') && (rc = ix_lock(h, mode)) == 1) rc = ix_unlock(h, mode);
        if (cmd == 'b') rc = h->file->lock_byte - kIxHeaderSize;
        send_byte(out, static_cast<char>(rc));
      }
      return ix_close(h) == 1 ? 0 : 2;
    });
    char b = 0;
    ready_ = recv_byte(child_.from_child, &b) == 1 && b == 'o';
  }
  ~Prober() { EXPECT_EQ(send_byte(child_.to_child, 'q') == 1 ? wait_child(child_) : -9, 0); }
  bool ready() const { return ready_; }
  int ask(char cmd) {
    char b = 99;
    if (send_byte(child_.to_child, cmd) != 1 || recv_byte(child_.from_child, &b, 120000) != 1) return 99;
    return static_cast<signed char>(b);
  }

 private:
  Child child_;
  bool ready_ = false;
};

class SharedIndexTest : public TreeTest {
 protected:
  void SetUp() override {
    saved_ = ix_lock_settings;
    ix_lock_settings = IxLockSettings{3, 5, 200};  // keep refusals quick
    Restart(16, 512);
    ASSERT_EQ(ix_close(Filled(512, 30, "shared.idx")), 1);  // closed before any fork
  }
  void TearDown() override {
    TreeTest::TearDown();
    ix_lock_settings = saved_;
  }
  IxLockSettings saved_;
};

// Readers take different bytes; a writer waits for the last reader; holding
// both kinds and giving them up in either order leaves no hole in the writer
// range and keeps the reader byte.
TEST_F(SharedIndexTest, ReaderBytesAndTheWriterRange) {
  Prober other(path_);
  ASSERT_TRUE(other.ready());
  IndexHandle* h = Open(1);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(other.ask('R'), 1);
  static int sleeps = 0;
  g_file_io.sleep = [](int) { return ++sleeps, 1; };
  ASSERT_EQ(ix_lock(h, 1), 1);
  EXPECT_EQ(sleeps, 0) << "a byte another reader holds is passed over, not waited for";
  g_file_io = io_default_table();
  EXPECT_NE(h->file->lock_byte, kIxHeaderSize + other.ask('b'));
  EXPECT_EQ(ix_lock(h, 2), -4);
  EXPECT_EQ(ix_error, kIxLockFailed);
  ASSERT_EQ(ix_unlock(h, 1), 1);
  EXPECT_EQ(h->file->lock_state, 0);
  ASSERT_EQ(other.ask('U'), 1);

  ASSERT_EQ(ix_lock(h, 1), 1);
  ASSERT_EQ(ix_lock(h, 2), 1);
  EXPECT_EQ(other.ask('r'), -4);  // no reader under a writer
  ASSERT_EQ(ix_unlock(h, 2), 1);
  EXPECT_EQ(other.ask('w'), -4);  // the reader byte is still ours
  EXPECT_EQ(other.ask('r'), 1);
  ASSERT_EQ(ix_unlock(h, 1), 1);
  EXPECT_EQ(other.ask('w'), 1);
  ASSERT_EQ(ix_lock(h, 2), 1);
  ASSERT_EQ(ix_lock(h, 1), 1);
  ASSERT_EQ(ix_unlock(h, 1), 1);
  EXPECT_EQ(other.ask('r'), -4);  // the writer range is still whole
  ASSERT_EQ(ix_unlock(h, 2), 1);
  EXPECT_EQ(ix_unlock(h, 2), 1);  // not held: nothing to do
  EXPECT_EQ(other.ask('w'), 1);
  EXPECT_EQ(h->file->lock_state, 0);
}

// Regression: closing a shared file wrote a failed commit's dirty pages without the writer lock.
TEST_F(SharedIndexTest, CloseAfterAFailedCommitWritesNoPageWithoutTheLock) {
  Prober other(path_);
  ASSERT_TRUE(other.ready());
  IndexHandle* h = Open(1);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ix_begin_write(h->file), 1);
  uint8_t* d = ix_page_get(h->file, 1);
  ASSERT_NE(d, nullptr);
  d[kMarkAt] = 'D';
  ix_page_dirty(h->file, d);
  FaultIo fault;
  fault.arm(IoKind::Write, 1, true);
  EXPECT_EQ(ix_commit(h->file), -1);
  // The failed commit leaves the busy mark, and the other process refuses
  // the file until it is rebuilt; with the mark taken off by hand, it takes
  // the writer lock.
  EXPECT_EQ(other.ask('W'), -1);
  const int raw = ::open(path_.c_str(), O_WRONLY);
  ASSERT_GE(raw, 0);
  ASSERT_EQ(::pwrite(raw, "\0\0\0\0", kIxBusySize, kIxBusyOffset), kIxBusySize);
  ::close(raw);
  ASSERT_EQ(other.ask('W'), 1);
  fault.arm(IoKind::Write, 1000);  // only counts
  EXPECT_EQ(ix_close(h), -1);
  EXPECT_EQ(fault.plan().calls, 0) << "a page went out without the writer lock";
  EXPECT_EQ(other.ask('V'), 1);
}



// --- two writers at once --------------------------------------------------------

constexpr int kOps = 2000, kKeys = 600, kMeetEvery = 250;

// Keys of the two processes interleave: "00012c" < "00012p" < "00013c".
std::string who_key(int index, char who) {
  char buf[16];
  snprintf(buf, sizeof buf, "%05d%c", index, who);
  return buf;
}

// One process's share: inserts and deletes of its own keys through one handle
// while a second handle's cursor walks forward; a lock held elsewhere too long
// (29) leaves an operation unacknowledged. `present` ends as this process's
// acknowledged state. 0, or a code after printing what went wrong.
int work(const std::string& path, char who, uint32_t seed, int in_fd, int out_fd, std::vector<char>* present) {
  IndexHandle* h = ix_open(path.c_str(), nullptr, 1, 0);
  IndexHandle* walker = ix_open(path.c_str(), nullptr, 1, 0);
  if (h == nullptr || walker == nullptr) return 2;
  std::mt19937 rng(seed);
  present->assign(kKeys, 0);
  std::string last_key;  // the walker's previous entry ("" before the first)
  int32_t last_ref = 0;
  int others_met = 0, busy = 0;
  auto busy_or = [&](int rc, int code) { return rc == -1 && ix_error == kIxLockFailed ? (++busy, 0) : code; };
  for (int op = 0; op < kOps; ++op) {
    char b = 0;  // the processes meet now and then, so neither finishes before the other starts
    if (op > 0 && op % kMeetEvery == 0 &&
        (who == 'p' ? send_byte(out_fd, 'm') != 1 || recv_byte(in_fd, &b, 120000) != 1
                    : recv_byte(in_fd, &b, 120000) != 1 || send_byte(out_fd, 'm') != 1))
      return 11;
    int index = static_cast<int>(rng() % kKeys);
    std::string key = who_key(index, who);
    int rc = (*present)[index] ? del(h, key, index) : put(h, key, index, 0);
    if (rc == 1) (*present)[index] ^= 1;
    else if (busy_or(rc, 3) != 0) return fprintf(stderr, "[%c] op %d: %s, ix_error %d\n", who, op, key.c_str(), ix_error), 3;
    // The walker moves forward only; a key of this process it meets must be present.
    int32_t ref = 0;
    rc = ix_next(walker, &ref);
    if (rc == -3) {
      for (last_key.clear(); ix_prev(walker, &ref) == 1;) {
      }
      continue;
    }
    std::string got = current_key(walker);
    int32_t got_ref = 0;
    const int got_rc = rc == 1 ? ix_current(walker, &got_ref) : rc;
    if (got_rc != 1) {
      if (busy_or(got_rc, 5) != 0) return 5;
      continue;
    }
    // The entry may be the other process's, deleted before the walker read
    // it: the cursor then warns and moves on. Only if this process's own key
    // of that ref is missing too can the vanished entry have been its own.
    if (got_ref != ref) {
      int32_t found = -1;
      const std::string own = who_key(ref, who);
      if (ref < 0 || ref >= kKeys || !(*present)[ref] || (find(h, own, &found) == 2 && found == ref)) continue;
      return fprintf(stderr, "[%c] op %d: walker lost %s\n", who, op, own.c_str()), 6;
    }
    if (!last_key.empty() && (got < last_key || (got == last_key && got_ref <= last_ref)))
      return fprintf(stderr, "[%c] op %d: walker went back from %s to %s\n", who, op, last_key.c_str(), got.c_str()), 7;
    if (got.size() == 6 && got[5] == who && !(*present)[got_ref])
      return fprintf(stderr, "[%c] op %d: walker met %s, not held\n", who, op, got.c_str()), 8;
    others_met += got.size() == 6 && got[5] != who;
    last_key = got;
    last_ref = got_ref;
  }
  if (busy > kOps / 4) return 13;
  if (others_met == 0) return 12;
  return ix_close(walker) == 1 && ix_close(h) == 1 ? 0 : 10;
}

// The locks serialise the changes and the header refresh keeps each
// process's pages and cursors current: every acknowledged insert not later
// deleted is present, nothing else is, and the tree is sound.
TEST_F(SharedIndexTest, TwoWritersWithWalkingCursorsKeepEveryAcknowledgedInsert) {
  ix_lock_settings = IxLockSettings{10000, 1, 10000};  // the same time limit, retried every millisecond
  Restart(16, 4096);
  ASSERT_EQ(ix_close(Create(92, "two.idx")), 1);  // small pages: many splits and merges
  Child child = fork_child([&](int in_fd, int out_fd) {
    std::vector<char> present;
    int rc = work(path_, 'c', 1001, in_fd, out_fd, &present);
    if (rc != 0) return rc;
    return ::write(out_fd, present.data(), present.size()) == kKeys ? 0 : 21;
  });
  std::vector<char> mine, theirs(kKeys, 0);
  ASSERT_EQ(work(path_, 'p', 2002, child.from_child, child.to_child, &mine), 0) << "see stderr";
  size_t got = 0;
  char b = 0;
  while (got < theirs.size() && recv_byte(child.from_child, &b, 120000) == 1) theirs[got++] = b;
  ASSERT_EQ(wait_child(child), 0) << "see stderr";
  ASSERT_EQ(got, theirs.size());

  std::set<std::pair<std::string, int32_t>> expected, found;
  for (int i = 0; i < kKeys; ++i) {
    if (mine[i]) expected.insert({who_key(i, 'p'), i});
    if (theirs[i]) expected.insert({who_key(i, 'c'), i});
  }
  IndexHandle* h = Open(1);
  ASSERT_NE(h, nullptr);
  for (int32_t ref = 0; ix_next(h, &ref) == 1 && found.size() <= 2u * kKeys;)
    EXPECT_TRUE(found.insert({current_key(h), ref}).second) << current_key(h) << " met twice";
  EXPECT_EQ(found, expected);
  EXPECT_EQ(h->file->header.entry_total, static_cast<int32_t>(expected.size()));
  ExpectSound(h);
}

}  // namespace
