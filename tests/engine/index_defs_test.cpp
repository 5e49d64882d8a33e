// Index definitions: loading hand-written directory entries at open, the
// index queries, definitions with length parts, and damaged directories that
// must fall back to the physical index alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"

namespace {

class IndexDefsTest : public EngineTest {
 protected:
  // The notes table with the given directory entries added, reopened.
  Table* notes_with(const std::vector<std::pair<std::string, std::vector<std::string>>>& defs,
                    const std::vector<int32_t>& numbers) {
    Table* t = make_notes("notes");
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return nullptr;
    for (size_t i = 0; i < defs.size(); ++i)
      EXPECT_EQ(add_directory_entry(t, defs[i].first, defs[i].second, numbers[i]), 1);
    EXPECT_EQ(tb_close(t), 1);
    return tb_open(base("notes").c_str(), 0, 0);
  }

  static std::vector<std::string> strings(char** list) {
    std::vector<std::string> out;
    for (; list != nullptr && *list != nullptr; ++list) out.emplace_back(*list);
    return out;
  }

  // The open attempt fell back to the physical index alone.
  static void expect_fallback(Table* t) {
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(tb_get_error(), kTbIndexFileUnusable);
    EXPECT_EQ(t->index_count, 1);
    EXPECT_EQ(t->index_file_name, nullptr);
    EXPECT_EQ(t->directory, nullptr);
    ASSERT_NE(tb_physical_index(t), nullptr);
    EXPECT_EQ(tb_physical_index(t)->handle, nullptr);
  }
};

TEST_F(IndexDefsTest, DirectoryEntriesBecomeIndexes) {
  Table* t = notes_with({{"INDX_Path,U", {"Path"}}, {"ByRemark", {"remark:5,10", "PATH"}}}, {1, 2});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbOk);
  EXPECT_EQ(t->index_count, 3);
  // Newest first: the directory is read in key order.
  EXPECT_EQ(strings(tb_index_names(t)), (std::vector<std::string>{"Physical Index", "INDX_Path,U", "ByRemark"}));

  TableIndex* unique = tb_find_index(t, "indx_path,u");
  ASSERT_NE(unique, nullptr);
  EXPECT_EQ(unique->number, 1);
  EXPECT_NE(unique->unique_marks, 0);
  EXPECT_NE(unique->handle, nullptr);
  EXPECT_EQ(unique->length_parts, nullptr);
  EXPECT_EQ(unique->state, -2);

  TableIndex* by_remark = tb_find_index(t, "ByRemark");
  ASSERT_NE(by_remark, nullptr);
  EXPECT_EQ(by_remark->unique_marks, 0);
  EXPECT_EQ(tb_key_field_count(t, by_remark), 2);
  EXPECT_EQ(tb_key_field(t, by_remark, 0), 1);
  EXPECT_EQ(tb_key_field(t, by_remark, 1), 0);
  ASSERT_NE(by_remark->length_parts, nullptr);
  EXPECT_EQ(by_remark->length_parts[0].start, 5);
  EXPECT_EQ(by_remark->length_parts[0].length, 10);
  EXPECT_EQ(by_remark->length_parts[1].length, 0);  // whole field
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(IndexDefsTest, DefinitionsSpellTheStoredNamesAndLengthParts) {
  Table* t = notes_with({{"ByRemark", {"Remark:5,10"}}, {"Short", {"remark:10", "Path"}}}, {1, 2});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(strings(tb_index_definition(t, tb_physical_index(t))), (std::vector<std::string>{"Path", "Remark"}));
  EXPECT_EQ(strings(tb_index_definition(t, tb_find_index(t, "ByRemark"))), (std::vector<std::string>{"Remark:5,10"}));
  // The field's stored spelling, not the spec's.
  EXPECT_EQ(strings(tb_index_definition(t, tb_find_index(t, "Short"))),
            (std::vector<std::string>{"Remark:10", "Path"}));
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(IndexDefsTest, QueriesCheckTableIndexAndRange) {
  Table* t = notes_with({{"ByPath", {"Path"}}}, {1});
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "ByPath");
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(tb_find_index(t, "NoSuch"), nullptr);
  EXPECT_EQ(tb_get_error(), kTbNoSuchIndex);
  EXPECT_EQ(tb_key_field(t, ix, 1), -1);
  EXPECT_EQ(tb_get_error(), kTbKeyFieldRange);
  EXPECT_EQ(tb_key_field(t, ix, -1), -1);
  EXPECT_EQ(tb_get_error(), kTbKeyFieldRange);

  Table* other = make_notes("other");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(tb_key_field_count(other, ix), -1);
  EXPECT_EQ(tb_get_error(), kTbForeignIndex);
  EXPECT_EQ(tb_index_definition(other, ix), nullptr);
  EXPECT_EQ(tb_get_error(), kTbForeignIndex);
  Table stranger{};
  EXPECT_EQ(tb_index_names(&stranger), nullptr);
  EXPECT_EQ(tb_get_error(), kTbNotOpen);
  EXPECT_EQ(tb_key_field_count(t, ix), 1);
  EXPECT_EQ(tb_get_error(), kTbOk);
  EXPECT_EQ(tb_close(other), 1);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(IndexDefsTest, KeyedNumberAbove127IsADamagedDirectory) {
  expect_fallback(notes_with({{"Fine", {"Path"}}, {"TooHigh", {"Path"}}}, {1, 128}));
  EXPECT_EQ(tb_find_index(tb_tables.head, "Fine"), nullptr);
  EXPECT_EQ(tb_get_error(), kTbIndexFileUnusable);
}

TEST_F(IndexDefsTest, KeyedNumber127IsAccepted) {
  Table* t = notes_with({{"Last", {"Path"}}}, {127});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbOk);
  ASSERT_NE(tb_find_index(t, "Last"), nullptr);
  EXPECT_EQ(tb_find_index(t, "Last")->number, 127);
}

TEST_F(IndexDefsTest, SpecNamingNoFieldIsADamagedDirectory) {
  expect_fallback(notes_with({{"Bad", {"Missing"}}}, {1}));
}

TEST_F(IndexDefsTest, ZeroLengthPartStaysInTheNameAndNamesNoField) {
  expect_fallback(notes_with({{"Bad", {"Path:0"}}}, {1}));
}

TEST_F(IndexDefsTest, DuplicateNumberIsADamagedDirectory) {
  expect_fallback(notes_with({{"One", {"Path"}}, {"Two", {"Remark"}}}, {1, 1}));
}

TEST_F(IndexDefsTest, SecondPhysicalEntryIsADamagedDirectory) {
  expect_fallback(notes_with({{"Again", {}}}, {0}));
}

TEST_F(IndexDefsTest, UnterminatedSpecIsADamagedDirectory) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  std::vector<uint8_t> key = directory_key("Cut", {"Path"});
  key.pop_back();  // the spec loses its terminator
  ASSERT_EQ(ix_insert(t->directory, key.data(), static_cast<int>(key.size()), 1, 0), 1);
  ASSERT_EQ(tb_close(t), 1);
  expect_fallback(tb_open(base("notes").c_str(), 0, 0));
}

TEST_F(IndexDefsTest, MissingPhysicalEntryIsADamagedDirectory) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  std::vector<uint8_t> key = directory_key("Physical Index", {});
  ASSERT_EQ(ix_delete(t->directory, key.data(), static_cast<int>(key.size()), 0), 1);
  ASSERT_EQ(add_directory_entry(t, "ByPath", {"Path"}, 1), 1);
  ASSERT_EQ(tb_close(t), 1);
  expect_fallback(tb_open(base("notes").c_str(), 0, 0));
}

TEST_F(IndexDefsTest, DirectoryEndsAtTheFirstKeyedEntry) {
  TableIndex* ix = nullptr;
  Table* t = notes_by_path(&ix);
  ASSERT_NE(t, nullptr) << "tb_error " << tb_error;
  // Keyed entries after the directory, and free-space entries after those.
  std::vector<uint8_t> k = text_key(1, {"a"});
  ASSERT_EQ(ix_insert(ix->handle, k.data(), static_cast<int>(k.size()), 16, 1), 1);
  const uint8_t space[] = {255, 0, 10};
  ASSERT_EQ(ix_insert(t->space_index, space, 3, 40, 1), 1);
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("notes").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbOk);
  EXPECT_EQ(t->index_count, 2);
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
