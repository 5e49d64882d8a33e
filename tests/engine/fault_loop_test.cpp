// A change cut short by failing writes, as a killed process or a disk gone
// bad leaves it: every write from the N-th on fails, the close included.
// The data file must then still be a gapless run of blocks, so that
// rebuilding the index file from it (what recovery at start does) succeeds
// and every record other than the one being changed comes back whole. The
// fault loops over every operation are in tests/upkeep/fault_loop_test.cpp;
// these are the cases they found, pinned down one by one.
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "records/records_fixture.h"
#include "support/fault_io.h"

namespace {

using Records = std::map<std::string, std::string>;

class CutShort : public RecordsTest {
 protected:
  void SetUp() override {
    RecordsTest::SetUp();
    Table* t = make_notes("notes");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
    for (int i = 0; i < 6; ++i) {
      std::string path = "/notes/n" + std::to_string(i), remark = text_of(41, static_cast<char>('a' + i));
      address_[i] = add(t, path, remark);
      ASSERT_NE(address_[i], 0);
      before_[path] = remark;
    }
    ASSERT_EQ(tb_close(t), 1);
  }

  // Opens the table, runs `op` with every write from the `from`-th on
  // failing, closes it under the same fault. op's result.
  template <typename Op>
  int RunFailingWritesFrom(int from, int shared, Op op) {
    Table* t = tb_open(base("notes").c_str(), shared, 0);
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return 0;
    FaultIo fault;
    fault.arm(IoKind::Write, from, true);
    int rc = op(t);
    (void)tb_close(t);
    EXPECT_GE(fault.plan().failures, 1) << "the fault was never reached";
    return rc;
  }

  // What recovery does to the index file: rebuilt from the data file, the
  // unique path index defined again. Every record afterwards, by path; the
  // table must verify clean.
  Records Recover() {
    Records out;
    Table* t = tb_open(base("notes").c_str(), 0, 0);
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return out;
    EXPECT_EQ(tb_rebuild(t, 512, 1), 1) << "error " << tb_error << ", damage at " << rec_corrupt_address;
    EXPECT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1) << "error " << tb_error;
    EXPECT_EQ(tb_verify(
                  t, [](void*, const char* finding) { ADD_FAILURE() << finding; }, nullptr, 10),
              0);
    TableIndex* phys = tb_physical_index(t);
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys)) {
      std::vector<std::string> texts = read_texts(t, phys);
      EXPECT_EQ(texts.size(), 2u);
      if (texts.size() == 2) {
        EXPECT_TRUE(out.emplace(texts[0], texts[1]).second) << "twice: " << texts[0];
      }
    }
    EXPECT_EQ(tb_close(t), 1);
    return out;
  }

  // Every record but `target` as before; `target` as before or as `after`
  // (no `after`: deleted).
  void ExpectOnlyTargetChanged(Records got, const std::string& target, const std::optional<std::string>& after) {
    for (const auto& [path, remark] : before_) {
      auto it = got.find(path);
      if (path != target) {
        EXPECT_TRUE(it != got.end() && it->second == remark) << "lost: " << path;
      } else if (it == got.end()) {
        EXPECT_FALSE(after.has_value()) << "the changed record is gone";
      } else {
        EXPECT_TRUE(it->second == remark || it->second == after) << it->second;
      }
    }
    got.erase(target);
    for (const auto& [path, remark] : got) EXPECT_EQ(before_.count(path), 1u) << "from nowhere: " << path;
  }

  // Deletes the records `gone` and keeps the files as they are then.
  void Prepare(std::initializer_list<int> gone) {
    Table* t = tb_open(base("notes").c_str(), 0, 0);
    ASSERT_NE(t, nullptr);
    for (int i : gone) {
      ASSERT_EQ(delete_at(t, address_[i]), 1);
      before_.erase("/notes/n" + std::to_string(i));
    }
    ASSERT_EQ(tb_close(t), 1);
    db_ = read_whole_file(base("notes.db"));
    idx_ = read_whole_file(base("notes.idx"));
  }
  void Restore() {
    ASSERT_TRUE(write_whole_file(base("notes.db"), db_));
    ASSERT_TRUE(write_whole_file(base("notes.idx"), idx_));
  }

  // The table as the next open finds it, with no repair: it verifies clean
  // and every record found in record order is found by its path too.
  Records Reopened() {
    Records out;
    Table* t = tb_open(base("notes").c_str(), 0, 0);
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return out;
    EXPECT_EQ(tb_verify(
                  t, [](void*, const char* finding) { ADD_FAILURE() << finding; }, nullptr, 10),
              0);
    TableIndex* phys = tb_physical_index(t);
    TableIndex* by_path = tb_find_index(t, "INDX_Path,U");
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys)) {
      std::vector<std::string> texts = read_texts(t, phys);
      if (texts.size() != 2) continue;
      out[texts[0]] = texts[1];
      const void* key[] = {texts[0].c_str()};
      EXPECT_EQ(tb_find_key(t, by_path, key), 2) << texts[0];
      EXPECT_EQ(read_texts(t, by_path), texts);
    }
    EXPECT_EQ(tb_close(t), 1);
    return out;
  }

  // Runs `op` with the N-th write failing, for every N until op no longer
  // reaches it, in both modes, the write failing as a bad disk does (nothing
  // written) and as a full one (half written, ENOSPC); after each, with the
  // fault gone, adds a few small records on the same table and closes it.
  // Reopened as it is, then recovered: every add that gave 1 must be there,
  // and nothing else but the target changed.
  // With `sound`, an exclusive table must also verify as it is after any
  // call failing (a failed delete gives no space up while an entry points
  // into it).
  void FailOnceThenAdd(const std::function<int(Table*)>& op, const std::string& target,
                       const std::optional<std::string>& after, bool sound = false) {
    // Mode 4, with `sound`: exclusive, any call of the file layer failing.
    for (int mode = 0; mode < (sound ? 5 : 4); ++mode) {
      const int shared = mode & 1 && mode < 4;
      const bool full = mode == 2 || mode == 3;
      bool reached = true;
      for (int at = 1; reached && !HasFatalFailure(); ++at) {
        SCOPED_TRACE(std::to_string(at) + (shared ? " shared" : " exclusive") + (full ? ", disk full" : ""));
        Restore();
        Table* t = tb_open(base("notes").c_str(), shared, 0);
        ASSERT_NE(t, nullptr);
        {
          FaultIo fault;
          fault.arm(mode == 4 ? IoKind::Any : IoKind::Write, at, false, full);
          (void)op(t);
          reached = fault.plan().failures == 1;
        }
        Records added;
        for (int i = 0; i < 4; ++i) {
          std::string path = "/notes/later" + std::to_string(i), remark = text_of(6, 'z');
          if (add(t, path, remark) != 0) added[path] = remark;
        }
        ASSERT_EQ(tb_close(t), 1);

        // A full disk leaves the table sound as it is; a bad one may need
        // the rebuild.
        const bool as_it_is = full || mode == 4 || (sound && mode < 2);
        Records got = as_it_is ? Reopened() : Recover();
        if (HasFailure()) return;
        if (as_it_is) {
          EXPECT_EQ(Recover(), got);
        }
        for (const auto& [path, remark] : added) {
          auto it = got.find(path);
          EXPECT_TRUE(it != got.end() && it->second == remark) << "added, then lost: " << path;
          got.erase(path);
        }
        ExpectOnlyTargetChanged(got, target, after);
      }
    }
  }

  static int UpdateRemark(Table* t, const std::string& path, const std::string& remark) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {path.c_str()};
    if (ix == nullptr || tb_find_key(t, ix, key) != 2) return -9;
    const void* values[] = {path.c_str(), remark.c_str()};
    return tb_update_record(t, ix, values);
  }

  int32_t address_[6] = {};
  Records before_;
  std::string db_, idx_;
};

// A record cut down to a few bytes, right before a free block: its tail
// joins that block. Were the record's shorter length word written first,
// the failing write of the tail's word would leave old record bytes read as
// a length word, and every record behind it lost to the rebuild.
TEST_F(CutShort, ShrinkingUpdateBeforeAFreeBlockKeepsTheBlocksGapless) {
  ASSERT_NO_FATAL_FAILURE(Prepare({3}));
  // Three writes before the tail enters the free space (the record in its
  // whole space, the tail's length word, the record's shorter one), then
  // those of the merge.
  for (int from = 1; from <= 5; ++from) {
    SCOPED_TRACE(from);
    Restore();
    // Failing on either length word, the update still ends whole (the record
    // keeps its whole space); only the close fails then.
    const int rc = RunFailingWritesFrom(from, 0, [](Table* t) { return UpdateRemark(t, "/notes/n2", "x"); });
    EXPECT_TRUE(rc == 1 || rc == -1) << rc;
    ExpectOnlyTargetChanged(Recover(), "/notes/n2", "x");
  }
}

// The same update with one write failing, after which the table stays in
// use: a record added next that is reported added must neither land in room
// the updated record still covers nor cut the run of blocks, whichever write
// it was (an add may fail instead, on free space it cannot trust). In shared
// mode the index file's pages go out when the change ends; when one of
// those writes fails, the free-space entries fall back to what the index
// file held, while the data file already has the merged free block.
TEST_F(CutShort, AddsAfterAShrinkingUpdateFailedOnceAreKept) {
  ASSERT_NO_FATAL_FAILURE(Prepare({3}));
  FailOnceThenAdd([](Table* t) { return UpdateRemark(t, "/notes/n2", "x"); }, "/notes/n2", "x");
}

// Deleting a record between two free blocks merges all three: the next
// block's start ends up inside the merged one.
TEST_F(CutShort, AddsAfterADeleteBetweenTwoFreeBlocksFailedOnceAreKept) {
  ASSERT_NO_FATAL_FAILURE(Prepare({1, 3}));
  const int32_t at = address_[2];
  FailOnceThenAdd([at](Table* t) { return delete_at(t, at); }, "/notes/n2", std::nullopt);
}

// Adding at the end of the file, updating a record into a longer one (it
// moves) and deleting one with no free neighbour.
TEST_F(CutShort, AddsAfterAnAddUpdateOrDeleteFailedOnceAreKept) {
  ASSERT_NO_FATAL_FAILURE(Prepare({}));
  const std::string path = "/notes/new", remark = text_of(90, 'n');
  FailOnceThenAdd([&](Table* t) { return add(t, path, remark) != 0 ? 1 : -1; }, path, remark);
  before_.erase(path);
  FailOnceThenAdd([](Table* t) { return UpdateRemark(t, "/notes/n4", text_of(120, 'u')); }, "/notes/n4",
                  text_of(120, 'u'));
  const int32_t at = address_[2];
  FailOnceThenAdd([at](Table* t) { return delete_at(t, at); }, "/notes/n2", std::nullopt, true);
}

// In a tree of several leaves, a delete reads the page of the record's path
// entry after the pages of the free space: any call failing must leave the
// record whole and findable, its space not given up.
TEST_F(CutShort, DeleteInATreeOfSeveralLeavesFailedOnceKeepsTheRecordWhole) {
  Table* t = tb_open(base("notes").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 60; ++i) {
    const std::string path = "/notes/more/m" + std::to_string(i), remark = text_of(9, 'm');
    ASSERT_NE(add(t, path, remark), 0);
    before_[path] = remark;
  }
  ASSERT_EQ(tb_close(t), 1);
  ASSERT_NO_FATAL_FAILURE(Prepare({}));
  const int32_t at = address_[2];
  FailOnceThenAdd([at](Table* t) { return delete_at(t, at); }, "/notes/n2", std::nullopt, true);
}

// A shared table claims an appended block before the record is written
// over it. With the record's write failing, the claim must not leave a
// length word whose block runs past the end of the file.
TEST_F(CutShort, SharedAppendCutShortLeavesNoBlockPastTheEnd) {
  const std::string path = "/notes/appended", remark = text_of(300);
  int rc = RunFailingWritesFrom(2, 1, [&](Table* t) {
    const void* values[] = {path.c_str(), remark.c_str()};
    return tb_add_record(t, nullptr, values);
  });
  EXPECT_EQ(rc, -1);
  Records got = Recover();
  EXPECT_EQ(got.count(path), 0u) << "a failed add came back";
  ExpectOnlyTargetChanged(got, "", std::nullopt);
}

}  // namespace
