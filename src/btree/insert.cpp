// Insertion: ix_insert, the descent that carries the path down as page
// numbers, and the insertion into one node with its duplicate checks. A node
// that overflows goes to insert_overflow (push.cpp); a level that reports 3,
// 5 or 6 has its parent's separators fixed up (separators.cpp).
#include "btree/btree.h"
#include "btree/tree_internal.h"

int node_locate(const Tree& t, const uint8_t* pg, const NewEntry& e, int* p) {
  int r = node_search(t, pg, e.key, e.length, e.ref, p);
  if (r == 0 || node_is_leaf(pg) || *p != 0) return r;
  // Position 0 of an internal node: the entry may belong left of first_child.
  if (node_entry_count(pg) == -1) {
    *p = -1;
    return -1;
  }
  Separator s;
  if (tree_derive_separator(t, node_first_child(pg), &s) != 1) return -2;
  int c = tree_key_cmp(t, e.key, e.length, s.key, s.length);
  if (c == 0) c = (e.ref > s.ref) - (e.ref < s.ref);
  separator_release(&s);
  if (c < 0) *p = -1;
  return c;
}

int tree_dup_check(const Tree& t, const uint8_t* pg, int32_t page, const NewEntry& e, int p) {
  const int n = node_entry_count(pg);
  if ((p < n && tree_key_eq_entry(t, e.key, e.length, pg, p)) ||
      (p > 0 && tree_key_eq_entry(t, e.key, e.length, pg, p - 1)))
    return tree_fail(kIxDuplicateKey, kSiteKeyState);
  // At either end of the leaf the neighbouring entry lives in the next leaf.
  int32_t other = 0;
  int dir = 0;
  if (p == 0 && node_prev_page(pg) != 0) {
    other = node_prev_page(pg);
    dir = -1;
  } else if (p > 0 && p == n && node_next_page(pg) != 0) {
    other = node_next_page(pg);
    dir = +1;
  }
  if (other == 0) return 1;
  uint8_t* op = tree_neighbour(t, page, other, dir, kLeafNode, false);
  if (op == nullptr) return -1;
  int on = node_entry_count(op);
  bool equal = on > 0 && tree_key_eq_entry(t, e.key, e.length, op, dir < 0 ? on - 1 : 0);
  ix_page_unpin(t.f, op);
  return equal ? tree_fail(kIxDuplicateKey, kSiteKeyState) : 1;
}

int insert_into_node(const Tree& t, const NewEntry& e, int32_t page, int32_t parent, int slot) {
  const bool leaf = e.child == 0;
  uint8_t* pg = tree_page(t, page, leaf ? kLeafNode : kInternalNode);
  if (pg == nullptr) return -1;
  int p;
  int r = node_locate(t, pg, e, &p);
  bool refused = r == -2;
  if (r == 0) refused = tree_fail(kIxDuplicatePair, kSiteKeyState) == -1;
  else if (!refused && leaf && !e.allow_dup) refused = tree_dup_check(t, pg, page, e, p) != 1;
  if (refused) {
    ix_page_unpin(t.f, pg);
    return -1;
  }
  int fits = node_fits(t, pg, e, p);
  int result;
  if (fits < 0) result = -1;
  else if (fits) result = node_insert_plain(t, pg, e, p) == 1 ? kInsDone : -1;
  else result = insert_overflow(t, pg, page, e, p, parent, slot);
  ix_page_dirty(t.f, pg);
  return result;
}

namespace {

int insert_descend(const Tree& t, const NewEntry& e, int32_t page, int32_t parent, int parent_slot, int depth) {
  uint8_t* pg = tree_page(t, page, kInternalNode);
  if (pg == nullptr) return -1;
  if (node_entry_count(pg) < 0) {
    ix_page_unpin(t.f, pg);
    return ix_damaged(kSiteBadShape);
  }
  int pos, slot;
  int r = node_search(t, pg, e.key, e.length, e.ref, &pos);
  int32_t child = node_choose_child(pg, r, pos, &slot);
  ix_page_unpin(t.f, pg);
  // The bottom level is depth == height; the leaf kind is checked on reading.
  int cr = depth + 1 == t.f->header.height ? insert_into_node(t, e, child, page, slot)
                                           : insert_descend(t, e, child, page, slot, depth + 1);
  if (cr == -1) return -1;
  if (ins_needs_fixup(cr)) return fix_separators(t, page, slot, parent, parent_slot);
  return cr;
}

}  // namespace

int insert_from_root(const Tree& t, const NewEntry& e) {
  const IndexHeader& hd = t.f->header;
  int r;
  if (hd.height == 1) r = insert_into_node(t, e, hd.root_page, 0, 0);
  else if (hd.height > 1) r = insert_descend(t, e, hd.root_page, 0, 0, 1);
  else return ix_damaged(kSiteBadShape);
  if (r == -1) return -1;
  if (ins_needs_fixup(r)) return grow_root(t);
  return 1;
}

int ix_insert(IndexHandle* h, const uint8_t* key, int key_length, int32_t ref, int allow_duplicates) {
  if (ix_enter(h, kOpInsert) != 1) return -1;
  Tree t = tree_of(h);
  if (!tree_key_acceptable(t, key, key_length)) return -1;  // refused before anything, no error number
  if (h->read_only) return tree_fail(kIxReadOnly, kSiteRefused);
  if (ix_begin_write(t.f) != 1) return tree_finish(t.f, -1);
  const bool journal = ix_journal_begin(t.f);

  IndexHeader& hd = t.f->header;
  NewEntry e{key, key_length, ref, allow_duplicates ? 1 : 0, 0};
  int rc = 1;
  if (hd.root_page == 0) {
    int32_t page;
    uint8_t* pg = ix_alloc_page(t.f, &page);
    if (pg == nullptr) {
      rc = -1;
    } else {
      node_init_leaf(pg, t.ps, 0, 0);
      ix_page_dirty(t.f, pg);
      hd.root_page = hd.first_leaf = hd.last_leaf = page;
      hd.height = 1;
    }
  }
  if (rc == 1) rc = insert_from_root(t, e);

  // A failure anywhere (a split, a push, a separator fix-up cut short) puts
  // every page back first. Committed whatever the outcome once the lock was
  // taken. entry_total counts only an entry that went in.
  int error = ix_error, site = ix_error_site;
  if (rc == -1) (void)ix_journal_undo(t.f);
  // Stepped with wrap-around: outside the checksum, a damaged header may hold any total.
  if (rc == 1) hd.entry_total = static_cast<int32_t>(static_cast<uint32_t>(hd.entry_total) + 1u);
  int committed = ix_commit(t.f);
  ix_journal_end(t.f, journal);
  if (rc == -1) {
    ix_error = error;
    ix_error_site = site;
    return -1;
  }
  return committed == 1 ? 1 : -1;
}
