// TableHandle over the real engine: its own bookkeeping (closed handles,
// sorted names, key buffers that follow grown field buffers, recorded
// errors) and a shared-mode round trip of the notes table.
#include "table_handle/table_handle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "btree/index_file.h"
#include "engine/engine.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"

namespace {

#define EXPECT_FAILS(call, code)      \
  do {                                \
    EXPECT_EQ((call), -1);            \
    EXPECT_EQ(h.lastError(), (code)); \
  } while (0)

class TableHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TableHandle::startEngine(16, 512), 1); }
  void TearDown() override {
    g_file_io = io_default_table();
    (void)tb_shutdown();
  }
  std::string base(const char* name) const { return dir_.file(name); }

  // Creates table "t" of `fields` with the index `index` on Path (none if null).
  void make(TableHandle& h, std::vector<const char*> fields = {"Path", "Remark"}, const char* index = "INDX_Path,U") {
    fields.push_back(nullptr);
    ASSERT_EQ(h.create(base("t").c_str(), fields.data(), 512), 1);
    const char* keys[] = {"Path", nullptr};
    if (index != nullptr) {
      ASSERT_EQ(h.createIndex(index, keys), 1) << h.lastError();
    }
  }
  static int add(TableHandle& h, const std::string& path, const std::string& remark) {
    return h.setField(0, path.c_str()) == 1 && h.setField(1, remark.c_str()) == 1 ? h.addRecord() : -1;
  }
  // The remark stored under `path`, found through the current index.
  static std::string remarkOf(TableHandle& h, const std::string& path) {
    if (h.setField(0, path.c_str()) != 1 || h.findKey() != 2 || h.readRecord(0) != 1) return "<not found>";
    return h.getField(1);
  }

  TempDir dir_;
};

TEST_F(TableHandleTest, ClosedHandleClosesQuietlyAndCreateWithoutFieldsLeavesItClosed) {
  TableHandle h;
  EXPECT_EQ(h.close(), 1);
  EXPECT_EQ(h.lastError(), 0);
  EXPECT_FAILS(h.findKey(), kTbNotOpen);
  make(h);
  EXPECT_FAILS(h.create(base("u").c_str(), nullptr, 512), kTbMissingArgument);
  EXPECT_EQ(tb_get_error(), kTbMissingArgument);
  EXPECT_FALSE(h.isOpen());
  TableHandle other;  // "t" was closed: an exclusive open of it succeeds
  EXPECT_EQ(other.open(base("t").c_str(), 0), 1);
}

TEST_F(TableHandleTest, FieldNumberIgnoresCaseAndCutsAtTheLastComma) {
  TableHandle h;
  make(h, {"Path", "Remark", "Notes,B:20", "Kind,S,x"});
  EXPECT_EQ(h.fieldNumber("path"), 0);
  EXPECT_EQ(h.fieldNumber("NOTES"), 2);
  EXPECT_EQ(h.fieldNumber("kind,s"), 3);
  EXPECT_FAILS(h.fieldNumber("Notes,B:20"), kTbNoSuchField);
}

TEST_F(TableHandleTest, SetFieldRefusesNumericFieldsAndCopiesBinaryWidths) {
  TableHandle h;
  make(h, {"Path", "Size,L", "Blob,B:8"});
  EXPECT_FAILS(h.setField(1, "12345678"), kTbNotText);
  EXPECT_EQ(h.bufferSize(1), 4);
  EXPECT_EQ(std::memcmp(h.getField(1), "\0\0\0\0", 4), 0);
  EXPECT_FAILS(h.setField(3, "x"), kTbFieldRange);
  ASSERT_EQ(h.setField(0, "/p"), 1);
  ASSERT_EQ(h.setField(2, "ab\0cdefg"), 1);
  ASSERT_EQ(h.addRecord(), 1);
  ASSERT_EQ(h.setField(2, "########"), 1);
  ASSERT_EQ(h.findKey(), 2);
  ASSERT_EQ(h.readRecord(0), 1);
  EXPECT_EQ(std::memcmp(h.getField(2), "ab\0cdefg", 8), 0);
}

TEST_F(TableHandleTest, IndexNamesAreSortedAndTheCurrentIndexKeepsItsKeyBuffers) {
  TableHandle h;
  make(h);
  ASSERT_EQ(h.indexCount(), 2);
  char name[16];
  EXPECT_FAILS(h.indexName(0, name, 11), kTbCallerBuffer);
  ASSERT_EQ(h.indexName(0, name, 12), 1);
  EXPECT_STREQ(name, "INDX_Path,U");
  EXPECT_FAILS(h.indexName(2, name, 16), kTbIndexPosition);
  void* const* keys = h.keyBuffers();  // selecting the current index keeps its list
  ASSERT_EQ(h.setIndex("indx_path,u"), 1);
  EXPECT_EQ(h.keyBuffers(), keys);
  EXPECT_FAILS(h.setIndex("INDX_Remark"), kTbNoSuchIndex);
}

TEST_F(TableHandleTest, CreateIndexMakesTheNewIndexCurrent) {
  TableHandle h;
  make(h);
  ASSERT_EQ(add(h, "/a", "first"), 1);
  ASSERT_EQ(add(h, "/b", "second"), 1);
  const char* keys[] = {"Remark", nullptr};
  ASSERT_EQ(h.createIndex("ByRemark", keys), 1);  // sorts before the current index
  EXPECT_EQ(h.keyBuffers()[0], h.getField(1));
  ASSERT_EQ(h.setField(1, "second"), 1);
  ASSERT_EQ(h.findKey(), 2);
  ASSERT_EQ(h.readRecord(0), 1);
  EXPECT_STREQ(h.getField(0), "/b");
  ASSERT_EQ(h.setIndex("INDX_Path,U"), 1);
  EXPECT_EQ(remarkOf(h, "/a"), "first");
}

TEST_F(TableHandleTest, FindKeyNeedsAKeyedIndexAndOpenSkipsThePhysicalOne) {
  TableHandle h;
  make(h, {"Path", "Remark"}, nullptr);
  EXPECT_FAILS(h.findKey(), kTbNeedsKeyed);
  const char* keys[] = {"Path", nullptr};
  ASSERT_EQ(h.createIndex("Zeta", keys), 1);  // sorts after "Physical Index"
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);
  EXPECT_EQ(h.findKey(), 3);
}

TEST_F(TableHandleTest, SetFieldGrowsTheBufferAndFindKeyUsesTheNewText) {
  TableHandle h;
  make(h);
  const std::string longPath = "/home/user/a/rather/long/path/to/a/file.txt";
  ASSERT_EQ(add(h, "/short", "s"), 1);
  ASSERT_EQ(add(h, longPath, "long one"), 1);
  ASSERT_EQ(h.setField(0, "/x"), 1);
  ASSERT_EQ(h.setField(0, longPath.c_str()), 1);
  EXPECT_EQ(h.bufferSize(0), static_cast<int32_t>(longPath.size() + 1));
  ASSERT_EQ(h.findKey(), 2);
  ASSERT_EQ(h.readRecord(0), 1);
  EXPECT_STREQ(h.getField(1), "long one");
}

TEST_F(TableHandleTest, ReadRecordGrowsTheBufferAndFindKeyUsesTheTextRead) {
  TableHandle h;
  make(h);
  const std::string longPath = "/a/path/longer/than/the/first/buffer";
  ASSERT_EQ(add(h, longPath, "r1"), 1);
  ASSERT_EQ(add(h, "/b", "r2"), 1);
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);  // fresh 10-byte buffers
  ASSERT_EQ(h.setField(0, "/zz"), 1);
  ASSERT_EQ(h.firstRecord(), 1);
  ASSERT_EQ(h.readRecord(0), 1);
  EXPECT_EQ(h.bufferSize(0), static_cast<int32_t>(longPath.size() + 1));
  ASSERT_EQ(h.setField(1, ""), 1);
  ASSERT_EQ(h.findKey(), 2);
  ASSERT_EQ(h.readRecord(0), 1);
  EXPECT_STREQ(h.getField(1), "r1");
}

TEST_F(TableHandleTest, IndexLayerFailureKeepsTheLowerErrors) {
  TableHandle h;
  make(h);
  for (int i = 0; i < 60; ++i) ASSERT_EQ(add(h, "/dir/with/a/long/name/file" + std::to_string(100 + i), "r"), 1);
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);  // the last leaves are not cached
  ASSERT_EQ(h.setField(0, "/dir/with/a/long/name/file159"), 1);
  {
    FaultIo faults;
    faults.arm(IoKind::Read, 1, true);
    EXPECT_FAILS(h.findKey(), kTbIndexLayer);
  }
  EXPECT_EQ(h.lowerError(), kIxReadFailed);
  EXPECT_EQ(h.lowerOperation(), kOpFind);
  const int32_t location = h.lowerLocation();
  EXPECT_NE(location, 0);
  ix_error = ix_error_site = ix_operation = 0;
  EXPECT_FAILS(h.setIndex("nothing"), kTbNoSuchIndex);  // another error leaves them alone
  EXPECT_EQ(h.lowerLocation(), location);
  EXPECT_EQ(h.lowerError(), kIxReadFailed);
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);  // open clears them
  EXPECT_EQ(h.lowerError(), 0);
  EXPECT_EQ(h.lastError(), 0);
}

TEST_F(TableHandleTest, CloseAfterTheEngineShutDownFailsButFreesEverything) {
  TableHandle h;
  make(h);
  ASSERT_EQ(add(h, "/p", "a remark longer than ten bytes"), 1);
  ASSERT_EQ(tb_shutdown(), 1);
  EXPECT_FAILS(h.close(), kTbNotOpen);
  EXPECT_FALSE(h.isOpen());
  EXPECT_EQ(h.fieldCount(), 0);
  EXPECT_EQ(h.keyBuffers(), nullptr);
  EXPECT_EQ(h.close(), 1);
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);  // starts the engine again
  EXPECT_EQ(remarkOf(h, "/p"), "a remark longer than ten bytes");
}

TEST_F(TableHandleTest, RebuildStartsOnThePhysicalIndexAndIsRefusedWhenShared) {
  TableHandle h;
  make(h);
  ASSERT_EQ(add(h, "/p", "kept"), 1);
  ASSERT_EQ(h.rebuild(512, 1), 1);
  EXPECT_EQ(h.indexCount(), 1);
  EXPECT_FAILS(h.findKey(), kTbNeedsKeyed);
  const char* keys[] = {"Path", nullptr};
  ASSERT_EQ(h.createIndex("INDX_Path,U", keys), 1);
  EXPECT_EQ(remarkOf(h, "/p"), "kept");
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);
  ASSERT_EQ(h.lockTable(2), 1);
  EXPECT_FAILS(h.rebuild(512, 1), kTbNeedsExclusive);
  EXPECT_EQ(h.unlockTable(2), 1);
}

TEST_F(TableHandleTest, MessageWriterWritesToStandardOutput) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(io_message("engine note\n"), 1);
  std::cout.setstate(std::ios::badbit);
  EXPECT_EQ(io_message("lost\n"), -1);
  std::cout.clear();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "engine note\n");
}

TEST_F(TableHandleTest, SharedRoundTripCopyAndDelete) {
  TableHandle h;
  make(h);
  ASSERT_EQ(h.open(base("t").c_str(), 1), 1);
  for (const char* p : {"/c", "/A", "/b", "/d"}) ASSERT_EQ(add(h, p, std::string("note of ") + p), 1);
  EXPECT_EQ(remarkOf(h, "/a"), "note of /A");
  ASSERT_EQ(h.readRecord(1), 1);  // locks /A
  EXPECT_EQ(h.heldLock(), 1);
  ASSERT_EQ(h.setField(0, "/b"), 1);
  ASSERT_EQ(h.findKey(), 2);  // releases it
  EXPECT_EQ(h.heldLock(), 0);
  int32_t lock = 0;
  ASSERT_EQ(h.lockRecord(&lock), 1);
  EXPECT_EQ(lock, 1);  // the released number is free again
  ASSERT_EQ(h.readRecord(0), 1);
  ASSERT_EQ(h.setField(1, "a remark that no longer fits where it was"), 1);
  ASSERT_EQ(h.updateRecord(), 1);
  ASSERT_EQ(h.unlockRecord(lock), 1);
  EXPECT_FAILS(h.unlockRecord(lock), kTbNoSuchLock);
  EXPECT_EQ(remarkOf(h, "/B"), "a remark that no longer fits where it was");
  ASSERT_EQ(h.setField(0, "/d"), 1);
  ASSERT_EQ(h.findKey(), 2);
  ASSERT_EQ(h.deleteRecord(), 1);
  ASSERT_EQ(h.findKey(), 3);
  ASSERT_EQ(h.close(), 1);

  ASSERT_EQ(TableHandle::copyTable(base("t").c_str(), base("copy").c_str(), "INDX_Path,U", 1, 0), 1);
  const std::string copied = read_whole_file(base("copy.db"));  // records follow in path order
  ASSERT_NE(copied.find("/c"), std::string::npos);
  EXPECT_LT(copied.find("/A"), copied.find("/b"));
  EXPECT_LT(copied.find("/b"), copied.find("/c"));
  ASSERT_EQ(TableHandle::deleteTable(base("copy").c_str()), 1);
  struct stat st;
  EXPECT_NE(::stat(base("copy.db").c_str(), &st), 0);
  EXPECT_NE(::stat(base("copy.idx").c_str(), &st), 0);
}

}  // namespace
