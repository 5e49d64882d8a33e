// Overflow handling of a node-level insertion: before a node splits, entries
// are pushed into the right and then into the left sibling under the same
// parent. Whatever moved, the parent loses the separator of the sibling whose
// first entry changed (the right one) or of the node itself (after a push
// left); the level above re-derives them in its separator fix-up.
//
// "Under the same parent" is judged by the node's slot in its parent: a right
// sibling exists when slot < the parent's entry_count - 1, a left one when
// slot >= 0. The slot can only be too high (entries before it may have been
// removed during this insertion, none inserted), so a sibling it admits is
// always under the same parent. The sibling itself is reached through the
// level links, which must link back.
#include "btree/tree_internal.h"

namespace {

struct PushState {
  bool moved = false;   // entries left the node
  bool placed = false;  // the new entry went in (into the node or the sibling)
};

// Removes the parent's separator of `child`, a child whose first entry
// changed. `slot` is where it stood when the descent passed; a push earlier in
// this insertion may have removed an entry before it, so the entry is matched
// by its child page, not by the slot alone. A child without a separator here
// (a page a split just made, or one whose separator went already) loses
// nothing: the fix-up above derives separators for every such page.
int drop_parent_separator(const Tree& t, int32_t parent, int32_t child, int slot) {
  uint8_t* pp = tree_page(t, parent, kInternalNode);
  if (pp == nullptr) return -1;
  const int n = node_entry_count(pp);
  int at = slot >= 0 && slot < n && node_child(pp, slot) == child ? slot : -1;
  for (int i = 0; i < n && at < 0; ++i)
    if (node_child(pp, i) == child) at = i;
  if (at >= 0) {
    node_remove(pp, at);
    ix_page_dirty(t.f, pp);
  } else {
    ix_page_unpin(t.f, pp);
  }
  return 1;
}

// Inserts e at p of the pinned page when it fits. 1 placed, 0 not, -1.
int place_if_fits(const Tree& t, uint8_t* pg, const NewEntry& e, int p) {
  int fits = node_fits(t, pg, e, p);
  if (fits != 1) return fits;
  return node_insert_plain(t, pg, e, p) == 1 ? 1 : -1;
}

// Moves the node's entries from its end down to p to the front of the right
// sibling, one at a time, until e fits into the node.
int push_right(const Tree& t, uint8_t* pg, int32_t page, const NewEntry& e, int p, int32_t parent, int slot,
               PushState* st) {
  const bool leaf = node_is_leaf(pg);
  int32_t sib = node_next_page(pg);
  if (sib == 0) return ix_damaged(kSiteBadLink);
  uint8_t* sp = tree_neighbour(t, page, sib, +1, leaf ? kLeafNode : kInternalNode, false);
  if (sp == nullptr) return -1;
  // At the front of an internal sibling a moved entry's child becomes its
  // first_child (position -1).
  const int front = leaf ? 0 : -1;
  const int lowest = p < 0 ? 0 : p;
  int rc = 1;
  for (int j = node_entry_count(pg) - 1; j >= lowest && rc == 1; --j) {
    NewEntry m = entry_from_node(pg, j);
    int fits = node_fits(t, sp, m, front);
    if (fits != 1) {
      rc = fits < 0 ? -1 : 1;
      break;
    }
    if (node_insert_plain(t, sp, m, front) != 1) {
      rc = -1;
      break;
    }
    node_remove(pg, j);
    st->moved = true;
    int placed = place_if_fits(t, pg, e, p);
    if (placed < 0) rc = -1;
    if (placed == 1) st->placed = true;
    if (placed != 0) break;
  }
  // Everything from p on moved and e still waits: it may lead the sibling.
  // With p = -1 in an internal node the node's first_child lies right of e
  // and never moves, so e cannot go right of it.
  if (rc == 1 && !st->placed && node_entry_count(pg) <= lowest && !(!leaf && p == -1)) {
    int placed = place_if_fits(t, sp, e, front);
    if (placed < 0) rc = -1;
    if (placed == 1) st->placed = true;
  }
  bool changed = st->moved || st->placed;
  if (changed) ix_page_dirty(t.f, sp);
  else ix_page_unpin(t.f, sp);
  if (rc == 1 && changed) rc = drop_parent_separator(t, parent, sib, slot + 1);
  return rc;
}

// Moves the node's leading items to the end of the left sibling until e fits.
// In a leaf the item is entry 0; in an internal node it is first_child with
// its derived separator, after which entry 0's child becomes first_child.
// *p follows e's position down (to -1 in an internal node).
int push_left(const Tree& t, uint8_t* pg, int32_t page, const NewEntry& e, int* p, int32_t parent, int slot,
              PushState* st) {
  const bool leaf = node_is_leaf(pg);
  int32_t sib = node_prev_page(pg);
  if (sib == 0) return ix_damaged(kSiteBadLink);
  uint8_t* sp = tree_neighbour(t, page, sib, -1, leaf ? kLeafNode : kInternalNode, false);
  if (sp == nullptr) return -1;
  if (!leaf && node_entry_count(sp) < 0) {
    ix_page_unpin(t.f, sp);
    return ix_damaged(kSiteBadShape);
  }
  const int stop = leaf ? 0 : -1;  // e's position once everything before it moved
  int rc = 1;
  while (*p > stop && rc == 1) {
    int fits;
    if (leaf) {
      NewEntry m = entry_from_node(pg, 0);
      fits = node_fits(t, sp, m, node_entry_count(sp));
      if (fits == 1 && node_insert_plain(t, sp, m, node_entry_count(sp)) != 1) fits = -1;
      if (fits == 1) node_remove(pg, 0);
    } else {
      Separator s;
      if (tree_derive_separator(t, node_first_child(pg), &s) != 1) {
        rc = -1;
        break;
      }
      NewEntry m{s.key, s.length, s.ref, 1, node_first_child(pg)};
      fits = node_fits(t, sp, m, node_entry_count(sp));
      if (fits == 1 && node_insert_plain(t, sp, m, node_entry_count(sp)) != 1) fits = -1;
      if (fits == 1) node_remove(pg, -1);
      separator_release(&s);
    }
    if (fits != 1) {
      rc = fits < 0 ? -1 : 1;
      break;
    }
    st->moved = true;
    --*p;
    int placed = place_if_fits(t, pg, e, *p);
    if (placed < 0) rc = -1;
    if (placed == 1) st->placed = true;
    if (placed != 0) break;
  }
  if (rc == 1 && !st->placed && *p == stop) {
    int placed = place_if_fits(t, sp, e, node_entry_count(sp));
    if (placed < 0) rc = -1;
    if (placed == 1) st->placed = true;
  }
  bool changed = st->moved || st->placed;
  if (changed) ix_page_dirty(t.f, sp);
  else ix_page_unpin(t.f, sp);
  if (rc == 1 && changed) rc = drop_parent_separator(t, parent, page, slot);
  return rc;
}

}  // namespace

int insert_overflow(const Tree& t, uint8_t* pg, int32_t page, const NewEntry& e, int p, int32_t parent, int slot) {
  PushState right, left;
  if (parent != 0) {
    uint8_t* pp = tree_page(t, parent, kInternalNode);
    if (pp == nullptr) return -1;
    int parent_count = node_entry_count(pp);
    ix_page_unpin(t.f, pp);
    if (slot < parent_count - 1) {
      if (push_right(t, pg, page, e, p, parent, slot, &right) != 1) return -1;
      if (right.placed) return kInsPlaced;
    }
    if (slot >= 0) {
      if (push_left(t, pg, page, e, &p, parent, slot, &left) != 1) return -1;
      if (left.placed) return kInsPlaced;
    }
  }
  int r = node_locate(t, pg, e, &p);
  if (r == -2) return -1;
  if (r == 0) return tree_fail(kIxDuplicatePair, kSiteKeyState);
  int fits = node_fits(t, pg, e, p);
  if (fits < 0) return -1;
  if (fits) {
    if (node_insert_plain(t, pg, e, p) != 1) return -1;
    return right.moved || left.moved ? kInsMoved : kInsDone;
  }
  return split_node(t, pg, page, e, p, parent, slot);
}
