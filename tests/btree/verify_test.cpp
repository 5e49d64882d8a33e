// ix_verify: clean on trees the operations build, and every kind of damage
// made by hand is reported (so the verifier is known to be able to fail)
// without crashing or looping.
#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
#include "btree/tree_test_support.h"
#include "support/findings.h"
#include "support/temp_dir.h"

namespace {

using tree_test::key_of;
using tree_test::put;

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ix_startup(16, 4096), 1); }
  void TearDown() override { ix_shutdown(); }

  // A tree of `count` distinct keys key0000.. with record ref i.
  void Build(int page_size, int count, const std::string& name = "v.idx") {
    h_ = ix_create(dir_.file(name).c_str(), nullptr, page_size);
    ASSERT_NE(h_, nullptr);
    for (int i = 0; i < count; ++i) ASSERT_EQ(put(h_, key_of(i), i, 0), 1) << key_of(i);
  }

  int Verify(int max_findings = 50) {
    findings_.clear();
    return ix_verify(h_, collect_finding, &findings_, max_findings);
  }

  IndexHeader& Header() { return h_->file->header; }
  // Page `n` pinned for damage, checked to hold at least `entries` entries;
  // Release() gives every such page back dirty.
  uint8_t* Edit(int32_t n, int entries = 0) {
    uint8_t* p = ix_page_get(h_->file, n);
    EXPECT_NE(p, nullptr) << "page " << n;
    if (p == nullptr) return nullptr;
    edited_.push_back(p);
    if (entries > 0) {
      EXPECT_GE(node_entry_count(p), entries) << "page " << n;
    }
    return p;
  }
  // A new page of zeros, its number in page_, for damage like Edit's; with
  // `free`, the head of the free list.
  uint8_t* Alloc(bool free = false) {
    uint8_t* p = ix_alloc_page(h_->file, &page_);
    if (free) Header().free_head = page_;
    EXPECT_NE(p, nullptr);
    if (p != nullptr) edited_.push_back(static_cast<uint8_t*>(memset(p, 0, Header().page_size)));
    return p;
  }
  void Release() {
    for (uint8_t* p : edited_) ix_page_dirty(h_->file, p);
    edited_.clear();
  }
  // Byte `at` of the key of entry `i` of page `pg`.
  static uint8_t& KeyByte(uint8_t* pg, int i, int at) { return pg[entry_key_offset(node_entry(pg, i)) + at]; }

  TempDir dir_;
  IndexHandle* h_ = nullptr;
  std::string findings_;
  std::vector<uint8_t*> edited_;
  int32_t page_ = 0;
};

TEST_F(VerifyTest, TreesBuiltByInsertsAreSound) {
  for (auto [page_size, count, height] : {std::tuple{512, 0, 0}, std::tuple{92, 600, 3}}) {  // 92: several levels
    SCOPED_TRACE(count);
    Build(page_size, count, "v" + std::to_string(count));
    EXPECT_GE(Header().height, height);
    EXPECT_EQ(Verify(), 0) << findings_;
    ASSERT_EQ(ix_close(h_), 1);
    h_ = ix_open(dir_.file("v" + std::to_string(count)).c_str(), nullptr, 0, 0);
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(Verify(), 0) << findings_;
  }
}

TEST_F(VerifyTest, SharedKeysAndSignedRefsAreSound) {
  Build(92, 0);
  // Runs of equal keys in mixed case (they compare equal and share bytes),
  // with negative and positive refs, so order by signed ref matters.
  const char* keys[] = {"Alpha", "alpha", "ALPHA", "beta", "BETA", "gamma"};
  for (int round = 0; round < 40; ++round)
    for (int k = 0; k < 6; ++k) {
      int32_t ref = (round % 2 ? -1 : 1) * (round * 7 + k + 1);
      ASSERT_EQ(put(h_, keys[k], ref), 1);
    }
  EXPECT_EQ(Verify(), 0) << findings_;
}

// One row per kind of damage: a fresh tree of `count` keys on pages of
// `page_size` bytes, one damaging step, then at least one finding and one
// mentioning each of `words` ({n}: the page the step allocated).
TEST_F(VerifyTest, EachKindOfDamageIsReported) {
  struct Damage {
    const char* name;
    int page_size, count;
    std::vector<std::string> words;
    std::function<void()> step;
  };
  const Damage table[] = {
      {"flipped key order", 512, 40, {"is not below entry"},
       [&] { KeyByte(Edit(Header().first_leaf, 2), 0, 6) = '9'; }},  // key0000 becomes key0009, above key0001
      {"separator above its subtree", 92, 200, {"below its separator"}, [&] {
         ASSERT_GE(Header().height, 2);
         uint8_t* root = Edit(Header().root_page, 1);
         KeyByte(root, 0, entry_key_length(node_entry(root, 0)) - 1) += 1;  // just above the child's first key
       }},
      {"broken prev link", 92, 200, {"prev_page"}, [&] {
         int32_t second = node_next_page(Edit(Header().first_leaf));
         ASSERT_NE(second, 0);
         node_set_prev_page(Edit(second), second);
       }},
      {"leaf chain loop", 92, 200, {"right end of level 1"},
       [&] { node_set_next_page(Edit(Header().last_leaf), Header().first_leaf); }},
      {"child link loop", 92, 200, {"reached twice"},
       [&] { entry_set_child_page(node_entry(Edit(Header().root_page, 1), 0), Header().root_page); }},
      {"orphan page", 512, 40, {"page {n}: neither in the tree nor on the free list"},
       [&] { node_init_leaf(Alloc(), 512, 0, 0); }},
      {"wrong entry_total", 512, 40, {"entry_total"}, [&] { Header().entry_total += 1; }},
      {"key area overlapping entries", 512, 40, {"overlaps entry array"}, [&] {
         uint8_t* leaf = Edit(Header().first_leaf);
         node_set_key_area_start(leaf, kNodeHeaderSize + node_entry_count(leaf) * kLeafEntrySize - 4);
       }},
      {"key offset outside the page", 512, 40, {"outside the key area"},
       [&] { entry_set_key_offset(node_entry(Edit(Header().first_leaf), 1), 30000); }},
      {"unshared equal keys", 512, 3, {"equal keys but do not share"}, [&] {
         uint8_t* leaf = Edit(Header().first_leaf);
         ASSERT_EQ(node_entry_count(leaf), 3);
         KeyByte(leaf, 0, 6) = '1';  // entry 0's key equal to entry 1's, each keeping its own bytes
       }},
      {"free page in the tree", 92, 200, {"in the tree and on the free list"},
       [&] { Header().free_head = Header().first_leaf; }},  // prev_page 0: a list of one page
      {"free list loop", 512, 40, {"on the free list twice"},
       [&] { node_set_prev_page(Alloc(true), page_); }},  // the free list points back at itself
      {"dirty free page", 512, 40, {"not zero"}, [&] { Alloc(true)[300] = 1; }},
      {"header damage", 512, 40, {"format 299", "last_page"},  // the file does not hold the last page
       [&] { Header().format = 299; Header().last_page += 1; }},
      {"empty tree with leaf fields", 512, 0, {"empty tree"}, [&] { Header().first_leaf = 1; }},
      {"wrong height", 92, 200, {"expected a child page"}, [&] { Header().height += 1; }},  // leaves one level high
  };
  for (const Damage& d : table) {
    SCOPED_TRACE(d.name);
    ix_shutdown();
    ASSERT_EQ(ix_startup(16, 4096), 1);
    Build(d.page_size, d.count, d.name);
    ASSERT_FALSE(HasFatalFailure());
    d.step();
    Release();
    ASSERT_FALSE(HasFatalFailure());
    expect_findings(Verify(), findings_, {1, d.words}, page_);
  }
}

TEST_F(VerifyTest, FindingsStopAtTheLimit) {
  Build(92, 200);
  for (int32_t p = 1; p <= Header().last_page; ++p, Release())  // every page loses its prev link
    node_set_prev_page(Edit(p), Header().last_page + 5);
  EXPECT_EQ(Verify(3), 3);
  EXPECT_EQ(std::count(findings_.begin(), findings_.end(), '\n'), 3);
}

// Any change to the 16 header bytes of any tree page is found, and no
// damage of that kind crashes the walk.
TEST_F(VerifyTest, EveryNodeHeaderByteChangeIsReported) {
  Build(92, 150);
  ASSERT_EQ(Verify(), 0) << findings_;
  std::mt19937 rng(7);
  const int32_t pages = Header().last_page;
  for (int32_t p = 1; p <= pages; ++p) {
    for (int b = 0; b < kNodeHeaderSize; ++b) {
      uint8_t x = static_cast<uint8_t>(1 + rng() % 255);
      Edit(p)[b] ^= x;
      Release();
      EXPECT_GT(Verify(), 0) << "page " << p << " byte " << b << " xor " << int(x);
      Edit(p)[b] ^= x;
      Release();
    }
  }
  EXPECT_EQ(Verify(), 0) << findings_;
}

}  // namespace
