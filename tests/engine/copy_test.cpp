// Copying a table: a copy holds the source's records compactly, in the order
// asked for, with its fields and indexes; a failing copy opens nothing and
// changes no source file.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

class CopyTest : public EngineTest {
 protected:
  // "src": records added out of path order, two deleted and one grown (it
  // moves), so that it holds free blocks.
  void make_source(int page_size = 0) {
    const char* fields[] = {"Path", "Remark", nullptr};
    Table* t = tb_create(base("src").c_str(), page_size, fields);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    ASSERT_EQ(create_index(t, "ByRemark", {"Remark:2,5", "Path:4"}), 1);
    int i = 0;
    for (const char* p : {"/m/Zeta", "/a/beta", "/A/alpha", "/q", "/B/Gamma", "/c/delta", "/b/eta", "/x/Omega"})
      ASSERT_NE(add(t, p, std::string(3 + (i++ * 37) % 200, 'r')), 0) << p;
    ASSERT_EQ(delete_path(t, "/q") + delete_path(t, "/c/delta"), 2);
    const std::string grown(3000, 'L');
    const void* values[] = {"/a/beta", grown.c_str()};
    ASSERT_NE(find(t, "/a/beta"), 0);
    ASSERT_EQ(tb_update_record(t, tb_find_index(t, "INDX_Path,U"), values), 1);
    ASSERT_EQ(tb_close(t), 1);
  }
};

// Copies of "src" by path, by remark (shared) and without the source's
// index file (record order): the source's records, each with room to grow
// (an eighth and 4 bytes), no free block between, its fields and indexes.
TEST_F(CopyTest, CopiesAreCompactOrderedAndComplete) {
  auto lower = [](std::vector<std::string> r) {
    for (auto& c : r[0]) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
  };
  for (const char* by : {"INDX_Path,U", "ByRemark", ""}) {
    SCOPED_TRACE(by);
    ASSERT_NO_FATAL_FAILURE(make_source(*by == 'B' ? 256 : 0));
    ASSERT_TRUE(*by != 0 || std::remove(base("src.idx").c_str()) == 0);
    ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), *by ? by : "INDX_Path,U", 0, *by == 'B'), 1) << tb_error;
    EXPECT_EQ(tb_tables.head, nullptr);
    auto expected = live("src"), got = live("dst");
    if (*by == 'I') std::sort(expected.begin(), expected.end(), [&](auto& a, auto& b) { return lower(a) < lower(b); });
    if (*by == 'B') std::sort(expected.begin(), expected.end()), std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    for (const RawBlock& b : raw_blocks("dst")) {
      const auto payload = static_cast<int32_t>(b.texts.at(0).size() + b.texts.at(1).size() + 2);
      EXPECT_EQ(b.word, payload + payload / 8 + 4) << "the block at " << b.at;
    }
    EXPECT_EQ(ix_page_size(base("dst.idx").c_str()), *by == 'B' ? 256 : 512);  // the source's
    Table* t = reopen("dst");
    ASSERT_EQ(tb_error, kTbOk);
    EXPECT_EQ(strings(tb_field_names(t)), (std::vector<std::string>{"Path", "Remark"}));
    EXPECT_EQ(strings(tb_index_definition(t, tb_find_index(t, "ByRemark"))),
              (*by ? std::vector<std::string>{"Remark:2,5", "Path:4"} : std::vector<std::string>{}));
    EXPECT_EQ(verify(t), 0) << findings_;
    EXPECT_EQ(tb_close(t), 1);
  }
}

// A keyed entry leading to a free block ends the copy instead of copying garbage.
TEST_F(CopyTest, AnEntryLeadingToAFreeBlockFailsTheCopy) {
  ASSERT_NO_FATAL_FAILURE(make_source());
  Table* t = reopen("src");
  auto key = text_key(1, {"/0"});
  int32_t free_at = 0;
  for (const RawBlock& b : raw_blocks("src")) free_at = b.word < 0 ? b.at : free_at;
  ASSERT_EQ(ix_insert(t->directory, key.data(), static_cast<int>(key.size()), free_at, 0), 1);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(tb_copy(base("src").c_str(), base("dst2").c_str(), "INDX_Path,U", 0, 0), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

}  // namespace
