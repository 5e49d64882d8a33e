// TableHandle over the real engine: the sorted name arrays against a model,
// its bookkeeping (buffers, index names, errors), a shared round trip.
#include "table_handle/table_handle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>

#include "support/temp_dir.h"
#include "table_handle/name_table.h"

namespace {

#define EXPECT_FAILS(call, code) EXPECT_TRUE((call) == -1 && h.lastError() == (code)) << #call << " " << h.lastError()

TEST(NameTable, QuicksortAndFirstOfEqualNamesAgreeWithASortedModel) {
  std::mt19937 rng(7);
  const char* pool[] = {"a", "B", "b", "Physical Index", "INDX_Path,U", "indx_path,u", "_x", "Zz", "m", "\xC4"};
  auto less = [](const std::string& a, const std::string& b) { return nt_compare(a.c_str(), b.c_str()) < 0; };
  for (int n = 0; n <= 40; ++n) {
    std::vector<std::string> texts, model;
    std::vector<char*> names;
    for (int i = 0; i < n; ++i) texts.push_back(pool[rng() % 10]);
    for (auto& t : texts) names.push_back(t.data()), model.push_back(t);
    nt_sort(names.data(), n);
    std::sort(model.begin(), model.end(), less);
    for (int i = 0; i < n; ++i) ASSERT_EQ(nt_compare(names[i], model[i].c_str()), 0) << n;
    for (const char* sought : pool) {
      auto first = std::lower_bound(model.begin(), model.end(), sought, less);
      const bool present = first != model.end() && nt_compare(first->c_str(), sought) == 0;
      ASSERT_EQ(nt_find(names.data(), n, sought), present ? first - model.begin() : -1) << n << sought;
    }
  }
}

class TableHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TableHandle::startEngine(16, 512), 1); }
  void TearDown() override { (void)tb_shutdown(); }
  int add(const char* path, const char* remark) {
    return h.setField(0, path) == 1 && h.setField(1, remark) == 1 ? h.addRecord() : -1;
  }
  std::string remarkOf(const char* path) {  // found through the current index
    return h.setField(0, path) == 1 && h.findKey() == 2 && h.readRecord(0) == 1 ? h.getField(1) : "<not found>";
  }
  TempDir dir_;
  std::string t_ = dir_.file("t");
  TableHandle h;
};

TEST_F(TableHandleTest, FieldsIndexesBuffersAndErrors) {
  EXPECT_TRUE(h.close() == 1 && h.findKey() == -1 && h.lastError() == kTbNotOpen);  // closes quietly
  const char* fields[] = {"Path", "Remark", "Size,L", nullptr}, *keys[] = {"Path", nullptr}, *remarks[] = {"Remark", nullptr};
  EXPECT_FAILS(h.create(t_.c_str(), nullptr, 512), kTbMissingArgument);
  ASSERT_EQ(h.create(t_.c_str(), fields, 512), 1);
  EXPECT_FAILS(h.findKey(), kTbNeedsKeyed);
  ASSERT_EQ(h.createIndex("Zeta", keys), 1);  // sorts after "Physical Index"
  const std::string longPath = "/a" + std::string(38, 'p');  // first in path order
  ASSERT_TRUE(add(longPath.c_str(), "long") == 1 && add("/b", "short") == 1);  // buffers grow past 10 bytes
  ASSERT_EQ(h.open(t_.c_str(), 1), 1);  // on the first keyed index, with fresh buffers
  EXPECT_TRUE(h.firstRecord() == 1 && h.readRecord(0) == 1 && h.bufferSize(0) == 41);  // grown to the text read
  EXPECT_EQ(remarkOf(longPath.c_str()), "long");
  ASSERT_TRUE(h.open(t_.c_str(), 0) == 1 && h.createIndex("ByRemark", remarks) == 1);  // current, sorts first
  EXPECT_EQ(h.keyBuffers()[0], h.getField(1));
  void* const* current = h.keyBuffers();
  ASSERT_EQ(h.setIndex("byremark"), 1);  // selecting the current index keeps its key buffers
  EXPECT_EQ(h.keyBuffers(), current);
  char name[9];
  EXPECT_TRUE(h.indexName(0, name, 9) == 1 && std::string(name) == "ByRemark");
  EXPECT_FAILS(h.setField(2, "1234"), kTbNotText);
  EXPECT_FAILS(h.setIndex("nothing"), kTbNoSuchIndex);
  EXPECT_EQ(h.fieldNumber("SIZE"), 2);
  ASSERT_TRUE(h.setField(1, "short") == 1 && h.findKey() == 2 && h.readRecord(0) == 1);
  EXPECT_STREQ(h.getField(0), "/b");
  testing::internal::CaptureStdout();  // the engine's messages go to standard output
  EXPECT_EQ(io_message("engine note\n"), 1);
  std::cout.setstate(std::ios::badbit);
  EXPECT_EQ(io_message("lost\n"), -1);
  std::cout.clear();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "engine note\n");
}

TEST_F(TableHandleTest, SharedRoundTripWithLocks) {
  const char* fields[] = {"Path", "Remark", nullptr}, *keys[] = {"Path", nullptr};
  ASSERT_TRUE(h.create(t_.c_str(), fields, 512) == 1 && h.createIndex("INDX_Path,U", keys) == 1 && h.open(t_.c_str(), 1) == 1);
  for (const char* p : {"/c", "/A", "/b"}) ASSERT_EQ(add(p, p), 1);
  EXPECT_EQ(remarkOf("/a"), "/A");
  ASSERT_TRUE(h.readRecord(1) == 1 && h.heldLock() == 1);  // reads /A and holds it locked
  ASSERT_TRUE(h.firstRecord() == 1 && h.heldLock() == 0);  // gives it back
  ASSERT_EQ(h.readRecord(1), 1);
  ASSERT_TRUE(h.setField(0, "/b") == 1 && h.findKey() == 2);  // gives it back too
  int32_t lock = 0;
  ASSERT_EQ(h.lockRecord(&lock), 1);
  EXPECT_EQ(lock, 1);  // the number given back is free again
  ASSERT_EQ(h.setField(1, "a remark that no longer fits where it was"), 1);
  ASSERT_EQ(h.updateRecord(), 1);
  ASSERT_EQ(h.unlockRecord(lock), 1);
  EXPECT_FAILS(h.unlockRecord(lock), kTbNoSuchLock);
  EXPECT_EQ(remarkOf("/B"), "a remark that no longer fits where it was");
  ASSERT_TRUE(h.setField(0, "/c") == 1 && h.findKey() == 2 && h.readRecord(1) == 1 && h.deleteRecord() == 1);
  EXPECT_EQ(h.heldLock(), 0);
  ASSERT_EQ(h.lockTable(2), 1);
  EXPECT_FAILS(h.rebuild(512, 1), kTbNeedsExclusive);
  EXPECT_EQ(h.unlockTable(2), 1);
}

}  // namespace
