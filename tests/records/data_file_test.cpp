// The data file: file names, a damage catalogue, refused values, and a
// fault loop over every read and write of a change.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>

#include "records_fixture.h"
#include "support/fault_io.h"

namespace {

std::string findings_of(Table* t) {
  std::string found;
  const int rc = tb_verify(t, [](void* c, const char* f) { *static_cast<std::string*>(c) += f; }, &found, 5);
  return rc == 0 ? "" : "verify " + std::to_string(rc) + ": " + found;
}

using DataFileTest = RecordsTest;

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
    const int32_t first = t->physical_cursor;
    ASSERT_EQ(tb_next_record(t, tb_physical_index(t)), row.next);
    RecordContents c;
    Note got;
    if (row.next == 1) {
      EXPECT_TRUE(read_note(t, tb_physical_index(t), &got) == 1 && got == row.want) << got.path;
    } else {
      EXPECT_TRUE(tb_error == kTbDataFile && t->physical_cursor == first);  // the position is kept
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
  EXPECT_EQ(findings_of(t), "");
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
      for (int mode : {0, 1, 2, 3}) {  // reads; writes; onto a full disk, half written; from the n-th on
        const IoKind kind = mode == 0 ? IoKind::Read : IoKind::Write;
        Records after = golden;
        if (change.remark.empty()) after.erase(change.path);
        else after[change.path] = change.remark;
        for (int n = 1;; ++n) {
          SCOPED_TRACE(std::string(change.name) + (shared ? " shared, " : ", ") +
                       (mode == 0 ? "read " : mode == 1 ? "write " : mode == 2 ? "full disk " : "every write from ") + std::to_string(n));
          ASSERT_TRUE(write_whole_file(base("notes.db"), db) && write_whole_file(base("notes.idx"), idx));
          t = tb_open(base("notes").c_str(), shared, 0);
          ASSERT_NE(t, nullptr);
          TableIndex* path = tb_find_index(t, "INDX_Path,U");
          const void* values[] = {change.path.c_str(), change.remark.c_str()};
          int fired = 0, rc = 0;
          {
            FaultIo fault;
            fault.arm(kind, n, mode == 3, mode == 2);
            if (change.name[0] == 'a') {
              rc = tb_add_record(t, nullptr, values);
            } else if ((rc = tb_find_key(t, path, values)) == 2) {
              rc = change.remark.empty() ? tb_delete_record(t, path) : tb_update_record(t, path, values);
            }
            fired = fault.plan().failures;
          }
          ASSERT_EQ(rc, fired == 0 ? 1 : rc) << "tb_error " << tb_error;
          ASSERT_TRUE(rc == 1 || rc == -1) << rc;
          const bool sound = findings_of(t).empty();
          if (!sound) {
            ASSERT_EQ(rc, -1) << findings_of(t);
            ASSERT_EQ(tb_close(t), 1);
            ASSERT_NE(t = tb_open(base("notes").c_str(), 0, 0), nullptr);
            ASSERT_EQ(tb_rebuild(t, 512, 1), 1);
            EXPECT_EQ(findings_of(t), "");
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
