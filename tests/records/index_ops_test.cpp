// Defining and removing keyed indexes: the stored directory entry, name and
// field checks, shared and read-only refusals, a unique index that cannot be
// filled, the bound on index numbers, and dropping an index with its entries.
#include "records_fixture.h"

namespace {

class IndexOpsTest : public RecordsTest {
 protected:
  // Every (key, ref) of the index file, read through a handle of its own.
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> stored(const std::string& table) {
    std::vector<std::pair<std::vector<uint8_t>, int32_t>> out;
    IndexHandle* h = ix_open(base(table + ".idx").c_str(), tb_compare_keys, 0, 1);
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return out;
    int32_t ref = 0;
    while (ix_next(h, &ref) == 1) {
      int length = 0;
      EXPECT_EQ(ix_current_key_length(h, &length), 1);
      std::vector<uint8_t> key(static_cast<size_t>(length));
      EXPECT_EQ(ix_current_key(h, key.data(), length), 1);
      out.emplace_back(key, ref);
    }
    EXPECT_EQ(ix_close(h), 1);
    return out;
  }
  static std::vector<uint8_t> bytes(const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); }
  // Keys of the index file whose first byte is `first`.
  static size_t count_first(const std::vector<std::pair<std::vector<uint8_t>, int32_t>>& all, uint8_t first) {
    size_t n = 0;
    for (const auto& e : all) n += !e.first.empty() && e.first[0] == first;
    return n;
  }
};

TEST_F(IndexOpsTest, PathIndexGetsNumberOneAndItsExactDirectoryKey) {
  Table* t = make_notes("notes");
  ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(ix->number, 1);
  EXPECT_NE(ix->unique_marks, 0);
  EXPECT_EQ(t->index_count, 2);
  ASSERT_EQ(tb_close(t), 1);

  auto all = stored("notes");
  const uint8_t expected[18] = {0x00, 'I', 'N', 'D', 'X', '_', 'P', 'a', 't',
                                'h',  ',', 'U', 0x00, 'P', 'a', 't', 'h', 0x00};
  bool found = false;
  for (const auto& [key, ref] : all) {
    if (key == std::vector<uint8_t>(expected, expected + 18)) {
      found = true;
      EXPECT_EQ(ref, 1);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(count_first(all, 0), 2u);  // with the physical index's
}

TEST_F(IndexOpsTest, IndexNamesAreCaseInsensitiveAndSpecsNameFieldsIgnoringCase) {
  Table* t = make_notes("notes");
  ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
  EXPECT_EQ(create_index(t, "indx_path,u", {"Path"}), -1);
  EXPECT_EQ(tb_error, kTbIndexExists);
  EXPECT_EQ(create_index(t, "Lower", {"path"}), 1);
  EXPECT_EQ(tb_find_index(t, "Lower")->key_fields[0], 0);
  EXPECT_EQ(create_index(t, "Nowhere", {"Size"}), -1);
  EXPECT_EQ(tb_error, kTbNoSuchField);
  EXPECT_EQ(t->index_count, 3);
}

TEST_F(IndexOpsTest, DirectoryKeyLongerThanAPageIsRefused) {
  Table* t = make_notes("notes");
  std::string name(600, 'n');
  EXPECT_EQ(create_index(t, name.c_str(), {"Path"}), -1);
  EXPECT_EQ(tb_error, kTbKeyTooLong);
  EXPECT_EQ(t->index_count, 1);
}

TEST_F(IndexOpsTest, SharedAndReadOnlyTablesAreRefused) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  Table* t = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(create_index(t, "INDX_Path,U", {"Path"}), -1);
  EXPECT_EQ(tb_error, kTbNeedsExclusive);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(count_first(stored("notes"), 0), 1u);

  t = tb_open(base("notes").c_str(), 0, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(create_index(t, "INDX_Path,U", {"Path"}), -1);
  EXPECT_EQ(tb_error, kTbReadOnly);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(count_first(stored("notes"), 0), 1u);
}

TEST_F(IndexOpsTest, NewIndexIsFilledFromExistingRecordsAndPositionedFirst) {
  Table* t = make_notes("notes");
  add(t, "/c", "1");
  add(t, "/a", "2");
  int32_t gone = add(t, "/x", "3");
  add(t, "/b", "4");
  ASSERT_EQ(delete_at(t, gone), 1);
  ASSERT_TRUE(go_to(t, gone + 7));  // the record after the free block
  int32_t cursor = t->physical_cursor;
  ASSERT_EQ(create_index(t, "ByPath", {"Path"}), 1);
  EXPECT_EQ(t->physical_cursor, cursor);
  EXPECT_EQ(tb_physical_index(t)->state, 1);
  TableIndex* ix = tb_find_index(t, "ByPath");
  EXPECT_EQ(ix->state, 1);
  std::vector<std::string> seen;
  for (int rc = 1; rc == 1; rc = tb_next_record(t, ix)) seen.push_back(read_texts(t, ix)[0]);
  EXPECT_EQ(seen, (std::vector<std::string>{"/a", "/b", "/c"}));
}

TEST_F(IndexOpsTest, UniqueIndexOverDuplicatesFailsAndLeavesNothing) {
  Table* t = make_notes("notes");
  ASSERT_EQ(create_index(t, "ByRemark", {"Remark"}), 1);
  add(t, "/same", "1");
  add(t, "/other", "2");
  add(t, "/SAME", "3");
  EXPECT_EQ(create_index(t, "INDX_Path,U", {"Path"}), -1);
  EXPECT_EQ(tb_error, kTbIndexLayer);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  EXPECT_EQ(t->index_count, 2);
  EXPECT_EQ(tb_find_index(t, "INDX_Path,U"), nullptr);
  ASSERT_EQ(tb_close(t), 1);
  auto all = stored("notes");
  EXPECT_EQ(count_first(all, 0), 2u);  // physical and ByRemark
  EXPECT_EQ(count_first(all, 1), 3u);  // ByRemark's entries
  EXPECT_EQ(count_first(all, 2), 0u);  // none of the failed index
}

TEST_F(IndexOpsTest, DroppingTheIndexesRemovesEntriesAndDefinition) {
  Table* t = make_notes("notes");
  ASSERT_EQ(create_index(t, "ByPath", {"Path"}), 1);
  ASSERT_EQ(create_index(t, "ByRemark", {"Remark"}), 1);
  for (int i = 0; i < 60; ++i) add(t, "/p" + std::to_string(i), "r" + std::to_string(i));
  EXPECT_EQ(tb_drop_index(t, "Physical Index"), -1);
  EXPECT_EQ(tb_error, kTbNeedsKeyed);
  EXPECT_EQ(tb_drop_index(t, "Unknown"), -1);
  EXPECT_EQ(tb_error, kTbNoSuchIndex);
  ASSERT_EQ(tb_drop_index(t, "BYPATH"), 1);
  EXPECT_EQ(t->index_count, 2);
  EXPECT_EQ(tb_find_index(t, "ByPath"), nullptr);
  // The number is free again and the remaining index still works.
  ASSERT_EQ(create_index(t, "Again", {"Path"}), 1);
  EXPECT_EQ(tb_find_index(t, "Again")->number, 1);
  TableIndex* by_remark = tb_find_index(t, "ByRemark");
  const void* key[] = {"r42"};
  ASSERT_EQ(tb_find_key(t, by_remark, key), 2);
  EXPECT_EQ(read_texts(t, by_remark)[0], "/p42");
  ASSERT_EQ(tb_drop_index(t, "Again"), 1);
  ASSERT_EQ(tb_close(t), 1);
  auto all = stored("notes");
  EXPECT_EQ(count_first(all, 0), 2u);
  EXPECT_EQ(count_first(all, 1), 0u);
  EXPECT_EQ(count_first(all, 2), 60u);
}

TEST_F(IndexOpsTest, DropOnSharedOrReadOnlyTableIsRefused) {
  Table* t = make_notes("notes");
  ASSERT_EQ(create_index(t, "ByPath", {"Path"}), 1);
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("notes").c_str(), 1, 0);
  EXPECT_EQ(tb_drop_index(t, "ByPath"), -1);
  EXPECT_EQ(tb_error, kTbNeedsExclusive);
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("notes").c_str(), 0, 1);
  EXPECT_EQ(tb_drop_index(t, "ByPath"), -1);
  EXPECT_EQ(tb_error, kTbReadOnly);
}

// Index numbers are one key byte below the free-space entries' 254 and 255,
// and a signed reading of the byte limits them to 1..127: a 128th keyed
// index is refused.
TEST_F(IndexOpsTest, OneHundredTwentyEighthKeyedIndexIsRefused) {
  Table* t = make_notes("notes");
  for (int i = 1; i <= 127; ++i) {
    std::string name = "I" + std::to_string(i);
    ASSERT_EQ(create_index(t, name.c_str(), {"Path"}), 1) << i;
    ASSERT_EQ(tb_find_index(t, name.c_str())->number, i);
  }
  EXPECT_EQ(create_index(t, "I128", {"Path"}), -1);
  EXPECT_EQ(tb_error, kTbNoIndexNumber);
  EXPECT_EQ(t->index_count, 128);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(count_first(stored("notes"), 0), 128u);
}

}  // namespace
