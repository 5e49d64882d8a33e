// Failures in the middle of a record operation, injected through the FileIo
// table: an index-page read that fails while the second index is changed.
// An add must leave neither record nor entry; an update must leave the old
// record reachable through every index.
//
// Each case runs once against a cold cache to learn at which read call the
// page of the second index is first read, then again from the same files
// with exactly that read failing.
#include <cstdio>

#include "records_fixture.h"
#include "support/fault_io.h"

namespace {

struct ReadLog {
  int (*inner)(int, int32_t, int32_t, void*) = nullptr;
  std::vector<std::pair<int, int32_t>> calls;  // (handle, offset), every read_at
};
ReadLog* g_log = nullptr;

int observed_read(int h, int32_t offset, int32_t length, void* buffer) {
  g_log->calls.emplace_back(h, offset);
  return g_log->inner(h, offset, length, buffer);
}

std::string name_of(const char* prefix, int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%03d", prefix, i);
  return buf;
}

class RecordFaultTest : public RecordsTest {
 protected:
  static constexpr int kRecords = 120;

  void SetUp() override {
    RecordsTest::SetUp();
    Table* t = make_notes("notes");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);  // number 1
    ASSERT_EQ(create_index(t, "ByRemark", {"Remark"}), 1);    // number 2, changed first
    for (int i = 0; i < kRecords; ++i) ASSERT_NE(add(t, name_of("path", i), name_of("remark", i)), 0);
    ASSERT_EQ(tb_close(t), 1);
    golden_db_ = read_whole_file(base("notes.db"));
    golden_idx_ = read_whole_file(base("notes.idx"));
  }

  // Opens the table from the saved files, with a cold page cache.
  Table* Reopen() {
    if (t_ != nullptr) (void)tb_close(t_);
    EXPECT_TRUE(write_whole_file(base("notes.db"), golden_db_));
    EXPECT_TRUE(write_whole_file(base("notes.idx"), golden_idx_));
    t_ = tb_open(base("notes").c_str(), 0, 0);
    EXPECT_NE(t_, nullptr);
    path_ = tb_find_index(t_, "INDX_Path,U");
    remark_ = tb_find_index(t_, "ByRemark");
    return t_;
  }

  // The index-file page that holds the entry with this key.
  int32_t leaf_of(TableIndex* ix, const std::string& value) {
    const void* key[] = {value.c_str()};
    EXPECT_EQ(tb_find_key(t_, ix, key), 2) << value;
    return ix->handle->cursor.leaf;
  }

  // Runs `op` on a freshly opened table with read call `fail_at` failing
  // (0: none), logging every read. Returns op's result.
  template <typename Op>
  int Run(int fail_at, Op op, ReadLog* log) {
    Reopen();
    FaultIo fault;
    log->calls.clear();
    log->inner = g_file_io.read_at;
    g_log = log;
    g_file_io.read_at = observed_read;
    if (fail_at > 0) fault.arm(IoKind::Read, fail_at);
    int rc = op();
    failures_ = fault.plan().failures;
    g_log = nullptr;
    return rc;
  }

  // 1-based number of the first read of index page `page`, or 0.
  int first_read_of(const ReadLog& log, int32_t page) const {
    const int32_t page_size = 512;
    for (size_t i = 0; i < log.calls.size(); ++i)
      if (log.calls[i].first != t_->data_file && log.calls[i].second == page * page_size)
        return static_cast<int>(i) + 1;
    return 0;
  }

  // The leaves holding record 50's entries in the keyed index changed first
  // and in the one changed second (the table's index-list order).
  std::pair<int32_t, int32_t> Leaves() {
    std::vector<int32_t> leaves;
    for (TableIndex* ix = t_->indexes; ix != nullptr; ix = ix->next)
      if (ix->number != 0) leaves.push_back(leaf_of(ix, ix == path_ ? "path050" : "remark050"));
    EXPECT_EQ(leaves.size(), 2u);
    return leaves.size() == 2 ? std::make_pair(leaves[0], leaves[1]) : std::make_pair(0, 0);
  }

  int find(TableIndex* ix, const std::string& value) {
    const void* key[] = {value.c_str()};
    return tb_find_key(t_, ix, key);
  }

  size_t record_count() {
    size_t n = 0;
    TableIndex* phys = tb_physical_index(t_);
    for (int rc = tb_first_record(t_, phys); rc == 1; rc = tb_next_record(t_, phys)) ++n;
    return n;
  }

  std::string golden_db_, golden_idx_;
  Table* t_ = nullptr;
  TableIndex* path_ = nullptr;
  TableIndex* remark_ = nullptr;
  int failures_ = 0;
};

TEST_F(RecordFaultTest, AddFailingInTheSecondIndexLeavesNoTrace) {
  const std::string new_path = "path050a", new_remark = "remark050a";
  Reopen();
  const auto [first_leaf, second_leaf] = Leaves();
  ASSERT_NE(first_leaf, second_leaf);
  auto op = [&] {
    const void* values[] = {new_path.c_str(), new_remark.c_str()};
    return tb_add_record(t_, nullptr, values);
  };

  ReadLog log;
  ASSERT_EQ(Run(0, op, &log), 1);
  const int first_read = first_read_of(log, first_leaf);
  const int second_read = first_read_of(log, second_leaf);
  ASSERT_GT(first_read, 0);
  ASSERT_GT(second_read, first_read) << "the indexes are changed in list order";

  const int32_t size_before = static_cast<int32_t>(golden_db_.size());
  EXPECT_EQ(Run(second_read, op, &log), -1);
  EXPECT_EQ(failures_, 1);
  EXPECT_EQ(tb_error, kTbIndexLayer);
  EXPECT_EQ(find(path_, new_path), 3);
  EXPECT_EQ(find(remark_, new_remark), 3);
  EXPECT_EQ(record_count(), static_cast<size_t>(kRecords));
  // The appended block is free again.
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{size_before, 20}}));
  expect_free_space_consistent(t_);
  EXPECT_EQ(find(path_, "path050"), 2);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"path050", "remark050"}));
}

TEST_F(RecordFaultTest, UpdateFailingInTheSecondIndexKeepsTheOldRecordEverywhere) {
  Reopen();
  const auto [first_leaf, second_leaf] = Leaves();
  ASSERT_NE(first_leaf, second_leaf);
  // The record is found through the physical index, so no index page is
  // read before the update itself.
  auto op = [&] {
    TableIndex* phys = tb_physical_index(t_);
    int rc = tb_first_record(t_, phys);
    for (int i = 0; i < 50 && rc == 1; ++i) rc = tb_next_record(t_, phys);
    if (rc != 1) return -9;
    const void* values[] = {"path050b", "remark050b"};  // longer: the record moves
    return tb_update_record(t_, phys, values);
  };

  ReadLog log;
  ASSERT_EQ(Run(0, op, &log), 1);
  const int first_read = first_read_of(log, first_leaf);
  const int second_read = first_read_of(log, second_leaf);
  ASSERT_GT(first_read, 0);
  ASSERT_GT(second_read, first_read) << "the indexes are changed in list order";

  EXPECT_EQ(Run(second_read, op, &log), -1);
  EXPECT_EQ(failures_, 1);
  EXPECT_EQ(tb_error, kTbIndexLayer);
  ASSERT_EQ(find(path_, "path050"), 2);
  int32_t by_path = 0, by_remark = 0;
  ASSERT_EQ(ix_current(path_->handle, &by_path), 1);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"path050", "remark050"}));
  ASSERT_EQ(find(remark_, "remark050"), 2);
  ASSERT_EQ(ix_current(remark_->handle, &by_remark), 1);
  EXPECT_EQ(read_texts(t_, remark_), (std::vector<std::string>{"path050", "remark050"}));
  EXPECT_EQ(by_path, by_remark);
  EXPECT_EQ(find(path_, "path050b"), 3);
  EXPECT_EQ(read_texts(t_, path_)[0], "path051");
  EXPECT_EQ(find(remark_, "remark050b"), 3);
  EXPECT_EQ(record_count(), static_cast<size_t>(kRecords));
  expect_free_space_consistent(t_);
}

}  // namespace
