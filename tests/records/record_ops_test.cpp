// Where records go in the data file: scripts of adds, deletes and updates,
// and the blocks they must leave (free blocks reused whole or split, merged
// up to what a length word states, updates in place or moved, undone adds).
#include <array>
#include <sstream>

#include "records_fixture.h"

namespace {

struct LayoutRow {
  const char* name;
  std::vector<int> payloads;  // record k: path "a"+k, payload bytes (path and remark)
  const char* script;         // dK delete k; aP add payload P; uK:P update k through the physical
                              // index to payload P; xP add payload P under record 0's path in
                              // upper case: refused by the unique index
  std::vector<std::array<int32_t, 3>> want;  // blocks: (record k's first address, or -1: the
                                             // end of the file before the script), offset, word
};

const LayoutRow kLayouts[] = {
    {"same length reuses the freed block", {23, 5}, "d0 a23", {{0, 0, 23}, {1, 0, 5}}},
    {"a leftover below the minimum goes with the record", {23, 5}, "d0 a21", {{0, 0, 23}, {1, 0, 5}}},
    {"a large free block is split behind the record", {100, 5}, "d0 a40", {{0, 0, 40}, {0, 42, -58}, {1, 0, 5}}},
    {"the largest free block is taken", {10, 5, 30, 5}, "d0 d2 a20",
     {{0, 0, -10}, {1, 0, 5}, {2, 0, 20}, {2, 22, -8}, {3, 0, 5}}},
    {"larger than the largest free block: appended", {10, 5, 15, 5}, "d0 d2 a20",
     {{0, 0, -10}, {1, 0, 5}, {2, 0, -15}, {3, 0, 5}, {-1, 0, 20}}},
    {"a block between two free ones joins both", {10, 20, 30, 5}, "d0 d2 d1", {{0, 0, -64}, {3, 0, 5}}},
    {"no merge above 32767 bytes, after", {20000, 20000, 5}, "d1 d0", {{0, 0, -20000}, {1, 0, -20000}, {2, 0, 5}}},
    {"three-way merge too large: joins the one before", {100, 100, 32600, 5}, "d0 d2 d1",
     {{0, 0, -202}, {2, 0, -32600}, {3, 0, 5}}},
    {"three-way merge too large: joins the one after", {32700, 100, 100, 5}, "d0 d2 d1",
     {{0, 0, -32700}, {1, 0, -202}, {3, 0, 5}}},
    {"same length update stays in place", {6, 5}, "u0:6", {{0, 0, 6}, {1, 0, 5}}},
    {"a small shrink keeps the whole space", {8, 5}, "u0:6", {{0, 0, 8}, {1, 0, 5}}},
    {"a larger shrink frees the tail", {50, 5}, "u0:9", {{0, 0, 9}, {0, 11, -39}, {1, 0, 5}}},
    {"a longer record moves and frees its block", {5, 5}, "u0:22", {{0, 0, -5}, {1, 0, 5}, {-1, 0, 22}}},
    {"a refused add gives its block back", {5}, "x10", {{0, 0, 5}, {-1, 0, -10}}},
};

using RecordOpsTest = RecordsTest;

TEST_F(RecordOpsTest, ScriptsLeaveTheBlocksOfTheTable) {
  for (const LayoutRow& row : kLayouts) {
    SCOPED_TRACE(row.name);
    Table* t = make_notes(row.name);
    // The newest index is changed first, so a refusal by the unique index
    // must take the other's entry back.
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    ASSERT_EQ(create_index(t, "ByRemark", {"Remark:8"}), 1);
    TableIndex* path = tb_find_index(t, "INDX_Path,U");
    std::vector<int32_t> at;
    auto put = [&](std::string p, int payload, TableIndex* ix) {
      const std::string remark = text_of(payload - 2, static_cast<char>('a' + payload % 26));
      const void* values[] = {p.c_str(), remark.c_str()};
      return ix == nullptr ? tb_add_record(t, path, values) : tb_update_record(t, ix, values);
    };
    for (int p : row.payloads) {
      ASSERT_EQ(put(std::string(1, static_cast<char>('a' + at.size())), p, nullptr), 1);
      ASSERT_EQ(ix_current(path->handle, &at.emplace_back()), 1);
    }
    const int32_t end = file_size(t);
    std::istringstream script(row.script);
    char added = 'm';
    for (std::string op; script >> op;) {
      const int k = std::atoi(op.c_str() + 1);
      const std::string p(1, static_cast<char>('a' + k));
      const int rc = op[0] == 'd' ? delete_at(t, at[static_cast<size_t>(k)]) : op[0] == 'a' ? put(std::string(1, added++), k, nullptr) : 1;
      ASSERT_EQ(rc, 1) << op;
      if (op[0] == 'u') {
        ASSERT_TRUE(go_to(t, at[static_cast<size_t>(k)]));
        ASSERT_EQ(put(p, std::atoi(op.c_str() + 3), tb_physical_index(t)), 1);
      }
      if (op[0] == 'x') {
        EXPECT_TRUE(put("A", k, nullptr) == -1 && ix_error == kIxDuplicateKey);
      }
    }
    Blocks want;
    for (auto [k, offset, word] : row.want) want.emplace_back((k < 0 ? end : at[static_cast<size_t>(k)]) + offset, word);
    EXPECT_EQ(blocks(t), want);
    std::string findings;
    EXPECT_EQ(tb_verify(t, [](void* c, const char* f) { *static_cast<std::string*>(c) += f; }, &findings, 5), 0) << findings;
    EXPECT_EQ(tb_close(t), 1);
  }
}

// Fault found by fuzzing: a size entry naming a block far past the end of
// the file was handed out unchecked, and one add grew the file by up to 2 GB.
TEST_F(RecordOpsTest, SizeEntryPastTheEndIsDamageAndTheFileDoesNotGrow) {
  Table* t = make_notes("past");
  const int32_t first = add(t, "/first", text_of(40));
  ASSERT_NE(add(t, "/second", "b"), 0);
  ASSERT_EQ(delete_at(t, first), 1);
  const uint8_t key[3] = {0xFF, 0, 47};  // the size entry of the freed block: FF, size 47
  tb_set_current_table(t);
  ASSERT_EQ(ix_replace(t->space_index, key, 3, first, key, 3, 100 * 1000 * 1000, 1), 1) << ix_error;
  const int32_t before = file_size(t);
  EXPECT_TRUE(add(t, "/third", "c") == 0 && tb_error == kTbDataFile);
  EXPECT_EQ(file_size(t), before);
}

// Under the table read lock, records that follow one another are read a
// window at a time: the window starts right after the block just read, and a
// record another writer changed while the lock was not held reads as changed.
TEST_F(RecordOpsTest, ReadsUnderTheTableReadLockFollowTheWindowAndSeeChangesBetweenLocks) {
  Table* t = make_notes("window");
  const std::vector<std::string> notes = {"1", "2", text_of(600)};
  int32_t at[3];
  for (int i = 0; i < 3; ++i) at[i] = add(t, "/" + std::to_string(i), notes[static_cast<size_t>(i)]);
  ASSERT_EQ(tb_close(t), 1);
  ASSERT_NE(t = tb_open(base("window").c_str(), 1, 0), nullptr);
  TableIndex* phys = tb_physical_index(t);
  for (const char* changed : {"2", "9"}) {
    ASSERT_EQ(tb_lock_table(t, 1), 1);
    std::vector<std::string> seen;
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys)) seen.push_back(read_texts(t, phys).at(1));
    EXPECT_EQ(seen, (std::vector<std::string>{"1", changed, notes[2]}));
    EXPECT_GT(t->window_length, 0);
    ASSERT_EQ(tb_unlock_table(t, 1), 1);
    const int fd = io_open(base("window.db").c_str(), 1, 1);  // another writer: "2" becomes "9"
    ASSERT_GE(fd, 0);
    ASSERT_EQ(io_write_at(fd, at[1] + 2 + 3, 1, "9"), 1);  // after the length word and "/1\0"
    (void)io_close(fd);
  }
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
