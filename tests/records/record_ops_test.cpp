// Record operations: adding with a unique-key refusal, updating in place,
// shrinking and moving (with the record locks that follow a moved record),
// deleting, reading into growing buffers, finding by whole and leading-part
// keys, and walking in key and record order.
#include <fcntl.h>

#include "records_fixture.h"

namespace {

class RecordOpsTest : public RecordsTest {
 protected:
  // The notes table with its unique path index.
  void MakeIndexed() {
    t_ = make_notes("notes");
    ASSERT_NE(t_, nullptr);
    ASSERT_EQ(create_index(t_, "INDX_Path,U", {"Path"}), 1);
    path_ = tb_find_index(t_, "INDX_Path,U");
    phys_ = tb_physical_index(t_);
    ASSERT_NE(path_, nullptr);
  }
  int find_path(const std::string& p) {
    const void* key[] = {p.c_str()};
    return tb_find_key(t_, path_, key);
  }
  Table* t_ = nullptr;
  TableIndex* path_ = nullptr;
  TableIndex* phys_ = nullptr;
};

// --- add ---------------------------------------------------------------------------------

TEST_F(RecordOpsTest, DuplicateKeyOfAUniqueIndexUndoesTheAdd) {
  MakeIndexed();
  ASSERT_EQ(create_index(t_, "ByRemark", {"Remark"}), 1);
  TableIndex* by_remark = tb_find_index(t_, "ByRemark");
  // The newest index is filled first, so its entry exists when the unique
  // index refuses the key and must be taken back.
  ASSERT_EQ(t_->indexes, by_remark);
  ASSERT_NE(add(t_, "/a", "first"), 0);
  int32_t end = file_size(t_);

  const void* dup[] = {"/A", "second"};  // equal ignoring case
  EXPECT_EQ(tb_add_record(t_, nullptr, dup), -1);
  EXPECT_EQ(tb_error, kTbIndexLayer);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{end, 10}}));
  expect_free_space_consistent(t_);
  const void* second[] = {"second"};
  EXPECT_EQ(tb_find_key(t_, by_remark, second), 3);
  EXPECT_EQ(by_remark->state, -3);
  EXPECT_EQ(find_path("/a"), 2);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/a", "first"}));
}

TEST_F(RecordOpsTest, AddThroughAKeyedIndexMakesTheNewRecordCurrent) {
  MakeIndexed();
  add(t_, "/b", "1");
  const void* values[] = {"/a", "2"};
  ASSERT_EQ(tb_add_record(t_, path_, values), 1);
  EXPECT_EQ(path_->state, 1);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/a", "2"}));
  EXPECT_EQ(tb_next_record(t_, path_), 1);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/b", "1"}));
}

TEST_F(RecordOpsTest, ReadOnlyTableRefusesChanges) {
  MakeIndexed();
  add(t_, "/a", "x");
  ASSERT_EQ(tb_close(t_), 1);
  t_ = tb_open(base("notes").c_str(), 0, 1);
  ASSERT_NE(t_, nullptr);
  phys_ = tb_physical_index(t_);
  ASSERT_EQ(tb_first_record(t_, phys_), 1);
  const void* values[] = {"/b", "y"};
  EXPECT_EQ(tb_add_record(t_, nullptr, values), -1);
  EXPECT_EQ(tb_error, kTbReadOnly);
  EXPECT_EQ(tb_update_record(t_, phys_, values), -1);
  EXPECT_EQ(tb_error, kTbReadOnly);
  EXPECT_EQ(tb_delete_record(t_, phys_), -1);
  EXPECT_EQ(tb_error, kTbReadOnly);
}

// --- update --------------------------------------------------------------------------------

TEST_F(RecordOpsTest, SameLengthUpdateStaysInPlace) {
  MakeIndexed();
  int32_t at = add(t_, "/a", "abc");
  add(t_, "/z", "z");
  int32_t size = file_size(t_);
  ASSERT_EQ(find_path("/a"), 2);
  const void* values[] = {"/b", "xyz"};
  ASSERT_EQ(tb_update_record(t_, path_, values), 1);
  EXPECT_EQ(file_size(t_), size);
  EXPECT_EQ(find_path("/b"), 2);
  int32_t ref = 0;
  ASSERT_EQ(ix_current(path_->handle, &ref), 1);
  EXPECT_EQ(ref, at);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/b", "xyz"}));
  EXPECT_EQ(find_path("/a"), 3);
  EXPECT_TRUE(free_blocks(t_).empty());
}

TEST_F(RecordOpsTest, SmallShrinkKeepsTheWholeSpace) {
  MakeIndexed();
  int32_t at = add(t_, "/a", "abcd");  // 8 bytes
  add(t_, "/z", "z");
  ASSERT_TRUE(go_to(t_, at));
  const void* values[] = {"/a", "ab"};  // 6 bytes: 2 + 6 >= 8
  ASSERT_EQ(tb_update_record(t_, phys_, values), 1);
  EXPECT_EQ(blocks(t_).front(), (RawBlock{at, 8}));
  EXPECT_TRUE(free_blocks(t_).empty());
  ASSERT_EQ(find_path("/a"), 2);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/a", "ab"}));
}

TEST_F(RecordOpsTest, ShrinkBeyondTheThresholdFreesTheTail) {
  MakeIndexed();
  int32_t at = add(t_, "/a", text_of(47));  // 50 bytes
  add(t_, "/z", "z");
  ASSERT_TRUE(go_to(t_, at));
  const void* values[] = {"/a", "short"};  // 9 bytes
  ASSERT_EQ(tb_update_record(t_, phys_, values), 1);
  std::vector<RawBlock> b = blocks(t_);
  ASSERT_GE(b.size(), 2u);
  EXPECT_EQ(b[0], (RawBlock{at, 9}));
  EXPECT_EQ(b[1], (RawBlock{at + 11, -39}));
  expect_free_space_consistent(t_);
  ASSERT_EQ(find_path("/a"), 2);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/a", "short"}));
}

TEST_F(RecordOpsTest, LongerValueMovesTheRecordAndFreesItsOldBlock) {
  MakeIndexed();
  int32_t at = add(t_, "/a", "x");
  add(t_, "/z", "z");
  int32_t end = file_size(t_);
  ASSERT_EQ(find_path("/a"), 2);
  const void* values[] = {"/a", "a much longer remark"};
  ASSERT_EQ(tb_update_record(t_, path_, values), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at, 5}}));
  expect_free_space_consistent(t_);
  ASSERT_EQ(find_path("/a"), 2);
  int32_t ref = 0;
  ASSERT_EQ(ix_current(path_->handle, &ref), 1);
  EXPECT_EQ(ref, end);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/a", "a much longer remark"}));
}

TEST_F(RecordOpsTest, UpdateThroughThePhysicalIndexMovesItsCursorOn) {
  MakeIndexed();
  int32_t a = add(t_, "/a", "1");
  int32_t b = add(t_, "/b", "2");
  ASSERT_TRUE(go_to(t_, a));
  const void* values[] = {"/c", "3"};
  ASSERT_EQ(tb_update_record(t_, phys_, values), 1);
  EXPECT_EQ(t_->physical_cursor, b);
  EXPECT_EQ(phys_->state, 1);
}

// Free-space entries (first byte 254) lie after every index; a cursor pushed
// onto one has run past the end of its index, not before its start.
TEST_F(RecordOpsTest, CursorPushedOntoFreeSpaceEntriesIsPastTheEnd) {
  MakeIndexed();
  int32_t gone = add(t_, "/0", "gone");
  int32_t a = add(t_, "/a", "1");
  ASSERT_EQ(delete_at(t_, gone), 1);  // some free space exists
  ASSERT_EQ(find_path("/a"), 2);
  ASSERT_TRUE(go_to(t_, a));
  const void* values[] = {"/b", "1"};
  ASSERT_EQ(tb_update_record(t_, phys_, values), 1);
  EXPECT_EQ(path_->state, -3);
  EXPECT_EQ(tb_next_record(t_, path_), -3);
}

// --- delete --------------------------------------------------------------------------------

TEST_F(RecordOpsTest, DeleteWithoutACurrentRecordFails) {
  MakeIndexed();
  add(t_, "/a", "1");
  ASSERT_EQ(find_path("/zzz"), 3);
  ASSERT_EQ(path_->state, -3);
  EXPECT_EQ(tb_delete_record(t_, path_), -1);
  EXPECT_EQ(tb_error, kTbNoCurrent);
  EXPECT_EQ(blocks(t_).size(), 1u);
}

TEST_F(RecordOpsTest, DeleteLeavesTheIndexOnTheNextEntry) {
  MakeIndexed();
  add(t_, "/a", "1");
  add(t_, "/b", "2");
  ASSERT_EQ(find_path("/a"), 2);
  ASSERT_EQ(tb_delete_record(t_, path_), 1);
  EXPECT_EQ(path_->state, 1);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/b", "2"}));
  ASSERT_EQ(tb_delete_record(t_, path_), 1);
  EXPECT_EQ(path_->state, -3);
  EXPECT_EQ(tb_first_record(t_, path_), -3);
}

// --- read ----------------------------------------------------------------------------------

TEST_F(RecordOpsTest, ShortTextBufferGrowsToTheValue) {
  MakeIndexed();
  add(t_, "/a", "twenty characters..");  // 19 + "x" below
  const void* values[] = {"/b", "twenty characters..x"};
  ASSERT_EQ(tb_add_record(t_, path_, values), 1);
  void* buffers[2] = {std::malloc(4), std::malloc(4)};
  int32_t sizes[2] = {4, 4};
  ASSERT_EQ(tb_read_record(t_, path_, buffers, sizes), 1);
  EXPECT_EQ(sizes[0], 4);
  EXPECT_EQ(sizes[1], 21);
  EXPECT_STREQ(static_cast<char*>(buffers[0]), "/b");
  EXPECT_STREQ(static_cast<char*>(buffers[1]), "twenty characters..x");
  std::free(buffers[0]);
  std::free(buffers[1]);
}

TEST_F(RecordOpsTest, NumberBufferTooSmallIsAnError) {
  t_ = create("counts", {"Path", "Count,L"});
  int32_t count = 70000;
  const void* values[] = {"/a", &count};
  ASSERT_EQ(tb_add_record(t_, tb_physical_index(t_), values), 1);
  char path[8];
  int32_t got = 0;
  int16_t small = 0;
  void* buffers[2] = {path, &got};
  int32_t sizes[2] = {8, 4};
  ASSERT_EQ(tb_read_record(t_, tb_physical_index(t_), buffers, sizes), 1);
  EXPECT_EQ(got, 70000);
  buffers[1] = &small;
  sizes[1] = 2;
  EXPECT_EQ(tb_read_record(t_, tb_physical_index(t_), buffers, sizes), -1);
  EXPECT_EQ(tb_error, kTbBufferTooSmall);
  EXPECT_EQ(tb_read_record(t_, tb_physical_index(t_), nullptr, sizes), -1);
  EXPECT_EQ(tb_error, kTbMissingArgument);
}

// --- find ----------------------------------------------------------------------------------

TEST_F(RecordOpsTest, FindBetweenTwoKeysLandsOnTheGreater) {
  MakeIndexed();
  add(t_, "/d", "4");
  add(t_, "/b", "2");
  EXPECT_EQ(find_path("/B"), 2);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/b", "2"}));
  EXPECT_EQ(find_path("/c"), 3);
  EXPECT_EQ(path_->state, 1);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/d", "4"}));
  EXPECT_EQ(find_path("/e"), 3);
  EXPECT_EQ(path_->state, -3);
  EXPECT_EQ(tb_read_record(t_, path_, nullptr, nullptr), -1);  // 35 before the state
  void* buffers[2] = {nullptr, nullptr};
  int32_t sizes[2] = {0, 0};
  EXPECT_EQ(tb_read_record(t_, path_, buffers, sizes), -3);
}

TEST_F(RecordOpsTest, FindOnThePhysicalIndexIsRefused) {
  MakeIndexed();
  const void* key[] = {"/a"};
  EXPECT_EQ(tb_find_key(t_, phys_, key), -1);
  EXPECT_EQ(tb_error, kTbNeedsKeyed);
}

TEST_F(RecordOpsTest, LeadingPartFindUsesTheFirstKeyFieldOnly) {
  t_ = make_notes("notes");
  ASSERT_EQ(create_index(t_, "Both", {"Path", "Remark"}), 1);
  TableIndex* both = tb_find_index(t_, "Both");
  add(t_, "b", "y");
  add(t_, "c", "z");
  add(t_, "b", "x");
  add(t_, "a", "x");
  const void* b_only[] = {"b", nullptr};
  EXPECT_EQ(tb_find_key(t_, both, b_only), 3);
  EXPECT_EQ(read_texts(t_, both), (std::vector<std::string>{"b", "x"}));
  const void* bb[] = {"bb", nullptr};
  EXPECT_EQ(tb_find_key(t_, both, bb), 3);
  EXPECT_EQ(read_texts(t_, both), (std::vector<std::string>{"c", "z"}));
  const void* whole[] = {"b", "y"};
  EXPECT_EQ(tb_find_key(t_, both, whole), 2);
  EXPECT_EQ(read_texts(t_, both), (std::vector<std::string>{"b", "y"}));
}

TEST_F(RecordOpsTest, LengthPartKeysOnTheCutText) {
  t_ = make_notes("notes");
  ASSERT_EQ(create_index(t_, "Mid", {"Remark:2,3"}), 1);
  TableIndex* mid = tb_find_index(t_, "Mid");
  add(t_, "1", "xxabcdef");
  add(t_, "2", "x");  // start past the end: an empty part
  // Search values are cut the same way.
  const void* abc[] = {"--abc"};
  EXPECT_EQ(tb_find_key(t_, mid, abc), 2);
  EXPECT_EQ(read_texts(t_, mid)[0], "1");
  const void* empty[] = {""};
  EXPECT_EQ(tb_find_key(t_, mid, empty), 2);
  EXPECT_EQ(read_texts(t_, mid)[0], "2");
}

// --- first and next ------------------------------------------------------------------------

TEST_F(RecordOpsTest, EmptyKeyedIndexStaysPastTheEnd) {
  MakeIndexed();
  EXPECT_EQ(tb_first_record(t_, path_), -3);
  EXPECT_EQ(tb_next_record(t_, path_), -3);
  EXPECT_EQ(tb_next_record(t_, path_), -3);
  EXPECT_EQ(path_->state, -3);
}

TEST_F(RecordOpsTest, KeyOrderEndsAtTheLastEntryOfTheIndex) {
  MakeIndexed();
  ASSERT_EQ(create_index(t_, "ByRemark", {"Remark"}), 1);  // entries after the path index's
  add(t_, "/c", "1");
  add(t_, "/a", "2");
  add(t_, "/b", "3");
  std::vector<std::string> seen;
  for (int rc = tb_first_record(t_, path_); rc == 1; rc = tb_next_record(t_, path_))
    seen.push_back(read_texts(t_, path_)[0]);
  EXPECT_EQ(seen, (std::vector<std::string>{"/a", "/b", "/c"}));
  EXPECT_EQ(path_->state, -3);
}

TEST_F(RecordOpsTest, RecordOrderSkipsDeletedRecords) {
  MakeIndexed();
  int32_t a = add(t_, "/a", "1");
  int32_t b = add(t_, "/b", "2");
  int32_t c = add(t_, "/c", "3");
  ASSERT_EQ(delete_at(t_, b), 1);
  EXPECT_EQ(t_->physical_cursor, c);  // moved on from the deleted record
  std::vector<int32_t> seen;
  int rc = tb_first_record(t_, phys_);
  for (; rc == 1; rc = tb_next_record(t_, phys_)) seen.push_back(t_->physical_cursor);
  EXPECT_EQ(rc, -3);
  EXPECT_EQ(seen, (std::vector<int32_t>{a, c}));
  EXPECT_EQ(t_->physical_cursor, 0);
  EXPECT_EQ(tb_next_record(t_, phys_), -3);
  EXPECT_EQ(tb_read_record(t_, phys_, std::vector<void*>(2).data(), std::vector<int32_t>(2).data()), -3);
}

// --- shared mode -----------------------------------------------------------------------------

class SharedRecordOpsTest : public RecordOpsTest {
 protected:
  void SetUp() override {
    RecordOpsTest::SetUp();
    tb_lock_settings = {1, 1, 10};
  }
  // Whether another open of the data file can lock the 2 bytes at `at`.
  bool lockable_elsewhere(int32_t at) {
    int fd = io_open(base("notes.db").c_str(), 1, 1);
    EXPECT_GE(fd, 0);
    bool ok = io_lock(fd, at, 2, 1, 1, 10) == 1;
    if (ok) (void)io_unlock(fd, at, 2);
    (void)io_close(fd);
    return ok;
  }
};

TEST_F(SharedRecordOpsTest, RecordLockFollowsAMovedRecord) {
  MakeIndexed();
  int32_t old_at = add(t_, "/a", "x");
  add(t_, "/z", "z");
  int32_t end = file_size(t_);
  ASSERT_EQ(tb_close(t_), 1);
  t_ = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(t_, nullptr);
  path_ = tb_find_index(t_, "INDX_Path,U");
  ASSERT_EQ(find_path("/a"), 2);
  int32_t lock = 0;
  ASSERT_EQ(tb_lock_record(t_, path_, &lock), 1);
  EXPECT_FALSE(lockable_elsewhere(old_at));

  const void* values[] = {"/a", "moved to a longer block"};
  ASSERT_EQ(tb_update_record(t_, path_, values), 1);
  EXPECT_EQ(t_->lock_slot.address, end);
  EXPECT_EQ(t_->temp_lock, 0);
  EXPECT_FALSE(lockable_elsewhere(end));
  EXPECT_TRUE(lockable_elsewhere(old_at));
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{old_at, 5}}));
  ASSERT_EQ(tb_unlock_record(t_, lock), 1);
  EXPECT_TRUE(lockable_elsewhere(end));
  EXPECT_EQ(t_->lock_bits, 0u);
}

// Under the table read lock, records that follow one another in the data
// file are read a window at a time; a note another writer replaced while the
// lock was not held reads as replaced once it is taken again.
TEST_F(SharedRecordOpsTest, ReadsUnderTheTableReadLockSeeWhatWasWrittenBetweenLocks) {
  MakeIndexed();
  add(t_, "/a", "1");
  int32_t b = add(t_, "/b", "2");
  add(t_, "/c", text_of(600));
  ASSERT_EQ(tb_close(t_), 1);
  t_ = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(t_, nullptr);
  path_ = tb_find_index(t_, "INDX_Path,U");
  ASSERT_EQ(tb_lock_table(t_, 1), 1);
  ASSERT_EQ(tb_first_record(t_, path_), 1);
  for (const std::string& note : {std::string("1"), std::string("2"), text_of(600)}) {
    EXPECT_EQ(read_texts(t_, path_).at(1), note);
    (void)tb_next_record(t_, path_);
  }
  EXPECT_GT(t_->window_length, 0);
  ASSERT_EQ(tb_unlock_table(t_, 1), 1);
  int fd = io_open(base("notes.db").c_str(), 1, 1);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(io_write_at(fd, b + 2 + 3, 1, "9"), 1);  // after the word and "/b"
  (void)io_close(fd);
  ASSERT_EQ(tb_lock_table(t_, 1), 1);
  ASSERT_EQ(find_path("/b"), 2);
  EXPECT_EQ(read_texts(t_, path_), (std::vector<std::string>{"/b", "9"}));
  ASSERT_EQ(tb_unlock_table(t_, 1), 1);
}

TEST_F(SharedRecordOpsTest, PhysicalCursorHoldsItsRecordLocked) {
  MakeIndexed();
  int32_t a = add(t_, "/a", "1");
  int32_t b = add(t_, "/b", "2");
  ASSERT_EQ(tb_close(t_), 1);
  t_ = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(t_, nullptr);
  phys_ = tb_physical_index(t_);
  ASSERT_EQ(tb_first_record(t_, phys_), 1);
  EXPECT_FALSE(lockable_elsewhere(a));
  EXPECT_TRUE(lockable_elsewhere(b));
  ASSERT_EQ(tb_next_record(t_, phys_), 1);
  EXPECT_TRUE(lockable_elsewhere(a));
  EXPECT_FALSE(lockable_elsewhere(b));
  ASSERT_EQ(tb_next_record(t_, phys_), -3);
  EXPECT_TRUE(lockable_elsewhere(b));
}

TEST_F(SharedRecordOpsTest, WalkStopsAtARecordLockedElsewhere) {
  MakeIndexed();
  add(t_, "/a", "1");
  int32_t b = add(t_, "/b", "2");
  ASSERT_EQ(tb_close(t_), 1);
  t_ = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(t_, nullptr);
  phys_ = tb_physical_index(t_);
  int fd = io_open(base("notes.db").c_str(), 1, 1);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(io_lock(fd, b, 2, 1, 1, 10), 1);
  ASSERT_EQ(tb_first_record(t_, phys_), 1);
  EXPECT_EQ(tb_next_record(t_, phys_), -1);
  EXPECT_EQ(tb_error, kTbLockFailed);
  (void)io_close(fd);
}

}  // namespace
