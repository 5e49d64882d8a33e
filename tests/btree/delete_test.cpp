// Deletion and replacement: freeing the last leaf and reusing it, the merge
// threshold, merges only under one parent, no right merge after a refused
// left one, shared key bytes, emptying a deep tree, and ix_replace's in-place
// and delete-and-insert paths with their refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
#include "btree/tree_test_support.h"
#include "support/temp_dir.h"

namespace {

using namespace tree_test;

// 20-byte keys: a leaf entry takes 28 bytes.
std::string wide_key(int i) {
  char buf[16];
  snprintf(buf, sizeof buf, "e%02d", i);
  return std::string(buf) + std::string(17, '.');
}


class DeleteTest : public TreeTest {
 protected:
  // Run of entries and keys of a leaf: its used size less the node header.
  int Run(IndexHandle* h, int32_t page) { return read_node(h, page).used - kNodeHeaderSize; }
};

TEST_F(DeleteTest, DeletingTheOnlyEntryFreesTheLeafForReuse) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "only", 1), 1);
  ASSERT_EQ(del(h, "only", 1), 1);
  const IndexHeader& hd = h->file->header;
  EXPECT_EQ(hd.root_page, 0);
  EXPECT_EQ(hd.first_leaf, 0);
  EXPECT_EQ(hd.last_leaf, 0);
  EXPECT_EQ(hd.height, 0);
  EXPECT_EQ(hd.free_head, 1);
  EXPECT_EQ(hd.entry_total, 0);
  EXPECT_EQ(read_node(h, 1).first_child, 0);
  int32_t ref;
  EXPECT_EQ(ix_next(h, &ref), -3);
  ASSERT_EQ(put(h, "again", 2), 1);
  EXPECT_EQ(hd.root_page, 1);
  EXPECT_EQ(hd.free_head, 0);
  EXPECT_EQ(hd.last_page, 1);
  ExpectSound(h);
}

// Refused deletions are committed (change_count moves) but leave entry_total
// counting the entries really in the tree.
TEST_F(DeleteTest, RefusalsAreCommittedButNotCounted) {
  IndexHandle* h = Create(512);
  EXPECT_EQ(del(h, "a", 1), -1);
  EXPECT_EQ(ix_error, kIxEmptyTree);
  EXPECT_EQ(h->file->header.entry_total, 0);
  EXPECT_EQ(h->file->header.change_count, 1);
  ASSERT_EQ(put(h, "a", 1), 1);
  EXPECT_EQ(del(h, "a", 2), -1);
  EXPECT_EQ(ix_error, kIxNotFound);
  EXPECT_EQ(del(h, "b", 1), -1);
  EXPECT_EQ(ix_error, kIxNotFound);
  EXPECT_EQ(h->file->header.entry_total, 1);
  EXPECT_EQ(h->file->header.change_count, 4);
  ExpectSound(h);
}

TEST_F(DeleteTest, SharedKeyBytesGoWithTheLastOfTheRun) {
  IndexHandle* h = Create(512);
  for (int r = 1; r <= 3; ++r) ASSERT_EQ(put(h, "dup", r), 1);
  ASSERT_EQ(put(h, "zz", 1), 1);
  ASSERT_EQ(read_node(h, 1).key_area_start, 512 - 5);
  ASSERT_EQ(del(h, "dup", 2), 1);
  EXPECT_EQ(read_node(h, 1).key_area_start, 512 - 5);
  ASSERT_EQ(del(h, "dup", 1), 1);
  EXPECT_EQ(read_node(h, 1).key_area_start, 512 - 5);
  ASSERT_EQ(del(h, "dup", 3), 1);
  Node n = read_node(h, 1);
  EXPECT_EQ(n.key_area_start, 512 - 2);
  EXPECT_EQ(n.keys, (std::vector<std::string>{"zz"}));
  ExpectSound(h);
}

TEST_F(DeleteTest, MergeIntoLeftSiblingBelowTheThreshold) {
  // 512-byte pages: T = 372. Two leaves L and R under the root merge when
  // their entries and keys plus one node header come to less than 372.
  IndexHandle* h = Create(512);
  ASSERT_EQ((3 * 512 - 48) / 4, 372);
  for (int i = 0; i < 24; ++i) ASSERT_EQ(put(h, wide_key(i), i), 1);
  const IndexHeader& hd = h->file->header;
  ASSERT_EQ(hd.height, 2);
  Node root = read_node(h, hd.root_page);
  ASSERT_EQ(root.count, 1);
  const int32_t left = root.first_child, right = root.children[0], old_root = hd.root_page;
  auto both = [&] { return Run(h, left) + Run(h, right); };
  // Shrink R while the pair stays at 356 or more: no merge.
  int next_gone = 23;
  while (both() - 28 >= 356 && read_node(h, right).count > 3) {
    ASSERT_EQ(del(h, wide_key(next_gone), next_gone), 1);
    --next_gone;
    ASSERT_EQ(hd.height, 2);
  }
  // A tuning entry brings the pair to exactly 356 after one more deletion.
  int tune = 376 - both();
  ASSERT_GE(tune, 3);
  ASSERT_EQ(put(h, "e99" + std::string(tune - 3, '.'), 99), 1);
  ASSERT_EQ(del(h, wide_key(next_gone), next_gone), 1);
  --next_gone;
  ASSERT_EQ(both(), 356);
  EXPECT_EQ(hd.height, 2) << "16 + 356 = 372 is not below the threshold";
  EXPECT_EQ(read_node(h, left).next, right);
  ASSERT_EQ(del(h, wide_key(next_gone), next_gone), 1);
  EXPECT_EQ(hd.height, 1);
  EXPECT_EQ(hd.root_page, left);
  EXPECT_EQ(hd.first_leaf, left);
  EXPECT_EQ(hd.last_leaf, left);
  Node merged = read_node(h, left);
  EXPECT_EQ(merged.next, 0);
  EXPECT_EQ(read_node(h, right).first_child, 0);  // freed
  // The free list holds the old root and R.
  std::set<int32_t> free_pages;
  for (int32_t p = hd.free_head; p != 0 && free_pages.size() < 10; p = read_node(h, p).prev) free_pages.insert(p);
  EXPECT_EQ(free_pages, (std::set<int32_t>{right, old_root}));
  ExpectSound(h);
}

TEST_F(DeleteTest, NoMergeAcrossParents) {
  IndexHandle* h = Create(92);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(put(h, key_of(i), i), 1);
  const IndexHeader& hd = h->file->header;
  ASSERT_GE(hd.height, 3);
  // F: the first leaf under the root's second child; its left neighbour on
  // the leaf level hangs under another parent.
  Node top = read_node(h, hd.root_page);
  int32_t page = top.children[0];
  Node n = read_node(h, page);
  while (!n.leaf) n = read_node(h, page = n.first_child);
  const int32_t f = page, neighbour = n.prev;
  ASSERT_NE(neighbour, 0);
  // Both shrink to one entry each: together they would fit below T.
  Node nb = read_node(h, neighbour);
  for (int i = 1; i < nb.count; ++i) ASSERT_EQ(del(h, nb.keys[i], nb.refs[i]), 1);
  ASSERT_EQ(read_node(h, neighbour).count, 1);
  Node fl = read_node(h, f);
  for (int i = 1; i < fl.count; ++i) ASSERT_EQ(del(h, fl.keys[i], fl.refs[i]), 1);
  Node after = read_node(h, f);
  ASSERT_TRUE(after.leaf);
  EXPECT_EQ(after.prev, neighbour);
  EXPECT_EQ(read_node(h, neighbour).count, 1);
  // The pair would have fitted together below T: only the parents kept them apart.
  EXPECT_LT(Run(h, f) + Run(h, neighbour) + kNodeHeaderSize, (3 * 92 - 48) / 4);
  ExpectSound(h);
}

TEST_F(DeleteTest, UnmergedWithLeftSiblingLeavesTheRightSiblingAlone) {
  IndexHandle* h = Create(512);
  for (int i = 0; i < 70; ++i) ASSERT_EQ(put(h, wide_key(i), i), 1);
  const IndexHeader& hd = h->file->header;
  ASSERT_EQ(hd.height, 2);
  Node root = read_node(h, hd.root_page);
  ASSERT_GE(root.count, 2);
  const int32_t d = root.first_child, c = root.children[0], r = root.children[1];
  Node dl = read_node(h, d), cl = read_node(h, c), rl = read_node(h, r);
  ASSERT_GE(dl.count, 9);
  ASSERT_GE(cl.count, 12);
  // R down to one entry: C is large enough that R never fits into it.
  for (int i = 1; i < rl.count; ++i) ASSERT_EQ(del(h, rl.keys[i], rl.refs[i]), 1);
  // D down to nine entries (252 bytes): C never fits into it.
  for (int i = 9; i < dl.count; ++i) ASSERT_EQ(del(h, dl.keys[i], dl.refs[i]), 1);
  for (int i = 12; i < cl.count; ++i) ASSERT_EQ(del(h, cl.keys[i], cl.refs[i]), 1);
  ASSERT_EQ(Run(h, d), 9 * 28);
  ASSERT_EQ(Run(h, c), 12 * 28);
  ASSERT_EQ(Run(h, r), 28);
  // C drops below T and stays unmerged with D; R would fit into D
  // (252 + 28 + 16 < 372) but is not tried.
  ASSERT_EQ(del(h, cl.keys[11], cl.refs[11]), 1);
  EXPECT_TRUE(read_node(h, r).leaf);
  EXPECT_EQ(read_node(h, d).next, c);
  EXPECT_EQ(read_node(h, c).next, r);
  EXPECT_EQ(read_node(h, hd.root_page).count, root.count);
  ExpectSound(h);
}

TEST_F(DeleteTest, EmptyingADeepTreeFreesEveryPage) {
  IndexHandle* h = Create(92);
  std::vector<int> order(300);
  for (int i = 0; i < 300; ++i) order[i] = i;
  std::mt19937 rng(11);
  std::shuffle(order.begin(), order.end(), rng);
  for (int i : order) ASSERT_EQ(put(h, key_of(i) + std::string(i % 23, 'x'), i), 1);
  const IndexHeader& hd = h->file->header;
  ASSERT_GE(hd.height, 3);
  std::shuffle(order.begin(), order.end(), rng);
  int done = 0;
  for (int i : order) {
    ASSERT_EQ(del(h, key_of(i) + std::string(i % 23, 'x'), i), 1) << "ix_error " << ix_error;
    if (++done % 50 == 0) ExpectSound(h);
  }
  EXPECT_EQ(hd.root_page, 0);
  EXPECT_EQ(hd.height, 0);
  EXPECT_EQ(hd.first_leaf, 0);
  EXPECT_EQ(hd.last_leaf, 0);
  ExpectSound(h);  // every page is on the free list
  int32_t pages = hd.last_page;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(put(h, key_of(i) + std::string(i % 23, 'x'), i), 1);
  EXPECT_LE(hd.last_page, pages + 2);
  ExpectSound(h);
}

// ---------------------------------------------------------------------------

class ReplaceTest : public DeleteTest {
 protected:
  IndexHandle* Filled(int n) {
    IndexHandle* h = Create(92);
    for (int i = 0; i < n; ++i) EXPECT_EQ(put(h, key_of(i), i), 1);
    return h;
  }
  std::vector<std::string> Pages(IndexHandle* h) {
    EXPECT_EQ(ix_flush(h), 1);
    std::string file = read_whole_file(path_);
    std::vector<std::string> pages;
    for (size_t at = 0; at < file.size(); at += 92) pages.push_back(file.substr(at, 92));
    return pages;
  }
};

TEST_F(ReplaceTest, EqualPairsChangeNoPageAndMoveCursorsOn) {
  IndexHandle* h = Filled(40);
  IndexHandle* other = ix_open(path_.c_str(), nullptr, 0, 0);
  ASSERT_NE(other, nullptr);
  std::vector<std::string> before = Pages(h);
  int32_t changes = h->file->header.change_count;
  int32_t ref;
  ASSERT_EQ(ix_find(other, bytes(key_of(10)), 7, &ref), 2);
  ASSERT_EQ(replace(h, key_of(10), 10, "KEY0010", 10), 1);  // equal under the comparison
  EXPECT_EQ(Pages(h), before);
  EXPECT_EQ(h->file->header.change_count, changes);
  ASSERT_EQ(ix_current(other, &ref), 1);
  EXPECT_EQ(ref, 11);
  ASSERT_EQ(ix_find(h, bytes(key_of(10)), 7, &ref), 2);
  EXPECT_EQ(ref, 10);
}

TEST_F(ReplaceTest, NewRefInALeafWithRoomRewritesThatLeafOnly) {
  IndexHandle* h = Filled(40);
  ASSERT_GE(h->file->header.height, 2);
  // A leaf in the middle, given room by one deletion (it stays above T).
  int32_t leaf = read_node(h, h->file->header.first_leaf).next;
  Node n = read_node(h, leaf);
  ASSERT_GE(n.count, 4);
  ASSERT_EQ(del(h, n.keys[1], n.refs[1]), 1);
  n = read_node(h, leaf);
  ASSERT_TRUE(n.leaf);
  ASSERT_LE(n.used + 15, 92);
  std::string key = n.keys[0];
  int32_t ref = n.refs[0];
  std::vector<std::string> before = Pages(h);
  int32_t total = h->file->header.entry_total;
  ASSERT_EQ(replace(h, key, ref, key, ref + 1000, 0), 1);
  std::vector<std::string> after = Pages(h);
  ASSERT_EQ(after.size(), before.size());
  std::vector<size_t> changed;
  for (size_t p = 0; p < after.size(); ++p)
    if (after[p] != before[p]) changed.push_back(p);
  EXPECT_EQ(changed, (std::vector<size_t>{0, static_cast<size_t>(leaf)}));  // the header and the leaf
  EXPECT_EQ(h->file->header.entry_total, total);
  int32_t got;
  ASSERT_EQ(ix_find(h, bytes(key), static_cast<int>(key.size()), &got), 2);
  EXPECT_EQ(got, ref + 1000);
  ExpectSound(h);
}

TEST_F(ReplaceTest, CursorOnReplacedEntryMovesToTheFollowingOne) {
  IndexHandle* h = Filled(40);
  IndexHandle* other = ix_open(path_.c_str(), nullptr, 0, 0);
  int32_t ref;
  ASSERT_EQ(ix_find(other, bytes(key_of(20)), 7, &ref), 2);
  ASSERT_EQ(replace(h, key_of(20), 20, key_of(20) + "a", 20), 1);
  ASSERT_EQ(ix_current(other, &ref), 1);
  EXPECT_EQ(ref, 21);
  ASSERT_EQ(ix_prev(other, &ref), 1);
  EXPECT_EQ(ref, 20);
  int length = 0;
  ASSERT_EQ(ix_current_key_length(other, &length), 1);
  EXPECT_EQ(length, 8);
}

TEST_F(ReplaceTest, NewPairInAnotherLeafMovesTheEntry) {
  IndexHandle* h = Filled(40);
  const IndexHeader& hd = h->file->header;
  int32_t total = hd.entry_total, changes = hd.change_count;
  ASSERT_EQ(replace(h, key_of(1), 1, "zzz", 77, 0), 1);
  int32_t ref;
  EXPECT_EQ(ix_find(h, bytes(key_of(1)), 7, &ref), 3);
  EXPECT_EQ(ref, 2);
  EXPECT_EQ(ix_find(h, bytes("zzz"), 3, &ref), 2);
  EXPECT_EQ(ref, 77);
  EXPECT_EQ(hd.entry_total, total);
  EXPECT_EQ(hd.change_count, changes + 3);  // the deletion, the insertion, the replace
  ExpectSound(h);
}

TEST_F(ReplaceTest, Refusals) {
  IndexHandle* h = Create(512);
  EXPECT_EQ(replace(h, "a", 1, "b", 1), -1);
  EXPECT_EQ(ix_error, kIxEmptyTree);
  ASSERT_EQ(put(h, "a", 1), 1);
  ASSERT_EQ(put(h, "b", 1), 1);
  ASSERT_EQ(put(h, "b", 2), 1);
  EXPECT_EQ(replace(h, "a", 1, "B", 2), -1);
  EXPECT_EQ(ix_error, kIxDuplicatePair);
  EXPECT_EQ(replace(h, "a", 1, "b", 3, 0), -1);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  EXPECT_EQ(replace(h, "c", 1, "d", 1), -1);
  EXPECT_EQ(ix_error, kIxNotFound);
  int32_t changes = h->file->header.change_count;
  // Keeping the key is no new duplicate, with or without the flag.
  EXPECT_EQ(replace(h, "b", 2, "b", 5, 0), 1);
  EXPECT_EQ(h->file->header.change_count, changes + 1);
  EXPECT_EQ(replace(h, std::string(600, 'x'), 1, std::string(600, 'y'), 1), -1);
  int32_t ref;
  EXPECT_EQ(ix_find(h, bytes("a"), 1, &ref), 2);
  EXPECT_EQ(ix_find(h, bytes("b"), 1, &ref), 2);
  EXPECT_EQ(ref, 1);
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ref, 5);
  ExpectSound(h);
}

}  // namespace
