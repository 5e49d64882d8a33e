// The data file: table file names, reading records back (trailing bytes,
// contents shorter than the fields), deleting a table's files, damaged length
// words, records too large for a length word, and failing writes.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "records_fixture.h"
#include "support/fault_io.h"

namespace {

std::string real(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

// Appends raw bytes as one block at the end of the data file; its address.
int32_t append_raw(Table* t, int16_t word, const std::string& contents) {
  std::string block(2, '\0');
  put_i16(reinterpret_cast<uint8_t*>(block.data()), word);
  block += contents;
  int32_t at = 0;
  EXPECT_EQ(io_file_size(t->data_file, &at), 1);
  EXPECT_EQ(io_write_at(t->data_file, at, static_cast<int32_t>(block.size()), block.data()), 1);
  return at;
}

// --- file names ------------------------------------------------------------------

class FileNameTest : public RecordsTest {
 protected:
  std::string name(const std::string& base_name, bool data = true) {
    char buffer[kTbNameBuffer];
    char* r = data ? rec_data_file_name(base_name.c_str(), buffer) : rec_index_file_name(base_name.c_str(), buffer);
    return r == nullptr ? std::string("(none)") : std::string(r);
  }
};

TEST_F(FileNameTest, ExtensionIsAppendedOrReplacesTheLastOne) {
  std::string d = real(dir_.path());
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(name(d + "/qb"), d + "/qb.db");
  EXPECT_EQ(name(d + "/qb", false), d + "/qb.idx");
  EXPECT_EQ(name(d + "/notes.old"), d + "/notes.db");
  EXPECT_EQ(name(d + "/qb."), d + "/qb.db");
  EXPECT_EQ(name(d + "/dir.v/qb"), d + "/dir.v/qb.db");
}

TEST_F(FileNameTest, RelativeNamesAreTakenAgainstTheCurrentDirectory) {
  std::string d = real(dir_.path());
  char saved[PATH_MAX];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(d.c_str()), 0);
  std::string plain = name("qb");
  std::string dotted = name("./a/./b/../c");
  std::string up = name("../qb");
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_EQ(plain, d + "/qb.db");
  EXPECT_EQ(dotted, d + "/a/c.db");
  EXPECT_EQ(up, d.substr(0, d.rfind('/')) + "/qb.db");
  FaultIo fault;
  fault.arm(IoKind::CurrentDir, 1);  // the working directory cannot be told: no name
  EXPECT_EQ(name("qb"), "(none)");
}

TEST_F(FileNameTest, DotDotIsResolvedByTextNotThroughSymbolicLinks) {
  std::string d = real(dir_.path());
  ASSERT_EQ(::mkdir((d + "/deep").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((d + "/deep/inner").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((d + "/deep/inner").c_str(), (d + "/link").c_str()), 0);
  // Through the file system, link/.. is deep; by text it is d itself.
  EXPECT_EQ(name(d + "/link/../qb"), d + "/qb.db");
  EXPECT_EQ(name("/../" + d.substr(1) + "//qb"), d + "/qb.db");
}

TEST_F(FileNameTest, NamesLongerThan259CharactersCannotBeFormed) {
  std::string d = real(dir_.path()) + "/";
  // The full name with ".db" is exactly 259 characters: accepted.
  std::string fits = d + std::string(259 - d.size() - 3, 'n');
  EXPECT_EQ(name(fits), fits + ".db");
  EXPECT_EQ(name(fits + "n"), "(none)");
  EXPECT_EQ(name(d + std::string(400, 'n')), "(none)");
  EXPECT_EQ(name(""), "(none)");
}

// --- reading records back ----------------------------------------------------------

using ReadBackTest = RecordsTest;

TEST_F(ReadBackTest, TrailingBytesAfterTheFieldsAreIgnored) {
  Table* t = make_notes("notes");
  int32_t at = append_raw(t, 12, std::string("p\0r\0TRAILING", 12));
  RecordContents c;
  ASSERT_EQ(rec_read(t, at, &c), 1);
  EXPECT_EQ(c.space, 12);
  ASSERT_NE(c.fields[0], nullptr);
  ASSERT_NE(c.fields[1], nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(c.fields[0]), "p");
  EXPECT_STREQ(reinterpret_cast<char*>(c.fields[1]), "r");
  EXPECT_EQ(c.fields[2], nullptr);
  rec_free_contents(&c);
  ASSERT_TRUE(go_to(t, at));
  EXPECT_EQ(read_texts(t, tb_physical_index(t)), (std::vector<std::string>{"p", "r"}));
}

TEST_F(ReadBackTest, ContentsShorterThanTheFieldsGiveNullPointers) {
  Table* t = create("mixed", {"Path", "Count,L", "Remark"});
  // The path fits, the 32-bit count does not (3 of 4 bytes), so neither
  // the count nor the remark after it has a value.
  int32_t at = append_raw(t, 5, std::string("ab\0\1\2", 5));
  RecordContents c;
  ASSERT_EQ(rec_read(t, at, &c), 1);
  ASSERT_NE(c.fields[0], nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(c.fields[0]), "ab");
  EXPECT_EQ(c.fields[1], nullptr);
  EXPECT_EQ(c.fields[2], nullptr);
  EXPECT_EQ(c.fields[3], nullptr);
  rec_free_contents(&c);

  // Read into buffers, the missing fields come back empty.
  ASSERT_TRUE(go_to(t, at));
  int32_t count = -1;
  void* buffers[3] = {std::malloc(8), &count, std::malloc(8)};
  std::memcpy(buffers[2], "stale", 6);
  int32_t sizes[3] = {8, 4, 8};
  ASSERT_EQ(tb_read_record(t, tb_physical_index(t), buffers, sizes), 1);
  EXPECT_STREQ(static_cast<char*>(buffers[0]), "ab");
  EXPECT_EQ(count, 0);
  EXPECT_STREQ(static_cast<char*>(buffers[2]), "");
  std::free(buffers[0]);
  std::free(buffers[2]);

  // A text without its terminator does not fit either.
  uint8_t raw[3] = {'x', 'y', 'z'};
  uint8_t* fields[4] = {raw, raw, raw, raw};
  rec_split_fields(t, raw, 3, fields);
  EXPECT_EQ(fields[0], nullptr);
  EXPECT_EQ(fields[1], nullptr);
}

TEST_F(ReadBackTest, ReadIntoReusesItsBufferAndGrowsIt) {
  Table* t = make_notes("notes");
  int32_t small = add(t, "a", "b");
  int32_t large = add(t, "long", text_of(300));
  RecordHolder h;
  ASSERT_EQ(rec_read_into(t, small, &h), 1);
  uint8_t* first = h.bytes;
  int32_t capacity = h.capacity;
  ASSERT_EQ(rec_read_into(t, small, &h), 1);
  EXPECT_EQ(h.bytes, first);
  ASSERT_EQ(rec_read_into(t, large, &h), 1);
  EXPECT_GT(h.capacity, capacity);
  EXPECT_STREQ(reinterpret_cast<char*>(h.fields[0]), "long");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.fields[1])), text_of(300));
  rec_free_holder(&h);
}

// --- damaged length words ------------------------------------------------------------

using DamageTest = RecordsTest;

TEST_F(DamageTest, RecordRunningPastTheEndOfTheFileIsAnError) {
  Table* t = make_notes("notes");
  add(t, "a", "b");
  int32_t at = append_raw(t, 1000, std::string("p\0r\0", 4));
  RecordContents c;
  EXPECT_EQ(rec_read(t, at, &c), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  EXPECT_EQ(rec_corrupt_address, at);
  EXPECT_EQ(c.bytes, nullptr);

  TableIndex* phys = tb_physical_index(t);
  ASSERT_EQ(tb_first_record(t, phys), 1);
  EXPECT_EQ(tb_next_record(t, phys), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
}

TEST_F(DamageTest, FreeBlockRunningPastTheEndStopsTheWalkWithAnError) {
  Table* t = make_notes("notes");
  int32_t first = add(t, "a", "b");
  append_raw(t, -500, "xx");
  TableIndex* phys = tb_physical_index(t);
  ASSERT_EQ(tb_first_record(t, phys), 1);
  EXPECT_EQ(t->physical_cursor, first);
  EXPECT_EQ(tb_next_record(t, phys), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  EXPECT_EQ(t->physical_cursor, first);  // the position is kept
}

TEST_F(DamageTest, TornLengthWordAtTheEndIsAnError) {
  Table* t = make_notes("notes");
  add(t, "a", "b");
  int32_t size = file_size(t);
  uint8_t one = 7;
  ASSERT_EQ(io_write_at(t->data_file, size, 1, &one), 1);
  TableIndex* phys = tb_physical_index(t);
  ASSERT_EQ(tb_first_record(t, phys), 1);
  EXPECT_EQ(tb_next_record(t, phys), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
}

TEST_F(DamageTest, ReadingAFreeBlockAsARecordIsAnError) {
  Table* t = make_notes("notes");
  int32_t at = add(t, "a", "b");
  add(t, "c", "d");
  ASSERT_EQ(delete_at(t, at), 1);
  RecordContents c;
  EXPECT_EQ(rec_read(t, at, &c), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
}

// --- sizes --------------------------------------------------------------------------

using RecordSizeTest = RecordsTest;

// The length word is 16-bit signed: a payload above 32767 bytes is refused
// before anything is written.
TEST_F(RecordSizeTest, PayloadAboveTheLengthWordLimitIsRefused) {
  Table* t = make_notes("notes");
  ASSERT_EQ(tb_create_index(t, "ByPath", std::vector<const char*>{"Path", nullptr}.data()), 1);
  add(t, "a", "b");
  int32_t size = file_size(t);
  std::string just = text_of(32767 - 2);  // "p" + this = 32767
  std::string over = text_of(32768 - 2);
  const void* too_big[] = {"p", over.c_str()};
  EXPECT_EQ(tb_add_record(t, nullptr, too_big), -1);
  EXPECT_EQ(tb_error, kTbRecordTooLarge);
  EXPECT_EQ(rec_store(t, too_big), 0);
  EXPECT_EQ(tb_error, kTbRecordTooLarge);
  EXPECT_EQ(file_size(t), size);
  EXPECT_TRUE(free_blocks(t).empty());
  TableIndex* by_path = tb_find_index(t, "ByPath");
  const void* key[] = {"p"};
  EXPECT_EQ(tb_find_key(t, by_path, key), 3);
  EXPECT_EQ(by_path->state, -3);

  const void* fits[] = {"p", just.c_str()};
  ASSERT_EQ(tb_add_record(t, tb_physical_index(t), fits), 1);
  EXPECT_EQ(blocks(t).back(), (RawBlock{size, 32767}));

  // An update to a payload above the limit leaves the record as it was.
  ASSERT_TRUE(go_to(t, size));
  const void* grown[] = {"pp", just.c_str()};
  EXPECT_EQ(tb_update_record(t, tb_physical_index(t), grown), -1);
  EXPECT_EQ(tb_error, kTbRecordTooLarge);
  EXPECT_EQ(blocks(t).back(), (RawBlock{size, 32767}));
  EXPECT_EQ(read_texts(t, tb_physical_index(t)), (std::vector<std::string>{"p", just}));
}

// --- failing writes ---------------------------------------------------------------------

class WriteFailureTest : public RecordsTest {
 protected:
  // Closes `t` and opens its table again in shared mode.
  Table* reopen_shared(Table* t) {
    if (t == nullptr) return nullptr;
    std::string name = t->data_file_name;
    EXPECT_EQ(tb_close(t), 1);
    name.resize(name.size() - 3);  // without ".db"
    return tb_open(name.c_str(), 1, 0);
  }
  void ExpectFailingAppendLeavesTheFileAsItWas(Table* t);
};

void WriteFailureTest::ExpectFailingAppendLeavesTheFileAsItWas(Table* t) {
  add(t, "a", "b");
  int32_t size = file_size(t);
  {
    FaultIo fault;
    // A shared change first puts the index file's busy mark.
    fault.arm(IoKind::Write, t->shared ? 2 : 1);
    const void* values[] = {"c", "d"};
    EXPECT_EQ(tb_add_record(t, nullptr, values), -1);
    EXPECT_EQ(tb_error, kTbDataFile);
    EXPECT_EQ(fault.plan().failures, 1);
  }
  EXPECT_EQ(file_size(t), size);
  EXPECT_TRUE(free_blocks(t).empty());
  EXPECT_EQ(add(t, "c", "d"), size);
}

// Exclusive: the record's one write fails (its length word goes out with
// it). Shared: the length word that claims the block fails.
TEST_F(WriteFailureTest, FailingAppendLeavesTheFileAsItWas) {
  for (int shared : {0, 1}) {
    SCOPED_TRACE(shared ? "shared" : "exclusive");
    Table* t = shared ? reopen_shared(make_notes("shared")) : make_notes("notes");
    ASSERT_NE(t, nullptr);
    ExpectFailingAppendLeavesTheFileAsItWas(t);
  }
}

TEST_F(WriteFailureTest, FailingRecordWriteLeavesItsSpaceFree) {
  // Shared mode, where the length word claims the block before the record
  // is written.
  Table* t = reopen_shared(make_notes("notes"));
  ASSERT_NE(t, nullptr);
  add(t, "a", "b");
  int32_t size = file_size(t);
  {
    FaultIo fault;
    fault.arm(IoKind::Write, 3);  // the busy mark and the length word go out, the record not
    const void* values[] = {"c", "dd"};
    EXPECT_EQ(tb_add_record(t, nullptr, values), -1);
    EXPECT_EQ(tb_error, kTbDataFile);
    EXPECT_EQ(fault.plan().failures, 1);
  }
  // The block (its 5 bytes of payload and a shared record's room to grow)
  // is free and lies inside the file; the next record of that size takes it.
  EXPECT_EQ(free_blocks(t), (std::vector<FreeEntry>{{size, rec_room_for(t, 5)}}));
  expect_free_space_consistent(t);
  EXPECT_EQ(add(t, "e", "ff"), size);
  EXPECT_EQ(read_texts(t, tb_physical_index(t)), (std::vector<std::string>{"e", "ff"}));
}

TEST_F(WriteFailureTest, TornAppendLeavesItsSpaceFree) {
  // Exclusive mode: the record's write fails after a part of it reached the
  // file. The block is given back as free space inside the file.
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  add(t, "a", "b");
  const int32_t size = file_size(t);
  FaultIo fault;
  g_file_io.write_at = [](int h, int32_t offset, int32_t length, const void* buffer) {
    // Half of each write of more than a length word, then a failure.
    if (length <= 2) return io_default_table().write_at(h, offset, length, buffer);
    (void)io_default_table().write_at(h, offset, length / 2, buffer);
    io_os_error = 28;
    return -1;
  };
  const void* values[] = {"c", "dd"};
  EXPECT_EQ(tb_add_record(t, nullptr, values), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  g_file_io.write_at = io_default_table().write_at;
  EXPECT_EQ(free_blocks(t), (std::vector<FreeEntry>{{size, 5}}));
  expect_free_space_consistent(t);
  EXPECT_EQ(add(t, "e", "ff"), size);
}

TEST_F(WriteFailureTest, FailingUpdateWriteGivesDataFileError) {
  Table* t = make_notes("notes");
  int32_t at = add(t, "a", "b");
  ASSERT_TRUE(go_to(t, at));
  FaultIo fault;
  fault.arm(IoKind::Write, 1);
  const void* values[] = {"x", "y"};
  EXPECT_EQ(tb_update_record(t, tb_physical_index(t), values), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
}

// --- deleting a table -------------------------------------------------------------------

using DeleteTableTest = RecordsTest;

TEST_F(DeleteTableTest, OpenTableIsNotDeleted) {
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_delete_table(base("notes").c_str()), -1);
  EXPECT_EQ(tb_error, kTbAlreadyOpen);
  EXPECT_TRUE(exists(base("notes.db")));
  EXPECT_TRUE(exists(base("notes.idx")));
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(tb_delete_table(base("notes").c_str()), 1);
  EXPECT_FALSE(exists(base("notes.db")));
  EXPECT_FALSE(exists(base("notes.idx")));
  EXPECT_EQ(tb_delete_table(base("notes").c_str()), -1);
  EXPECT_EQ(tb_error, kTbCannotOpen);
}

}  // namespace
