// Copying a table and rebuilding its index file, as tables of rows: a copy
// holds the source's records compactly, in the order asked for, with its
// fields and indexes; a refused or failing copy opens nothing and changes no
// source file; a rebuild enters every free block into the free space.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "support/fault_io.h"

namespace {

class CopyTest : public EngineTest {
 protected:
  // "src": eight records added out of path order, two deleted and one grown
  // (it moves), so that it holds free blocks; with `records` false, none.
  void make_source(bool records = true, int page_size = 0) {
    const char* fields[] = {"Path", "Remark", nullptr};
    Table* t = tb_create(base("src").c_str(), page_size, fields);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    ASSERT_EQ(create_index(t, "ByRemark", {"Remark:2,5", "Path:4"}), 1);
    int i = 0;
    for (const char* p : {"/m/Zeta", "/a/beta", "/A/alpha", "/q", "/B/Gamma", "/c/delta", "/b/eta", "/x/Omega"})
      ASSERT_TRUE(!records || add(t, p, std::string(3 + (i++ * 37) % 200, 'r')) != 0) << p;
    if (records) {
      ASSERT_EQ(delete_path(t, "/q") + delete_path(t, "/c/delta"), 2);
      const std::string grown(3000, 'L');
      const void* values[] = {"/a/beta", grown.c_str()};
      ASSERT_NE(find(t, "/a/beta"), 0);
      ASSERT_EQ(tb_update_record(t, tb_find_index(t, "INDX_Path,U"), values), 1);
    }
    ASSERT_EQ(tb_close(t), 1);
  }
  // Free blocks (address, negative size) as the address entries state them,
  // and as the data file holds them.
  static std::vector<std::pair<int32_t, int32_t>> free_entries(Table* t) {
    std::vector<std::pair<int32_t, int32_t>> out;
    uint8_t key[5] = {0xFE};
    int32_t ref = 0, length = 0;
    for (int rc = ix_find(t->space_index, key, 1, &ref); rc >= 1 && rc <= 3; rc = ix_next(t->space_index, &ref)) {
      if (ix_current_key_length(t->space_index, &length) != 1 || length != 5) break;
      if (ix_current_key(t->space_index, key, 5) != 1 || ix_current(t->space_index, &ref) != 1) break;
      out.emplace_back(static_cast<int32_t>(get_be32(key + 1)), -ref);
    }
    return out;
  }
  std::vector<std::pair<int32_t, int32_t>> free_blocks(const std::string& name) const {
    std::vector<std::pair<int32_t, int32_t>> out;
    for (const auto& b : raw_blocks(name))
      if (b.word < 0) out.emplace_back(b.at, b.word);
    return out;
  }
};

// Copies of "src" by an index (null: record order), page size and mode: the
// source's records, each with room to grow (an eighth and 4 bytes), no free
// block between, in path order or the source's; its fields and indexes.
TEST_F(CopyTest, CopiesAreCompactOrderedAndComplete) {
  const struct {
    const char* name;
    const char* index;
    int page_size, shared, source_page_size, dst_page_size;
    bool records, source_index;  // without its index file a source copies in record order
  } rows[] = {
      {"by path", "INDX_Path,U", 0, 0, 0, 512, true, true},
      {"in record order", nullptr, 0, 0, 0, 512, true, true},
      {"by remark, shared", "ByRemark", 0, 1, 0, 512, true, true},
      {"of an empty source", "INDX_Path,U", 0, 0, 0, 512, false, true},
      {"of a source without its index file", "INDX_Path,U", 0, 0, 0, 512, true, false},
      {"at the source's page size", nullptr, 0, 0, 256, 256, true, true},
      {"at a page size asked for", nullptr, 384, 0, 256, 384, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(make_source(row.records, row.source_page_size));
    ASSERT_TRUE(row.source_index || std::remove(base("src.idx").c_str()) == 0);
    ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), row.index, row.page_size, row.shared), 1) << tb_error;
    EXPECT_EQ(tb_tables.head, nullptr);
    auto expected = live("src"), got = live("dst");
    const std::string by = row.source_index && row.index ? row.index : "";
    auto lower = [](std::string s) {
      for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return s;
    };
    if (by == "INDX_Path,U")
      std::sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) { return lower(a[0]) < lower(b[0]); });
    if (by == "ByRemark") std::sort(expected.begin(), expected.end());
    if (by == "ByRemark") std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    for (const RawBlock& b : raw_blocks("dst")) {
      const auto payload = static_cast<int32_t>(b.texts.at(0).size() + b.texts.at(1).size() + 2);
      EXPECT_EQ(b.word, payload + payload / 8 + 4) << "the block at " << b.at;
    }
    EXPECT_EQ(ix_page_size(base("dst.idx").c_str()), row.dst_page_size);
    Table* t = reopen("dst");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(tb_error, kTbOk);
    EXPECT_EQ(strings(tb_field_names(t)), (std::vector<std::string>{"Path", "Remark"}));
    EXPECT_EQ(tb_find_index(t, "INDX_Path,U") != nullptr, row.source_index);
    if (row.source_index) {
      EXPECT_EQ(strings(tb_index_definition(t, tb_find_index(t, "ByRemark"))),
                (std::vector<std::string>{"Remark:2,5", "Path:4"}));
      EXPECT_EQ(find(t, "/A/BETA") != 0, row.records);
    }
    EXPECT_EQ(verify(t), 0) << findings_;
    EXPECT_EQ(tb_close(t), 1);
  }
}

// Refused copies: -1 with the error, no table open but the row's own, and
// the source's files unchanged.
TEST_F(CopyTest, RefusedCopiesOpenNothingAndChangeNothing) {
  const struct {
    const char* name;
    std::string target;
    const char* index;
    int error;
    std::function<Table*()> before;
  } rows[] = {
      {"onto itself", base("src"), nullptr, kTbCopyOntoSelf, [] { return nullptr; }},
      {"onto another spelling of itself", dir_.path() + "/./x/../src.old", nullptr, kTbCopyOntoSelf,
       [] { return nullptr; }},
      {"by an unknown index", base("dst"), "NoSuchIndex", kTbNoSuchIndex, [] { return nullptr; }},
      {"of a source open here", base("dst"), nullptr, kTbAlreadyOpen, [this] { return reopen("src", 0, 1); }},
      {"with an entry leading to a free block", base("dst"), "INDX_Path,U", kTbDataFile, [this] {
         Table* t = reopen("src");
         auto key = text_key(1, {"/0"});
         EXPECT_EQ(ix_insert(t->directory, key.data(), static_cast<int>(key.size()), free_blocks("src").at(0).first, 0), 1);
         EXPECT_EQ(tb_close(t), 1);
         return nullptr;
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(make_source());
    Table* open = row.before();
    const std::string db = read_whole_file(base("src.db")), idx = read_whole_file(base("src.idx"));
    EXPECT_EQ(tb_copy(base("src").c_str(), row.target.c_str(), row.index, 0, 0), -1);
    EXPECT_EQ(tb_error, row.error);
    EXPECT_EQ(tb_tables.head, open);
    EXPECT_TRUE(open == nullptr || tb_close(open) == 1);
    EXPECT_EQ(read_whole_file(base("src.db")) + read_whole_file(base("src.idx")), db + idx);
  }
}

// A write failing at every point of the copy in turn: the copy fails, closes
// both tables and leaves the source as it was.
TEST_F(CopyTest, AFailingWriteAnywhereFailsTheCopyCleanly) {
  ASSERT_NO_FATAL_FAILURE(make_source());
  const std::string before = read_whole_file(base("src.db")) + read_whole_file(base("src.idx"));
  for (int n = 1, fired = 1; fired != 0 && n < 2000; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    FaultIo io;
    io.arm(IoKind::Write, n);
    const int rc = tb_copy(base("src").c_str(), base("dst").c_str(), "INDX_Path,U", 0, 0);
    fired = io.plan().failures;
    EXPECT_EQ(rc, fired != 0 ? -1 : 1);
    EXPECT_TRUE(fired == 0 || tb_error != kTbOk);
    ASSERT_EQ(tb_tables.head, nullptr);
    ASSERT_EQ(read_whole_file(base("src.db")) + read_whole_file(base("src.idx")), before);
  }
  EXPECT_EQ(live("dst").size(), live("src").size());
}

// Rebuilds of "t" (30 records, those named deleted) opened in a mode.
// Refused: the error, and the keyed index still finds and takes records.
// Done: the free-space entries are the data file's free blocks, and a small
// record goes into the largest.
TEST_F(CopyTest, RebuildGathersTheFreeBlocksOrIsRefused) {
  const struct {
    const char* name;
    std::vector<int> deleted, freed_by_hand;  // neighbours left free as after a crash
    int shared, read_only, page_size, replace, error, free_blocks;
  } rows[] = {
      {"lone holes, neighbours and the last", {3, 9, 10, 17, 29}, {}, 0, 0, 0, 1, kTbOk, 4},
      {"neighbours freed by hand merge", {}, {1, 2}, 0, 0, 0, 1, kTbOk, 1},
      {"a missing index file", {3}, {}, 0, 0, 256, 0, kTbOk, 1},
      {"shared", {3}, {}, 1, 0, 0, 1, kTbNeedsExclusive, 1},
      {"read-only", {3}, {}, 0, 1, 0, 1, kTbReadOnly, 1},
      {"an index file exists", {3}, {}, 0, 0, 0, 0, kTbIndexFileExists, 1},
      {"a page size above the engine's", {3}, {}, 0, 0, 1024, 1, kTbPageTooLarge, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Table* t = make_indexed("t");
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 30; ++i) ASSERT_NE(add(t, "/file" + std::to_string(i), std::string(5 + i * 3, 'r')), 0);
    for (int i : row.deleted) ASSERT_EQ(delete_path(t, "/file" + std::to_string(i)), 1);
    for (int i : row.freed_by_hand) {
      const RawBlock b = raw_blocks("t").at(static_cast<size_t>(i));
      uint8_t word[2];
      put_i16(word, -b.word);
      ASSERT_EQ(io_write_at(t->data_file, b.at, 2, word), 1);
    }
    ASSERT_EQ(tb_close(t), 1);
    ASSERT_TRUE(row.replace != 0 || row.error != kTbOk || std::remove(base("t.idx").c_str()) == 0);
    ASSERT_NE(t = reopen("t", row.shared, row.read_only), nullptr);
    EXPECT_EQ(tb_rebuild(t, row.page_size, row.replace), row.error == kTbOk ? 1 : -1);
    EXPECT_EQ(tb_error, row.error);
    if (row.error == kTbOk) {
      EXPECT_EQ(strings(tb_index_names(t)), std::vector<std::string>{"Physical Index"});
      EXPECT_EQ(t->directory->file->header.page_size, row.page_size == 0 ? 512 : row.page_size);
      ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    }
    const auto entries = free_entries(t);
    EXPECT_EQ(entries, free_blocks("t"));
    EXPECT_EQ(entries.size(), static_cast<size_t>(row.free_blocks));
    EXPECT_NE(find(t, "/file5"), 0);
    EXPECT_EQ(verify(t), 0) << findings_;
    auto largest = std::min_element(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.second < b.second; });
    EXPECT_TRUE(row.read_only || add(t, "/new", "x") == largest->first);
    EXPECT_EQ(tb_close(t), 1);
  }
}

}  // namespace
