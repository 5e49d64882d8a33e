// The whole-table verifier: clean on tables built by the record operations,
// and each kind of damage made by hand is reported, in words naming it,
// without a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "records/records.h"

namespace {

void collect(void* ctx, const char* finding) { static_cast<std::vector<std::string>*>(ctx)->push_back(finding); }

std::string joined(const std::vector<std::string>& findings) {
  std::string all;
  for (const auto& f : findings) all += f + "\n";
  return all;
}

bool mentions(const std::vector<std::string>& findings, const std::string& words) {
  return std::any_of(findings.begin(), findings.end(),
                     [&](const std::string& f) { return f.find(words) != std::string::npos; });
}

// The keys' order, but with a NaN of a 64-bit float key below the numbers.
int compare_nan_first(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  if (a_len == 9 && b_len == 9 && a[0] == b[0] && (a[8] == 0x7F) != (b[8] == 0x7F)) return a[8] == 0x7F ? -1 : 1;
  return tb_compare_keys(a, a_len, b, b_len);
}

class VerifyTest : public EngineTest {
 protected:
  // The notes table with a unique path index and a remark index on the
  // first three characters.
  Table* make_indexed(const std::string& name) {
    Table* t = make_notes(name);
    if (t == nullptr) return nullptr;
    const char* path_spec[] = {"Path", nullptr};
    const char* remark_spec[] = {"Remark:3", nullptr};
    if (tb_create_index(t, "INDX_Path,U", path_spec) != 1 || tb_create_index(t, "ByRemark", remark_spec) != 1)
      return nullptr;
    return t;
  }

  static int32_t add(Table* t, const std::string& path, const std::string& remark) {
    const void* values[] = {path.c_str(), remark.c_str()};
    if (tb_add_record(t, tb_physical_index(t), values) != 1) return 0;
    return t->physical_cursor;
  }

  // Makes the record of `path` current in the path index; its address or 0.
  static int32_t find(Table* t, const std::string& path) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {path.c_str()};
    if (ix == nullptr || tb_find_key(t, ix, key) != 2) return 0;
    int32_t ref = 0;
    return ix_current(ix->handle, &ref) == 1 ? ref : 0;
  }

  static int run_verify(Table* t, std::vector<std::string>* findings, int max = 100) {
    findings->clear();
    return tb_verify(t, collect, findings, max);
  }

  static int16_t word_at(Table* t, int32_t at) {
    uint8_t b[2] = {0, 0};
    (void)io_read_at(t->data_file, at, 2, b);
    return get_i16(b);
  }
  static void write_word(Table* t, int32_t at, int32_t word) {
    uint8_t b[2];
    put_i16(b, word);
    ASSERT_EQ(io_write_at(t->data_file, at, 2, b), 1);
  }

  static std::vector<uint8_t> size_key(int32_t size) {
    return {0xFF, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
  }
  static std::vector<uint8_t> address_key(int32_t at) {
    std::vector<uint8_t> k(5, 0xFE);
    put_be32(k.data() + 1, static_cast<uint32_t>(at));
    return k;
  }

  // A small table: a, b, c, d, e in that order.
  Table* five(const std::string& name) {
    Table* t = make_indexed(name);
    if (t == nullptr) return nullptr;
    for (const char* p : {"a", "b", "c", "d", "e"})
      if (add(t, p, std::string("remark of ") + p) == 0) return nullptr;
    return t;
  }

  std::vector<std::string> findings_;
};

TEST_F(VerifyTest, CleanThroughManyAddsUpdatesAndDeletes) {
  Table* t = make_indexed("busy");
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
      ASSERT_EQ(run_verify(t, &findings_), 0) << "step " << step << "\n" << joined(findings_);
    }
  }
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("busy").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(run_verify(t, &findings_), 0) << joined(findings_);
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
  ASSERT_EQ(run_verify(t, &findings_), 0) << joined(findings_);
  const void* record[] = {&values[3]};
  ASSERT_EQ(tb_add_record(t, tb_physical_index(t), record), 1);
  IndexHandle* nan_first = ix_open(t->index_file_name, compare_nan_first, 0, 0);
  ASSERT_NE(nan_first, nullptr);
  std::vector<uint8_t> nan_key(9, static_cast<uint8_t>(ix->number));
  std::memcpy(nan_key.data() + 1, &values[2], 8);
  ASSERT_EQ(ix_insert(nan_first, nan_key.data(), 9, t->physical_cursor, 0), 1);
  ASSERT_EQ(ix_close(nan_first), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "is not below")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsARecordMissingFromAnIndex) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t b = find(t, "b");
  ASSERT_NE(b, 0);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  auto key = text_key(ix->number, {"b"});
  ASSERT_EQ(ix_delete(ix->handle, key.data(), static_cast<int>(key.size()), b), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "the record at " + std::to_string(b) + " has 0 entries")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsExtraEntries) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t b = find(t, "b");
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  // The record of b entered a second time under a key that is not its own.
  auto wrong = text_key(ix->number, {"zz"});
  ASSERT_EQ(ix_insert(ix->handle, wrong.data(), static_cast<int>(wrong.size()), b, 0), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "not under the key built from the record")) << joined(findings_);

  ASSERT_EQ(ix_delete(ix->handle, wrong.data(), static_cast<int>(wrong.size()), b), 1);
  ASSERT_EQ(run_verify(t, &findings_), 0) << joined(findings_);
  // An entry pointing into the middle of a record.
  auto stray = text_key(ix->number, {"y"});
  ASSERT_EQ(ix_insert(ix->handle, stray.data(), static_cast<int>(stray.size()), b + 3, 0), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "which is not a live record")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsAnEntryOfAnIndexTheTableLacks) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t a = find(t, "a");
  auto key = text_key(40, {"a"});
  ASSERT_EQ(ix_insert(t->directory, key.data(), static_cast<int>(key.size()), a, 1), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "index number 40")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsAFreeBlockWithoutItsEntries) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t c = find(t, "c");
  ASSERT_EQ(tb_delete_record(t, tb_find_index(t, "INDX_Path,U")), 1);
  ASSERT_EQ(run_verify(t, &findings_), 0) << joined(findings_);
  int32_t size = -word_at(t, c);
  ASSERT_GT(size, 0);
  auto sk = size_key(size);
  auto ak = address_key(c);
  ASSERT_EQ(ix_delete(t->space_index, sk.data(), 3, c), 1);
  ASSERT_EQ(ix_delete(t->space_index, ak.data(), 5, size), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "has 0 size and 0 address entries")) << joined(findings_);

  // Only the size entry back: still one short.
  ASSERT_EQ(ix_insert(t->space_index, sk.data(), 3, c, 1), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "has 1 size and 0 address entries")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsFreeSpaceEntriesForALiveRecord) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t d = find(t, "d");
  int32_t space = word_at(t, d);
  auto sk = size_key(space);
  auto ak = address_key(d);
  ASSERT_EQ(ix_insert(t->space_index, sk.data(), 3, d, 1), 1);
  ASSERT_EQ(ix_insert(t->space_index, ak.data(), 5, space, 0), 1);
  EXPECT_GE(run_verify(t, &findings_), 2);
  EXPECT_TRUE(mentions(findings_, "a size entry names a free block")) << joined(findings_);
  EXPECT_TRUE(mentions(findings_, "an address entry names a free block")) << joined(findings_);
  EXPECT_TRUE(mentions(findings_, "it is a live record")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsAShortenedOrGarbageLengthWord) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t b = find(t, "b");
  // b claims two bytes fewer: the next "block" starts inside b's contents.
  write_word(t, b, word_at(t, b) - 2);
  EXPECT_GE(run_verify(t, &findings_), 1) << joined(findings_);
  write_word(t, b, 30000);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "runs past the end of the file")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsAStrayTailAfterTheLastBlock) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t size = 0;
  ASSERT_EQ(io_file_size(t->data_file, &size), 1);
  uint8_t junk = 0x41;
  ASSERT_EQ(io_write_at(t->data_file, size, 1, &junk), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "stray byte")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsADirectoryEntryWithTheWrongNumber) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "ByRemark");
  auto key = directory_key("ByRemark", {"Remark:3"});
  ASSERT_EQ(ix_delete(t->directory, key.data(), static_cast<int>(key.size()), ix->number), 1);
  ASSERT_EQ(ix_insert(t->directory, key.data(), static_cast<int>(key.size()), 9, 0), 1);
  EXPECT_GE(run_verify(t, &findings_), 2);
  EXPECT_TRUE(mentions(findings_, "'ByRemark' (number 9) is not an index of the open table")) << joined(findings_);
  EXPECT_TRUE(mentions(findings_, "has no directory entry")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ReportsADirectoryEntryWithOtherKeyFields) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "ByRemark");
  auto key = directory_key("ByRemark", {"Remark:3"});
  auto other = directory_key("ByRemark", {"Path"});
  ASSERT_EQ(ix_delete(t->directory, key.data(), static_cast<int>(key.size()), ix->number), 1);
  ASSERT_EQ(ix_insert(t->directory, other.data(), static_cast<int>(other.size()), ix->number, 0), 1);
  EXPECT_GE(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "key fields stored for index 'ByRemark' differ")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, ATableWithoutItsIndexFileIsNotSound) {
  ASSERT_EQ(tb_close(five("t")), 1);
  ASSERT_EQ(std::remove(base("t.idx").c_str()), 0);
  Table* t = tb_open(base("t").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(run_verify(t, &findings_), 1);
  EXPECT_TRUE(mentions(findings_, "not in use")) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, StopsAtMaxFindings) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  for (const char* p : {"a", "b", "c", "d"}) {
    int32_t at = find(t, p);
    auto key = text_key(ix->number, {p});
    ASSERT_EQ(ix_delete(ix->handle, key.data(), static_cast<int>(key.size()), at), 1);
  }
  EXPECT_EQ(run_verify(t, &findings_, 2), 2);
  EXPECT_EQ(findings_.size(), 2u);
  EXPECT_EQ(run_verify(t, &findings_, 100), 4) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

// Every byte of the records overwritten in turn: the verifier reads the
// damage as data and never crashes or fails to finish.
TEST_F(VerifyTest, SurvivesEveryByteOfTheRecordsDamaged) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  int32_t size = 0;
  ASSERT_EQ(io_file_size(t->data_file, &size), 1);
  for (int32_t at = t->first_record; at < size; ++at) {
    uint8_t old = 0;
    ASSERT_EQ(io_read_at(t->data_file, at, 1, &old), 1);
    for (uint8_t garbage : {uint8_t{0x00}, uint8_t{0x80}, uint8_t{0xFF}}) {
      ASSERT_EQ(io_write_at(t->data_file, at, 1, &garbage), 1);
      EXPECT_GE(run_verify(t, &findings_), 0) << "byte " << at << " tb_error " << tb_error;
    }
    ASSERT_EQ(io_write_at(t->data_file, at, 1, &old), 1);
  }
  EXPECT_EQ(run_verify(t, &findings_), 0) << joined(findings_);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(VerifyTest, LeavesTheTablesPositionsAlone) {
  Table* t = five("t");
  ASSERT_NE(t, nullptr);
  ASSERT_NE(find(t, "c"), 0);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  ASSERT_EQ(run_verify(t, &findings_), 0) << joined(findings_);
  ASSERT_EQ(tb_next_record(t, ix), 1);
  int32_t ref = 0;
  ASSERT_EQ(ix_current(ix->handle, &ref), 1);
  EXPECT_EQ(ref, find(t, "d"));
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
