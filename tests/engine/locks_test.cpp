// Locks: exclusive mode takes none; in shared mode the table locks, record
// locks and their numbers, the temporary lock beside a kept one, moving
// locks with a record, and locks held by another process. Whether a record's
// bytes are locked is seen from a forked child with its own open of the data
// file (a lock in the same open file description would not conflict).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "support/expect_error.h"
#include "support/fork_helper.h"

#define EXPECT_TB(call, result, error) EXPECT_LEAVES(call, result, tb_get_error(), error)

namespace {

const std::vector<std::string> kPaths = {"a", "b", "c", "d"};

class LocksTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    tb_lock_settings = TbLockSettings{3, 5, 100};  // keep refusals quick
    ix_lock_settings = IxLockSettings{3, 5, 100};
    TableIndex* ix = nullptr;
    Table* t = notes_by_path(&ix);
    ASSERT_NE(t, nullptr) << "tb_error " << tb_error;
    for (const auto& p : kPaths) {
      int32_t at = append_record(t, {p, "note " + p});
      ASSERT_GT(at, 0);
      std::vector<uint8_t> key = text_key(1, {p});
      ASSERT_EQ(ix_insert(ix->handle, key.data(), static_cast<int>(key.size()), at, 0), 1);
      address_.push_back(at);
    }
    ASSERT_EQ(tb_close(t), 1);
  }
  void TearDown() override {
    if (t_ != nullptr) {
      EXPECT_EQ(tb_close(t_), 1);
    }
    EngineTest::TearDown();
  }

  Table* open(int shared) {
    Table* t = tb_open(base("notes").c_str(), shared, 0);
    if (t != nullptr) ix_ = tb_find_index(t, "ByPath");
    return t;
  }
  // Opens the table as t_, which TearDown closes unless the test did.
  void open_t(int shared) {
    t_ = open(shared);
    ASSERT_NE(t_, nullptr);
  }
  int close_t() { return tb_close(std::exchange(t_, nullptr)); }
  int on(Table* t, int record) { return position(t, ix_, text_key(1, {kPaths[record]})); }

  // Positions t_ on `record` and locks it: the lock's number, 0 on failure.
  int32_t lock(int record) {
    EXPECT_EQ(on(t_, record), 2) << "record " << record;
    int32_t n = 0;
    EXPECT_EQ(tb_lock_record(t_, ix_, &n), 1) << "record " << record;
    return n;
  }

  // 1 when another process finds the record's two bytes locked, 0 when free.
  int held(int record) {
    std::string db = base("notes.db");
    int32_t at = address_[record];
    Child c = fork_child([db, at](int, int) {
      int fd = io_open(db.c_str(), 1, 1);
      if (fd == -1) return 3;
      return io_lock(fd, at, 2, 1, 0, 0) == 1 ? 0 : 1;
    });
    return wait_child(c);
  }

  std::vector<int32_t> address_;
  Table* t_ = nullptr;
  TableIndex* ix_ = nullptr;
};

TEST_F(LocksTest, ExclusiveModeTakesNoLocks) {
  ASSERT_NO_FATAL_FAILURE(open_t(0));
  ASSERT_EQ(on(t_, 0), 2);
  int32_t number = 777;
  EXPECT_EQ(tb_lock_record(t_, ix_, &number), 1);
  EXPECT_EQ(number, 777);
  EXPECT_EQ(t_->lock_slot.address, 0);
  EXPECT_EQ(tb_unlock_record(t_, 5), 1);
  EXPECT_EQ(tb_lock_table(t_, 1), 1);
  EXPECT_EQ(tb_lock_table(t_, 1), 1);
  EXPECT_EQ(tb_lock_table(t_, 3), 1);
  EXPECT_EQ(tb_unlock_table(t_, 9), 1);
  EXPECT_EQ(t_->lock_bits, 3u);
}

TEST_F(LocksTest, TableLocksInSharedMode) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  EXPECT_EQ(tb_lock_table(t_, 1), 1);
  EXPECT_EQ(t_->lock_bits, kLockTableRead);
  EXPECT_TB(tb_lock_table(t_, 1), -1, kTbLockHeld);
  EXPECT_TB(tb_lock_table(t_, 3), -1, kTbLockFailed);
  EXPECT_TB(tb_unlock_table(t_, 3), -1, kTbUnlockFailed);
  EXPECT_EQ(tb_lock_table(t_, 2), 1);
  EXPECT_TB(tb_lock_table(t_, 2), -1, kTbLockHeld);
  EXPECT_EQ(tb_unlock_table(t_, 1), 1);
  EXPECT_EQ(tb_unlock_table(t_, 2), 1);
  EXPECT_EQ(t_->lock_bits, 0u);
  EXPECT_EQ(t_->directory->file->lock_state, 0);
  EXPECT_EQ(tb_lock_table(t_, 1), 1);
}

TEST_F(LocksTest, LockBitsOfOneKindShareOneIndexFileLock) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  ASSERT_EQ(tb_take_lock_bit(t_, kLockIndexRead), 1);
  ASSERT_EQ(tb_lock_table(t_, 1), 1);
  EXPECT_EQ(ix_reader_state(t_->directory->file->lock_state), kLockHeld);
  EXPECT_EQ(tb_drop_lock_bit(t_, kLockIndexRead), 1);
  EXPECT_EQ(ix_reader_state(t_->directory->file->lock_state), kLockHeld);  // bit 4 keeps it
  EXPECT_EQ(tb_unlock_table(t_, 1), 1);
  EXPECT_EQ(t_->directory->file->lock_state, 0);
}

TEST_F(LocksTest, RecordLocksAreNumberedAndTheSlotIsReused) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  for (int r = 0; r < 3; ++r) EXPECT_EQ(lock(r), r + 1);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(held(r), 1) << r;
  EXPECT_EQ(held(3), 0);

  EXPECT_EQ(tb_unlock_record(t_, 1), 1);
  EXPECT_EQ(held(0), 0);
  EXPECT_EQ(t_->lock_slot.address, 0);
  EXPECT_EQ(lock(3), 1);
  EXPECT_EQ(t_->lock_slot.address, address_[3]);
  EXPECT_EQ(lock(0), 4);

  tb_set_error(0);
  EXPECT_TB(tb_unlock_record(t_, 9), -1, kTbNoSuchLock);
  EXPECT_EQ(tb_unlock_record(t_, 2), 1);
  EXPECT_EQ(held(1), 0);
  EXPECT_TB(tb_unlock_record(t_, 2), -1, kTbNoSuchLock);
  EXPECT_EQ(close_t(), 1);
  EXPECT_EQ(held(2), 0);
}

TEST_F(LocksTest, NumbersWrapToTheSmallestFreeOneAfterTheLargest) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  for (int r = 0; r < 3; ++r) ASSERT_EQ(lock(r), r + 1);
  t_->lock_slot.next->number = INT32_MAX;  // as after a long run of locks
  EXPECT_EQ(lock(3), 3);  // 2 is in use, 3 is free again
}

TEST_F(LocksTest, SameRecordLockedTwiceStaysLockedUntilBothGo) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  int32_t first = lock(0), second = lock(0);
  EXPECT_NE(first, second);
  EXPECT_EQ(tb_unlock_record(t_, first), 1);
  EXPECT_EQ(held(0), 1);
  EXPECT_EQ(tb_unlock_record(t_, second), 1);
  EXPECT_EQ(held(0), 0);
}

TEST_F(LocksTest, KeptAndTemporaryLockOnOneRecord) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  ASSERT_EQ(on(t_, 0), 2);
  // Temporary first, then kept.
  int took = 0;
  ASSERT_EQ(rec_take_temp_lock(t_, address_[0], &took), 1);
  EXPECT_EQ(took, 1);
  int32_t n = 0;
  ASSERT_EQ(tb_lock_record(t_, ix_, &n), 1);
  ASSERT_EQ(rec_release_temp_lock(t_), 1);
  EXPECT_EQ(t_->temp_lock, 0);
  EXPECT_EQ(held(0), 1);
  ASSERT_EQ(tb_unlock_record(t_, n), 1);
  EXPECT_EQ(held(0), 0);

  // Kept first, then temporary: the temporary one takes nothing.
  ASSERT_EQ(tb_lock_record(t_, ix_, &n), 1);
  ASSERT_EQ(rec_take_temp_lock(t_, address_[0], &took), 1);
  EXPECT_EQ(took, 0);
  ASSERT_EQ(rec_release_temp_lock(t_), 1);
  EXPECT_EQ(held(0), 1);
  ASSERT_EQ(tb_unlock_record(t_, n), 1);
  EXPECT_EQ(held(0), 0);
}

TEST_F(LocksTest, MovedRecordTakesItsLocksAlong) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  int32_t n = lock(0);
  ASSERT_EQ(rec_move_record_locks(t_, address_[0], address_[2]), 1);
  EXPECT_EQ(t_->lock_slot.address, address_[2]);
  EXPECT_EQ(held(0), 0);
  EXPECT_EQ(held(2), 1);
  // Nothing held the old address: the new one is not kept locked either.
  ASSERT_EQ(rec_move_record_locks(t_, address_[1], address_[3]), 1);
  EXPECT_EQ(held(3), 0);
  ASSERT_EQ(tb_unlock_record(t_, n), 1);
  EXPECT_EQ(held(2), 0);
}

TEST_F(LocksTest, RecordLockNeedsACurrentRecord) {
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  int32_t n = 0;
  EXPECT_TB(tb_lock_record(t_, ix_, &n), -1, kTbNoCurrent);  // state -2 after open
  // A state of 1 whose cursor stands past the last entry.
  ASSERT_EQ(position(t_, ix_, text_key(1, {"zzz"})), -3);
  ix_->state = 1;
  EXPECT_TB(tb_lock_record(t_, ix_, &n), -1, kTbNoCurrent);
  EXPECT_EQ(t_->lock_bits, 0u);  // the read bit taken for the look-up is gone

  Table* other = make_notes("other");
  ASSERT_NE(other, nullptr);
  EXPECT_TB(tb_lock_record(other, ix_, &n), -1, kTbForeignIndex);
  Table stranger{};
  EXPECT_TB(tb_lock_record(&stranger, ix_, &n), -1, kTbNotOpen);
  EXPECT_TB(tb_unlock_record(&stranger, 1), -1, kTbNotOpen);
  EXPECT_TB(tb_lock_table(&stranger, 1), -1, kTbNotOpen);
  EXPECT_EQ(tb_close(other), 1);
}

TEST_F(LocksTest, SharedOpenWaitsForTheHeaderLockAndGivesUp) {
  std::string db = base("notes.db");
  Child c = fork_child([db](int in, int out) {
    int fd = io_open(db.c_str(), 1, 1);
    if (fd == -1 || io_lock(fd, 2, 1, 1, 0, 0) != 1) return 1;  // one byte inside the header
    send_byte(out, 'k');
    char b;
    recv_byte(in, &b);
    return 0;
  });
  char b = 0;
  ASSERT_EQ(recv_byte(c.from_child, &b), 1);
  EXPECT_TB(open(1), nullptr, kTbLockFailed);
  EXPECT_EQ(tb_tables.head, nullptr);
  // Once the header is free the shared open succeeds.
  send_byte(c.to_child, 'q');
  EXPECT_EQ(wait_child(c), 0);
  ASSERT_NO_FATAL_FAILURE(open_t(1));
}

// Another process holds something; this one gets -4 after its retries.
class LockHolderTest : public LocksTest {
 protected:
  // Forked before this process opens the table. Commands: 'r' lock record 0,
  // 't' table write lock, 'q' quit. Answers 'k' or 'x'.
  void start_holder() {
    std::string name = base("notes");
    holder_ = fork_child([name](int in, int out) {
      Table* t = tb_open(name.c_str(), 1, 0);
      if (t == nullptr) return 2;
      TableIndex* ix = tb_find_index(t, "ByPath");
      for (char cmd; recv_byte(in, &cmd) == 1 && cmd != 'q';) {
        int rc = -1;
        int32_t n = 0;
        if (cmd == 'r' && position(t, ix, text_key(1, {"a"})) == 2) rc = tb_lock_record(t, ix, &n);
        if (cmd == 't') rc = tb_lock_table(t, 2);
        send_byte(out, rc == 1 ? 'k' : 'x');
      }
      return tb_close(t) == 1 ? 0 : 3;
    });
    ASSERT_GT(holder_.pid, 0);
  }
  char ask(char cmd) {
    char b = 0;
    if (send_byte(holder_.to_child, cmd) != 1 || recv_byte(holder_.from_child, &b) != 1) return '?';
    return b;
  }
  int stop() {
    send_byte(holder_.to_child, 'q');
    return wait_child(holder_);
  }
  Child holder_;
};

TEST_F(LockHolderTest, RecordLockedByAnotherProcessGivesMinusFour) {
  start_holder();
  ASSERT_EQ(ask('r'), 'k');
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  ASSERT_EQ(on(t_, 0), 2);
  tb_set_error(kTbIndexExists);  // any earlier value survives
  int32_t n = 55;
  EXPECT_LEAVES(tb_lock_record(t_, ix_, &n), -4, ix_error, kIxLockFailed);
  EXPECT_EQ(tb_get_error(), kTbIndexExists);
  EXPECT_EQ(n, 55);
  EXPECT_EQ(t_->lock_slot.address, 0);
  EXPECT_EQ(lock(1), 1);  // another record is free
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(lock(0), 2);
}

TEST_F(LockHolderTest, TableWriteLockElsewhereRefusesOurReadLock) {
  start_holder();
  ASSERT_NO_FATAL_FAILURE(open_t(1));
  ASSERT_EQ(ask('t'), 'k');
  EXPECT_TB(tb_lock_table(t_, 1), -4, kTbLockFailed);
  EXPECT_EQ(t_->lock_bits, 0u);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(tb_lock_table(t_, 1), 1);
}

}  // namespace
