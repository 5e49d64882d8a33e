// Creating, opening, copying and closing tables: a new table's bytes and
// declarations, calls refused with their error and nothing left behind,
// copies, tables a process leaves open, record locks.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "support/fork_helper.h"

namespace {

TEST_F(EngineTest, NewTablesAndWhatTheyReadBack) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  EXPECT_EQ(read_whole_file(base("notes.db")), std::string("\x0c\0\x02\0Path\0Remark\0", 16));
  // Declarations: type and width; the smallest record is 2 and the fixed
  // fields' widths, 1 per text field, at most 32.
  Table* t = create("f", {"Photo,B:100", "Thumb,B", "Huge,b40000", "Count,i", "Flag,X", "Plain", "Exact,c",
                          "Unsigned,U", "Long,l", "Float,F", "Double,d", "Text,S", "Five,B5"});
  const int types[] = {7, 7, 7, 2, 0, 0, 1, 3, 4, 5, 6, 0, 7}, widths[] = {100, 1, 32767, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(std::make_pair(tb_field_type(t, i), tb_field_width(t, i)), std::make_pair(types[i], widths[i])) << i;
  EXPECT_EQ(tb_close(t), 1);
  for (const auto& [fields, size] : std::vector<std::pair<std::vector<const char*>, int>>{
           {{"Flag,X"}, 2}, {{"Count,I", "Name", "Blob,B:3"}, 8}, {{"A,D", "B,D", "C,D", "D,D", "E,D"}, 32}, {{}, 2}})
    EXPECT_TRUE((t = create("m", fields))->min_record_size == size && tb_close(t) == 1) << size;
}

// Each row a call that must fail with its error, creating no file of "n",
// opening no table, and leaving the files of the open table "t" unchanged;
// then a close of a closed table.
TEST_F(EngineTest, RefusedCallsLeaveTheirErrorAndNothingElse) {
  Table* t = make_indexed("t");
  ASSERT_EQ(tb_flush_table(t), 1);
  ASSERT_EQ(tb_close(make_notes("ro")) + tb_close(make_notes("c")) + tb_close(make_notes("s")), 3);
  Table *ro = reopen("ro", 0, 1), *shared = reopen("c", 1), *other = make_notes("other"), *head = tb_tables.head;
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  const std::string files = read_whole_file(base("t.db")) + read_whole_file(base("t.idx"));
  std::vector<const char*> too_many(32769, "");
  too_many.back() = nullptr;
  const std::string long_name(32767, 'n'), long_path(300, 'n');
  const char *path[] = {"Path", nullptr}, *one[] = {long_name.c_str(), nullptr};
  const void* values[] = {"/a", "x"};
  const std::string n = base("n");
  auto copy = [&](const char* from, const std::string& to, const char* by) { return tb_copy(base(from).c_str(), to.c_str(), by, 0, 0); };
  const struct {
    const char* name;
    std::function<bool()> failed;
    int error;
  } rows[] = {
      {"an unknown index", [&] { return tb_find_index(t, "NoSuch") == nullptr; }, kTbNoSuchIndex},
      {"key field past the last", [&] { return tb_key_field(t, ix, 1) == -1; }, kTbKeyFieldRange},
      {"key field count of another's index", [&] { return tb_key_field_count(other, ix) == -1; }, kTbForeignIndex},
      {"add to a read-only table", [&] { return tb_add_record(ro, nullptr, values) == -1; }, kTbReadOnly},
      {"open of another spelling", [&] { return tb_open((dir_.path() + "/./t.db").c_str(), 1, 0) == nullptr; }, kTbAlreadyOpen},
      {"create over an open table", [&] { return tb_create(base("t").c_str(), 0, path) == nullptr; }, kTbAlreadyOpen},
      {"open of no file", [&] { return tb_open(n.c_str(), 0, 0) == nullptr; }, kTbCannotOpen},
      {"create of a name too long", [&] { return tb_create(long_path.c_str(), 0, path) == nullptr; }, kTbBadName},
      {"create with pages too large", [&] { return tb_create(n.c_str(), 1024, path) == nullptr; }, kTbPageTooLarge},
      {"names block beyond 15 bits", [&] { return tb_create(n.c_str(), 0, one) == nullptr; }, kTbKeyTooLong},
      {"field count beyond 15 bits", [&] { return tb_create(n.c_str(), 0, too_many.data()) == nullptr; }, kTbKeyTooLong},
      {"copy onto another spelling", [&] { return copy("s", dir_.path() + "/./x/../s.old", nullptr) == -1; }, kTbCopyOntoSelf},
      {"copy of an open table", [&] { return copy("t", n, nullptr) == -1; }, kTbAlreadyOpen},
      {"copy by an unknown index", [&] { return copy("s", n, "NoSuch") == -1; }, kTbNoSuchIndex},
      // Fault found: a refused rebuild closed the table's indexes first.
      {"rebuild over an index file", [&] { return tb_rebuild(t, 0, 0) == -1; }, kTbIndexFileExists},
      {"rebuild of a shared table", [&] { return tb_rebuild(shared, 0, 1) == -1; }, kTbNeedsExclusive},
      {"rebuild of a read-only table", [&] { return tb_rebuild(ro, 0, 1) == -1; }, kTbReadOnly},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    tb_error = kTbOk;
    EXPECT_TRUE(row.failed());
    EXPECT_EQ(tb_get_error(), row.error);
    EXPECT_FALSE(exists(n + ".db") || exists(n + ".idx"));
    EXPECT_EQ(tb_tables.head, head);
  }
  EXPECT_EQ(read_whole_file(base("t.db")) + read_whole_file(base("t.idx")), files);
  ASSERT_TRUE(add(t, "/a", "x") != 0 && find(t, "/A") != 0);  // its indexes still in use
  EXPECT_EQ(verify(t), 0) << findings_;
  EXPECT_EQ(tb_close(ro) + tb_close(shared) + tb_close(other) + tb_close(t), 4);
  EXPECT_TRUE(tb_close(t) == -1 && tb_get_error() == kTbNotOpen);
}

// Copies of "src" (free blocks between its records) by remark (shared, 256-byte
// pages), without its index file (record order) and by path: its records,
// each with room to grow (an eighth and 4 bytes), no free block between, its
// fields, indexes and page size. A keyed entry naming a free block ends a copy.
TEST_F(EngineTest, CopiesAreCompactOrderedAndComplete) {
  auto lower = [](std::vector<std::string> r) {
    for (auto& c : r[0]) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
  };
  for (const char* by : {"ByRemark", "", "INDX_Path,U"}) {
    SCOPED_TRACE(by);
    const char* fields[] = {"Path", "Remark", nullptr};
    Table* t = tb_create(base("src").c_str(), *by == 'B' ? 256 : 0, fields);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}) + create_index(t, "ByRemark", {"Remark:2,5", "Path:4"}), 2);
    std::vector<int32_t> at;
    for (const char* p : {"/m/Zeta", "/a/beta", "/A/alpha", "/q", "/B/Gamma", "/c/delta", "/b/eta", "/x/Omega"})
      at.push_back(add(t, p, std::string(3 + (at.size() * 37) % 200, 'r')));
    ASSERT_EQ(delete_at(t, at[3]) + delete_at(t, at[5]), 2);
    const std::string grown(3000, 'L');
    const void* values[] = {"/a/beta", grown.c_str()};
    ASSERT_TRUE(find(t, "/a/beta") != 0 && tb_update_record(t, tb_find_index(t, "INDX_Path,U"), values) == 1);
    ASSERT_EQ(tb_close(t), 1);
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
    EXPECT_EQ(ix_page_size(base("dst.idx").c_str()), *by == 'B' ? 256 : 512);
    ASSERT_NE(t = reopen("dst"), nullptr);
    EXPECT_EQ(strings(tb_field_names(t)), (std::vector<std::string>{"Path", "Remark"}));
    EXPECT_EQ(strings(tb_index_definition(t, tb_find_index(t, "ByRemark"))),
              (*by ? std::vector<std::string>{"Remark:2,5", "Path:4"} : std::vector<std::string>{}));
    EXPECT_EQ(verify(t), 0) << findings_;
    EXPECT_EQ(tb_close(t), 1);
  }
  Table* t = reopen("src");
  int32_t free_at = 0;
  for (const RawBlock& b : raw_blocks("src")) free_at = b.word < 0 ? b.at : free_at;
  const std::vector<uint8_t> key = text_key(1, {"/0"});
  ASSERT_EQ(ix_insert(t->directory, key.data(), static_cast<int>(key.size()), free_at, 0), 1);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(tb_copy(base("src").c_str(), base("dst2").c_str(), "INDX_Path,U", 0, 0), -1);
  EXPECT_TRUE(tb_error == kTbDataFile && tb_tables.head == nullptr) << tb_error;
}

// Shutdown closes every open table; a process exiting with a table open has
// it closed at exit, its index file complete.
TEST_F(EngineTest, TablesLeftOpenAreClosedAtShutdownAndAtExit) {
  ASSERT_NE(make_indexed("a"), nullptr);
  ASSERT_NE(make_notes("b"), nullptr);
  EXPECT_TRUE(tb_shutdown() == 1 && tb_tables.head == nullptr && tb_started() == 0 && ix_handles.head == nullptr);
  Child c = fork_child([a = base("a")](int, int) -> int {
    Table* t = tb_open(a.c_str(), 0, 0);
    for (int i = 0; t != nullptr && i < 200; ++i) (void)add(t, "/exit/" + std::to_string(i), "x");
    std::exit(t != nullptr && tb_started() == 1 ? 0 : 2);  // not _exit: the exit handlers run
  });
  EXPECT_EQ(wait_child(c), 0);
  Table* t = reopen("a");
  ASSERT_EQ(tb_error, kTbOk);
  EXPECT_NE(find(t, "/exit/199"), 0);
  EXPECT_EQ(verify(t), 0) << findings_;
  EXPECT_EQ(tb_close(t), 1);
}

// Record locks of a shared table: their numbers, and whether the bytes are
// locked, seen from a forked child with its own open of the data file.
TEST_F(EngineTest, RecordLocksAreNumberedHeldAndReleased) {
  Table* t = make_indexed("notes");
  std::vector<int32_t> address;
  for (const char* p : {"a", "b", "c", "d"}) address.push_back(add(t, p, std::string("note ") + p));
  ASSERT_TRUE(tb_close(t) == 1 && (t = reopen("notes", 1)) != nullptr);
  auto lock = [&](int record) {  // the lock's number, 0 on failure
    int32_t n = 0;
    const bool found = find(t, std::string(1, char('a' + record))) != 0;
    return found && tb_lock_record(t, tb_find_index(t, "INDX_Path,U"), &n) == 1 ? n : 0;
  };
  auto held = [&](int record) {  // 1 when another process finds the record's bytes locked
    Child c = fork_child([db = base("notes.db"), at = address[static_cast<size_t>(record)]](int, int) {
      int fd = io_open(db.c_str(), 1, 1);
      return fd == -1 ? 3 : io_lock(fd, at, 2, 1, 0, 0) == 1 ? 0 : 1;
    });
    return wait_child(c);
  };
  for (int r = 0; r < 3; ++r) EXPECT_EQ(lock(r), r + 1);
  EXPECT_EQ((std::vector<int>{held(0), held(1), held(2), held(3)}), (std::vector<int>{1, 1, 1, 0}));
  EXPECT_EQ((std::vector<int>{tb_unlock_record(t, 1), held(0)}), (std::vector<int>{1, 0}));  // 1 free, taken next
  EXPECT_EQ((std::vector<int>{lock(3), lock(0), lock(0)}), (std::vector<int>{1, 4, 5}));
  // The same record twice: held until both go.
  EXPECT_EQ((std::vector<int>{tb_unlock_record(t, 4), held(0), tb_unlock_record(t, 5), held(0)}),
            (std::vector<int>{1, 1, 1, 0}));
  EXPECT_TRUE(tb_unlock_record(t, 9) == -1 && tb_get_error() == kTbNoSuchLock);
  t->lock_slot.next->number = INT32_MAX;  // as after a long run of locks: 2 is in use, 3 free again
  EXPECT_EQ(lock(0), 3);
  EXPECT_EQ(tb_close(t), 1);
  EXPECT_EQ(held(2), 0);
}

}  // namespace
