// Separator fix-up and root growth. Separators are never copied up from the
// level below: after a split or a push among a node's children, every child
// the parent does not reference gets a separator derived from the first entry
// of its leftmost leaf, inserted into the parent like any entry. Those
// insertions may overflow the parent in turn, which then reports 3, 5 or 6
// to its own parent.
//
// The children needing separators lie between two referenced children on the
// child level: after X (the child left of the reported one) and before the
// next child the parent still references. Walks along that level are bounded
// by last_page and check every back link, so a cycle ends in ix_error 25.
#include "btree/tree_internal.h"

namespace {

// Whether the pinned internal node references `child`.
bool references(const uint8_t* pg, int32_t child) {
  int n = node_entry_count(pg);
  if (n >= 0 && node_first_child(pg) == child) return true;
  for (int i = 0; i < n; ++i)
    if (node_child(pg, i) == child) return true;
  return false;
}

// After an insertion into `*parent` reported 3, 5 or 6: when the separator
// just written for `child` lies beyond the parent's entries (the parent split
// and the entry went right), later separators go to its right neighbour.
int follow_separator(const Tree& t, int32_t* parent, int32_t child, const Separator& s) {
  uint8_t* pp = tree_page(t, *parent, kInternalNode);
  if (pp == nullptr) return -1;
  int pos = 0;
  bool beyond = false;
  if (!references(pp, child)) {
    int r = node_search(t, pp, s.key, s.length, s.ref, &pos);
    beyond = r != 0 && pos >= node_entry_count(pp);
  }
  int32_t next = node_next_page(pp);
  ix_page_unpin(t.f, pp);
  if (beyond && next != 0) *parent = next;
  return 1;
}

// Inserts derived separators for `from` and every page after it on its level
// up to (not including) `stop` into `parent`, following the parent to the
// right when it splits. 1 or the last of 3, 5, 6 met; -1.
int insert_separators(const Tree& t, int32_t parent, int32_t from, int32_t stop, int32_t grandparent,
                      int parent_slot) {
  int result = kInsDone;
  int32_t steps = 0;
  for (int32_t c = from; c != stop;) {
    if (c == 0 || ++steps > t.f->header.last_page) return ix_damaged(kSiteBadLink);
    Separator s;
    if (tree_derive_separator(t, c, &s) != 1) return -1;
    NewEntry e{s.key, s.length, s.ref, 1, c};
    int r = insert_into_node(t, e, parent, grandparent, parent_slot);
    if (r != -1 && ins_needs_fixup(r)) {
      result = r;
      if (follow_separator(t, &parent, c, s) != 1) r = -1;
    }
    separator_release(&s);
    if (r == -1 || tree_next_of(t, c, &c) != 1) return -1;
  }
  return result;
}

}  // namespace

int fix_separators(const Tree& t, int32_t parent, int slot, int32_t grandparent, int parent_slot) {
  uint8_t* pp = tree_page(t, parent, kInternalNode);
  if (pp == nullptr) return -1;
  const int n = node_entry_count(pp);
  // Entries before the reported slot are never removed during an insertion,
  // so X still stands at slot - 1.
  int x_slot = slot <= 0 ? -1 : slot - 1;
  if (n < 0 || x_slot >= n) {
    ix_page_unpin(t.f, pp);
    return ix_damaged(kSiteBadShape);
  }
  int32_t x = node_child(pp, x_slot);
  int q = x_slot + 1;
  int32_t parent_next = node_next_page(pp);
  int32_t c;
  int rc = tree_next_of(t, x, &c);
  if (rc == 1 && q < n && c == node_child(pp, q)) {
    rc = tree_next_of(t, c, &c);
    ++q;
  }
  int32_t stop = q < n ? node_child(pp, q) : 0;
  ix_page_unpin(t.f, pp);
  if (rc != 1) return -1;
  if (q >= n && parent_next != 0) {
    uint8_t* np = tree_neighbour(t, parent, parent_next, +1, kInternalNode, false);
    if (np == nullptr) return -1;
    if (node_entry_count(np) < 0) {
      ix_page_unpin(t.f, np);
      return ix_damaged(kSiteBadShape);
    }
    stop = node_first_child(np);
    ix_page_unpin(t.f, np);
  }
  return insert_separators(t, parent, c, stop, grandparent, parent_slot);
}

int grow_root(const Tree& t) {
  IndexHeader& hd = t.f->header;
  // Each round adds a level over a root level that has right neighbours.
  for (int round = 0;; ++round) {
    if (round > 64) return ix_damaged(kSiteBadShape);
    int32_t old_root = hd.root_page;
    int32_t first_right;
    if (tree_next_of(t, old_root, &first_right) != 1) return -1;
    if (first_right == 0) return 1;  // the level above is complete
    int32_t np;
    uint8_t* pg = ix_alloc_page(t.f, &np);
    if (pg == nullptr) return -1;
    node_init_internal(pg, t.ps, old_root, 0, 0);
    node_set_entry_count(pg, 0);
    ix_page_dirty(t.f, pg);
    ++hd.height;
    hd.root_page = np;
    if (insert_separators(t, np, first_right, 0, 0, 0) == -1) return -1;
  }
}
