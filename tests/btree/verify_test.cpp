// Damaged trees: one table of damage made by hand on fresh trees; ix_verify
// reports each (so it is known to be able to fail), and every operation that
// reaches one ends with ix_error 25, never a crash or an endless walk. Any
// node header byte changed is found; findings stop at the limit.
#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "btree/tree_test_support.h"

namespace {

using namespace tree_test;

class VerifyTest : public TreeTest {
 protected:
  int Verify(int max_findings = 50) {
    findings_.clear();
    return ix_verify(h_, collect_finding, &findings_, max_findings);
  }
  IndexHeader& Header() { return h_->file->header; }
  // Page `n` pinned for damage; Release() gives every such page back dirty.
  uint8_t* Edit(int32_t n) {
    uint8_t* p = ix_page_get(h_->file, n);
    EXPECT_NE(p, nullptr) << "page " << n;
    return p != nullptr ? edited_.emplace_back(p) : p;
  }
  // A new page of zeros, its number in page_; with `free`, the free list's head.
  uint8_t* Alloc(bool free = false) {
    uint8_t* p = ix_alloc_page(h_->file, &page_);
    if (free) Header().free_head = page_;
    return p != nullptr ? edited_.emplace_back(static_cast<uint8_t*>(memset(p, 0, Header().page_size))) : p;
  }
  void Release() {
    for (uint8_t* p : edited_) ix_page_dirty(h_->file, p);
    edited_.clear();
  }
  static uint8_t& KeyByte(uint8_t* pg, int i, int at) { return pg[entry_key_offset(node_entry(pg, i)) + at]; }

  IndexHandle* h_ = nullptr;
  std::string findings_;
  std::vector<uint8_t*> edited_;
  int32_t page_ = 0;
};

// Each operation of `ops` on a fresh handle of the damaged file.
int DamagedOp(IndexHandle* h, char op, int count) {
  int32_t r = 0;
  switch (op) {
    case 'f': return find(h, key_of(0), &r);
    case 'F': return find(h, key_of(count - 1), &r);
    case 'z': return find(h, "zzz", &r);
    case 'n': {  // a forward scan, bounded
      int rc = 1;
      for (int i = 0; i < 100000 && rc == 1; ++i) rc = ix_next(h, &r);
      return rc;
    }
    case 'p': return find(h, key_of(0), &r) == 2 ? ix_prev(h, &r) : 0;
    case 'i': return put(h, key_of(0) + "x", 1);
    case 'I': return put(h, key_of(count - 1) + "x", 1);
    case 'a': return put(h, "a", 1, 0);
    case 'Z': return put(h, "zzz", 1, 0);
    case 'd': return del(h, key_of(0), 0);
    case 'D': return del(h, key_of(count - 1), count - 1);
  }
  return 0;
}

TEST_F(VerifyTest, EachKindOfDamageIsReportedAndStopsTheOperations) {
  struct Damage {
    const char* name;
    int page_size, count;
    std::vector<std::string> words;  // {n}: the page the step allocated
    const char* ops;                 // operations that must end with ix_error 25 (DamagedOp)
    std::function<void()> step;
  };
  const Damage table[] = {
      {"flipped key order", 512, 40, {"is not below entry"}, "",
       [&] { KeyByte(Edit(Header().first_leaf), 0, 6) = '9'; }},  // key0000 becomes key0009
      {"separator above its subtree", 92, 200, {"below its separator"}, "", [&] {
         uint8_t* root = Edit(Header().root_page);
         KeyByte(root, 0, entry_key_length(node_entry(root, 0)) - 1) += 1;  // just above the child's first key
       }},
      {"broken prev link", 92, 200, {"prev_page"}, "",
       [&] {
         const int32_t second = node_next_page(Edit(Header().first_leaf));
         node_set_prev_page(Edit(second), second);
       }},
      {"leaf chain loop", 92, 60, {"right end of level 1"}, "nzZ",
       [&] { node_set_next_page(Edit(Header().last_leaf), Header().first_leaf); }},
      {"prev link loop", 92, 60, {}, "pa", [&] { node_set_prev_page(Edit(Header().first_leaf), Header().last_leaf); }},
      {"child link loop", 92, 200, {"reached twice"}, "",
       [&] { entry_set_child_page(node_entry(Edit(Header().root_page), 0), Header().root_page); }},
      {"first child is the root", 92, 60, {}, "fad", [&] { node_set_first_child(Edit(Header().root_page), Header().root_page); }},
      {"child past the last page", 92, 60, {}, "FID",
       [&] { entry_set_child_page(node_entry(Edit(Header().root_page), 0), Header().last_page + 5); }},
      {"first child -1", 92, 60, {}, "fd", [&] { node_set_first_child(Edit(Header().root_page), -1); }},
      {"entry count past the page", 92, 60, {}, "fnid", [&] { node_set_entry_count(Edit(Header().first_leaf), 200); }},
      {"orphan page", 512, 40, {"page {n}: neither in the tree nor on the free list"}, "",
       [&] { node_init_leaf(Alloc(), 512, 0, 0); }},
      {"wrong entry_total", 512, 40, {"entry_total"}, "", [&] { Header().entry_total += 1; }},
      {"key area overlapping entries", 512, 40, {"overlaps entry array"}, "", [&] {
         uint8_t* leaf = Edit(Header().first_leaf);
         node_set_key_area_start(leaf, kNodeHeaderSize + node_entry_count(leaf) * kLeafEntrySize - 4);
       }},
      {"key offset outside the page", 92, 60, {"outside the key area"}, "fnid",
       [&] { entry_set_key_offset(node_entry(Edit(Header().first_leaf), 0), 92 + 40); }},
      {"unshared equal keys", 512, 3, {"equal keys but do not share"}, "",
       [&] { KeyByte(Edit(Header().first_leaf), 0, 6) = '1'; }},  // entry 0's key equal to entry 1's
      {"free page in the tree", 92, 200, {"in the tree and on the free list"}, "",
       [&] { Header().free_head = Header().first_leaf; }},
      {"free list loop", 512, 40, {"on the free list twice"}, "", [&] { node_set_prev_page(Alloc(true), page_); }},
      {"dirty free page", 512, 40, {"not zero"}, "", [&] { Alloc(true)[300] = 1; }},
      {"header damage", 512, 40, {"format 299", "last_page"}, "", [&] {
         Header().format = 299;
         Header().last_page += 1;  // the file does not hold the last page
       }},
      {"empty tree with leaf fields", 512, 0, {"empty tree"}, "", [&] { Header().first_leaf = 1; }},
      {"wrong height", 92, 200, {"expected a child page"}, "", [&] { Header().height += 1; }},
  };
  for (const Damage& d : table) {
    SCOPED_TRACE(d.name);
    Restart(16, 4096);
    h_ = Filled(d.page_size, d.count, d.name);
    ASSERT_TRUE(h_ != nullptr && (d.count < 60 || Header().height >= 2));
    d.step();
    Release();
    ASSERT_FALSE(HasFatalFailure());
    expect_findings(Verify(), findings_, {1, d.words}, page_);
    if (*d.ops == '\0') continue;
    ASSERT_EQ(ix_close(h_), 1);
    for (const char* op = d.ops; *op != '\0'; ++op) {
      IndexHandle* h = Open();
      ASSERT_NE(h, nullptr);
      ix_error = 0;
      EXPECT_EQ(DamagedOp(h, *op, d.count), -1) << "operation " << *op;
      EXPECT_EQ(ix_error, kIxDamaged) << "operation " << *op;
      EXPECT_EQ(ix_close(h), 1);
    }
  }
}

// Any change to the 16 header bytes of any tree page is found, and no damage
// of that kind crashes the walk; findings stop at the limit.
TEST_F(VerifyTest, EveryNodeHeaderByteChangeIsReported) {
  h_ = Filled(92, 150);
  ASSERT_EQ(Verify(), 0) << findings_;
  std::mt19937 rng(7);
  for (int32_t p = 1; p <= Header().last_page; ++p) {
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
  for (int32_t p = 1; p <= Header().last_page; ++p, Release()) node_set_prev_page(Edit(p), 7777);
  EXPECT_EQ(Verify(3), 3);
  EXPECT_EQ(std::count(findings_.begin(), findings_.end(), '\n'), 3);
}

}  // namespace
