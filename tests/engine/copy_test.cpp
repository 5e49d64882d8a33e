// Copying a table: the refusals that open nothing, the target's fields and
// keyed indexes, the order and compactness of the copied records read
// straight from the target's data file, and failures part-way through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"
#include "records/records.h"
#include "support/fault_io.h"

namespace {

void collect(void* ctx, const char* finding) { static_cast<std::vector<std::string>*>(ctx)->push_back(finding); }

// A record as stored: its address, length word and text fields.
struct RawRecord {
  int32_t at;
  int32_t word;
  std::vector<std::string> texts;
};

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class CopyTest : public EngineTest {
 protected:
  Table* make_indexed(const std::string& name) {
    Table* t = make_notes(name);
    const char* path_spec[] = {"Path", nullptr};
    const char* remark_spec[] = {"Remark:2,5", "Path:4", nullptr};
    if (t == nullptr || tb_create_index(t, "INDX_Path,U", path_spec) != 1 ||
        tb_create_index(t, "ByRemark", remark_spec) != 1)
      return nullptr;
    return t;
  }

  static int add(Table* t, const std::string& path, const std::string& remark) {
    const void* values[] = {path.c_str(), remark.c_str()};
    return tb_add_record(t, tb_physical_index(t), values);
  }

  static int delete_path(Table* t, const std::string& path) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {path.c_str()};
    if (ix == nullptr || tb_find_key(t, ix, key) != 2) return -1;
    return tb_delete_record(t, ix);
  }

  // Every block of a table's data file, read straight from the file; a text
  // field runs to its zero byte.
  std::vector<RawRecord> raw_blocks(const std::string& name) const {
    std::string bytes = read_whole_file(base(name + ".db"));
    std::vector<RawRecord> out;
    if (bytes.size() < 4) return out;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const int fields = get_i16(p + 2);
    size_t at = 4 + static_cast<size_t>(get_i16(p));
    while (at + 2 <= bytes.size()) {
      int32_t word = get_i16(p + at);
      RawRecord r{static_cast<int32_t>(at), word, {}};
      size_t q = at + 2;
      for (int f = 0; word >= 0 && f < fields; ++f) {
        std::string s(bytes.c_str() + q);
        q += s.size() + 1;
        r.texts.push_back(s);
      }
      out.push_back(r);
      at += 2 + static_cast<size_t>(word < 0 ? -word : word);
    }
    return out;
  }

  // The live records of a table as (path, remark) pairs, in file order.
  std::vector<std::vector<std::string>> live(const std::string& name) const {
    std::vector<std::vector<std::string>> out;
    for (const auto& r : raw_blocks(name))
      if (r.word >= 0) out.push_back(r.texts);
    return out;
  }

  int32_t first_record(const std::string& name) const {
    std::string bytes = read_whole_file(base(name + ".db"));
    return bytes.size() < 4 ? -1 : 4 + get_i16(reinterpret_cast<const uint8_t*>(bytes.data()));
  }

  static int verify(Table* t, std::vector<std::string>* findings) {
    findings->clear();
    return tb_verify(t, collect, findings, 50);
  }

  // A source "src" with records added out of order, some deleted and some
  // grown, so that its data file has free blocks and records out of path order.
  void make_busy_source() {
    Table* t = make_indexed("src");
    ASSERT_NE(t, nullptr);
    const char* paths[] = {"/m/Zeta", "/a/beta", "/A/alpha", "/q", "/B/Gamma", "/c/delta", "/b/eta", "/x/Omega"};
    int i = 0;
    for (const char* p : paths) ASSERT_EQ(add(t, p, std::string(3 + (i++ * 37) % 200, 'r')), 1) << p;
    ASSERT_EQ(delete_path(t, "/q"), 1);
    ASSERT_EQ(delete_path(t, "/c/delta"), 1);
    // A record far longer than the others, moved to the end by its update.
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {"/a/beta"};
    ASSERT_EQ(tb_find_key(t, ix, key), 2);
    std::string long_remark(3000, 'L');
    const void* values[] = {"/a/beta", long_remark.c_str()};
    ASSERT_EQ(tb_update_record(t, ix, values), 1);
    ASSERT_EQ(tb_close(t), 1);
  }

  std::vector<std::string> findings_;
};

TEST_F(CopyTest, OntoItselfFailsWith19BeforeAnythingIsOpened) {
  ASSERT_EQ(tb_close(make_indexed("t")), 1);
  std::string before = read_whole_file(base("t.db"));
  FaultIo io;
  io.arm(IoKind::Open, 0);
  EXPECT_EQ(tb_copy(base("t").c_str(), base("t").c_str(), nullptr, 0, 0), -1);
  EXPECT_EQ(tb_error, kTbCopyOntoSelf);
  // Two spellings of one path are one table.
  EXPECT_EQ(tb_copy(base("t").c_str(), (dir_.path() + "/./x/../t.old").c_str(), nullptr, 0, 0), -1);
  EXPECT_EQ(tb_error, kTbCopyOntoSelf);
  EXPECT_EQ(io.plan().calls, 0);
  EXPECT_EQ(tb_tables.head, nullptr);
  EXPECT_EQ(read_whole_file(base("t.db")), before);
}

TEST_F(CopyTest, EmptyTableGivesAnEmptyTargetWithItsFieldsAndIndexes) {
  ASSERT_EQ(tb_close(make_indexed("src")), 1);
  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), "INDX_Path,U", 0, 0), 1) << "tb_error " << tb_error;
  EXPECT_EQ(tb_tables.head, nullptr);

  Table* t = tb_open(base("dst").c_str(), 0, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_error, kTbOk);
  char** names = tb_field_names(t);
  ASSERT_EQ(tb_field_count(t), 2);
  EXPECT_STREQ(names[0], "Path");
  EXPECT_STREQ(names[1], "Remark");
  int32_t size = 0;
  ASSERT_EQ(io_file_size(t->data_file, &size), 1);
  EXPECT_EQ(size, t->first_record);
  EXPECT_EQ(t->index_count, 3);
  TableIndex* by_path = tb_find_index(t, "INDX_Path,U");
  ASSERT_NE(by_path, nullptr);
  EXPECT_NE(by_path->unique_marks, 0);
  char** spec = tb_index_definition(t, by_path);
  ASSERT_NE(spec, nullptr);
  EXPECT_STREQ(spec[0], "Path");
  EXPECT_EQ(spec[1], nullptr);
  TableIndex* by_remark = tb_find_index(t, "ByRemark");
  ASSERT_NE(by_remark, nullptr);
  spec = tb_index_definition(t, by_remark);
  ASSERT_NE(spec, nullptr);
  EXPECT_STREQ(spec[0], "Remark:2,5");
  EXPECT_STREQ(spec[1], "Path:4");
  EXPECT_EQ(spec[2], nullptr);
  EXPECT_EQ(tb_first_record(t, by_path), -3);
  EXPECT_EQ(verify(t, &findings_), 0);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CopyTest, PathOrderCopyIsSortedAndCompact) {
  make_busy_source();
  auto source = live("src");
  ASSERT_EQ(source.size(), 6u);
  ASSERT_LT(live("src").size(), raw_blocks("src").size()) << "the source should hold free blocks";

  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), "INDX_Path,U", 0, 0), 1) << "tb_error " << tb_error;
  EXPECT_EQ(tb_tables.head, nullptr);

  std::vector<RawRecord> copied = raw_blocks("dst");
  ASSERT_EQ(copied.size(), source.size());
  int32_t at = first_record("dst");
  for (size_t i = 0; i < copied.size(); ++i) {
    EXPECT_EQ(copied[i].at, at) << i;
    ASSERT_GE(copied[i].word, 0) << "a free block in the copy at " << copied[i].at;
    // Each record has its payload and room to grow in place, an eighth
    // more and 4 bytes, as a shared table gives it; no free block between.
    const auto payload = static_cast<int32_t>(copied[i].texts[0].size() + copied[i].texts[1].size() + 2);
    EXPECT_EQ(copied[i].word, payload + payload / 8 + 4);
    if (i > 0) {
      EXPECT_LT(lower(copied[i - 1].texts[0]), lower(copied[i].texts[0]));
    }
    at += 2 + copied[i].word;
  }
  EXPECT_EQ(static_cast<size_t>(at), read_whole_file(base("dst.db")).size());

  std::vector<std::vector<std::string>> expected = source;
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return lower(a[0]) < lower(b[0]); });
  for (size_t i = 0; i < copied.size(); ++i) EXPECT_EQ(copied[i].texts, expected[i]);

  Table* t = tb_open(base("dst").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(verify(t, &findings_), 0);
  for (const auto& f : findings_) ADD_FAILURE() << f;
  const void* key[] = {"/A/BETA"};
  EXPECT_EQ(tb_find_key(t, tb_find_index(t, "INDX_Path,U"), key), 2);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CopyTest, PhysicalOrderKeepsTheSourcesRecordOrder) {
  make_busy_source();
  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), nullptr, 0, 0), 1) << "tb_error " << tb_error;
  EXPECT_EQ(live("dst"), live("src"));
  EXPECT_EQ(raw_blocks("dst").size(), live("src").size());
}

TEST_F(CopyTest, SharedModeCopiesTheSame) {
  make_busy_source();
  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), "ByRemark", 0, 1), 1) << "tb_error " << tb_error;
  EXPECT_EQ(tb_tables.head, nullptr);
  auto copied = live("dst");
  auto source = live("src");
  EXPECT_EQ(copied.size(), source.size());
  std::sort(copied.begin(), copied.end());
  std::sort(source.begin(), source.end());
  EXPECT_EQ(copied, source);
}

TEST_F(CopyTest, UnknownIndexFailsWith8AndLeavesNoTableOpen) {
  make_busy_source();
  EXPECT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), "NoSuchIndex", 0, 0), -1);
  EXPECT_EQ(tb_error, kTbNoSuchIndex);
  EXPECT_EQ(tb_tables.head, nullptr);
  Table* t = tb_open(base("src").c_str(), 0, 0);
  EXPECT_NE(t, nullptr);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CopyTest, SourceOpenInThisProcessFailsWith3) {
  make_busy_source();
  Table* t = tb_open(base("src").c_str(), 0, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), nullptr, 0, 0), -1);
  EXPECT_EQ(tb_error, kTbAlreadyOpen);
  EXPECT_EQ(tb_tables.head, t);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CopyTest, SourceWithoutItsIndexFileIsCopiedInRecordOrder) {
  make_busy_source();
  ASSERT_EQ(std::remove(base("src.idx").c_str()), 0);
  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), "INDX_Path,U", 0, 0), 1) << "tb_error " << tb_error;
  EXPECT_EQ(live("dst"), live("src"));
  Table* t = tb_open(base("dst").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_error, kTbOk);
  EXPECT_EQ(t->index_count, 1);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CopyTest, PageSizeZeroTakesTheSourcesPageSize) {
  const char* fields[] = {"Path", "Remark", nullptr};
  Table* t = tb_create(base("src").c_str(), 256, fields);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(add(t, "/a", "x"), 1);
  ASSERT_EQ(tb_close(t), 1);
  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), nullptr, 0, 0), 1);
  EXPECT_EQ(ix_page_size(base("dst.idx").c_str()), 256);
  ASSERT_EQ(tb_copy(base("src").c_str(), base("dst2").c_str(), nullptr, 384, 0), 1);
  EXPECT_EQ(ix_page_size(base("dst2.idx").c_str()), 384);
}

// A write failing at every point of the copy in turn: the copy fails with
// -1, closes both tables, and the source stays as it was.
TEST_F(CopyTest, AFailingWriteAnywhereFailsTheCopyCleanly) {
  make_busy_source();
  const std::string source_data = read_whole_file(base("src.db"));
  const std::string source_index = read_whole_file(base("src.idx"));
  for (int n = 1;; ++n) {
    FaultIo io;
    io.arm(IoKind::Write, n);
    int rc = tb_copy(base("src").c_str(), base("dst").c_str(), "INDX_Path,U", 0, 0);
    int fired = io.plan().failures;
    int error = tb_error;
    io.disarm();
    ASSERT_EQ(tb_tables.head, nullptr) << "write " << n;
    ASSERT_EQ(read_whole_file(base("src.db")), source_data) << "write " << n;
    ASSERT_EQ(read_whole_file(base("src.idx")), source_index) << "write " << n;
    if (fired == 0) {
      ASSERT_EQ(rc, 1) << "tb_error " << error;
      // At least one write per record, besides creating the target's files.
      EXPECT_GT(n, static_cast<int>(live("src").size()) + 5) << "the copy should write many times";
      break;
    }
    ASSERT_EQ(rc, -1) << "write " << n;
    ASSERT_NE(error, kTbOk) << "write " << n;
    ASSERT_LT(n, 2000);
  }
  Table* t = tb_open(base("dst").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(verify(t, &findings_), 0);
  EXPECT_EQ(live("dst").size(), live("src").size());
  EXPECT_EQ(tb_close(t), 1);
}

// A keyed entry of the source that leads to no record ends the copy with
// error 7 instead of copying garbage.
TEST_F(CopyTest, AnEntryPointingAtAFreeBlockFailsWith7) {
  make_busy_source();
  Table* t = tb_open(base("src").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  TableIndex* ix = tb_find_index(t, "INDX_Path,U");
  std::vector<RawRecord> raw = raw_blocks("src");
  auto free_block = std::find_if(raw.begin(), raw.end(), [](const RawRecord& r) { return r.word < 0; });
  ASSERT_NE(free_block, raw.end());
  auto key = text_key(ix->number, {"/0"});
  ASSERT_EQ(ix_insert(ix->handle, key.data(), static_cast<int>(key.size()), free_block->at, 0), 1);
  ASSERT_EQ(tb_close(t), 1);
  EXPECT_EQ(tb_copy(base("src").c_str(), base("dst").c_str(), "INDX_Path,U", 0, 0), -1);
  EXPECT_EQ(tb_error, kTbDataFile);
  EXPECT_EQ(tb_tables.head, nullptr);
}

}  // namespace
