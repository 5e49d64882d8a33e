// One index file shared by two processes: reader bytes, the writer range, a
// failed commit's close, two writers. The other process, forked while the
// parent has nothing open, opens the file itself (an inherited IndexFile would
// share its descriptor and its byte-range locks).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include "btree/tree_test_support.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"

namespace {

using namespace tree_test;

// A child holding its own shared handle, driven over the pipe; each command is answered by one
// byte, its result: 'R' / 'W' ix_lock mode 1 / 2, 'U' / 'V' ix_unlock 1 / 2, 'b' its lock byte - 36.
struct Prober {
  explicit Prober(const std::string& path) {
    child = fork_child([path](int in, int out) {
      IndexHandle* h = ix_open(path.c_str(), nullptr, 1, 0);
      if (h == nullptr) return 1;
      send_byte(out, 'o');
      for (char cmd; recv_byte(in, &cmd) == 1 && cmd != 'q';) {
        const int mode = cmd == 'R' || cmd == 'U' ? 1 : 2;
        int rc = h->file->lock_byte - kIxHeaderSize;  // 'b'
        if (cmd != 'b') rc = cmd == 'R' || cmd == 'W' ? ix_lock(h, mode) : ix_unlock(h, mode);
        send_byte(out, static_cast<char>(rc));
      }
      return ix_close(h) == 1 ? 0 : 2;
    });
    char b = 0;
    ready = recv_byte(child.from_child, &b) == 1 && b == 'o';
  }
  ~Prober() { EXPECT_EQ(send_byte(child.to_child, 'q') == 1 ? wait_child(child) : -9, 0); }
  int ask(char cmd) {
    char b = 99;
    if (send_byte(child.to_child, cmd) != 1 || recv_byte(child.from_child, &b, 120000) != 1) return 99;
    return static_cast<signed char>(b);
  }
  Child child;
  bool ready = false;
};

class SharedIndexTest : public TreeTest {
 protected:
  void SetUp() override {
    ix_lock_settings = IxLockSettings{3, 5, 200};  // keep refusals quick
    Restart(16, 512);
    ASSERT_EQ(ix_close(Filled(512, 30, "shared.idx")), 1);  // closed before any fork
  }
};

// Readers take different bytes, one another reader holds passed over at
// once; a writer waits for the last reader.
TEST_F(SharedIndexTest, ReaderBytesTheWriterRangeAndAFailedCommit) {
  Prober other(path_);
  ASSERT_TRUE(other.ready);
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
  // Regression: closing a shared file wrote a failed commit's dirty pages without the writer lock.
  ASSERT_EQ(ix_begin_write(h->file), 1);
  uint8_t* d = ix_page_get(h->file, 1);
  ASSERT_NE(d, nullptr);
  d[270] = 'D';  // between the one leaf's entries and keys
  ix_page_dirty(h->file, d);
  FaultIo fault;
  fault.arm(IoKind::Write, 1, true);
  EXPECT_EQ(ix_commit(h->file), -1);
  // The busy mark left makes the other process refuse the file; without it, it takes the writer lock.
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

// Keys of the two processes interleave: "key0012c" < "key0012p" < "key0013c".
std::string who_key(int index, char who) { return key_of(index) + who; }

// One process's share (`mine` 0 for 'p', 1 for 'c'; refs index + mine * kKeys):
// inserts and deletes of its own keys (a lock held elsewhere too long leaves
// an operation unacknowledged); once both are done, a scan finds exactly the
// keys it kept. 0, or a code after printing what went wrong.
int work(const std::string& path, int mine, int in_fd, int out_fd) {
  const char who = "pc"[mine];
  IndexHandle* h = ix_open(path.c_str(), nullptr, 1, 0);
  if (h == nullptr) return 2;
  auto meet = [&] {  // now and then, so that neither finishes before the other starts
    char b = 0;
    return mine == 0 ? send_byte(out_fd, 'm') == 1 && recv_byte(in_fd, &b, 120000) == 1
                     : recv_byte(in_fd, &b, 120000) == 1 && send_byte(out_fd, 'm') == 1;
  };
  auto fail = [who](int code, int op, const char* what, int value) {
    fprintf(stderr, "[%c] op %d: %s %d\n", who, op, what, value);
    return code;
  };
  std::mt19937 rng(1001 + mine);
  std::vector<char> present(kKeys, 0);
  int busy = 0;
  for (int op = 0; op < kOps; ++op) {
    if (op > 0 && op % kMeetEvery == 0 && !meet()) return 11;
    const int index = static_cast<int>(rng() % kKeys);
    const std::string key = who_key(index, who);
    int rc = present[index] ? del(h, key, index + mine * kKeys) : put(h, key, index + mine * kKeys, 0);
    if (rc == 1) present[index] ^= 1;
    else if (rc == -1 && ix_error == kIxLockFailed) ++busy;
    else return fail(3, op, (key + ", ix_error").c_str(), ix_error);
  }
  if (busy > kOps / 4) return 13;
  if (!meet()) return 11;
  int32_t ref = 0;
  int rc = 1;
  while ((rc = ix_next(h, &ref)) == 1) {  // each kept key once (present 1 -> 2), nothing else
    const int index = ref - mine * kKeys;
    if (ref >= 0 && ref / kKeys == 1 - mine) continue;  // the other's
    if (index < 0 || index >= kKeys || current_key(h) != who_key(index, who) || present[index]++ != 1)
      return fail(9, kOps, "in the file, not kept or met twice: ref", ref);
  }
  if (rc != -3 || std::count(present.begin(), present.end(), 1) != 0) return fail(9, kOps, "kept keys missing, rc", rc);
  return ix_close(h) == 1 ? 0 : 10;
}

// The locks serialise the changes and the header refresh keeps each
// process's pages current: every acknowledged insert not later deleted is
// present, nothing else is, and the tree is sound.
TEST_F(SharedIndexTest, TwoWritersKeepEveryAcknowledgedInsert) {
  ix_lock_settings = IxLockSettings{10000, 1, 10000};  // the same time limit, retried every millisecond
  Restart(16, 4096);
  ASSERT_EQ(ix_close(Create(92, "two.idx")), 1);  // small pages: many splits and merges
  Child child = fork_child([&](int in_fd, int out_fd) { return work(path_, 1, in_fd, out_fd); });
  EXPECT_EQ(work(path_, 0, child.from_child, child.to_child), 0) << "see stderr";
  ASSERT_EQ(wait_child(child), 0) << "see stderr";
  IndexHandle* h = Open(1);
  ASSERT_NE(h, nullptr);
  int32_t count = 0;
  for (int32_t ref = 0; ix_next(h, &ref) == 1;) ++count;
  EXPECT_EQ(h->file->header.entry_total, count);
  ExpectSound(h);
}

}  // namespace
