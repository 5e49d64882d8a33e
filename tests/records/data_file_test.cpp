// The data file: file names; where records go (scripts of adds, deletes and
// updates, and the blocks they must leave); damaged blocks and refused
// values; reads under the table read lock; a fault loop over every read and
// write of a change.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <map>
#include <sstream>

#include "records_fixture.h"
#include "support/fault_io.h"

namespace {

using DataFileTest = RecordsTest;
FaultPlan* g_two = nullptr;  // the fault loop's plan while two writes fail

// Record k has path "a"+k and `payloads[k]` bytes of path and remark. Script:
// dK delete k; aP add P bytes; uK:P update k to P bytes through the physical
// index; xP add P bytes under record 0's path in upper case (refused by the
// unique index). Blocks wanted: (record k's address, or -1 for the end of the
// file before the script; an offset; the length word).
const struct { const char* name; std::vector<int> payloads; const char* script; std::vector<std::array<int32_t, 3>> want; } kLayouts[] = {
    {"same length reuses the freed block", {23, 5}, "d0 a23", {{0, 0, 23}, {1, 0, 5}}},
    {"a leftover below the minimum goes with the record", {23, 5}, "d0 a21", {{0, 0, 23}, {1, 0, 5}}},
    {"a large free block is split behind the record", {100, 5}, "d0 a40", {{0, 0, 40}, {0, 42, -58}, {1, 0, 5}}},
    {"the largest free block is taken", {10, 5, 30, 5}, "d0 d2 a20", {{0, 0, -10}, {1, 0, 5}, {2, 0, 20}, {2, 22, -8}, {3, 0, 5}}},
    {"larger than the largest free block: appended", {10, 5, 15, 5}, "d0 d2 a20", {{0, 0, -10}, {1, 0, 5}, {2, 0, -15}, {3, 0, 5}, {-1, 0, 20}}},
    {"a block between two free ones joins both", {10, 20, 30, 5}, "d0 d2 d1", {{0, 0, -64}, {3, 0, 5}}},
    {"no merge above 32767 bytes, after", {20000, 20000, 5}, "d1 d0", {{0, 0, -20000}, {1, 0, -20000}, {2, 0, 5}}},
    {"three-way merge too large: joins the one before", {100, 100, 32600, 5}, "d0 d2 d1", {{0, 0, -202}, {2, 0, -32600}, {3, 0, 5}}},
    {"three-way merge too large: joins the one after", {32700, 100, 100, 5}, "d0 d2 d1", {{0, 0, -32700}, {1, 0, -202}, {3, 0, 5}}},
    {"same length update stays in place", {6, 5}, "u0:6", {{0, 0, 6}, {1, 0, 5}}},
    {"a small shrink keeps the whole space", {8, 5}, "u0:6", {{0, 0, 8}, {1, 0, 5}}},
    {"a larger shrink frees the tail", {50, 5}, "u0:9", {{0, 0, 9}, {0, 11, -39}, {1, 0, 5}}},
    {"a longer record moves and frees its block", {5, 5}, "u0:22", {{0, 0, -5}, {1, 0, 5}, {-1, 0, 22}}},
    {"a refused add gives its block back", {5}, "x10", {{0, 0, 5}, {-1, 0, -10}}},
};

TEST_F(DataFileTest, ScriptsLeaveTheBlocksOfTheTable) {
  for (const auto& row : kLayouts) {
    SCOPED_TRACE(row.name);
    Table* t = make_notes(row.name);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    ASSERT_EQ(create_index(t, "ByRemark", {"Remark:8"}), 1);  // changed first: a refusal takes its entry back
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
      const size_t k = static_cast<size_t>(std::atoi(op.c_str() + 1));
      if (op[0] == 'd') { ASSERT_EQ(delete_at(t, at[k]), 1) << op; }
      if (op[0] == 'a') { ASSERT_EQ(put(std::string(1, added++), static_cast<int>(k), nullptr), 1) << op; }
      if (op[0] == 'u') {
        ASSERT_TRUE(go_to(t, at[k]));
        ASSERT_EQ(put(std::string(1, static_cast<char>('a' + k)), std::atoi(op.c_str() + 3), tb_physical_index(t)), 1);
      }
      if (op[0] == 'x') { EXPECT_TRUE(put("A", static_cast<int>(k), nullptr) == -1 && ix_error == kIxDuplicateKey); }
    }
    Blocks want;
    for (auto [k, offset, word] : row.want) want.emplace_back((k < 0 ? end : at[static_cast<size_t>(k)]) + offset, word);
    EXPECT_EQ(blocks(t), want);
    EXPECT_EQ(findings(t), "");
    EXPECT_EQ(tb_close(t), 1);
  }
}

// Fault found by fuzzing: a size entry naming a block far past the end of
// the file was handed out unchecked, and one add grew the file by up to 2 GB.
TEST_F(DataFileTest, SizeEntryPastTheEndIsDamageAndTheFileDoesNotGrow) {
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
TEST_F(DataFileTest, ReadsUnderTheTableReadLockFollowTheWindowAndSeeChangesBetweenLocks) {
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

TEST_F(DataFileTest, FileNames) {
  char buffer[PATH_MAX], saved[PATH_MAX];
  const std::string d = ::realpath(dir_.path().c_str(), buffer), up = d.substr(0, d.rfind('/'));
  ASSERT_EQ(::mkdir((d + "/deep").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((d + "/deep").c_str(), (d + "/link").c_str()), 0);
  const std::string fits = d + "/" + std::string(259 - d.size() - 4, 'n');  // 259 with ".db"
  const struct { std::string base, want; } rows[] = {
      {d + "/qb", d + "/qb.db"}, {d + "/notes.old", d + "/notes.db"}, {d + "/qb.", d + "/qb.db"},
      {d + "/dir.v/qb", d + "/dir.v/qb.db"}, {"qb", d + "/qb.db"}, {"./a/./b/../c", d + "/a/c.db"},
      {"../qb", up + "/qb.db"}, {d + "/link/../qb", d + "/qb.db"},  // ".." by text, not through the link
      {"/../" + d.substr(1) + "//qb", d + "/qb.db"}, {fits, fits + ".db"}, {fits + "n", ""},
      {d + std::string(400, 'n'), ""}, {"", ""}};
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(d.c_str()), 0);
  for (const auto& row : rows) {
    char* r = rec_data_file_name(row.base.c_str(), buffer);
    EXPECT_EQ(r != nullptr ? std::string(r) : "", row.want) << row.base;
  }
  EXPECT_EQ(std::string(rec_index_file_name("qb", buffer)), d + "/qb.idx");
  FaultIo fault;
  fault.arm(IoKind::CurrentDir, 1);  // the working directory cannot be told: no name
  EXPECT_EQ(rec_data_file_name("qb", buffer), nullptr);
  ASSERT_EQ(::chdir(saved), 0);
}

// Bytes appended behind a good record, met by a walk and a read; then values
// refused before anything is written (they could not read back as given).
TEST_F(DataFileTest, DamagedBlocksAndRefusedValues) {
  const struct { const char* name; std::string raw; int next; Note want; } rows[] = {
      {"trailing bytes after the fields are ignored", std::string("\x10\0p\0n\0\7\0\0\0r\0TRAILS", 18), 1, {"p", "n", 7, "r"}},
      {"fields cut short read as absent", std::string("\x07\0ab\0n\0\1\2", 9), 1, {"ab", "n", 0, ""}},
      {"a text without its end is absent", std::string("\x03\0xyz", 5), 1, {"", "", 0, ""}},
      {"a record past the end of the file", std::string("\xe8\x03p\0r\0", 6), -1, {}},
      {"a free block past the end of the file", std::string("\x0c\xfexx", 4), -1, {}},
      {"a torn length word", std::string("\x07", 1), -1, {}}};
  int32_t count = 7;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Table* t = create(row.name, {"Path", "Name,C", "Size,L", "Remark"});
    ASSERT_EQ(tb_add_record(t, nullptr, Note{"a", "b", 1, "c"}.values().data()), 1);
    const int32_t at = file_size(t);
    ASSERT_EQ(io_write_at(t->data_file, at, static_cast<int32_t>(row.raw.size()), row.raw.data()), 1);
    ASSERT_EQ(tb_first_record(t, tb_physical_index(t)), 1);
    ASSERT_EQ(tb_next_record(t, tb_physical_index(t)), row.next);
    RecordContents c;
    Note got;
    if (row.next == 1) {
      EXPECT_TRUE(read_note(t, tb_physical_index(t), &got) == 1 && got == row.want) << got.path;
    } else {
      EXPECT_TRUE(tb_error == kTbDataFile && t->physical_cursor == t->first_record);  // the position is kept
      EXPECT_TRUE(rec_read(t, at, &c) == -1 && rec_corrupt_address == at);
    }
    EXPECT_EQ(tb_close(t), 1);
  }
  Table* t = create("refused", {"Path", "Name,C", "Size,L", "Remark"});
  ASSERT_EQ(create_index(t, "ByPath", {"Path"}), 1);
  const std::string just = text_of(32767 - 9), over = text_of(32768 - 9);  // payload 32767 / 32768
  ASSERT_EQ(tb_add_record(t, tb_physical_index(t), Note{"/a", "n", 7, just}.values().data()), 1);
  const Blocks before = blocks(t);
  EXPECT_EQ(before, (Blocks{{t->first_record, 32767}}));
  const struct { const char* name; std::vector<const void*> values; int error; } refusals[] = {
      {"a present value after an absent one", {"/a", nullptr, &count, "r"}, kTbAbsentValue},
      {"an absent number", {"/a", "n", nullptr, nullptr}, kTbAbsentValue},
      {"an absent first text", {nullptr, "n", &count, "r"}, kTbAbsentValue},
      {"more than a length word states", {"/a", "n", &count, over.c_str()}, kTbRecordTooLarge}};
  for (const auto& row : refusals) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(tb_add_record(t, nullptr, row.values.data()), -1);
    EXPECT_EQ(tb_error, row.error);
    ASSERT_TRUE(go_to(t, t->first_record));
    EXPECT_EQ(tb_update_record(t, tb_physical_index(t), row.values.data()), -1);
    EXPECT_EQ(tb_error, row.error);
    EXPECT_EQ(blocks(t), before);
  }
  // A key that fills the key buffer (the started page size, 512 bytes) is
  // built and left to the index, which refuses it; one byte more is not built.
  for (int letters : {510, 511}) {
    EXPECT_EQ(tb_add_record(t, nullptr, Note{std::string(static_cast<size_t>(letters), 'k'), "n", 7, "r"}.values().data()), -1);
    EXPECT_EQ(tb_error, letters == 510 ? kTbIndexLayer : kTbKeyTooLong) << letters;
  }
  EXPECT_EQ(findings(t), "");
}

// Each read, then each write, of a change fails in turn, exclusive and
// shared: done, or failed and sound with the target as before or as done,
// or failed with a data file from which recovery rebuilds the index file.
TEST_F(DataFileTest, EveryFailingCallOfAChangeLeavesItDoneOrUndone) {
  using Records = std::map<std::string, std::string>;
  Records golden;
  Table* t = make_notes("notes");
  ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
  ASSERT_EQ(create_index(t, "ByRemark", {"Remark"}), 1);  // changed first
  int32_t freed = 0;  // p130's block, free: the add below reuses it
  for (int i = 100; i < 220; ++i) {
    golden["p" + std::to_string(i)] = "remark" + std::to_string(i);
    const int32_t at = add(t, "p" + std::to_string(i), golden["p" + std::to_string(i)]);
    ASSERT_NE(at, 0);
    if (i == 130) freed = at;
  }
  ASSERT_EQ(delete_at(t, freed), 1);
  golden.erase("p130");
  ASSERT_EQ(tb_close(t), 1);
  const std::string db = read_whole_file(base("notes.db")), idx = read_whole_file(base("notes.idx"));
  auto holds = [&](Table* t) {  // path -> remark in record order (the verifier checks the indexes)
    Records out;
    for (int rc = tb_first_record(t, tb_physical_index(t)); rc == 1; rc = tb_next_record(t, tb_physical_index(t))) {
      std::vector<std::string> r = read_texts(t, tb_physical_index(t));
      out[r.empty() ? "?" : r[0]] = r.empty() ? "" : r[1];
    }
    return out;
  };
  const struct { const char* name; std::string path, remark; } changes[] = {
      {"add", "p150a", "added"}, {"update that moves", "p150", text_of(60)},
      {"update that shrinks", "p150", "r"}, {"delete", "p150", ""}};
  int failed = 0;  // runs in which the change failed
  for (int shared : {0, 1})
    for (const auto& change : changes)
      for (int mode : {0, 1, 2, 3, 4}) {  // reads; writes; onto a full disk, half written; from the n-th on; two
        const IoKind kind = mode == 0 ? IoKind::Read : IoKind::Write;
        Records after = golden;
        if (change.remark.empty()) after.erase(change.path);
        else after[change.path] = change.remark;
        for (int n = 1;; ++n) {
          SCOPED_TRACE(std::string(change.name) + (shared ? " shared, " : ", ") +
                       (mode == 0 ? "read " : mode == 1 ? "write " : mode == 2 ? "full disk " : mode == 3 ? "every write from " : "two writes from ") + std::to_string(n));
          ASSERT_TRUE(write_whole_file(base("notes.db"), db) && write_whole_file(base("notes.idx"), idx));
          t = tb_open(base("notes").c_str(), shared, 0);
          ASSERT_NE(t, nullptr);
          TableIndex* path = tb_find_index(t, "INDX_Path,U");
          const void* values[] = {change.path.c_str(), change.remark.c_str()};
          int fired = 0, rc = 0;
          {
            FaultIo fault;
            fault.arm(kind, n, mode >= 3, mode == 2);
            g_two = &fault.plan();
            if (mode == 4) g_two->observe = [](IoKind) { g_two->persistent = g_two->failures < 2; };
            if (change.name[0] == 'a') {
              rc = tb_add_record(t, nullptr, values);
            } else if ((rc = tb_find_key(t, path, values)) == 2) {
              rc = change.remark.empty() ? tb_delete_record(t, path) : tb_update_record(t, path, values);
            }
            fired = fault.plan().failures;
          }
          ASSERT_EQ(rc, fired == 0 ? 1 : rc) << "tb_error " << tb_error;
          ASSERT_TRUE(rc == 1 || rc == -1) << rc;
          const bool sound = findings(t).empty();
          if (!sound) {
            ASSERT_EQ(rc, -1) << findings(t);
            ASSERT_EQ(tb_close(t), 1);
            ASSERT_NE(t = tb_open(base("notes").c_str(), 0, 0), nullptr);
            ASSERT_EQ(tb_rebuild(t, 512, 1), 1);
            EXPECT_EQ(findings(t), "");
          }
          Records seen = holds(t), others = golden;
          EXPECT_TRUE(!sound || seen == (rc == 1 ? after : golden) || (rc == -1 && seen == after));
          seen.erase(change.path);
          others.erase(change.path);
          EXPECT_TRUE(seen == others);
          ASSERT_EQ(tb_close(t), 1);
          if (fired == 0) break;
          failed += rc == -1;
        }
      }
  EXPECT_GT(failed, 50);
}

}  // namespace
