// Deletion: ix_delete, the descent, deletion from a leaf, merging an underfull
// node with a sibling under the same parent, dropping the parent's references
// to freed children, and collapsing a root left with one child.
//
// There is no borrowing: a leaf is freed when its last entry goes, and a node
// below the merge threshold T = (3 * page_size - 48) / 4 is merged into its
// left sibling when the two fit together below T. A freed page is recognised
// by its first_child reading 0.
#include "btree/btree.h"
#include "btree/tree_internal.h"

namespace {

// Merges page R into its left neighbour D when they fit together below T
// (or regardless of size when both are internal nodes without entries).
// 1 merged, 0 not, -1 failure.
int try_merge(const Tree& t, int32_t d_page, int32_t r_page) {
  uint8_t* dp = tree_page(t, d_page, kAnyNode);
  if (dp == nullptr) return -1;
  const bool leaf = node_is_leaf(dp);
  uint8_t* rp = tree_neighbour(t, d_page, r_page, +1, leaf ? kLeafNode : kInternalNode, false);
  if (rp == nullptr) {
    ix_page_unpin(t.f, dp);
    return -1;
  }
  const int dn = node_entry_count(dp), rn = node_entry_count(rp);
  auto give_back = [&](int rc) {
    ix_page_unpin(t.f, rp);
    ix_page_unpin(t.f, dp);
    return rc;
  };
  if (node_next_page(dp) != r_page || (!leaf && (dn < 0 || rn < 0))) return give_back(ix_damaged(kSiteBadLink));

  // F: the separator R's first_child takes on inside D.
  Separator f;
  if (!leaf && tree_derive_separator(t, node_first_child(rp), &f) != 1) return give_back(-1);
  if (leaf || dn > 0 || rn > 0) {
    int combined = node_run_size(dp, 0, dn - 1) + node_run_size(rp, 0, rn - 1) + kNodeHeaderSize;
    if (leaf) {
      if (dn > 0 && rn > 0 && tree_key_eq_entry(t, entry_key(dp, dn - 1), entry_length(dp, dn - 1), rp, 0))
        combined -= entry_length(rp, 0);
    } else {
      bool d_eq = dn > 0 && tree_key_eq_entry(t, f.key, f.length, dp, dn - 1);
      bool r_eq = rn > 0 && tree_key_eq_entry(t, f.key, f.length, rp, 0);
      combined += kInternalEntrySize + (d_eq && r_eq ? -f.length : (!d_eq && !r_eq ? f.length : 0));
    }
    if (combined >= tree_merge_threshold(t.ps)) {
      separator_release(&f);
      return give_back(0);
    }
  }
  if (!leaf) node_put(t, dp, f.key, f.length, f.ref, node_first_child(rp), dn);
  separator_release(&f);
  for (int i = 0; i < rn; ++i) {
    NewEntry m = entry_from_node(rp, i);
    node_put(t, dp, m.key, m.length, m.ref, m.child, node_entry_count(dp));
  }
  int rc = ix_free_page(t.f, r_page, rp);
  ix_page_dirty(t.f, rp);
  ix_page_dirty(t.f, dp);
  return rc == 1 ? 1 : -1;
}

// Offers the child at `slot` of `parent` for merging: into its left sibling,
// and then its right sibling into what remains on the left. 1, 4 or -1.
int rebalance(const Tree& t, int32_t parent, int slot) {
  if (parent == 0) return kDelDone;
  uint8_t* pp = tree_page(t, parent, kInternalNode);
  if (pp == nullptr) return -1;
  const int n = node_entry_count(pp);
  if (slot >= n) {  // the parent no longer has this child
    ix_page_unpin(t.f, pp);
    return ix_damaged(kSiteBadShape);
  }
  int32_t child = node_child(pp, slot);
  int32_t left = slot == -1 ? child : node_child(pp, slot - 1);
  int32_t right = slot < n - 1 ? node_child(pp, slot + 1) : 0;
  ix_page_unpin(t.f, pp);

  bool merged = false;
  if (slot != -1) {
    int freed = tree_page_freed(t, child);
    if (freed < 0) return -1;
    if (!freed) {
      int m = try_merge(t, left, child);
      if (m < 0) return -1;
      if (m == 0) return kDelDone;  // unmerged on the left: the right is not tried
      merged = true;
    }
  }
  if (right != 0) {
    int freed = tree_page_freed(t, left);
    if (freed < 0) return -1;
    if (!freed) {
      int m = try_merge(t, left, right);
      if (m < 0) return -1;
      merged = merged || m == 1;
    }
  }
  return merged ? kDelFreed : kDelDone;
}

// A child of `page` reported 4: removes the references to the freed
// children, frees the node when it has no child left, and offers it for
// merging. 1 or 4 (the root keeps one child: collapse), -1.
int drop_freed_children(const Tree& t, int32_t page, int slot, int32_t parent, int parent_slot) {
  uint8_t* pg = tree_page(t, page, kInternalNode);
  if (pg == nullptr) return -1;
  int n = node_entry_count(pg);
  // The first freed child: at j, j + 1, or else the gap starts at j + 2.
  int j = slot <= 0 ? -1 : slot - 1;
  if (n < 0 || j >= n) {
    ix_page_unpin(t.f, pg);
    return ix_damaged(kSiteBadShape);
  }
  int k = j + 2;
  int freed = tree_page_freed(t, node_child(pg, j));
  if (freed == 1) {
    k = j;
  } else if (freed == 0 && j + 1 < n) {
    freed = tree_page_freed(t, node_child(pg, j + 1));
    if (freed == 1) k = j + 1;
  }
  if (freed < 0) {
    ix_page_unpin(t.f, pg);
    return -1;
  }
  // The first live page after the gap, by the level links.
  int32_t live = 0;
  int rc = 1;
  if (k == -1) {
    if (n > 0) {
      live = node_child(pg, 0);
    } else if (node_next_page(pg) != 0) {
      uint8_t* np = tree_neighbour(t, page, node_next_page(pg), +1, kInternalNode, false);
      if (np == nullptr) rc = -1;
      else {
        live = node_entry_count(np) >= 0 ? node_first_child(np) : 0;
        ix_page_unpin(t.f, np);
      }
    }
  } else if (k <= n) {
    rc = ix_read_next_page(t.f, node_child(pg, k - 1), &live);
  }
  if (rc != 1) {
    ix_page_unpin(t.f, pg);
    return -1;
  }
  while (k < node_entry_count(pg) && node_child(pg, k) != live) node_remove(pg, k);

  n = node_entry_count(pg);
  if (parent != 0 && n == -1) {
    rc = ix_free_page(t.f, page, pg);
    ix_page_dirty(t.f, pg);
    return rc == 1 ? kDelFreed : -1;
  }
  ix_page_dirty(t.f, pg);
  if (parent == 0) return n <= 0 ? kDelFreed : kDelDone;
  return rebalance(t, parent, parent_slot);
}

int delete_from_leaf(const Tree& t, const uint8_t* key, int length, int32_t ref, int32_t page, int32_t parent,
                     int slot) {
  uint8_t* pg = tree_page(t, page, kLeafNode);
  if (pg == nullptr) return -1;
  int pos;
  if (node_search(t, pg, key, length, ref, &pos) != 0) {
    ix_page_unpin(t.f, pg);
    return tree_fail(kIxNotFound, kSiteKeyState);
  }
  int result = kDelDone;
  if (node_entry_count(pg) == 1) {
    result = ix_free_page(t.f, page, pg) == 1 ? kDelFreed : -1;
  } else {
    node_remove(pg, pos);
    if (node_used_size(pg, t.ps) < tree_merge_threshold(t.ps)) {
      int rb = rebalance(t, parent, slot);
      if (rb == -1) result = -1;
      else if (rb == kDelFreed) result = kDelFreed;
    }
  }
  ix_page_dirty(t.f, pg);
  return result;
}

int delete_descend(const Tree& t, const uint8_t* key, int length, int32_t ref, int32_t page, int32_t parent,
                   int parent_slot, int depth) {
  uint8_t* pg = tree_page(t, page, kInternalNode);
  if (pg == nullptr) return -1;
  if (node_entry_count(pg) < 0) {
    ix_page_unpin(t.f, pg);
    return ix_damaged(kSiteBadShape);
  }
  int pos, slot;
  int r = node_search(t, pg, key, length, ref, &pos);
  int32_t child = node_choose_child(pg, r, pos, &slot);
  ix_page_unpin(t.f, pg);
  int cr = depth + 1 == t.f->header.height ? delete_from_leaf(t, key, length, ref, child, page, slot)
                                           : delete_descend(t, key, length, ref, child, page, slot, depth + 1);
  if (cr == kDelFreed) return drop_freed_children(t, page, slot, parent, parent_slot);
  return cr;
}

// The root level reported 4: the root's only child becomes the root, or the
// tree is empty when the root leaf itself was freed.
int collapse_root(const Tree& t) {
  IndexHeader& hd = t.f->header;
  int32_t old_root = hd.root_page;
  uint8_t* pg = ix_page_get(t.f, old_root);
  if (pg == nullptr) return -1;
  int32_t first = node_first_child(pg);
  int rc = 1;
  if (first == 0) {  // the root leaf was freed with its last entry
    ix_page_unpin(t.f, pg);
    hd.root_page = 0;
  } else if (first == kLeafMark || node_entry_count(pg) > 0) {
    ix_page_unpin(t.f, pg);  // still a proper root: nothing to collapse
    return 1;
  } else {
    // Without any child left the tree is empty; else the one child rises.
    hd.root_page = node_entry_count(pg) < 0 ? 0 : first;
    rc = ix_free_page(t.f, old_root, pg);
    ix_page_dirty(t.f, pg);
  }
  hd.height = hd.root_page == 0 ? 0 : hd.height - 1;
  return rc;
}

int delete_from_root(const Tree& t, const uint8_t* key, int length, int32_t ref) {
  const IndexHeader& hd = t.f->header;
  int r;
  if (hd.height == 1) r = delete_from_leaf(t, key, length, ref, hd.root_page, 0, 0);
  else if (hd.height > 1) r = delete_descend(t, key, length, ref, hd.root_page, 0, 0, 1);
  else return ix_damaged(kSiteBadShape);
  if (r == -1) return -1;
  return r == kDelFreed ? collapse_root(t) : 1;
}

}  // namespace

int ix_delete(IndexHandle* h, const uint8_t* key, int key_length, int32_t ref) {
  if (ix_enter(h, kOpDelete) != 1) return -1;
  Tree t = tree_of(h);
  if (key_length < 0 || (key == nullptr && key_length > 0)) return -1;
  if (h->read_only) return tree_fail(kIxReadOnly, kSiteRefused);
  if (ix_begin_write(t.f) != 1) return tree_finish(t.f, -1);
  const bool journal = ix_journal_begin(t.f);

  IndexHeader& hd = t.f->header;
  // Cursors leave the entry first; a failure there still lets the deletion run.
  int rc = cursor_repair(t.f, key, key_length, ref);
  int error = ix_error, site = ix_error_site;
  int deleted;
  if (hd.root_page == 0) deleted = tree_fail(kIxEmptyTree, kSiteKeyState);
  else deleted = delete_from_root(t, key, key_length, ref);
  if (deleted == -1) {
    rc = -1;
    error = ix_error;
    site = ix_error_site;
    (void)ix_journal_undo(t.f);  // a merge cut short leaves the tree as it found it
  }

  // Committed whatever the outcome once the lock was taken; entry_total
  // counts only an entry that was removed (a refused deletion removed none).
  // Stepped with wrap-around: outside the checksum, a damaged header may hold any total.
  if (deleted != -1) hd.entry_total = static_cast<int32_t>(static_cast<uint32_t>(hd.entry_total) - 1u);
  int committed = ix_commit(t.f);
  ix_journal_end(t.f, journal);
  if (rc == -1) {
    ix_error = error;
    ix_error_site = site;
    return -1;
  }
  return committed == 1 ? 1 : -1;
}
