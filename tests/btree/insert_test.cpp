// Insertion: the first leaf, duplicate refusals (also across a leaf boundary),
// shared key bytes, pushing into a sibling instead of splitting, root growth,
// derived separators, key length limits, and the counting of failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
#include "btree/tree_test_support.h"
#include "support/temp_dir.h"

namespace {

using namespace tree_test;

// The first entry of the leftmost leaf below `page`.
std::pair<std::string, int32_t> first_below(IndexHandle* h, int32_t page) {
  Node n = read_node(h, page);
  while (!n.leaf) n = read_node(h, n.first_child);
  EXPECT_GT(n.count, 0);
  return n.count > 0 ? std::make_pair(n.keys[0], n.refs[0]) : std::make_pair(std::string(), 0);
}

using InsertTest = TreeTest;

TEST_F(InsertTest, FirstInsertionAllocatesRootLeaf) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "first", 1), 1);
  const IndexHeader& hd = h->file->header;
  EXPECT_EQ(hd.root_page, 1);
  EXPECT_EQ(hd.first_leaf, 1);
  EXPECT_EQ(hd.last_leaf, 1);
  EXPECT_EQ(hd.height, 1);
  EXPECT_EQ(hd.last_page, 1);
  EXPECT_EQ(hd.entry_total, 1);
  Node n = read_node(h, 1);
  EXPECT_TRUE(n.leaf);
  EXPECT_EQ(n.prev, 0);
  EXPECT_EQ(n.next, 0);
  ASSERT_EQ(n.count, 1);
  EXPECT_EQ(n.keys[0], "first");
  EXPECT_EQ(n.offsets[0], 512 - 5);
}

TEST_F(InsertTest, SamePairRefusedWhateverTheFlag) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "k", 1, 0), 1);
  EXPECT_EQ(put(h, "k", 1, 0), -1);
  EXPECT_EQ(ix_error, kIxDuplicatePair);
  EXPECT_EQ(put(h, "K", 1, 1), -1);  // equal under the comparison
  EXPECT_EQ(ix_error, kIxDuplicatePair);
  EXPECT_EQ(read_node(h, 1).count, 1);
}

TEST_F(InsertTest, EqualKeyNeedsTheFlagAndSharesKeyBytes) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "key", 5), 1);
  ASSERT_EQ(put(h, "zz", 1), 1);
  EXPECT_EQ(put(h, "KEY", 9, 0), -1);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  ASSERT_EQ(put(h, "KEY", 9, 1), 1);
  ASSERT_EQ(put(h, "key", 1, 1), 1);  // before the run: shares with entry p
  Node n = read_node(h, 1);
  ASSERT_EQ(n.count, 4);
  EXPECT_EQ(n.refs, (std::vector<int32_t>{1, 5, 9, 1}));
  EXPECT_EQ(n.offsets[0], n.offsets[1]);
  EXPECT_EQ(n.offsets[1], n.offsets[2]);
  EXPECT_EQ(n.key_area_start, 512 - 2 - 3);  // one copy of "key", one of "zz"
  EXPECT_EQ(n.used, 16 + 4 * 8 + 5);
}

TEST_F(InsertTest, DuplicateCheckLooksIntoTheNextLeaf) {
  IndexHandle* h = Create(92);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(put(h, key_of(i), 100 + i), 1);
  ASSERT_EQ(h->file->header.height, 2);
  Node root = read_node(h, h->file->header.root_page);
  Node left = read_node(h, root.first_child);
  Node right = read_node(h, root.children[0]);
  // The separator is the right leaf's first entry; a smaller ref of that key
  // descends into the left leaf, after its last entry.
  ASSERT_EQ(root.keys[0], right.keys[0]);
  ASSERT_EQ(root.refs[0], right.refs[0]);
  ASSERT_LT(left.keys.back(), right.keys[0]);
  EXPECT_EQ(put(h, right.keys[0], 1, 0), -1);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  ASSERT_EQ(put(h, right.keys[0], 1, 1), 1);
  ExpectSound(h);
}

TEST_F(InsertTest, DuplicateCheckLooksIntoThePreviousLeaf) {
  IndexHandle* h = Create(128);
  for (int r = 1; r <= 30; ++r) ASSERT_EQ(put(h, "k", r), 1);
  for (int r = 1; r <= 30; ++r) ASSERT_EQ(put(h, "m", r), 1);
  // The leaf where the run of "k" meets the run of "m".
  int32_t page = h->file->header.first_leaf;
  Node b = read_node(h, page);
  while (b.keys.back() != "m") b = read_node(h, page = b.next);
  ASSERT_EQ(b.keys[0], "k");
  ASSERT_NE(b.prev, 0);
  int first_k_ref = b.refs[0];
  // Its "k" entries go; its separator (k, first_k_ref) stays behind.
  for (int i = 0; i < b.count && b.keys[i] == "k"; ++i)
    ASSERT_EQ(ix_delete(h, bytes("k"), 1, b.refs[i]), 1);
  Node after = read_node(h, page);
  ASSERT_TRUE(after.leaf);
  ASSERT_GT(after.count, 0);
  ASSERT_EQ(after.keys[0], "m") << "the leaf was merged away; the case needs it";
  Node prev = read_node(h, after.prev);
  ASSERT_EQ(prev.keys.back(), "k");
  // (k, 99) is above the separator, so it descends into this leaf at slot 0;
  // the only equal key is the previous leaf's last entry.
  ASSERT_LT(first_k_ref, 99);
  EXPECT_EQ(put(h, "k", 99, 0), -1);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  ASSERT_EQ(put(h, "k", 99, 1), 1);
  ExpectSound(h);
}

TEST_F(InsertTest, FullLeafPushesIntoRightSiblingWithoutGrowing) {
  IndexHandle* h = Create(128);
  int i = 0;
  for (; h->file->header.height < 2; ++i) ASSERT_EQ(put(h, key_of(i), i), 1);
  Node root = read_node(h, h->file->header.root_page);
  ASSERT_EQ(root.count, 1);
  int32_t left = root.first_child, right = root.children[0];
  // Fill the left leaf with keys between its own.
  int n = 0;
  for (; read_node(h, left).used + 16 <= 128; ++n) ASSERT_EQ(put(h, key_of(0) + char('a' + n), 500 + n), 1);
  Node full = read_node(h, left);
  Node before = read_node(h, right);
  ASSERT_LE(before.used + 16, 128) << "the right leaf needs room";
  int32_t last_page = h->file->header.last_page;
  ASSERT_EQ(put(h, key_of(0) + "0", 999), 1);
  EXPECT_EQ(h->file->header.last_page, last_page);
  EXPECT_EQ(h->file->header.height, 2);
  Node after = read_node(h, right);
  EXPECT_GT(after.count, before.count);
  EXPECT_EQ(after.keys[0], full.keys.back());  // the left leaf's last entry moved over
  root = read_node(h, h->file->header.root_page);
  ASSERT_EQ(root.count, 1);
  EXPECT_EQ(root.children[0], right);
  EXPECT_EQ(root.keys[0], after.keys[0]);
  EXPECT_EQ(root.refs[0], after.refs[0]);
  ExpectSound(h);
}

TEST_F(InsertTest, RootLeafSplitsIntoHeightTwo) {
  IndexHandle* h = Create(92);
  int i = 0;
  for (; h->file->header.height < 2; ++i) ASSERT_EQ(put(h, key_of(i), i), 1);
  const IndexHeader& hd = h->file->header;
  EXPECT_EQ(hd.last_page, 3);
  Node root = read_node(h, hd.root_page);
  ASSERT_FALSE(root.leaf);
  ASSERT_EQ(root.count, 1);
  EXPECT_EQ(root.first_child, hd.first_leaf);
  EXPECT_EQ(root.children[0], hd.last_leaf);
  Node left = read_node(h, hd.first_leaf), right = read_node(h, hd.last_leaf);
  EXPECT_EQ(left.next, hd.last_leaf);
  EXPECT_EQ(right.prev, hd.first_leaf);
  EXPECT_EQ(left.count + right.count, i);
  EXPECT_EQ(root.keys[0], right.keys[0]);
  EXPECT_EQ(root.refs[0], right.refs[0]);
}

TEST_F(InsertTest, SeparatorsAreFirstEntriesOfTheirSubtrees) {
  IndexHandle* h = Create(92);
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    int length = 1 + static_cast<int>(rng() % 40);
    std::string key(static_cast<size_t>(length), 'a');
    for (char& c : key) c = "abAB"[rng() % 4];
    int rc = put(h, key, static_cast<int32_t>(rng() % 50));
    ASSERT_TRUE(rc == 1 || ix_error == kIxDuplicatePair) << "ix_error " << ix_error;
  }
  ASSERT_GE(h->file->header.height, 3);
  // With insertions only, every separator is still exactly the first entry
  // of the leftmost leaf below its child.
  std::vector<int32_t> level{h->file->header.root_page};
  int checked = 0;
  while (!read_node(h, level[0]).leaf) {
    std::vector<int32_t> below;
    for (int32_t page : level) {
      Node n = read_node(h, page);
      below.push_back(n.first_child);
      for (int e = 0; e < n.count; ++e) {
        auto first = first_below(h, n.children[e]);
        EXPECT_EQ(n.keys[e], first.first) << "page " << page << " entry " << e;
        EXPECT_EQ(n.refs[e], first.second) << "page " << page << " entry " << e;
        below.push_back(n.children[e]);
        ++checked;
      }
    }
    level = below;
  }
  EXPECT_GT(checked, 20);
  ExpectSound(h);
}

TEST_F(InsertTest, LongestKeysSplitEveryLevel) {
  // 64 bytes is the longest key a 92-byte page takes: one separator per
  // internal node, every split at its limits.
  IndexHandle* h = Create(92);
  std::vector<std::string> keys;
  for (int i = 0; i < 60; ++i) keys.push_back(std::string(60, 'a' + i % 26) + key_of(i).substr(3));
  std::mt19937 rng(3);
  std::shuffle(keys.begin(), keys.end(), rng);
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(put(h, keys[i], static_cast<int32_t>(i)), 1) << i;
  std::sort(keys.begin(), keys.end());
  int32_t ref;
  for (const std::string& k : keys) {
    ASSERT_EQ(ix_next(h, &ref), 1);
    int length = 0;
    ASSERT_EQ(ix_current_key_length(h, &length), 1);
    std::string got(static_cast<size_t>(length), '\0');
    ASSERT_EQ(ix_current_key(h, reinterpret_cast<uint8_t*>(got.data()), length), 1);
    EXPECT_EQ(got, k);
  }
  EXPECT_EQ(ix_next(h, &ref), -3);
  ExpectSound(h);
}

TEST_F(InsertTest, KeyLengthLimits) {
  IndexHandle* small = Create(92);
  const IndexHeader& hd = small->file->header;
  EXPECT_EQ(put(small, std::string(64, 'x'), 1), 1);
  int32_t changes = hd.change_count, total = hd.entry_total;
  ix_error = 0;
  EXPECT_EQ(put(small, std::string(65, 'y'), 2), -1);  // beyond this file's page
  EXPECT_EQ(ix_error, 0);
  EXPECT_EQ(hd.change_count, changes);
  EXPECT_EQ(hd.entry_total, total);
  EXPECT_EQ(put(small, "", 3), 1);  // the empty key is a key
  EXPECT_EQ(ix_close(small), 1);

  IndexHandle* big = ix_create(dir_.file("big.idx").c_str(), nullptr, 512);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(put(big, std::string(ix_max_key_length(), 'x'), 1), 1);
  EXPECT_EQ(put(big, std::string(ix_max_key_length() + 1, 'y'), 1), -1);
  EXPECT_EQ(big->file->header.entry_total, 1);
}

TEST_F(InsertTest, ReadOnlyHandleIsRefused) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "a", 1), 1);
  ASSERT_EQ(ix_close(h), 1);
  IndexHandle* ro = ix_open(dir_.file("t.idx").c_str(), nullptr, 0, 1);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(put(ro, "b", 2), -1);
  EXPECT_EQ(ix_error, kIxReadOnly);
  EXPECT_EQ(ro->file->header.change_count, 1);
}

// A refused insertion is committed (change_count moves) but adds nothing to
// entry_total, which keeps counting the entries really in the tree.
TEST_F(InsertTest, RefusedInsertionIsCommittedButNotCounted) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "a", 1), 1);
  const IndexHeader& hd = h->file->header;
  ASSERT_EQ(hd.entry_total, 1);
  ASSERT_EQ(hd.change_count, 1);
  EXPECT_EQ(put(h, "a", 1), -1);
  EXPECT_EQ(ix_error, kIxDuplicatePair);
  EXPECT_EQ(hd.entry_total, 1);
  EXPECT_EQ(hd.change_count, 2);
  EXPECT_EQ(h->file->seen_change_count, 2);
  EXPECT_EQ(put(h, "A", 2, 0), -1);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  EXPECT_EQ(hd.entry_total, 1);
  EXPECT_EQ(hd.change_count, 3);
  ExpectSound(h);
}

}  // namespace
