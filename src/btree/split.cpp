// Splitting a node that cannot take a new entry even after the pushes: the
// split point balances the byte sizes of the two halves, the tail moves into
// a new right page linked in after the node, and the new entry goes into the
// half it belongs to. The parent learns of the new page through the
// separator fix-up (result 3).
#include <cassert>
#include <cstdlib>

#include "btree/tree_internal.h"

namespace {

int abs_int(int v) { return v < 0 ? -v : v; }

// Links the pinned new page `np` in as the right neighbour of the pinned
// node, between it and its old next_page. 1 / -1.
int link_right_page(const Tree& t, uint8_t* pg, int32_t page, uint8_t* npg, int32_t np) {
  const bool leaf = node_is_leaf(pg);
  int32_t old_next = node_next_page(pg);
  if (leaf) node_init_leaf(npg, t.ps, page, old_next);
  else node_init_internal(npg, t.ps, 0, page, old_next);  // entry_count -1 until entries arrive
  if (old_next != 0) {
    if (ix_set_prev_page(t.f, old_next, np) != 1) return -1;
  } else if (leaf) {
    t.f->header.last_leaf = np;
  }
  node_set_next_page(pg, np);
  return 1;
}

struct SplitView {
  const Tree& t;
  const uint8_t* pg;
  const NewEntry& e;
  int p;
  int n;
  int es;
  bool leaf;

  int run(int i, int j) const { return node_run_size(pg, i, j); }
  int klen(int i) const { return entry_length(pg, i); }
  bool e_eq(int i) const { return tree_key_eq_entry(t, e.key, e.length, pg, i); }
  bool share(int i, int j) const { return node_entries_share(pg, i, j); }
  int right_run(int i) const { return leaf ? run(i, n - 1) : run(i + 1, n - 1); }
};

// First entry to move when e goes into the new right page.
int cut_for_right(const SplitView& v) {
  const int limit = v.t.ps - kNodeHeaderSize;
  int cut = v.p;
  int left = v.run(0, cut - 1);
  int right = v.run(cut, v.n - 1);
  if (v.leaf) right += kLeafEntrySize + ((v.p < v.n && v.e_eq(v.p)) ? 0 : v.e.length);
  while (left > right && cut > 1) {
    int g;
    if (v.leaf) {
      bool free_key = cut == v.p ? v.e_eq(cut - 1) : v.share(cut - 1, cut);
      g = kLeafEntrySize + (free_key ? 0 : v.klen(cut - 1));
    } else if (cut == v.p) {
      g = kInternalEntrySize + ((cut < v.n && v.e_eq(cut)) ? 0 : v.e.length);
    } else if (cut + 1 == v.p) {
      g = kInternalEntrySize + (v.e_eq(cut) ? 0 : v.klen(cut));
    } else {
      g = kInternalEntrySize + (v.share(cut, cut + 1) ? 0 : v.klen(cut));
    }
    if (right + g >= limit || abs_int(left - right - g) >= abs_int(left - right)) break;
    --cut;
    right += g;
    left = v.run(0, cut - 1);
  }
  return cut;
}

// First entry to move when e stays in the node.
int cut_for_left(const SplitView& v) {
  const int limit = v.t.ps - kNodeHeaderSize;
  int cut = v.p;
  int left = v.run(0, v.p - 1) + v.es + ((v.p > 0 && v.e_eq(v.p - 1)) ? 0 : v.e.length);
  int right = v.right_run(cut);
  while (left < right && cut < v.n) {
    bool free_key = cut == v.p ? v.e_eq(cut) : v.share(cut - 1, cut);
    int h = v.es + (free_key ? 0 : v.klen(cut));
    if (left + h >= limit || abs_int(right - left - h) >= abs_int(right - left)) break;
    ++cut;
    left += h;
    right = v.right_run(cut);
  }
  return cut;
}

}  // namespace

int split_node(const Tree& t, uint8_t* pg, int32_t page, const NewEntry& e_in, int p, int32_t parent, int slot) {
  const bool leaf = node_is_leaf(pg);
  // The new page is had before anything changes: without it (disk full, no
  // free frame) the node stays as it was.
  int32_t np;
  uint8_t* npg = ix_alloc_page(t.f, &np);
  if (npg == nullptr) return -1;
  NewEntry e = e_in;
  Separator held;
  if (!leaf && p == -1) {
    // e's child becomes first_child now; what is left to place is the old
    // first_child with its derived separator, at position 0.
    assert(node_entry_count(pg) >= 0);  // a node without children always fits
    int32_t old_first = node_first_child(pg);
    if (tree_derive_separator(t, old_first, &held) != 1) {
      ix_page_unpin(t.f, npg);  // the change's undo returns it to the free list
      return -1;
    }
    node_set_first_child(pg, e_in.child);
    e = NewEntry{held.key, held.length, held.ref, 1, old_first};
    p = 0;
  }

  SplitView v{t, pg, e, p, node_entry_count(pg), node_entry_size(pg), leaf};
  int left = v.run(0, p - 1);
  bool go_right = left > v.right_run(p);
  if (!go_right) {
    int with_e = left + v.es + ((p > 0 && v.e_eq(p - 1)) ? 0 : e.length);
    go_right = with_e >= t.ps - kNodeHeaderSize;
  }
  int cut = go_right ? cut_for_right(v) : cut_for_left(v);

  int r = -1;
  if (link_right_page(t, pg, page, npg, np) == 1) {
    node_move_tail(pg, npg, cut, t.ps);
    ix_page_dirty(t.f, npg);
    // The half that takes e stands at the node's slot for any pushes it makes:
    // the new page is not referenced yet and lies between the node and its
    // right sibling.
    r = insert_into_node(t, e, go_right ? np : page, parent, slot);
  } else {
    ix_page_dirty(t.f, npg);
  }
  separator_release(&held);
  return r == -1 ? -1 : kInsSplit;
}
