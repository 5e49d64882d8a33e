// Creating, opening and closing tables: the exact bytes of a new table, the
// open check, the fallback to the physical index, file names, and the
// failures that must leave no files or no Table behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "records/records.h"
#include "support/fault_io.h"

namespace {

using OpenCloseTest = EngineTest;

TEST_F(OpenCloseTest, NewNotesTableHasTheExactCatalogue) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->first_record, 16);
  EXPECT_EQ(t->min_record_size, 4);
  EXPECT_EQ(tb_field_type(t, 0), 0);
  EXPECT_EQ(tb_field_type(t, 1), 0);
  EXPECT_STREQ(tb_field_names(t)[0], "Path");
  EXPECT_STREQ(tb_field_names(t)[1], "Remark");
  EXPECT_EQ(tb_field_names(t)[2], nullptr);
  EXPECT_EQ(t->shared, 0);
  EXPECT_EQ(t->read_only, 0);
  EXPECT_EQ(t->lock_bits, 3u);
  EXPECT_EQ(t->index_count, 1);
  ASSERT_EQ(tb_close(t), 1);

  const unsigned char expected[] = {0x0C, 0x00, 0x02, 0x00, 'P', 'a', 't', 'h', 0x00,
                                    'R',  'e',  'm',  'a',  'r', 'k', 0x00};
  std::string bytes = read_whole_file(base("notes.db"));
  ASSERT_EQ(bytes.size(), sizeof expected);
  EXPECT_EQ(std::memcmp(bytes.data(), expected, sizeof expected), 0);
}

TEST_F(OpenCloseTest, NewIndexFileHoldsOnlyThePhysicalIndexEntry) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  IndexHandle* h = ix_open(base("notes.idx").c_str(), tb_compare_keys, 0, 1);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->file->header.page_size, 512);
  int32_t ref = -1;
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ref, 0);
  int length = 0;
  ASSERT_EQ(ix_current_key_length(h, &length), 1);
  ASSERT_EQ(length, 16);
  uint8_t key[16];
  ASSERT_EQ(ix_current_key(h, key, sizeof key), 1);
  const uint8_t expected[16] = {0, 'P', 'h', 'y', 's', 'i', 'c', 'a', 'l', ' ', 'I', 'n', 'd', 'e', 'x', 0};
  EXPECT_EQ(std::memcmp(key, expected, 16), 0);
  EXPECT_EQ(ix_next(h, &ref), -3);
  EXPECT_EQ(ix_close(h), 1);
}

TEST_F(OpenCloseTest, ReopenReadsTheSameTable) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  Table* t = tb_open(base("notes").c_str(), 1, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbOk);
  EXPECT_EQ(t->shared, 1);
  EXPECT_EQ(t->read_only, 1);
  EXPECT_EQ(t->lock_bits, 0u);
  EXPECT_EQ(t->first_record, 16);
  EXPECT_NE(t->index_file_name, nullptr);
  ASSERT_NE(tb_physical_index(t), nullptr);
  EXPECT_STREQ(tb_physical_index(t)->name, "Physical Index");
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(OpenCloseTest, OpenOfAnOpenTableFails) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_open(base("notes").c_str(), 0, 0), nullptr);
  EXPECT_EQ(tb_get_error(), kTbAlreadyOpen);
  // Another spelling of the same name is formed to the same full path.
  EXPECT_EQ(tb_open((dir_.path() + "/./notes.db").c_str(), 1, 0), nullptr);
  EXPECT_EQ(tb_get_error(), kTbAlreadyOpen);
  EXPECT_EQ(tb_tables.head, t);
  EXPECT_EQ(t->next, nullptr);
}

TEST_F(OpenCloseTest, NameDifferingInCaseIsAnotherTable) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  // NOTES.* lead to the very same files; only the spelling differs.
  ASSERT_EQ(::symlink(base("notes.db").c_str(), base("NOTES.db").c_str()), 0);
  ASSERT_EQ(::symlink(base("notes.idx").c_str(), base("NOTES.idx").c_str()), 0);
  Table* lower = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(lower, nullptr);
  Table* upper = tb_open(base("NOTES").c_str(), 1, 0);
  ASSERT_NE(upper, nullptr) << "error " << tb_get_error();
  EXPECT_NE(lower, upper);
  EXPECT_EQ(tb_close(upper), 1);
  EXPECT_EQ(tb_close(lower), 1);
}

TEST_F(OpenCloseTest, MissingIndexFileLeavesThePhysicalIndexAlone) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  ASSERT_EQ(::unlink(base("notes.idx").c_str()), 0);
  Table* t = tb_open(base("notes").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbIndexFileUnusable);
  EXPECT_EQ(t->index_file_name, nullptr);
  EXPECT_EQ(t->directory, nullptr);
  EXPECT_EQ(t->space_index, nullptr);
  EXPECT_EQ(t->index_count, 1);
  ASSERT_NE(t->indexes, nullptr);
  EXPECT_EQ(t->indexes->number, 0);
  EXPECT_STREQ(t->indexes->name, "Physical Index");
  EXPECT_EQ(t->indexes->key_field_count, 2);
  EXPECT_EQ(tb_find_index(t, "INDX_Path,U"), nullptr);
  EXPECT_EQ(tb_get_error(), kTbIndexFileUnusable);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(OpenCloseTest, MissingDataFileFailsWithoutATable) {
  EXPECT_EQ(tb_open(base("nothing").c_str(), 0, 0), nullptr);
  EXPECT_EQ(tb_get_error(), kTbCannotOpen);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(OpenCloseTest, CloseOfAnUnknownOrClosedTableFails) {
  Table stranger{};
  EXPECT_EQ(tb_close(&stranger), -1);
  EXPECT_EQ(tb_get_error(), kTbNotOpen);
  Table* t = make_notes("notes");
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(tb_close(t), -1);
  EXPECT_EQ(tb_get_error(), kTbNotOpen);
  EXPECT_EQ(tb_flush_table(t), -1);
  EXPECT_EQ(tb_get_error(), kTbNotOpen);
}

TEST_F(OpenCloseTest, CreateOfAnOpenTableChangesNoFile) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tb_flush_table(t), 1);
  std::string db = read_whole_file(base("notes.db"));
  std::string idx = read_whole_file(base("notes.idx"));
  const char* other[] = {"Other", nullptr};
  EXPECT_EQ(tb_create(base("notes").c_str(), 0, other), nullptr);
  EXPECT_EQ(tb_get_error(), kTbAlreadyOpen);
  EXPECT_EQ(read_whole_file(base("notes.db")), db);
  EXPECT_EQ(read_whole_file(base("notes.idx")), idx);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(OpenCloseTest, FileNamesReplaceTheExtensionOrAddIt) {
  Table* t = make_notes("notes.old");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::string(t->data_file_name), base("notes.db"));
  EXPECT_EQ(std::string(t->index_file_name), base("notes.idx"));
  EXPECT_TRUE(exists(base("notes.db")));
  EXPECT_FALSE(exists(base("notes.old")));
  EXPECT_EQ(tb_close(t), 1);

  ASSERT_EQ(::mkdir(base("sys.d").c_str(), 0700), 0);
  t = make_notes("sys.d/qb");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::string(t->data_file_name), base("sys.d/qb.db"));
  EXPECT_EQ(std::string(t->index_file_name), base("sys.d/qb.idx"));
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(OpenCloseTest, NameTooLongForAFullPathIsRefused) {
  std::string name(300, 'n');
  const char* fields[] = {"Path", nullptr};
  EXPECT_EQ(tb_create(name.c_str(), 0, fields), nullptr);
  EXPECT_EQ(tb_get_error(), kTbBadName);
  EXPECT_EQ(tb_open(name.c_str(), 0, 0), nullptr);
  EXPECT_EQ(tb_get_error(), kTbBadName);
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(OpenCloseTest, TooLargePageSizeLeavesNeitherFile) {
  const char* fields[] = {"Path", nullptr};
  EXPECT_EQ(tb_create(base("big").c_str(), 1024, fields), nullptr);
  EXPECT_EQ(tb_get_error(), kTbPageTooLarge);
  EXPECT_FALSE(exists(base("big.db")));
  EXPECT_FALSE(exists(base("big.idx")));
  EXPECT_EQ(tb_tables.head, nullptr);
}

TEST_F(OpenCloseTest, SmallerIndexPageSizeIsKept) {
  const char* fields[] = {"Path", nullptr};
  Table* t = tb_create(base("small").c_str(), 128, fields);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->directory->file->header.page_size, 128);
  EXPECT_EQ(tb_close(t), 1);
  EXPECT_EQ(ix_page_size(base("small.idx").c_str()), 128);
}

TEST_F(OpenCloseTest, FailedCatalogueWriteDeletesTheDataFile) {
  FaultIo faults;
  faults.arm(IoKind::Write, 1);
  const char* fields[] = {"Path", "Remark", nullptr};
  EXPECT_EQ(tb_create(base("notes").c_str(), 0, fields), nullptr);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  EXPECT_EQ(faults.plan().failures, 1);
  EXPECT_FALSE(exists(base("notes.db")));
  EXPECT_FALSE(exists(base("notes.idx")));
}

TEST_F(OpenCloseTest, FailedIndexFileDeletesBothFiles) {
  FaultIo faults;
  faults.arm(IoKind::Write, 2);  // the index file's header
  const char* fields[] = {"Path", "Remark", nullptr};
  EXPECT_EQ(tb_create(base("notes").c_str(), 0, fields), nullptr);
  EXPECT_EQ(tb_get_error(), kTbIndexLayer);
  EXPECT_FALSE(exists(base("notes.db")));
  EXPECT_FALSE(exists(base("notes.idx")));
}

TEST_F(OpenCloseTest, FailingDataFileCloseStillRemovesTheTable) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  FaultIo faults;
  faults.arm(IoKind::Close, 1, true);
  EXPECT_EQ(tb_close(t), -1);
  EXPECT_NE(tb_get_error(), kTbOk);
  EXPECT_EQ(tb_tables.head, nullptr);
}

// A flush to disk costs as much with nothing to write: after the first one
// since open, a file reaches the disk again only after it was written to.
TEST_F(OpenCloseTest, FlushReachesTheDiskOnlyForFilesWrittenSinceTheLastFlush) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  const char* specs[] = {"Path", nullptr};
  ASSERT_EQ(tb_create_index(t, "INDX_Path,U", specs), 1);  // every add changes the index file too
  const void* values[] = {"/a", "first"};
  ASSERT_EQ(tb_add_record(t, nullptr, values), 1);
  ASSERT_EQ(tb_flush_table(t), 1);
  FaultIo faults;
  faults.arm(IoKind::Flush, 1000000);  // counts, never fails
  ASSERT_EQ(tb_flush_table(t), 1);
  EXPECT_EQ(faults.plan().calls, 0);
  const void* more[] = {"/b", "second"};
  ASSERT_EQ(tb_add_record(t, nullptr, more), 1);
  ASSERT_EQ(tb_flush_table(t), 1);
  EXPECT_EQ(faults.plan().calls, 2) << "the index file and the data file";
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(faults.plan().calls, 2);

  // Shared: a change flushes the data file once as it commits, and the
  // close has nothing left to flush. The index file is flushed once, for
  // its unflushed mark, before its first write; its commits stay in the
  // system's cache. A small add at the end writes the claim, the fields and
  // the length word inside one sector, which needs no flush between them.
  t = tb_open(base("notes").c_str(), 1, 0);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tb_flush_table(t), 1);
  faults.arm(IoKind::Flush, 1000000);
  const void* third[] = {"/c", "third"};
  ASSERT_EQ(tb_add_record(t, nullptr, third), 1);
  EXPECT_EQ(faults.plan().calls, 2);
  const void* fourth[] = {"/d", "fourth"};
  ASSERT_EQ(tb_add_record(t, nullptr, fourth), 1);
  EXPECT_EQ(faults.plan().calls, 3);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(faults.plan().calls, 3);
}

TEST_F(OpenCloseTest, FlushFailureOfTheDataFileIsReported) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  FaultIo faults;
  faults.arm(IoKind::Flush, 1, true);
  EXPECT_EQ(tb_flush_table(t), -1);
  EXPECT_EQ(tb_get_error(), kTbDataFile);
  faults.disarm();
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
