// Creating, opening and closing tables: the exact bytes of a new table, the
// declarations and index definitions read back, the calls refused with their
// error and nothing left behind, and the tables a process leaves open.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "support/fork_helper.h"

namespace {

using OpenCloseTest = EngineTest;

TEST_F(OpenCloseTest, NewTablesAndWhatTheyReadBack) {
  ASSERT_EQ(tb_close(make_notes("notes")), 1);
  EXPECT_EQ(read_whole_file(base("notes.db")), std::string("\x0c\0\x02\0Path\0Remark\0", 16));
  IndexHandle* h = ix_open(base("notes.idx").c_str(), tb_compare_keys, 0, 1);  // the physical entry alone
  ASSERT_NE(h, nullptr);
  int32_t ref = -1;
  uint8_t key[32];
  ASSERT_EQ(ix_next(h, &ref) + ix_current_key(h, key, sizeof key), 2);
  EXPECT_EQ(ref, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 16), std::string("\0Physical Index\0", 16));
  EXPECT_EQ(ix_next(h, &ref), -3);
  EXPECT_EQ(ix_close(h), 1);
  // Declarations: type and width; the smallest record is 2 and the fixed
  // fields' widths, 1 per text field, at most 32.
  Table* t = create("f", {"Photo,B:100", "Thumb,B", "Huge,b40000", "Count,i", "Flag,X", "Plain", "Exact,c",
                          "Unsigned,U", "Long,l", "Float,F", "Double,d", "Text,S", "Five,B5"});
  ASSERT_NE(t, nullptr);
  const int types[] = {7, 7, 7, 2, 0, 0, 1, 3, 4, 5, 6, 0, 7}, widths[] = {100, 1, 32767, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(std::make_pair(tb_field_type(t, i), tb_field_width(t, i)), std::make_pair(types[i], widths[i])) << i;
  EXPECT_EQ(tb_close(t), 1);
  const std::pair<std::vector<const char*>, int> smallest[] = {
      {{"Flag,X"}, 2}, {{"Count,I", "Name", "Blob,B:3"}, 8}, {{"A,D", "B,D", "C,D", "D,D", "E,D"}, 32}, {{}, 2}};
  for (const auto& [fields, size] : smallest) {
    ASSERT_EQ(tb_close(create("m" + std::to_string(size), fields)), 1);
    ASSERT_NE(t = reopen("m" + std::to_string(size)), nullptr);
    EXPECT_EQ(t->min_record_size, size);
    EXPECT_EQ(tb_close(t), 1);
  }
  // Index definitions in their stored spelling, newest in key order first.
  ASSERT_NE(t = make_notes("d"), nullptr);
  ASSERT_EQ(add_directory_entry(t, "ByRemark", {"remark:5,10", "PATH"}, 2) + add_directory_entry(t, "Last", {"Path"}, 127), 2);
  ASSERT_EQ(tb_close(t), 1);
  ASSERT_NE(t = reopen("d"), nullptr);
  EXPECT_EQ(tb_error, kTbOk);
  EXPECT_EQ(strings(tb_index_names(t)), (std::vector<std::string>{"Physical Index", "Last", "ByRemark"}));
  EXPECT_EQ(strings(tb_index_definition(t, tb_find_index(t, "byremark"))), (std::vector<std::string>{"Remark:5,10", "Path"}));
  EXPECT_EQ(strings(tb_index_definition(t, tb_physical_index(t))), (std::vector<std::string>{"Path", "Remark"}));
  EXPECT_EQ(tb_key_field(t, tb_find_index(t, "ByRemark"), 1), 0);
  EXPECT_EQ(tb_close(t), 1);
}

// Each row a call that must fail with its error, creating no file of "n",
// opening no table, and leaving the files of the open table "t" unchanged.
TEST_F(OpenCloseTest, RefusedCallsLeaveTheirErrorAndNothingElse) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tb_flush_table(t), 1);
  ASSERT_EQ(tb_close(make_notes("ro")), 1);
  Table *ro = reopen("ro", 0, 1), *other = make_notes("other"), *head = tb_tables.head, stranger{};
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  const std::string files = read_whole_file(base("t.db")) + read_whole_file(base("t.idx"));
  std::vector<const char*> too_many(32769, "");
  too_many.back() = nullptr;
  const std::string long_name(32767, 'n'), long_path(300, 'n');
  const char *path[] = {"Path", nullptr}, *one[] = {long_name.c_str(), nullptr};
  const void* values[] = {"/a", "x"};
  const std::string n = base("n");
  const struct {
    const char* name;
    std::function<bool()> failed;
    int error;
  } rows[] = {
      {"field type past the last", [&] { return tb_field_type(t, 2) == -1; }, kTbFieldRange},
      {"field type below the first", [&] { return tb_field_type(t, -1) == -1; }, kTbFieldRange},
      {"field width past the last", [&] { return tb_field_width(t, 2) == -1; }, kTbFieldRange},
      {"field count of no table", [&] { return tb_field_count(&stranger) == -1; }, kTbNotOpen},
      {"field names of no table", [&] { return tb_field_names(&stranger) == nullptr; }, kTbNotOpen},
      {"an unknown index", [&] { return tb_find_index(t, "NoSuch") == nullptr; }, kTbNoSuchIndex},
      {"key field past the last", [&] { return tb_key_field(t, ix, 1) == -1; }, kTbKeyFieldRange},
      {"key field below the first", [&] { return tb_key_field(t, ix, -1) == -1; }, kTbKeyFieldRange},
      {"key field count of another's index", [&] { return tb_key_field_count(other, ix) == -1; }, kTbForeignIndex},
      {"definition of another's index", [&] { return tb_index_definition(other, ix) == nullptr; }, kTbForeignIndex},
      {"index names of no table", [&] { return tb_index_names(&stranger) == nullptr; }, kTbNotOpen},
      {"close of no table", [&] { return tb_close(&stranger) == -1; }, kTbNotOpen},
      {"flush of no table", [&] { return tb_flush_table(&stranger) == -1; }, kTbNotOpen},
      {"add to a read-only table", [&] { return tb_add_record(ro, nullptr, values) == -1; }, kTbReadOnly},
      {"open of an open table", [&] { return reopen("t", 1) == nullptr; }, kTbAlreadyOpen},
      {"open of another spelling", [&] { return tb_open((dir_.path() + "/./t.db").c_str(), 1, 0) == nullptr; }, kTbAlreadyOpen},
      {"create over an open table", [&] { return tb_create(base("t").c_str(), 0, path) == nullptr; }, kTbAlreadyOpen},
      {"open of no file", [&] { return tb_open(n.c_str(), 0, 0) == nullptr; }, kTbCannotOpen},
      {"create of a name too long", [&] { return tb_create(long_path.c_str(), 0, path) == nullptr; }, kTbBadName},
      {"open of a name too long", [&] { return tb_open(long_path.c_str(), 0, 0) == nullptr; }, kTbBadName},
      {"create with pages too large", [&] { return tb_create(n.c_str(), 1024, path) == nullptr; }, kTbPageTooLarge},
      {"create of no field list", [&] { return tb_create(n.c_str(), 0, nullptr) == nullptr; }, kTbMissingArgument},
      {"names block beyond 15 bits", [&] { return tb_create(n.c_str(), 0, one) == nullptr; }, kTbKeyTooLong},
      {"field count beyond 15 bits", [&] { return tb_create(n.c_str(), 0, too_many.data()) == nullptr; }, kTbKeyTooLong},
      {"a second start-up", [] { return tb_startup(16, 512) == -1; }, kTbStarted},
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
  EXPECT_EQ(tb_close(ro) + tb_close(other) + tb_close(t), 3);
  EXPECT_EQ(tb_close(t), -1);
  EXPECT_EQ(tb_get_error(), kTbNotOpen);
}

// Shutdown closes every open table, and the first open starts the engine
// again; a process that exits with a table open has it closed at exit, its
// index file complete.
TEST_F(OpenCloseTest, TablesLeftOpenAreClosedAtShutdownAndAtExit) {
  ASSERT_NE(make_indexed("a"), nullptr);
  ASSERT_NE(make_notes("b"), nullptr);
  EXPECT_EQ(tb_shutdown(), 1);
  EXPECT_EQ(tb_tables.head, nullptr);
  EXPECT_EQ(tb_started(), 0);
  EXPECT_EQ(ix_handles.head, nullptr);
  const std::string a = base("a");
  Child c = fork_child([a](int, int) -> int {
    Table* t = tb_open(a.c_str(), 0, 0);
    for (int i = 0; t != nullptr && i < 200; ++i) (void)add(t, "/exit/" + std::to_string(i), "x");
    std::exit(t != nullptr && tb_started() == 1 ? 0 : 2);  // not _exit: the exit handlers run
  });
  EXPECT_EQ(wait_child(c), 0);
  Table* t = reopen("a");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_error, kTbOk);
  EXPECT_NE(find(t, "/exit/199"), 0);
  EXPECT_EQ(verify(t), 0) << findings_;
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
