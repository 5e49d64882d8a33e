// Rebuilding a table's index file: the refusals that must leave the table as
// it was, the walk that gathers every free block into free-space entries,
// and damaged data files that must fail with error 7 rather than crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "records/records.h"

namespace {

void collect(void* ctx, const char* finding) { static_cast<std::vector<std::string>*>(ctx)->push_back(finding); }

struct RawBlock {
  int32_t at;
  int32_t word;
};

class RebuildTest : public EngineTest {
 protected:
  Table* make_indexed(const std::string& name) {
    Table* t = make_notes(name);
    const char* spec[] = {"Path", nullptr};
    if (t == nullptr || tb_create_index(t, "INDX_Path,U", spec) != 1) return nullptr;
    return t;
  }

  static int32_t add(Table* t, const std::string& path, const std::string& remark) {
    const void* values[] = {path.c_str(), remark.c_str()};
    if (tb_add_record(t, tb_physical_index(t), values) != 1) return 0;
    return t->physical_cursor;
  }

  static int delete_path(Table* t, const std::string& path) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {path.c_str()};
    if (ix == nullptr || tb_find_key(t, ix, key) != 2) return -1;
    return tb_delete_record(t, ix);
  }

  // The data file's blocks as stored, read straight from the file.
  std::vector<RawBlock> blocks(const std::string& name) const {
    std::string bytes = read_whole_file(base(name + ".db"));
    std::vector<RawBlock> out;
    if (bytes.size() < 4) return out;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t at = 4 + static_cast<size_t>(get_i16(p));
    while (at + 2 <= bytes.size()) {
      int32_t word = get_i16(p + at);
      out.push_back({static_cast<int32_t>(at), word});
      at += 2 + static_cast<size_t>(word < 0 ? -word : word);
    }
    return out;
  }

  // Free blocks as the free-space address entries state them.
  static std::vector<RawBlock> free_entries(Table* t) {
    std::vector<RawBlock> out;
    uint8_t first = 0xFE;
    int32_t ref = 0;
    int rc = ix_find(t->space_index, &first, 1, &ref);
    while (rc == 2 || rc == 3 || rc == 1) {
      uint8_t key[5];
      int length = 0;
      if (ix_current_key_length(t->space_index, &length) != 1 || length != 5) break;
      if (ix_current_key(t->space_index, key, 5) != 1 || key[0] != 0xFE) break;
      (void)ix_current(t->space_index, &ref);
      out.push_back({static_cast<int32_t>(get_be32(key + 1)), -ref});
      rc = ix_next(t->space_index, &ref);
    }
    return out;
  }

  static int verify(Table* t, std::vector<std::string>* findings) {
    findings->clear();
    return tb_verify(t, collect, findings, 50);
  }

  std::vector<std::string> findings_;
};

TEST_F(RebuildTest, SharedTableIsRefusedWith32) {
  ASSERT_EQ(tb_close(make_indexed("t")), 1);
  Table* t = tb_open(base("t").c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_rebuild(t, 0, 1), -1);
  EXPECT_EQ(tb_error, kTbNeedsExclusive);
  EXPECT_NE(tb_find_index(t, "INDX_Path,U"), nullptr);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(RebuildTest, ReadOnlyTableIsRefusedWith31) {
  ASSERT_EQ(tb_close(make_indexed("t")), 1);
  Table* t = tb_open(base("t").c_str(), 0, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_rebuild(t, 0, 1), -1);
  EXPECT_EQ(tb_error, kTbReadOnly);
  EXPECT_EQ(tb_close(t), 1);
}

// A refused rebuild must not have closed the table's indexes first: the
// keyed index still finds records and takes new ones afterwards.
TEST_F(RebuildTest, RefusalToReplaceLeavesTheTableUsable) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  ASSERT_NE(add(t, "/b", "two"), 0);
  ASSERT_NE(add(t, "/a", "one"), 0);
  EXPECT_EQ(tb_rebuild(t, 0, 0), -1);
  EXPECT_EQ(tb_error, kTbIndexFileExists);

  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_NE(ix, nullptr) << "tb_error " << tb_error;
  const void* key[] = {"/A"};
  EXPECT_EQ(tb_find_key(t, ix, key), 2);
  ASSERT_NE(add(t, "/c", "three"), 0);
  EXPECT_EQ(verify(t, &findings_), 0);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(RebuildTest, WithoutReplaceBuildsAMissingIndexFile) {
  Table* t = make_indexed("t");
  ASSERT_NE(add(t, "/a", "one"), 0);
  ASSERT_NE(add(t, "/b", "two"), 0);
  ASSERT_EQ(delete_path(t, "/a"), 1);
  ASSERT_EQ(tb_close(t), 1);
  ASSERT_EQ(std::remove(base("t.idx").c_str()), 0);

  t = tb_open(base("t").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tb_error, kTbIndexFileUnusable);
  ASSERT_EQ(tb_rebuild(t, 0, 0), 1) << "tb_error " << tb_error;
  EXPECT_EQ(t->index_count, 1);
  EXPECT_NE(t->directory, nullptr);
  EXPECT_EQ(free_entries(t).size(), 1u);
  EXPECT_EQ(verify(t, &findings_), 0);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(RebuildTest, GathersEveryFreeBlockAndLeavesASoundTable) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 30; ++i) ASSERT_NE(add(t, "/file" + std::to_string(i), std::string(5 + i * 3, 'r')), 0);
  // Lone holes, two neighbours that merge, and the last record.
  for (int i : {3, 9, 10, 17, 29}) ASSERT_EQ(delete_path(t, "/file" + std::to_string(i)), 1);
  ASSERT_EQ(verify(t, &findings_), 0);
  std::vector<RawBlock> before = free_entries(t);
  ASSERT_EQ(before.size(), 4u);

  ASSERT_EQ(tb_rebuild(t, 0, 1), 1) << "tb_error " << tb_error;
  EXPECT_EQ(t->index_count, 1);
  EXPECT_EQ(tb_find_index(t, "INDX_Path,U"), nullptr);
  std::vector<RawBlock> after = free_entries(t);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].at, before[i].at);
    EXPECT_EQ(after[i].word, before[i].word);
  }
  const char* spec[] = {"Path", nullptr};
  ASSERT_EQ(tb_create_index(t, "INDX_Path,U", spec), 1);
  EXPECT_EQ(verify(t, &findings_), 0);
  for (const auto& f : findings_) ADD_FAILURE() << f;

  // The gathered space is used again: a record that fits the largest free
  // block goes there instead of to the end of the file.
  RawBlock largest = after[0];
  for (const auto& b : after)
    if (b.word < largest.word) largest = b;
  EXPECT_EQ(add(t, "/new", "x"), largest.at);
  EXPECT_EQ(tb_close(t), 1);
}

// Free blocks left side by side (a crash between two releases) become one.
TEST_F(RebuildTest, MergesNeighbouringFreeBlocks) {
  Table* t = make_notes("t");
  ASSERT_NE(t, nullptr);
  std::vector<int32_t> at;
  for (const char* p : {"/a", "/b", "/c", "/d"}) at.push_back(add(t, p, "remark"));
  ASSERT_EQ(tb_close(t), 1);
  std::vector<RawBlock> raw = blocks("t");
  ASSERT_EQ(raw.size(), 4u);
  t = tb_open(base("t").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  uint8_t word[2];
  for (int i : {1, 2}) {
    put_i16(word, -raw[static_cast<size_t>(i)].word);
    ASSERT_EQ(io_write_at(t->data_file, raw[static_cast<size_t>(i)].at, 2, word), 1);
  }
  ASSERT_EQ(tb_rebuild(t, 0, 1), 1) << "tb_error " << tb_error;
  std::vector<RawBlock> merged = free_entries(t);
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].at, raw[1].at);
  EXPECT_EQ(-merged[0].word, raw[1].word + raw[2].word + 2);
  EXPECT_EQ(verify(t, &findings_), 0);
  EXPECT_EQ(tb_close(t), 1);
  raw = blocks("t");
  ASSERT_EQ(raw.size(), 3u);
  EXPECT_EQ(raw[1].word, merged[0].word);
}

TEST_F(RebuildTest, ALengthWordPastTheEndFailsWith7) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  ASSERT_NE(add(t, "/a", "one"), 0);
  int32_t b = add(t, "/b", "two");
  ASSERT_NE(add(t, "/c", "three"), 0);
  uint8_t word[2];
  put_i16(word, -30000);
  ASSERT_EQ(io_write_at(t->data_file, b, 2, word), 1);
  EXPECT_EQ(tb_rebuild(t, 0, 1), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  // The table keeps its physical index and closes.
  EXPECT_NE(tb_physical_index(t), nullptr);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(RebuildTest, AStrayByteAfterTheLastBlockFailsWith7) {
  Table* t = make_notes("t");
  ASSERT_NE(add(t, "/a", "one"), 0);
  int32_t size = 0;
  ASSERT_EQ(io_file_size(t->data_file, &size), 1);
  uint8_t junk = 0;
  ASSERT_EQ(io_write_at(t->data_file, size, 1, &junk), 1);
  EXPECT_EQ(tb_rebuild(t, 0, 1), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(RebuildTest, APageSizeAboveTheEnginesIsRefusedBeforeAnythingCloses) {
  Table* t = make_indexed("t");
  ASSERT_NE(add(t, "/a", "one"), 0);
  EXPECT_EQ(tb_rebuild(t, 1024, 1), -1);
  EXPECT_EQ(tb_error, kTbPageTooLarge);
  EXPECT_NE(tb_find_index(t, "INDX_Path,U"), nullptr);
  EXPECT_EQ(verify(t, &findings_), 0);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(RebuildTest, TakesTheRequestedPageSize) {
  Table* t = make_indexed("t");
  ASSERT_NE(add(t, "/a", "one"), 0);
  ASSERT_EQ(tb_rebuild(t, 256, 1), 1);
  EXPECT_EQ(t->directory->file->header.page_size, 256);
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
