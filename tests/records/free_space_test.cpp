// Free space: appending, reuse of the largest free block (whole or split),
// merging a released block with its free neighbours, the stored bytes of the
// free-space keys, and merges that would not fit a length word.
#include <algorithm>

#include "records_fixture.h"

namespace {

using FreeSpaceTest = RecordsTest;

TEST_F(FreeSpaceTest, NewTableAppendsEveryRecordFromFirstRecord) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  int32_t expected = t->first_record;
  for (int i = 0; i < 5; ++i) {
    std::string remark = text_of(10 + i);
    int32_t at = add(t, "p" + std::to_string(i), remark);
    ASSERT_EQ(at, expected) << i;
    expected += 2 + 3 + 10 + i;
  }
  EXPECT_EQ(file_size(t), expected);
  EXPECT_TRUE(free_blocks(t).empty());
}

TEST_F(FreeSpaceTest, SameLengthRecordReusesTheOnlyFreedBlock) {
  Table* t = make_notes("notes");
  int32_t at = add(t, "p1", text_of(20));  // payload 23
  ASSERT_EQ(delete_at(t, at), 1);
  EXPECT_EQ(free_blocks(t), (std::vector<FreeEntry>{{at, 23}}));
  int32_t size = file_size(t);

  EXPECT_EQ(add(t, "p2", text_of(20, 's')), at);
  EXPECT_EQ(blocks(t), (std::vector<RawBlock>{{at, 23}}));
  EXPECT_EQ(file_size(t), size);
  expect_free_space_consistent(t);
}

TEST_F(FreeSpaceTest, LeftoverBelowMinRecordSizeGoesWithTheRecord) {
  Table* t = make_notes("notes");  // min_record_size 4
  ASSERT_EQ(t->min_record_size, 4);
  int32_t at = add(t, "p1", text_of(20));  // 23 bytes
  ASSERT_EQ(delete_at(t, at), 1);
  // 21 bytes of payload: 2 left over, below 4, so the record takes all 23.
  EXPECT_EQ(add(t, "p2", text_of(18)), at);
  EXPECT_EQ(blocks(t), (std::vector<RawBlock>{{at, 23}}));
  EXPECT_EQ(free_entries(t).first.size(), 0u);
  EXPECT_EQ(read_texts(t, tb_physical_index(t)), (std::vector<std::string>{"p2", text_of(18)}));
}

TEST_F(FreeSpaceTest, LargeFreeBlockIsSplitBehindTheRecord) {
  Table* t = create("counts", {"Path", "Count,I"});
  ASSERT_EQ(t->min_record_size, 5);
  int16_t count = 7;
  std::string p100 = text_of(98, 'a');  // 98 + 2 = 100
  const void* v100[] = {p100.c_str(), &count};
  ASSERT_EQ(tb_add_record(t, tb_physical_index(t), v100), 1);
  int32_t a = t->physical_cursor;
  std::string tail = "z";
  const void* vz[] = {tail.c_str(), &count};
  ASSERT_EQ(tb_add_record(t, nullptr, vz), 1);
  ASSERT_EQ(delete_at(t, a), 1);
  ASSERT_EQ(free_blocks(t), (std::vector<FreeEntry>{{a, 100}}));

  std::string p40 = text_of(38, 'b');  // 38 + 2 = 40
  const void* v40[] = {p40.c_str(), &count};
  ASSERT_EQ(tb_add_record(t, tb_physical_index(t), v40), 1);
  EXPECT_EQ(t->physical_cursor, a);
  std::vector<RawBlock> b = blocks(t);
  ASSERT_GE(b.size(), 2u);
  EXPECT_EQ(b[0], (RawBlock{a, 40}));
  EXPECT_EQ(b[1], (RawBlock{a + 42, -58}));
  auto [by_address, by_size] = free_entries(t);
  EXPECT_EQ(by_address, (std::vector<FreeEntry>{{a + 42, 58}}));
  EXPECT_EQ(by_size, (std::vector<FreeEntry>{{a + 42, 58}}));
}

class LargestBlockTest : public RecordsTest {
 protected:
  // Free blocks of the two payload sizes, kept apart by live records.
  void Build(int first, int second) {
    t_ = make_notes("notes");
    small_ = add(t_, "a", text_of(first - 2));
    add(t_, "sep1", "x");
    large_ = add(t_, "b", text_of(second - 2));
    add(t_, "sep2", "x");
    ASSERT_EQ(delete_at(t_, small_), 1);
    ASSERT_EQ(delete_at(t_, large_), 1);
    ASSERT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{small_, first}, {large_, second}}));
  }
  Table* t_ = nullptr;
  int32_t small_ = 0, large_ = 0;
};

TEST_F(LargestBlockTest, RecordGoesIntoTheLargestBlock) {
  Build(10, 30);
  EXPECT_EQ(add(t_, "c", text_of(18)), large_);  // payload 20
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{small_, 10}, {large_ + 22, 8}}));
  expect_free_space_consistent(t_);
}

TEST_F(LargestBlockTest, RecordLargerThanTheLargestBlockIsAppended) {
  Build(10, 15);
  int32_t end = file_size(t_);
  EXPECT_EQ(add(t_, "c", text_of(18)), end);  // payload 20
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{small_, 10}, {large_, 15}}));
  expect_free_space_consistent(t_);
}

class MergeTest : public RecordsTest {
 protected:
  // Records of the given payloads, then a live record behind them.
  void Build(std::vector<int> payloads) {
    t_ = make_notes("notes");
    for (size_t i = 0; i < payloads.size(); ++i)
      at_.push_back(add(t_, std::string(1, static_cast<char>('a' + i)), text_of(payloads[i] - 2)));
    add(t_, "end", "x");
  }
  Table* t_ = nullptr;
  std::vector<int32_t> at_;
};

TEST_F(MergeTest, BlockBetweenTwoFreeBlocksBecomesOne) {
  Build({10, 20, 30});
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  ASSERT_EQ(delete_at(t_, at_[2]), 1);
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  auto [by_address, by_size] = free_entries(t_);
  EXPECT_EQ(by_address, (std::vector<FreeEntry>{{at_[0], 64}}));
  EXPECT_EQ(by_size, (std::vector<FreeEntry>{{at_[0], 64}}));
  EXPECT_EQ(blocks(t_).front(), (RawBlock{at_[0], -64}));
}

TEST_F(MergeTest, ReleaseJoinsTheFollowingFreeBlock) {
  Build({10, 20});
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at_[0], 32}}));
  expect_free_space_consistent(t_);
}

TEST_F(MergeTest, ReleaseJoinsThePrecedingFreeBlock) {
  Build({10, 20});
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at_[0], 32}}));
  expect_free_space_consistent(t_);
}

// A merged block above 32767 bytes could not be stated by its length word;
// the blocks stay apart.
TEST_F(MergeTest, MergeAboveTheLengthWordLimitLeavesBlocksApart) {
  Build({20000, 20000});
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at_[0], 20000}, {at_[1], 20000}}));
  expect_free_space_consistent(t_);
}

TEST_F(MergeTest, MergeWithFollowingBlockAboveTheLimitLeavesBlocksApart) {
  Build({20000, 20000});
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at_[0], 20000}, {at_[1], 20000}}));
  expect_free_space_consistent(t_);
}

TEST_F(MergeTest, ThreeWayMergeAboveTheLimitFallsBackToThePrecedingBlock) {
  Build({100, 100, 32600});
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  ASSERT_EQ(delete_at(t_, at_[2]), 1);
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at_[0], 202}, {at_[2], 32600}}));
  expect_free_space_consistent(t_);
}

TEST_F(MergeTest, ThreeWayMergeAboveTheLimitFallsBackToTheFollowingBlock) {
  Build({32700, 100, 100});
  ASSERT_EQ(delete_at(t_, at_[0]), 1);
  ASSERT_EQ(delete_at(t_, at_[2]), 1);
  ASSERT_EQ(delete_at(t_, at_[1]), 1);
  EXPECT_EQ(free_blocks(t_), (std::vector<FreeEntry>{{at_[0], 32700}, {at_[1], 202}}));
  expect_free_space_consistent(t_);
}

// The keys as they lie in the index file: size 300 is FF 01 2C, address
// 70000 is FE 00 01 11 70, each with the other number as its reference.
TEST_F(FreeSpaceTest, FreeSpaceKeysAreStoredMostSignificantByteFirst) {
  Table* t = make_notes("notes");
  ASSERT_EQ(t->first_record, 16);
  // Three fillers of 23328 bytes each bring the next record to 70000.
  for (char c : {'a', 'b', 'c'}) ASSERT_NE(add(t, std::string(1, c), text_of(23324)), 0);
  ASSERT_EQ(add(t, "x", text_of(298)), 70000);  // payload 300
  ASSERT_NE(add(t, "z", "z"), 0);
  ASSERT_EQ(delete_at(t, 70000), 1);
  ASSERT_EQ(tb_close(t), 1);

  IndexHandle* h = ix_open(base("notes.idx").c_str(), tb_compare_keys, 0, 1);
  ASSERT_NE(h, nullptr);
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> found;
  int32_t ref = 0;
  while (ix_next(h, &ref) == 1) {
    int length = 0;
    ASSERT_EQ(ix_current_key_length(h, &length), 1);
    std::vector<uint8_t> key(static_cast<size_t>(length));
    ASSERT_EQ(ix_current_key(h, key.data(), length), 1);
    if (key[0] >= 0xFE) found.emplace_back(key, ref);
  }
  ASSERT_EQ(ix_close(h), 1);
  const std::vector<uint8_t> address_key = {0xFE, 0x00, 0x01, 0x11, 0x70};
  const std::vector<uint8_t> size_key = {0xFF, 0x01, 0x2C};
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].first, address_key);
  EXPECT_EQ(found[0].second, 300);
  EXPECT_EQ(found[1].first, size_key);
  EXPECT_EQ(found[1].second, 70000);
}

}  // namespace
