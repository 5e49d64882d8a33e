// Found by fuzz/table_fuzz: rec_allocate hands out the block that the
// largest size entry names without looking at it. When a damaged index file
// has that entry name an address far past the end of the data file, a new
// record is written there (or, when the add then fails, the file is
// extended to cover the block given back), so one add grows the data file
// by up to 2 GB of zeros; every later walk of the data file (tb_verify, the
// physical index) then steps through millions of empty blocks, which looks
// like a hang.
// rec_allocate now checks that the block lies within the file and starts
// with its own length word before it hands it out, and reports damage
// (error 7) otherwise, before anything is written.
#include "records_fixture.h"

namespace {

class FreeEntryPastEnd : public RecordsTest {};

TEST_F(FreeEntryPastEnd, IsReportedAsDamageAndTheFileDoesNotGrow) {
  Table* t = make_notes("past");
  ASSERT_NE(t, nullptr);
  int32_t first = add(t, "/first", std::string(40, 'a'));
  ASSERT_NE(first, 0);
  ASSERT_NE(add(t, "/second", "b"), 0);
  ASSERT_EQ(delete_at(t, first), 1);
  auto [by_address, by_size] = free_entries(t);
  ASSERT_EQ(by_size.size(), 1u);

  // The size entry FF <size> now names a block 100 MB into the file.
  const FreeEntry free_block = by_size[0];
  const uint8_t key[3] = {0xFF, static_cast<uint8_t>(free_block.size >> 8), static_cast<uint8_t>(free_block.size)};
  const int32_t far = 100 * 1000 * 1000;
  tb_set_current_table(t);
  ASSERT_EQ(ix_replace(t->space_index, key, 3, free_block.at, key, 3, far, 1), 1) << ix_error;

  const int32_t before = file_size(t);
  const void* values[] = {"/third", "c"};
  const int rc = tb_add_record(t, tb_physical_index(t), values);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  EXPECT_EQ(file_size(t), before);
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
