// The whole-table verifier: clean on tables built by the record operations,
// and each kind of damage made by hand is reported, in words naming it,
// without a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "records/records.h"
#include "support/findings.h"

namespace {

// The keys' order, but with a NaN of a 64-bit float key below the numbers.
int compare_nan_first(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  if (a_len == 9 && b_len == 9 && a[0] == b[0] && (a[8] == 0x7F) != (b[8] == 0x7F)) return a[8] == 0x7F ? -1 : 1;
  return tb_compare_keys(a, a_len, b, b_len);
}

class VerifyTest : public EngineTest {
 protected:
  // The notes table with a unique path index, a remark index on the first
  // three characters, and a record for each of `paths` in that order.
  Table* make_indexed(const std::string& name, const std::vector<std::string>& paths = {"a", "b", "c", "d", "e"}) {
    Table* t = make_notes(name);
    const char* path_spec[] = {"Path", nullptr};
    const char* remark_spec[] = {"Remark:3", nullptr};
    if (t == nullptr || tb_create_index(t, "INDX_Path,U", path_spec) != 1 ||
        tb_create_index(t, "ByRemark", remark_spec) != 1)
      return nullptr;
    for (const auto& p : paths)
      if (add(t, p, "remark of " + p) == 0) return nullptr;
    return t;
  }

  static int32_t add(Table* t, const std::string& path, const std::string& remark) {
    const void* values[] = {path.c_str(), remark.c_str()};
    return tb_add_record(t, tb_physical_index(t), values) == 1 ? t->physical_cursor : 0;
  }

  // Makes the record of `path` current in the path index; its address or 0.
  static int32_t find(Table* t, const std::string& path) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {path.c_str()};
    int32_t ref = 0;
    if (ix == nullptr || tb_find_key(t, ix, key) != 2) return 0;
    return ix_current(ix->handle, &ref) == 1 ? ref : 0;
  }

  int run_verify(Table* t, int max = 100) {
    findings_.clear();
    return tb_verify(t, collect_finding, &findings_, max);
  }
  static void del(IndexHandle* h, const std::vector<uint8_t>& k, int32_t ref) {
    ASSERT_EQ(ix_delete(h, k.data(), static_cast<int>(k.size()), ref), 1);
  }
  static void put(IndexHandle* h, const std::vector<uint8_t>& k, int32_t ref, int dup) {
    ASSERT_EQ(ix_insert(h, k.data(), static_cast<int>(k.size()), ref, dup), 1);
  }

  std::string findings_;
};

TEST_F(VerifyTest, CleanThroughManyAddsUpdatesAndDeletes) {
  Table* t = make_indexed("busy", {});
  ASSERT_NE(t, nullptr);
  std::mt19937 rng(20240601);
  std::map<std::string, std::string> model;  // lower-cased path -> path as stored
  auto text = [&](int max) {
    std::string s(1 + rng() % static_cast<unsigned>(max), 'x');
    for (auto& c : s) c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
    return s;
  };
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  TableIndex* by_path = tb_find_index(t, "INDX_Path,U");
  for (int step = 1; step <= 600; ++step) {
    int op = static_cast<int>(rng() % 3);
    if (op == 0 || model.size() < 5) {
      std::string p = text(12);
      if (model.count(lower(p)) != 0) continue;
      ASSERT_NE(add(t, p, text(60)), 0) << "step " << step << " tb_error " << tb_error;
      model[lower(p)] = p;
    } else {
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      ASSERT_NE(find(t, it->second), 0) << "step " << step;
      if (op == 1) {
        std::string p = rng() % 4 == 0 ? text(12) : it->second;
        if (lower(p) != it->first && model.count(lower(p)) != 0) continue;
        std::string r = text(90);
        const void* values[] = {p.c_str(), r.c_str()};
        ASSERT_EQ(tb_update_record(t, by_path, values), 1) << "step " << step << " tb_error " << tb_error;
        model.erase(it);
        model[lower(p)] = p;
      } else {
        ASSERT_EQ(tb_delete_record(t, by_path), 1) << "step " << step;
        model.erase(it);
      }
    }
    if (step % 50 == 0) {
      ASSERT_EQ(run_verify(t), 0) << "step " << step << "\n" << findings_;
    }
  }
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("busy").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(run_verify(t), 0) << findings_;
  size_t live = 0;
  TableIndex* physical = tb_physical_index(t);
  for (int rc = tb_first_record(t, physical); rc == 1; rc = tb_next_record(t, physical)) ++live;
  EXPECT_EQ(live, model.size());
  EXPECT_EQ(tb_close(t), 1);
}

// Float keys with a NaN among them: each is found again and deleted; a NaN
// entry put below a number is reported as out of order.
TEST_F(VerifyTest, FloatKeysWithANaNAreFoundAndKeptInOrder) {
  const char* fields[] = {"D,D", nullptr};
  Table* t = tb_create(base("floats").c_str(), 0, fields);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tb_create_index(t, "D", fields), 1);
  TableIndex* ix = tb_find_index(t, "D");
  const double values[] = {1.0, 2.0, std::nan(""), 0.5, 1.5, 3.0};
  for (const double& d : values) {
    const void* record[] = {&d};
    ASSERT_EQ(tb_add_record(t, tb_physical_index(t), record), 1);
  }
  for (const double& d : values) {
    const void* key[] = {&d};
    ASSERT_EQ(tb_find_key(t, ix, key), 2) << d;
    ASSERT_EQ(tb_delete_record(t, ix), 1) << d;
  }
  ASSERT_EQ(run_verify(t), 0) << findings_;
  const void* record[] = {&values[3]};
  ASSERT_EQ(tb_add_record(t, tb_physical_index(t), record), 1);
  IndexHandle* nan_first = ix_open(t->index_file_name, compare_nan_first, 0, 0);
  ASSERT_NE(nan_first, nullptr);
  std::vector<uint8_t> nan_key(9, static_cast<uint8_t>(ix->number));
  std::memcpy(nan_key.data() + 1, &values[2], 8);
  put(nan_first, nan_key, t->physical_cursor, 0);
  ASSERT_EQ(ix_close(nan_first), 1);
  expect_findings(run_verify(t), findings_, {1, {"is not below"}}, 0);
  EXPECT_EQ(tb_close(t), 1);
}

// One row per kind of damage, on a fresh table of the records a..e: each
// stage takes one damaging (or repairing) step, then the verifier must report
// what the stage expects ({n}: the address the row noted).
TEST_F(VerifyTest, EachKindOfDamageIsReported) {
  Table* t = nullptr;
  TableIndex* by_path = nullptr;
  std::string name;
  int32_t n = 0, size = 0;
  auto note = [&](const char* path) { ASSERT_NE(n = find(t, path), 0); };
  auto path_key = [&](const std::string& p) { return text_key(by_path->number, {p}); };
  auto remark_number = [&] { return tb_find_index(t, "ByRemark")->number; };
  const auto remark_entry = directory_key("ByRemark", {"Remark:3"});
  // A free block's two entries in the free-space index, by size and by address.
  auto size_key = [](int32_t s) { return std::vector<uint8_t>{0xFF, uint8_t(s >> 8), uint8_t(s)}; };
  auto address_key = [](int32_t at) { std::vector<uint8_t> k(5, 0xFE); put_be32(&k[1], uint32_t(at)); return k; };
  // The length word of the block at `at`.
  auto word_at = [&](int32_t at) {
    uint8_t b[2] = {0, 0};
    (void)io_read_at(t->data_file, at, 2, b);
    return get_i16(b);
  };
  auto write_word = [&](int32_t at, int32_t word) {
    uint8_t b[2];
    put_i16(b, word);
    ASSERT_EQ(io_write_at(t->data_file, at, 2, b), 1);
  };
  struct Stage {
    std::function<void()> step;
    FindingsExpected expect;
  };
  const std::pair<const char*, std::vector<Stage>> table[] = {
      {"record missing from an index",
       {{[&] { note("b"); del(by_path->handle, path_key("b"), n); }, {1, {"the record at {n} has 0 entries"}}}}},
      {"extra entries",
       {{[&] { note("b"); put(by_path->handle, path_key("zz"), n, 0); },  // under a key not its own
         {1, {"not under the key built from the record"}}},
        {[&] { del(by_path->handle, path_key("zz"), n); }, {0, {}, true}},
        {[&] { put(by_path->handle, path_key("y"), n + 3, 0); }, {1, {"which is not a live record"}}}}},  // mid-record
      {"entry of an index the table lacks",
       {{[&] { note("a"); put(t->directory, text_key(40, {"a"}), n, 1); }, {1, {"index number 40"}}}}},
      {"free block without its entries",
       {{[&] { note("c"); ASSERT_EQ(tb_delete_record(t, by_path), 1); ASSERT_GT(size = -word_at(n), 0); },
         {0, {}, true}},
        {[&] { del(t->space_index, size_key(size), n); del(t->space_index, address_key(n), size); },
         {1, {"has 0 size and 0 address entries"}}},
        {[&] { put(t->space_index, size_key(size), n, 1); }, {1, {"has 1 size and 0 address entries"}}}}},
      {"free-space entries for a live record",
       {{[&] {
           note("d");
           put(t->space_index, size_key(word_at(n)), n, 1);
           put(t->space_index, address_key(n), word_at(n), 0);
         },
         {2, {"a size entry names a free block", "an address entry names a free block", "it is a live record"}}}}},
      {"shortened or garbage length word",
       {{[&] { note("b"); write_word(n, word_at(n) - 2); }, {1, {}}},  // the next block starts inside b
        {[&] { write_word(n, 30000); }, {1, {"runs past the end of the file"}}}}},
      {"stray tail after the last block",
       {{[&] { ASSERT_EQ(io_file_size(t->data_file, &n), 1); ASSERT_EQ(io_write_at(t->data_file, n, 1, "A"), 1); },
         {1, {"stray byte"}}}}},
      {"directory entry with the wrong number",
       {{[&] { del(t->directory, remark_entry, remark_number()); put(t->directory, remark_entry, 9, 0); },
         {2, {"'ByRemark' (number 9) is not an index of the open table", "has no directory entry"}}}}},
      {"directory entry with other key fields",
       {{[&] {
           del(t->directory, remark_entry, n = remark_number());
           put(t->directory, directory_key("ByRemark", {"Path"}), n, 0);
         },
         {1, {"key fields stored for index 'ByRemark' differ"}}}}},
      {"no index file",
       {{[&] {
           ASSERT_EQ(tb_close(t), 1);
           ASSERT_EQ(std::remove(base(name + ".idx").c_str()), 0);
           ASSERT_NE(t = tb_open(base(name).c_str(), 0, 0), nullptr);
         },
         {1, {"not in use"}, true}}}},
  };
  for (const auto& [row, stages] : table) {
    SCOPED_TRACE(row);
    ASSERT_NE(t = make_indexed(name = row), nullptr);
    by_path = tb_find_index(t, "INDX_Path,U");
    for (const Stage& s : stages) {
      s.step();
      ASSERT_FALSE(HasFatalFailure());
      expect_findings(run_verify(t), findings_, s.expect, n);
    }
    EXPECT_EQ(tb_close(t), 1);
  }
}

TEST_F(VerifyTest, StopsAtMaxFindings) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  for (const char* p : {"a", "b", "c", "d"}) del(ix->handle, text_key(ix->number, {p}), find(t, p));
  EXPECT_EQ(run_verify(t, 2), 2);
  EXPECT_EQ(std::count(findings_.begin(), findings_.end(), '\n'), 2);
  EXPECT_EQ(run_verify(t, 100), 4) << findings_;
  EXPECT_EQ(tb_close(t), 1);
}

// Every byte of the records overwritten in turn: the verifier reads the
// damage as data and never crashes or fails to finish.
TEST_F(VerifyTest, SurvivesEveryByteOfTheRecordsDamaged) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  int32_t size = 0;
  ASSERT_EQ(io_file_size(t->data_file, &size), 1);
  for (int32_t at = t->first_record; at < size; ++at) {
    uint8_t old = 0;
    ASSERT_EQ(io_read_at(t->data_file, at, 1, &old), 1);
    for (uint8_t garbage : {uint8_t{0x00}, uint8_t{0x80}, uint8_t{0xFF}}) {
      ASSERT_EQ(io_write_at(t->data_file, at, 1, &garbage), 1);
      EXPECT_GE(run_verify(t), 0) << "byte " << at << " tb_error " << tb_error;
    }
    ASSERT_EQ(io_write_at(t->data_file, at, 1, &old), 1);
  }
  EXPECT_EQ(run_verify(t), 0) << findings_;
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, LeavesTheTablesPositionsAlone) {
  Table* t = make_indexed("t");
  ASSERT_NE(t, nullptr);
  ASSERT_NE(find(t, "c"), 0);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_EQ(run_verify(t), 0) << findings_;
  ASSERT_EQ(tb_next_record(t, ix), 1);
  int32_t ref = 0;
  ASSERT_EQ(ix_current(ix->handle, &ref), 1);
  EXPECT_EQ(ref, find(t, "d"));
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
