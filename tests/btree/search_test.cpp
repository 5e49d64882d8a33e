// Search and cursor: ix_find / ix_seek answers, stepping across leaves in
// both directions, the cursor state table, revalidation after changes made
// through other handles (in this process and in another one), the key copy
// buffer, and damaged pages met by the tree operations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
#include "btree/tree_test_support.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

using namespace tree_test;

std::string current_key(IndexHandle* h) {
  int length = -1;
  if (ix_current_key_length(h, &length) != 1) return "<none>";
  std::string key(static_cast<size_t>(length), '\0');
  if (ix_current_key(h, reinterpret_cast<uint8_t*>(key.data()), length) != 1) return "<none>";
  return key;
}

class SearchTest : public TreeTest {
 protected:
  // Fills a 92-byte-page tree with key0000..key(n-1), ref = index.
  IndexHandle* Filled(int n) {
    IndexHandle* h = Create(92);
    for (int i = 0; i < n; ++i) EXPECT_EQ(put(h, key_of(i), i), 1) << i;
    return h;
  }
};

TEST_F(SearchTest, ThreeEntryExample) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "b", 7), 1);
  ASSERT_EQ(put(h, "b", 9), 1);
  ASSERT_EQ(put(h, "d", 1), 1);
  int32_t ref = 0;
  EXPECT_EQ(find(h, "b", &ref), 2);
  EXPECT_EQ(ref, 7);
  EXPECT_EQ(find(h, "c", &ref), 3);
  EXPECT_EQ(ref, 1);
  EXPECT_EQ(find(h, "e", &ref), -3);
  ref = 8;
  EXPECT_EQ(seek(h, "b", &ref), 3);
  EXPECT_EQ(ref, 9);
  ref = 9;
  EXPECT_EQ(seek(h, "b", &ref), 2);
  EXPECT_EQ(ref, 9);
  ref = 10;
  EXPECT_EQ(seek(h, "d", &ref), -3);
}

TEST_F(SearchTest, EmptyTree) {
  IndexHandle* h = Create(512);
  IndexHandle* g = Open();
  int32_t ref = 0;
  EXPECT_EQ(ix_next(h, &ref), -3);
  EXPECT_EQ(ix_prev(g, &ref), -2);
  EXPECT_EQ(find(h, "x", &ref), -3);
  EXPECT_EQ(ix_last(g, &ref), -2);
  EXPECT_EQ(ix_current(g, &ref), -2);
}

TEST_F(SearchTest, FindLandsOnFirstOfEqualKeysAcrossLeaves) {
  IndexHandle* h = Create(92);
  // Keys fold case: "K" and "k" are one key, and the run spans several leaves.
  for (int r = 1; r <= 30; ++r) ASSERT_EQ(put(h, r % 2 ? "K" : "k", r), 1);
  ASSERT_EQ(put(h, "a", 5), 1);
  ASSERT_GE(h->file->header.height, 2);
  int32_t ref = 0;
  EXPECT_EQ(find(h, "k", &ref), 2);
  EXPECT_EQ(ref, 1);
  for (int r = 2; r <= 30; ++r) {
    ASSERT_EQ(ix_next(h, &ref), 1);
    EXPECT_EQ(ref, r);
  }
  EXPECT_EQ(ix_next(h, &ref), -3);
}

TEST_F(SearchTest, PairBeyondLeafLandsOnNextLeaf) {
  IndexHandle* h = Filled(12);
  ASSERT_GE(h->file->header.height, 2);
  int32_t first = h->file->header.first_leaf;
  uint8_t* pg = pc_get_page(h->file->paged, first);
  ASSERT_NE(pg, nullptr);
  int n = node_entry_count(pg);
  int32_t next = node_next_page(pg);
  pc_unpin_page(h->file->paged, pg);
  ASSERT_NE(next, 0);
  // Just above the first leaf's last key: the answer is the next leaf's
  // first entry, whose key differs.
  int32_t ref = 0;
  EXPECT_EQ(find(h, key_of(n - 1) + "0", &ref), 3);
  EXPECT_EQ(ref, n);
  EXPECT_EQ(h->cursor.leaf, next);
  EXPECT_EQ(h->cursor.slot, 0);
  EXPECT_EQ(current_key(h), key_of(n));
}

TEST_F(SearchTest, ScanBothWaysAndStateTable) {
  const int n = 40;
  IndexHandle* h = Filled(n);
  ASSERT_GE(h->file->header.height, 2);
  int32_t ref = -1;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(ix_next(h, &ref), 1) << i;
    ASSERT_EQ(ref, i);
  }
  EXPECT_EQ(ix_next(h, &ref), -3);
  EXPECT_EQ(ix_next(h, &ref), -3);
  EXPECT_EQ(ix_current(h, &ref), -3);
  for (int i = n - 1; i >= 0; --i) {  // from after the last, ix_prev gives the last
    ASSERT_EQ(ix_prev(h, &ref), 1) << i;
    ASSERT_EQ(ref, i);
    ASSERT_EQ(current_key(h), key_of(i));
  }
  EXPECT_EQ(ix_prev(h, &ref), -2);
  EXPECT_EQ(ix_prev(h, &ref), -2);
  EXPECT_EQ(ix_next(h, &ref), 1);  // before the first, ix_next gives it again
  EXPECT_EQ(ref, 0);
  EXPECT_EQ(ix_last(h, &ref), 1);
  EXPECT_EQ(ref, n - 1);
}

TEST_F(SearchTest, CursorFindsItsEntryAgainAfterSlotsShift) {
  IndexHandle* h = Filled(30);
  IndexHandle* other = Open();
  int32_t ref = 0;
  int target = 20;
  ASSERT_EQ(find(h, key_of(target), &ref), 2);
  if (h->cursor.slot == 0) {
    ++target;
    ASSERT_EQ(ix_next(h, &ref), 1);
  }
  ASSERT_GT(h->cursor.slot, 0);
  // Two entries just before it land in its own leaf: its slot no longer
  // holds it (or the leaf overflowed and it moved), so revalidation searches.
  ASSERT_EQ(put(other, key_of(target - 1) + "a", 100), 1);
  ASSERT_EQ(put(other, key_of(target - 1) + "b", 101), 1);
  ASSERT_EQ(ix_current(h, &ref), 1);
  EXPECT_EQ(ref, target);
  EXPECT_EQ(ix_error, 0);
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ref, target + 1);
  ASSERT_EQ(ix_prev(h, &ref), 1);
  ASSERT_EQ(ix_prev(h, &ref), 1);
  EXPECT_EQ(ref, 101);
}

TEST_F(SearchTest, CursorOnEntryDeletedThroughAnotherHandleMovesOn) {
  IndexHandle* h = Filled(30);
  IndexHandle* other = Open();
  int32_t ref = 0;
  ASSERT_EQ(find(h, key_of(10), &ref), 2);
  ASSERT_EQ(ix_delete(other, bytes(key_of(10)), 7, 10), 1);
  ASSERT_EQ(ix_current(h, &ref), 1);
  EXPECT_EQ(ref, 11);
  EXPECT_EQ(current_key(h), key_of(11));
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ref, 12);
  // On the last entry: it moves to the state after the last.
  ASSERT_EQ(ix_last(h, &ref), 1);
  ASSERT_EQ(ix_delete(other, bytes(key_of(29)), 7, 29), 1);
  EXPECT_EQ(ix_current(h, &ref), -3);
  ASSERT_EQ(ix_prev(h, &ref), 1);
  EXPECT_EQ(ref, 28);
}

TEST_F(SearchTest, CursorBeforeFirstKeepsItsPlaceWhenItsOldEntryGoes) {
  IndexHandle* h = Filled(10);
  int32_t ref = 0;
  ASSERT_EQ(find(h, key_of(5), &ref), 2);
  for (int i = 0; i < 6; ++i) ix_prev(h, &ref);
  ASSERT_EQ(ix_current(h, &ref), -2);
  // Its key copy still names key0000, no longer the first entry. Removing
  // key0000 must not carry the cursor forward: from before the first entry,
  // ix_next gives the first entry.
  ASSERT_EQ(put(h, "a", 100), 1);
  ASSERT_EQ(ix_delete(h, bytes(key_of(0)), 7, 0), 1);
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ref, 100);
}

TEST_F(SearchTest, EntryDeletedByAnotherProcessWarnsAndMovesOn) {
  IndexHandle* first = Filled(30);
  ASSERT_EQ(ix_close(first), 1);
  IndexHandle* h = Open(1);
  ASSERT_NE(h, nullptr) << ix_error;
  int32_t ref = 0;
  ASSERT_EQ(find(h, key_of(10), &ref), 2);
  Child child = fork_child([h](int, int) {
    // The child's copy of the handle; its own cursor repair cannot reach the
    // parent's cursor.
    return ix_delete(h, bytes(key_of(10)), 7, 10) == 1 ? 0 : 10 + ix_error;
  });
  ASSERT_EQ(wait_child(child), 0);
  ix_error = 0;
  ASSERT_EQ(ix_current(h, &ref), 1);
  EXPECT_EQ(ix_error, kIxCursorMoved);
  EXPECT_EQ(ref, 11);
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ref, 12);
  EXPECT_EQ(ix_error, 0);
}

TEST_F(SearchTest, StepAfterVanishedEntryWarnsWithoutStepping) {
  IndexHandle* first = Filled(30);
  ASSERT_EQ(ix_close(first), 1);
  IndexHandle* h = Open(1);
  ASSERT_NE(h, nullptr);
  int32_t ref = 0;
  ASSERT_EQ(find(h, key_of(20), &ref), 2);
  Child child = fork_child([h](int, int) { return ix_delete(h, bytes(key_of(20)), 7, 20) == 1 ? 0 : 1; });
  ASSERT_EQ(wait_child(child), 0);
  ASSERT_EQ(ix_next(h, &ref), 1);
  EXPECT_EQ(ix_error, kIxCursorMoved);
  EXPECT_EQ(ref, 21);  // the entry that followed, not the one after it
}

TEST_F(SearchTest, CurrentKeyCopiesAtMostTheBuffer) {
  IndexHandle* h = Create(512);
  ASSERT_EQ(put(h, "abcdef", 1), 1);
  int32_t ref = 0;
  ASSERT_EQ(find(h, "abcdef", &ref), 2);
  uint8_t buf[8];
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(ix_current_key(h, buf, 3), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), "abc#####");
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(ix_current_key(h, buf, 0), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), "########");
  ASSERT_EQ(ix_current_key(h, buf, 8), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), "abcdef##");
  int length = 0;
  ASSERT_EQ(ix_current_key_length(h, &length), 1);
  EXPECT_EQ(length, 6);
}

TEST_F(SearchTest, KeyBufferGrowsOnlyForLongerKeys) {
  IndexHandle* h = Create(512);
  std::string long_key(100, 'm');
  ASSERT_EQ(put(h, "a", 1), 1);
  ASSERT_EQ(put(h, long_key, 2), 1);
  ASSERT_EQ(put(h, "z", 3), 1);
  ASSERT_EQ(put(h, std::string(150, 'z'), 4), 1);
  int32_t ref = 0;
  ASSERT_EQ(ix_next(h, &ref), 1);
  ASSERT_EQ(ix_next(h, &ref), 1);
  ASSERT_EQ(ref, 2);
  const uint8_t* buffer = h->cursor.key;
  EXPECT_EQ(h->cursor.capacity, 116);
  ASSERT_EQ(ix_next(h, &ref), 1);  // "z": served by the same buffer
  EXPECT_EQ(h->cursor.key, buffer);
  EXPECT_EQ(h->cursor.capacity, 116);
  EXPECT_EQ(current_key(h), "z");
  ASSERT_EQ(ix_prev(h, &ref), 1);
  EXPECT_EQ(h->cursor.key, buffer);
  ASSERT_EQ(ix_last(h, &ref), 1);  // 150 bytes: a new buffer
  EXPECT_EQ(h->cursor.capacity, 166);
  EXPECT_EQ(current_key(h), std::string(150, 'z'));
}

// ---------------------------------------------------------------------------
// Damaged pages: every operation that reaches one ends with ix_error 25.

class DamagedTreeTest : public SearchTest {
 protected:
  // A closed file of 92-byte pages with key0000..key0059, height >= 2.
  void Build() {
    IndexHandle* h = Filled(60);
    header_ = h->file->header;
    ASSERT_GE(header_.height, 2);
    ASSERT_EQ(ix_close(h), 1);
  }
  void Patch16(int32_t page, int offset, int value) { PatchBytes(page, offset, value, 2); }
  void Patch32(int32_t page, int offset, int32_t value) { PatchBytes(page, offset, value, 4); }
  void PatchBytes(int32_t page, int offset, int32_t value, int size) {
    std::string file = read_whole_file(path_);
    size_t at = static_cast<size_t>(page) * 92 + offset;
    ASSERT_LE(at + size, file.size());
    for (int i = 0; i < size; ++i) file[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
    ASSERT_TRUE(write_whole_file(path_, file));
  }
  int32_t Get32(int32_t page, int offset) {
    std::string file = read_whole_file(path_);
    return get_i32(reinterpret_cast<const uint8_t*>(file.data()) + page * 92 + offset);
  }
  // Runs op on a fresh handle and expects the damaged-tree failure.
  template <typename Op>
  void ExpectDamaged(const char* what, Op op) {
    IndexHandle* h = Open();
    ASSERT_NE(h, nullptr);
    ix_error = 0;
    EXPECT_EQ(op(h), -1) << what;
    EXPECT_EQ(ix_error, kIxDamaged) << what;
    EXPECT_EQ(ix_close(h), 1);
  }
  // Scans forward until something other than 1; at most `limit` steps.
  static int ScanAll(IndexHandle* h, int limit = 1000) {
    int32_t ref;
    int rc = 1;
    for (int i = 0; i < limit && rc == 1; ++i) rc = ix_next(h, &ref);
    return rc;
  }
  IndexHeader header_;
};

TEST_F(DamagedTreeTest, EntryCountPastThePage) {
  Build();
  Patch16(header_.first_leaf, kNodeEntryCount, 200);
  ExpectDamaged("find", [](IndexHandle* h) { int32_t r; return find(h, key_of(0), &r); });
  ExpectDamaged("next", [](IndexHandle* h) { return ScanAll(h); });
  ExpectDamaged("insert", [](IndexHandle* h) { return put(h, key_of(0) + "x", 1); });
  ExpectDamaged("delete", [](IndexHandle* h) { return ix_delete(h, bytes(key_of(1)), 7, 1); });
}

TEST_F(DamagedTreeTest, KeyOffsetOutsideThePage) {
  Build();
  Patch16(header_.first_leaf, kNodeHeaderSize + kEntryKeyOffset, 92 + 40);
  ExpectDamaged("find", [](IndexHandle* h) { int32_t r; return find(h, key_of(0), &r); });
  ExpectDamaged("next", [](IndexHandle* h) { return ScanAll(h); });
  ExpectDamaged("insert", [](IndexHandle* h) { return put(h, key_of(0) + "x", 1); });
  ExpectDamaged("delete", [](IndexHandle* h) { return ix_delete(h, bytes(key_of(0)), 7, 0); });
}

TEST_F(DamagedTreeTest, ChildLinkToItself) {
  Build();
  Patch32(header_.root_page, kNodeFirstChild, header_.root_page);
  ExpectDamaged("find", [](IndexHandle* h) { int32_t r; return find(h, key_of(0), &r); });
  ExpectDamaged("insert", [](IndexHandle* h) { return put(h, "a", 1); });
  ExpectDamaged("delete", [](IndexHandle* h) { return ix_delete(h, bytes(key_of(0)), 7, 0); });
}

TEST_F(DamagedTreeTest, ChildBeyondLastPage) {
  Build();
  Patch32(header_.root_page, kNodeHeaderSize + kEntryChildPage, header_.last_page + 5);
  ExpectDamaged("find", [](IndexHandle* h) { int32_t r; return find(h, key_of(59), &r); });
  ExpectDamaged("insert", [](IndexHandle* h) { return put(h, key_of(59) + "x", 1); });
  ExpectDamaged("delete", [](IndexHandle* h) { return ix_delete(h, bytes(key_of(59)), 7, 59); });
}

TEST_F(DamagedTreeTest, CycleInNextPageLinks) {
  Build();
  // The last leaf leads back to the first: a scan would never end.
  Patch32(header_.last_leaf, kNodeNextPage, header_.first_leaf);
  ExpectDamaged("next", [](IndexHandle* h) { return ScanAll(h, 100000); });
  ExpectDamaged("find beyond the last", [](IndexHandle* h) { int32_t r; return find(h, "zzz", &r); });
  // The duplicate check after the last entry looks into the next leaf.
  ExpectDamaged("insert", [](IndexHandle* h) { return put(h, "zzz", 1, 0); });
}

TEST_F(DamagedTreeTest, CycleThroughPrevLinks) {
  Build();
  Patch32(header_.first_leaf, kNodePrevPage, header_.last_leaf);
  ExpectDamaged("prev", [](IndexHandle* h) {
    int32_t r;
    if (find(h, key_of(0), &r) != 2) return 0;
    return ix_prev(h, &r);
  });
  ExpectDamaged("insert before the first", [](IndexHandle* h) { return put(h, "a", 1, 0); });
}

TEST_F(DamagedTreeTest, LeafWhereInternalNodeExpected) {
  Build();
  // The root's first child made to point at a leaf of another subtree is
  // still a leaf; pointing the root at a leaf while height says 2+ is not.
  Patch32(header_.root_page, kNodeFirstChild, -1);
  ExpectDamaged("find", [](IndexHandle* h) { int32_t r; return find(h, key_of(0), &r); });
  ExpectDamaged("delete", [](IndexHandle* h) { return ix_delete(h, bytes(key_of(0)), 7, 0); });
}

// A page is checked once per read from disk: damage that reaches the file
// while a checked copy is cached is found when the page is read again.
TEST_F(DamagedTreeTest, DamageBehindACheckedPageIsFoundAfterEviction) {
  IndexHandle* built = Filled(150);
  header_ = built->file->header;
  ASSERT_EQ(ix_close(built), 1);
  ASSERT_GT(header_.last_page, 20) << "more pages than the pool's 16 frames";
  IndexHandle* h = Open();
  ASSERT_NE(h, nullptr);
  int32_t r;
  ASSERT_EQ(find(h, key_of(0), &r), 2);
  uint8_t* cached = pc_get_page(h->file->paged, header_.first_leaf);
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(pc_frame_of(cached)->checked, 1);
  pc_unpin_page(h->file->paged, cached);

  Patch16(header_.first_leaf, kNodeEntryCount, 200);
  // Finds on the other leaves: their pages (checked) take every frame, the
  // first leaf's included.
  for (int i = 149; i >= 40; --i) ASSERT_EQ(find(h, key_of(i), &r), 2) << i;
  ix_error = 0;
  EXPECT_EQ(find(h, key_of(0), &r), -1);
  EXPECT_EQ(ix_error, kIxDamaged);
  EXPECT_EQ(ix_close(h), 1);
}

}  // namespace
