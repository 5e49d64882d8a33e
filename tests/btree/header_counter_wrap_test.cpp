// Found by fuzz/index_fuzz: entry_total and change_count are not covered by
// the header checksum, so a damaged file may hold any value there, and each
// insert, delete and replace stepped them with signed ++ / --, which is
// undefined at INT32_MAX / INT32_MIN (the sanitizer build stops on it). A
// file that lives long enough reaches change_count's end the honest way.
// Both now wrap around, as 32-bit counters on disk do.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "btree/btree.h"
#include "support/temp_dir.h"

namespace {

const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

class HeaderCounterWrap : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ix_startup(16, 512), 1);
    h_ = ix_create(dir_.file("w.idx").c_str(), nullptr, 128);
    ASSERT_NE(h_, nullptr);
  }
  void TearDown() override {
    if (h_ != nullptr) (void)ix_close(h_);
    ix_shutdown();
  }
  IndexHeader& header() { return h_->file->header; }

  TempDir dir_;
  IndexHandle* h_ = nullptr;
};

TEST_F(HeaderCounterWrap, InsertPastTheLargestCounts) {
  header().entry_total = INT32_MAX;
  header().change_count = INT32_MAX;
  ASSERT_EQ(ix_insert(h_, bytes("a"), 1, 1, 0), 1);
  EXPECT_EQ(header().entry_total, INT32_MIN);
  EXPECT_EQ(header().change_count, INT32_MIN);
}

TEST_F(HeaderCounterWrap, DeleteBelowTheSmallestTotal) {
  ASSERT_EQ(ix_insert(h_, bytes("a"), 1, 1, 0), 1);
  header().entry_total = INT32_MIN;
  ASSERT_EQ(ix_delete(h_, bytes("a"), 1, 1), 1);
  EXPECT_EQ(header().entry_total, INT32_MAX);
}

TEST_F(HeaderCounterWrap, ReplaceThatMovesBelowTheSmallestTotal) {
  // Two 90-byte keys do not share a 128-byte leaf: the replacement becomes
  // a removal, which steps the total down, and an insertion.
  const std::string first(90, 'k'), second(90, 'm');
  ASSERT_EQ(ix_insert(h_, bytes(first.c_str()), 90, 1, 0), 1);
  ASSERT_EQ(ix_insert(h_, bytes("b"), 1, 2, 0), 1);
  header().entry_total = INT32_MIN;
  ASSERT_EQ(ix_replace(h_, bytes("b"), 1, 2, bytes(second.c_str()), 90, 2, 0), 1);
  EXPECT_EQ(header().entry_total, INT32_MIN);
}

}  // namespace
