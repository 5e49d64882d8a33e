// One index file shared by two processes: reader bytes, the writer range
// against readers, and commits noticed through change_count. The other
// process is a forked child, forked while the parent has nothing open, that
// opens the file itself (an inherited IndexFile would share its descriptor
// and with it the byte-range locks).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "btree/index_file.h"
#include "btree/node.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

constexpr int kMarkAt = 100;  // byte of page 1 that the tests change

// A child holding its own shared handle on a file, driven over the pipe:
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
        int rc = 0;
        switch (cmd) {
          case 'R': rc = ix_lock(h, 1); break;
          case 'W': rc = ix_lock(h, 2); break;
          case 'U': rc = ix_unlock(h, 1); break;
          case 'V': rc = ix_unlock(h, 2); break;
          case 'r':
          case 'w': {
            int mode = cmd == 'r' ? 1 : 2;
            rc = ix_lock(h, mode);
            if (rc == 1 && ix_unlock(h, mode) != 1) rc = -1;
            break;
          }
          case 'b': rc = h->file->lock_byte - kIxHeaderSize; break;
        }
        send_byte(out, static_cast<char>(rc));
      }
      return ix_close(h) == 1 ? 0 : 2;
    });
    char b = 0;
    ready_ = recv_byte(child_.from_child, &b) == 1 && b == 'o';
  }
  ~Prober() { EXPECT_EQ(finish(), 0); }

  bool ready() const { return ready_; }
  int ask(char cmd) {
    char b = 99;
    if (send_byte(child_.to_child, cmd) != 1 || recv_byte(child_.from_child, &b) != 1) return 99;
    return static_cast<signed char>(b);
  }
  int finish() {
    if (child_.pid <= 0) return 0;
    send_byte(child_.to_child, 'q');
    return wait_child(child_);
  }

 private:
  Child child_;
  bool ready_ = false;
};

class SharedIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ix_lock_settings;
    ix_lock_settings = IxLockSettings{3, 5, 200};  // keep refusals quick
    ASSERT_EQ(ix_startup(16, 512), 1);
    // One leaf page with 'A' at kMarkAt, closed before any child is forked.
    IndexHandle* h = ix_create(path_.c_str(), nullptr, 512);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ix_begin_write(h->file), 1);
    int32_t n;
    uint8_t* d = ix_alloc_page(h->file, &n);
    ASSERT_NE(d, nullptr);
    node_init_leaf(d, 512, 0, 0);
    d[kMarkAt] = 'A';
    ix_page_dirty(h->file, d);
    ASSERT_EQ(ix_commit(h->file), 1);
    ASSERT_EQ(ix_close(h), 1);
  }
  void TearDown() override {
    while (ix_pool() != nullptr && ix_shutdown() != 1) {
    }
    ix_lock_settings = saved_;
  }

  // Reads page 1's mark as a reading operation would: refresh, read, release.
  int read_mark(IndexFile* f) {
    if (ix_refresh(f) != 1) return -1;
    uint8_t* d = ix_page_get(f, 1);
    int mark = d != nullptr ? d[kMarkAt] : -1;
    if (d != nullptr) ix_page_unpin(f, d);
    return ix_end_op(f) == 1 ? mark : -1;
  }

  TempDir dir_;
  std::string path_ = dir_.file("shared.idx");
  IxLockSettings saved_;
};

TEST_F(SharedIndexTest, TwoReadersHoldDifferentBytes) {
  Prober other(path_);
  ASSERT_TRUE(other.ready());
  ASSERT_EQ(other.ask('R'), 1);
  IndexHandle* h = ix_open(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ix_lock(h, 1), 1);
  EXPECT_NE(h->file->lock_byte, kIxHeaderSize + other.ask('b'));
  EXPECT_EQ(ix_unlock(h, 1), 1);
  EXPECT_EQ(h->file->lock_state, 0);
}

TEST_F(SharedIndexTest, WriterWaitsForTheLastReader) {
  Prober other(path_);
  ASSERT_TRUE(other.ready());
  IndexHandle* h = ix_open(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(other.ask('R'), 1);
  EXPECT_EQ(ix_lock(h, 2), -4);
  EXPECT_EQ(ix_error, kIxLockFailed);
  EXPECT_EQ(h->file->lock_state, 0);
  ASSERT_EQ(other.ask('U'), 1);
  ASSERT_EQ(ix_lock(h, 2), 1);
  EXPECT_EQ(other.ask('r'), -4);  // and no reader gets in under a writer
  EXPECT_EQ(ix_unlock(h, 2), 1);
  EXPECT_EQ(other.ask('w'), 1);
  EXPECT_EQ(ix_unlock(h, 2), 1);  // not held: nothing to do
}

// Holding both kinds and giving them up in either order never leaves a hole
// in the writer range nor loses the reader byte.
TEST_F(SharedIndexTest, ReaderAndWriterHeldTogetherReleaseInEitherOrder) {
  Prober other(path_);
  ASSERT_TRUE(other.ready());
  IndexHandle* h = ix_open(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(h, nullptr);

  ASSERT_EQ(ix_lock(h, 1), 1);
  ASSERT_EQ(ix_lock(h, 2), 1);
  EXPECT_EQ(other.ask('r'), -4);
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
  EXPECT_EQ(other.ask('w'), 1);
  EXPECT_EQ(h->file->lock_state, 0);
}

// A commit whose writes failed leaves its pages dirty here; with another
// process holding the writer lock, the close must not write them.
TEST_F(SharedIndexTest, CloseAfterAFailedCommitWritesNoPageWithoutTheLock) {
  Prober other(path_);
  ASSERT_TRUE(other.ready());
  IndexHandle* h = ix_open(path_.c_str(), nullptr, 1, 0);
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
  // the file until it is rebuilt; with the mark taken off by hand, it
  // takes the writer lock.
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

TEST_F(SharedIndexTest, CommitIsSeenThroughChangeCountAndDropsStalePages) {
  Child writer = fork_child([this](int in, int out) {
    char go;
    if (recv_byte(in, &go) != 1) return 9;
    IndexHandle* w = ix_open(path_.c_str(), nullptr, 1, 0);
    if (w == nullptr || ix_begin_write(w->file) != 1) return 1;
    uint8_t* d = ix_page_get(w->file, 1);
    if (d == nullptr) return 2;
    d[kMarkAt] = 'B';
    ix_page_dirty(w->file, d);
    if (ix_commit(w->file) != 1) return 3;
    send_byte(out, 'c');
    char b;
    recv_byte(in, &b);  // stay open: nothing but the commit may write the page
    return 0;
  });
  IndexHandle* h = ix_open(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(h, nullptr);
  IndexFile* f = h->file;
  ASSERT_EQ(read_mark(f), 'A');
  int32_t before = f->seen_change_count;
  send_byte(writer.to_child, 'g');
  char b;
  ASSERT_EQ(recv_byte(writer.from_child, &b), 1);

  uint8_t* cached = pc_get_page(f->paged, 1);  // this process still has 'A'
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(cached[kMarkAt], 'A');
  pc_unpin_page(f->paged, cached);
  EXPECT_EQ(read_mark(f), 'B');
  EXPECT_EQ(f->seen_change_count, before + 1);
  send_byte(writer.to_child, 'q');
  EXPECT_EQ(wait_child(writer), 0);
}

// A commit made under a writer lock held through ix_lock is only recorded;
// giving the lock up must put the changed pages on disk before another
// process can see the new change_count.
TEST_F(SharedIndexTest, HeldWriterCommitReachesDiskBeforeTheLockIsGivenUp) {
  Child writer = fork_child([this](int in, int out) {
    char go;
    if (recv_byte(in, &go) != 1) return 9;
    IndexHandle* w = ix_open(path_.c_str(), nullptr, 1, 0);
    if (w == nullptr || ix_lock(w, 2) != 1) return 1;
    IndexFile* wf = w->file;
    if (ix_begin_write(wf) != 1) return 2;
    uint8_t* d = ix_page_get(wf, 1);
    if (d == nullptr) return 3;
    d[kMarkAt] = 'C';
    ix_page_dirty(wf, d);
    if (ix_commit(wf) != 1 || wf->header_deferred != 1) return 4;
    if (ix_unlock(w, 2) != 1) return 5;
    send_byte(out, 'u');
    char b;
    recv_byte(in, &b);  // stay open: a close would write the page anyway
    return 0;
  });
  IndexHandle* h = ix_open(path_.c_str(), nullptr, 1, 0);
  ASSERT_NE(h, nullptr);
  IndexFile* f = h->file;
  ASSERT_EQ(read_mark(f), 'A');  // page 1 now cached here
  send_byte(writer.to_child, 'g');
  char b;
  ASSERT_EQ(recv_byte(writer.from_child, &b), 1);
  EXPECT_EQ(read_mark(f), 'C');
  EXPECT_EQ(f->seen_change_count, 2);
  send_byte(writer.to_child, 'q');
  EXPECT_EQ(wait_child(writer), 0);
}

}  // namespace
