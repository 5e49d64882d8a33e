// The catalogue: type suffixes, widths and min_record_size as read back from
// a created table, the field queries' ranges, declaration lists that cannot
// be stored, and data files whose header is nonsense.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"

namespace {

class CatalogueTest : public EngineTest {
 protected:
  Table* create(const std::vector<std::string>& names) {
    std::vector<const char*> list;
    for (const auto& n : names) list.push_back(n.c_str());
    list.push_back(nullptr);
    return tb_create(base("t").c_str(), 0, list.data());
  }

  // Writes a data file of `header` followed by `block`, beside a sound index
  // file, and tries to open it.
  Table* open_raw(int16_t length, int16_t count, const std::string& block) {
    std::string bytes(4, '\0');
    put_i16(reinterpret_cast<uint8_t*>(bytes.data()), length);
    put_i16(reinterpret_cast<uint8_t*>(bytes.data()) + 2, count);
    bytes += block;
    EXPECT_TRUE(write_whole_file(base("raw.db"), bytes));
    return tb_open(base("raw").c_str(), 0, 0);
  }
};

TEST_F(CatalogueTest, TypeSuffixesPickTypesAndWidths) {
  Table* t = create({"Photo,B:100", "Thumb,B", "Huge,b40000", "Count,i", "Flag,X", "Plain", "Exact,c", "Unsigned,U",
                     "Long,l", "Float,F", "Double,d", "Text,S", "Five,B5"});
  ASSERT_NE(t, nullptr);
  const int types[] = {7, 7, 7, 2, 0, 0, 1, 3, 4, 5, 6, 0, 7};
  for (int i = 0; i < 13; ++i) EXPECT_EQ(tb_field_type(t, i), types[i]) << "field " << i;
  EXPECT_EQ(tb_field_width(t, 0), 100);
  EXPECT_EQ(tb_field_width(t, 1), 1);
  EXPECT_EQ(tb_field_width(t, 2), 32767);
  EXPECT_EQ(tb_field_width(t, 12), 5);
  EXPECT_EQ(tb_field_width(t, 3), 0);   // not a binary field
  EXPECT_EQ(tb_field_width(t, 5), 0);   // text
  EXPECT_STREQ(tb_field_names(t)[0], "Photo,B:100");  // stored with the suffix
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, UnknownSuffixAddsNothingToTheSmallestRecord) {
  Table* t = create({"Flag,X"});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->min_record_size, 2);
  EXPECT_EQ(t->field_widths, nullptr);  // no binary field, no widths
  EXPECT_EQ(tb_close(t), 1);
  t = create({"Count,I", "Name", "Blob,B:3"});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->min_record_size, 2 + 2 + 1 + 3);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, TwentyDoublesCapTheSmallestRecordAt32) {
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back("V" + std::to_string(i) + ",D");
  Table* t = create(names);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->min_record_size, 32);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, FieldQueriesCheckTheirRange) {
  Table* t = create({"Path", "Remark"});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_field_type(t, 2), -1);
  EXPECT_EQ(tb_get_error(), kTbFieldRange);
  EXPECT_EQ(tb_field_type(t, -1), -1);
  EXPECT_EQ(tb_get_error(), kTbFieldRange);
  EXPECT_EQ(tb_field_width(t, 2), -1);
  EXPECT_EQ(tb_get_error(), kTbFieldRange);
  EXPECT_EQ(tb_field_width(t, 1), 0);
  EXPECT_EQ(tb_get_error(), kTbOk);
  Table stranger{};
  EXPECT_EQ(tb_field_count(&stranger), -1);
  EXPECT_EQ(tb_get_error(), kTbNotOpen);
  EXPECT_EQ(tb_field_names(&stranger), nullptr);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, NoFieldsIsAnEmptyCatalogue) {
  Table* t = create({});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_field_count(t), 0);
  EXPECT_EQ(t->first_record, 4);
  EXPECT_EQ(tb_field_names(t)[0], nullptr);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, LargestStorableNamesBlockRoundTrips) {
  std::string name(32766, 'n');  // with its terminator: L = 32767
  Table* t = create({name});
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("t").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->first_record, 32767 + 4);
  EXPECT_EQ(std::string(tb_field_names(t)[0]), name);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, NamesBlockBeyond15BitsIsRefusedBeforeWriting) {
  std::string name(32767, 'n');  // L would be 32768
  EXPECT_EQ(create({name}), nullptr);
  EXPECT_EQ(tb_get_error(), kTbKeyTooLong);
  EXPECT_FALSE(exists(base("t.db")));
  EXPECT_FALSE(exists(base("t.idx")));
}

TEST_F(CatalogueTest, FieldCountBeyond15BitsIsRefusedAndOldFilesStay) {
  ASSERT_EQ(tb_close(create({"Path"})), 1);
  std::string db = read_whole_file(base("t.db"));
  std::vector<std::string> names(32768, "");  // L = n = 32768
  EXPECT_EQ(create(names), nullptr);
  EXPECT_EQ(tb_get_error(), kTbKeyTooLong);
  EXPECT_EQ(read_whole_file(base("t.db")), db);
  EXPECT_TRUE(exists(base("t.idx")));
}

TEST_F(CatalogueTest, NullFieldListIsAMissingArgument) {
  EXPECT_EQ(tb_create(base("t").c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(tb_get_error(), kTbMissingArgument);
  EXPECT_FALSE(exists(base("t.db")));
}

// Each damaged header gives error 7 and leaves no table; the sanitizer build
// catches any read past the names block.
TEST_F(CatalogueTest, NamesBlockLongerThanTheFile) {
  EXPECT_EQ(open_raw(100, 1, std::string("Path\0", 5)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(open_raw(32767, 1, std::string("Path\0", 5)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(CatalogueTest, NegativeLengthOrCount) {
  EXPECT_EQ(open_raw(-5, 1, std::string("Path\0", 5)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(open_raw(5, -1, std::string("Path\0", 5)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(CatalogueTest, CountDisagreesWithTheNames) {
  EXPECT_EQ(open_raw(12, 3, std::string("Path\0Remark\0", 12)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(open_raw(12, 1, std::string("Path\0Remark\0", 12)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(CatalogueTest, LastNameNotTerminated) {
  // One zero byte for one field, but the block runs on past it.
  EXPECT_EQ(open_raw(8, 1, std::string("Path\0Rem", 8)), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  // No zero byte at all and no field.
  EXPECT_EQ(open_raw(4, 0, "Path"), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(CatalogueTest, FileShorterThanItsHeader) {
  ASSERT_TRUE(write_whole_file(base("raw.db"), std::string("\x0c", 1)));
  EXPECT_EQ(tb_open(base("raw").c_str(), 0, 0), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(CatalogueTest, SoundRawHeaderOpensWithTrailingRecords) {
  // A sound header followed by bytes of records opens; the index file is
  // missing, so only the physical index is there.
  Table* t = open_raw(12, 2, std::string("Path\0Remark\0\x04\0a\0b\0", 18));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbIndexFileUnusable);
  EXPECT_EQ(t->first_record, 16);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CatalogueTest, SharedOpenReleasesTheHeaderLock) {
  ASSERT_EQ(tb_close(create({"Path"})), 1);
  Table* t = tb_open(base("t").c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  // A second description of the file can lock the header bytes at once.
  int fd = io_open(t->data_file_name, 1, 1);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(io_lock(fd, 0, 4, 1, 0, 0), 1);
  EXPECT_EQ(io_unlock(fd, 0, 4), 1);
  EXPECT_EQ(io_close(fd), 0);
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
