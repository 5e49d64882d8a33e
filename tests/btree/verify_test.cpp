// ix_verify: clean on trees the operations build, and every kind of damage
// made by hand is reported (so the verifier is known to be able to fail)
// without crashing or looping.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
#include "support/temp_dir.h"

namespace {

void collect(void* ctx, const char* text) { static_cast<std::vector<std::string>*>(ctx)->push_back(text); }

std::string key_of(int i) {
  char buf[16];
  snprintf(buf, sizeof buf, "k%05d", i);
  return buf;
}

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ix_startup(16, 4096), 1); }
  void TearDown() override { ix_shutdown(); }

  // A tree of `count` distinct keys k00000.. with record ref i.
  void Build(int page_size, int count) {
    h_ = ix_create(dir_.file("v.idx").c_str(), nullptr, page_size);
    ASSERT_NE(h_, nullptr);
    for (int i = 0; i < count; ++i) {
      std::string k = key_of(i);
      ASSERT_EQ(ix_insert(h_, reinterpret_cast<const uint8_t*>(k.data()), (int)k.size(), i, 0), 1) << k;
    }
  }

  int Verify(int max_findings = 50) {
    findings_.clear();
    return ix_verify(h_, collect, &findings_, max_findings);
  }

  bool Mentions(const char* text) const {
    for (const std::string& f : findings_)
      if (f.find(text) != std::string::npos) return true;
    return false;
  }

  std::string AllFindings() const {
    std::string all;
    for (const std::string& f : findings_) all += f + "\n";
    return all;
  }

  IndexHeader& Header() { return h_->file->header; }
  uint8_t* Page(int32_t n) {
    uint8_t* p = ix_page_get(h_->file, n);
    EXPECT_NE(p, nullptr) << "page " << n;
    return p;
  }
  void Dirty(uint8_t* p) { ix_page_dirty(h_->file, p); }
  void Unpin(uint8_t* p) { ix_page_unpin(h_->file, p); }

  TempDir dir_;
  IndexHandle* h_ = nullptr;
  std::vector<std::string> findings_;
};

TEST_F(VerifyTest, EmptyFileIsSound) {
  Build(512, 0);
  EXPECT_EQ(Verify(), 0) << AllFindings();
}

TEST_F(VerifyTest, TreesBuiltByInsertsAreSound) {
  Build(92, 600);  // small pages: several levels
  EXPECT_GE(Header().height, 3);
  EXPECT_EQ(Verify(), 0) << AllFindings();
  ASSERT_EQ(ix_close(h_), 1);
  h_ = ix_open(dir_.file("v.idx").c_str(), nullptr, 0, 0);
  ASSERT_NE(h_, nullptr);
  EXPECT_EQ(Verify(), 0) << AllFindings();
}

TEST_F(VerifyTest, SharedKeysAndSignedRefsAreSound) {
  h_ = ix_create(dir_.file("v.idx").c_str(), nullptr, 92);
  ASSERT_NE(h_, nullptr);
  // Runs of equal keys in mixed case (they compare equal and share bytes),
  // with negative and positive refs, so order by signed ref matters.
  const char* keys[] = {"Alpha", "alpha", "ALPHA", "beta", "BETA", "gamma"};
  for (int round = 0; round < 40; ++round)
    for (int k = 0; k < 6; ++k) {
      int32_t ref = (round % 2 ? -1 : 1) * (round * 7 + k + 1);
      ASSERT_EQ(ix_insert(h_, reinterpret_cast<const uint8_t*>(keys[k]), (int)strlen(keys[k]), ref, 1), 1);
    }
  EXPECT_EQ(Verify(), 0) << AllFindings();
}

TEST_F(VerifyTest, FlippedKeyOrderIsReported) {
  Build(512, 40);
  uint8_t* leaf = Page(Header().first_leaf);
  ASSERT_GE(node_entry_count(leaf), 2);
  // k00000 becomes k00009, above its neighbour k00001.
  leaf[entry_key_offset(node_entry(leaf, 0)) + 5] = '9';
  Dirty(leaf);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("is not below entry")) << AllFindings();
}

TEST_F(VerifyTest, SeparatorAboveItsSubtreeIsReported) {
  Build(92, 200);
  ASSERT_GE(Header().height, 2);
  uint8_t* root = Page(Header().root_page);
  ASSERT_GE(node_entry_count(root), 1);
  const uint8_t* e = node_entry(root, 0);
  root[entry_key_offset(e) + entry_key_length(e) - 1] += 1;  // just above the child's first key
  Dirty(root);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("below its separator")) << AllFindings();
}

TEST_F(VerifyTest, BrokenPrevLinkIsReported) {
  Build(92, 200);
  uint8_t* first = Page(Header().first_leaf);
  int32_t second = node_next_page(first);
  Unpin(first);
  ASSERT_NE(second, 0);
  uint8_t* pg = Page(second);
  node_set_prev_page(pg, second);
  Dirty(pg);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("prev_page")) << AllFindings();
}

TEST_F(VerifyTest, LeafChainLoopIsReportedAndEnds) {
  Build(92, 200);
  uint8_t* last = Page(Header().last_leaf);
  node_set_next_page(last, Header().first_leaf);
  Dirty(last);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("right end of level 1")) << AllFindings();
}

TEST_F(VerifyTest, ChildLinkLoopIsReportedAndEnds) {
  Build(92, 200);
  uint8_t* root = Page(Header().root_page);
  ASSERT_GE(node_entry_count(root), 1);
  entry_set_child_page(node_entry(root, 0), Header().root_page);
  Dirty(root);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("reached twice")) << AllFindings();
}

TEST_F(VerifyTest, OrphanPageIsReported) {
  Build(512, 40);
  int32_t page = 0;
  uint8_t* pg = ix_alloc_page(h_->file, &page);
  ASSERT_NE(pg, nullptr);
  node_init_leaf(pg, 512, 0, 0);
  Dirty(pg);
  EXPECT_GT(Verify(), 0);
  char expected[64];
  snprintf(expected, sizeof expected, "page %d: neither in the tree nor on the free list", page);
  EXPECT_TRUE(Mentions(expected)) << AllFindings();
}

TEST_F(VerifyTest, WrongEntryTotalIsReported) {
  Build(512, 40);
  Header().entry_total += 1;
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("entry_total")) << AllFindings();
}

TEST_F(VerifyTest, KeyAreaOverlappingEntriesIsReported) {
  Build(512, 40);
  uint8_t* leaf = Page(Header().first_leaf);
  int n = node_entry_count(leaf);
  node_set_key_area_start(leaf, kNodeHeaderSize + n * kLeafEntrySize - 4);
  Dirty(leaf);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("overlaps entry array")) << AllFindings();
}

TEST_F(VerifyTest, KeyOffsetOutsideThePageIsReported) {
  Build(512, 40);
  uint8_t* leaf = Page(Header().first_leaf);
  entry_set_key_offset(node_entry(leaf, 1), 30000);
  Dirty(leaf);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("outside the key area")) << AllFindings();
}

TEST_F(VerifyTest, UnsharedEqualKeysAreReported) {
  Build(512, 3);
  // Make the key of entry 0 equal to entry 1's while each keeps its own bytes.
  uint8_t* leaf = Page(Header().first_leaf);
  ASSERT_EQ(node_entry_count(leaf), 3);
  leaf[entry_key_offset(node_entry(leaf, 0)) + 5] = '1';
  Dirty(leaf);
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("equal keys but do not share")) << AllFindings();
}

TEST_F(VerifyTest, FreePageInTheTreeIsReported) {
  Build(92, 200);
  Header().free_head = Header().first_leaf;  // prev_page 0: a list of one page
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("in the tree and on the free list")) << AllFindings();
}

TEST_F(VerifyTest, FreeListLoopIsReportedAndEnds) {
  Build(512, 40);
  int32_t page = 0;
  uint8_t* pg = ix_alloc_page(h_->file, &page);
  ASSERT_NE(pg, nullptr);
  memset(pg, 0, 512);
  node_set_prev_page(pg, page);  // the free list points back at itself
  Dirty(pg);
  Header().free_head = page;
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("on the free list twice")) << AllFindings();
}

TEST_F(VerifyTest, DirtyFreePageIsReported) {
  Build(512, 40);
  int32_t page = 0;
  uint8_t* pg = ix_alloc_page(h_->file, &page);
  ASSERT_NE(pg, nullptr);
  memset(pg, 0, 512);
  pg[300] = 1;
  Dirty(pg);
  Header().free_head = page;
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("not zero")) << AllFindings();
}

TEST_F(VerifyTest, HeaderDamageIsReported) {
  Build(512, 40);
  Header().format = 299;
  Header().last_page += 1;  // the file does not hold that page
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("format 299")) << AllFindings();
  EXPECT_TRUE(Mentions("last_page")) << AllFindings();
}

TEST_F(VerifyTest, EmptyTreeWithLeafFieldsIsReported) {
  Build(512, 0);
  Header().first_leaf = 1;
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("empty tree")) << AllFindings();
}

TEST_F(VerifyTest, WrongHeightIsReported) {
  Build(92, 200);
  Header().height += 1;  // leaves now sit one level too high
  EXPECT_GT(Verify(), 0);
  EXPECT_TRUE(Mentions("expected a child page")) << AllFindings();
}

TEST_F(VerifyTest, FindingsStopAtTheLimit) {
  Build(92, 200);
  for (int32_t p = 1; p <= Header().last_page; ++p) {  // every page loses its prev link
    uint8_t* pg = Page(p);
    node_set_prev_page(pg, Header().last_page + 5);
    Dirty(pg);
  }
  EXPECT_EQ(Verify(3), 3);
  EXPECT_EQ(findings_.size(), 3u);
}

// Any change to the 16 header bytes of any tree page is found, and no
// damage of that kind crashes the walk.
TEST_F(VerifyTest, EveryNodeHeaderByteChangeIsReported) {
  Build(92, 150);
  ASSERT_EQ(Verify(), 0) << AllFindings();
  std::mt19937 rng(7);
  const int32_t pages = Header().last_page;
  for (int32_t p = 1; p <= pages; ++p) {
    for (int b = 0; b < kNodeHeaderSize; ++b) {
      uint8_t flip = static_cast<uint8_t>(1 + rng() % 255);
      uint8_t* pg = Page(p);
      pg[b] ^= flip;
      Dirty(pg);
      EXPECT_GT(Verify(), 0) << "page " << p << " byte " << b << " xor " << int(flip);
      pg = Page(p);
      pg[b] ^= flip;
      Dirty(pg);
    }
  }
  EXPECT_EQ(Verify(), 0) << AllFindings();
}

}  // namespace
