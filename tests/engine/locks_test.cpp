// Locks between processes. Whether a record's bytes are locked is seen from
// a forked child with its own open of the data file (a lock in the same open
// file description would not conflict); a holder process takes locks on
// command over a pipe, and this one must then be refused with -4.
#include <string>
#include <utility>
#include <vector>

#include "engine_fixture.h"
#include "support/expect_error.h"
#include "support/fork_helper.h"

namespace {

class LocksTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    tb_lock_settings = TbLockSettings{3, 5, 100};  // refusals come quickly
    ix_lock_settings = IxLockSettings{3, 5, 100};
    Table* t = make_indexed("notes");
    ASSERT_NE(t, nullptr);
    for (const char* p : {"a", "b", "c", "d"}) address_.push_back(add(t, p, std::string("note ") + p));
    ASSERT_EQ(tb_close(t), 1);
  }
  void open() {
    ASSERT_NE(t_ = reopen("notes", 1), nullptr);
    ix_ = tb_find_index(t_, "INDX_Path,U");
  }
  // Makes `record` current and locks it: the lock's number, 0 on failure.
  int32_t lock(int record) {
    int32_t n = 0;
    EXPECT_NE(find(t_, std::string(1, char('a' + record))), 0);
    EXPECT_EQ(tb_lock_record(t_, ix_, &n), 1) << "record " << record;
    return n;
  }
  // 1 when another process finds the record's two bytes locked, 0 when free.
  int held(int record) {
    const std::string db = base("notes.db");
    const int32_t at = address_[static_cast<size_t>(record)];
    Child c = fork_child([db, at](int, int) {
      int fd = io_open(db.c_str(), 1, 1);
      return fd == -1 ? 3 : io_lock(fd, at, 2, 1, 0, 0) == 1 ? 0 : 1;
    });
    return wait_child(c);
  }
  std::vector<int32_t> address_;
  Table* t_ = nullptr;
  TableIndex* ix_ = nullptr;
};

TEST_F(LocksTest, RecordLocksAreNumberedHeldAndReleased) {
  ASSERT_NO_FATAL_FAILURE(open());
  for (int r = 0; r < 3; ++r) EXPECT_EQ(lock(r), r + 1);
  EXPECT_EQ((std::vector<int>{held(0), held(1), held(2), held(3)}), (std::vector<int>{1, 1, 1, 0}));
  EXPECT_EQ(tb_unlock_record(t_, 1), 1);  // the slot of number 1 is free, and taken next
  EXPECT_EQ(held(0), 0);
  EXPECT_EQ(lock(3), 1);
  EXPECT_EQ(lock(0), 4);
  EXPECT_EQ(lock(0), 5);  // the same record twice: held until both go
  EXPECT_EQ(tb_unlock_record(t_, 4), 1);
  EXPECT_EQ(held(0), 1);
  EXPECT_EQ(tb_unlock_record(t_, 5), 1);
  EXPECT_EQ(held(0), 0);
  EXPECT_LEAVES(tb_unlock_record(t_, 9), -1, tb_get_error(), kTbNoSuchLock);
  t_->lock_slot.next->number = INT32_MAX;  // as after a long run of locks: 2 is in use, 3 free again
  EXPECT_EQ(lock(0), 3);
  EXPECT_EQ(tb_close(t_), 1);
  EXPECT_EQ(held(2), 0);
}

// Commands to the holder: 'r' lock record a, 't' / 'u' take / drop the
// table's write lock, 'q' quit. It answers 'k' or 'x'.
TEST_F(LocksTest, LocksHeldByAnotherProcessRefuseThisOne) {
  const std::string name = base("notes");
  Child holder = fork_child([name](int in, int out) {
    Table* t = tb_open(name.c_str(), 1, 0);
    int32_t n = 0;
    for (char cmd; t != nullptr && recv_byte(in, &cmd) == 1 && cmd != 'q';) {
      int rc = cmd == 't' ? tb_lock_table(t, 2) : cmd == 'u' ? tb_unlock_table(t, 2) : -1;
      if (cmd == 'r' && find(t, "a") != 0) rc = tb_lock_record(t, tb_find_index(t, "INDX_Path,U"), &n);
      send_byte(out, rc == 1 ? 'k' : 'x');
    }
    return t != nullptr && tb_close(t) == 1 ? 0 : 3;
  });
  auto ask = [&](char cmd) {
    char b = 0;
    return send_byte(holder.to_child, cmd) == 1 && recv_byte(holder.from_child, &b) == 1 ? b : '?';
  };
  ASSERT_EQ(ask('r'), 'k');
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_NE(find(t_, "a"), 0);
  tb_set_error(kTbIndexExists);  // an earlier error survives
  int32_t n = 55;
  EXPECT_LEAVES(tb_lock_record(t_, ix_, &n), -4, ix_error, kIxLockFailed);
  EXPECT_EQ(tb_get_error(), kTbIndexExists);
  EXPECT_EQ(n, 55);
  EXPECT_EQ(lock(1), 1);  // another record is free
  ASSERT_EQ(ask('t'), 'k');
  EXPECT_LEAVES(tb_lock_table(t_, 1), -4, tb_get_error(), kTbLockFailed);
  EXPECT_EQ(t_->lock_bits, 0u);
  ASSERT_EQ(ask('u'), 'k');
  EXPECT_EQ(tb_lock_table(t_, 1) + tb_unlock_table(t_, 1), 2);
  send_byte(holder.to_child, 'q');
  EXPECT_EQ(wait_child(holder), 0);
  EXPECT_EQ(lock(0), 2);
  EXPECT_EQ(tb_close(t_), 1);
}

}  // namespace
