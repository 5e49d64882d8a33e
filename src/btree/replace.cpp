// ix_replace: exchanges one (key, ref) pair for another. When both pairs lie
// in the same leaf and the new one fits there, the leaf is rewritten in place
// and nothing else changes; otherwise the old pair is deleted and the new one
// inserted by the public operations, each counting and committing itself.
#include "btree/btree.h"
#include "btree/tree_internal.h"

namespace {

// The leaf a pair descends to and its node-search result and position there.
// 0 / -1 / 1 as node_search, -2 on failure.
int locate_in_leaf(const Tree& t, const uint8_t* key, int length, int32_t ref, int32_t* leaf, int* pos) {
  if (tree_descend(t, key, length, ref, leaf) != 1) return -2;
  uint8_t* pg = tree_page(t, *leaf, kLeafNode);
  if (pg == nullptr) return -2;
  int r = node_search(t, pg, key, length, ref, pos);
  ix_page_unpin(t.f, pg);
  return r;
}

struct SavedError {
  int error = 0, site = 0;
  void keep() {
    error = ix_error;
    site = ix_error_site;
  }
  void put_back() const {
    ix_error = error;
    ix_error_site = site;
  }
};

// The replacement under the writer lock; ends the operation (commit, or
// the failure's undo and release).
int replace_locked(const Tree& t, const uint8_t* old_key, int old_length, int32_t old_ref, const uint8_t* new_key,
                   int new_length, int32_t new_ref, int allow_duplicates) {
  IndexHandle* h = t.h;
  IndexHeader& hd = t.f->header;
  const int key_order = tree_key_cmp(t, old_key, old_length, new_key, new_length);
  if (key_order == 0 && old_ref == new_ref) return tree_finish(t.f, cursor_repair(t.f, old_key, old_length, old_ref));
  if (hd.root_page == 0) return tree_finish(t.f, tree_fail(kIxEmptyTree, kSiteKeyState));

  int32_t new_leaf, old_leaf;
  int new_pos, old_pos;
  int r = locate_in_leaf(t, new_key, new_length, new_ref, &new_leaf, &new_pos);
  if (r == -2) return tree_finish(t.f, -1);
  if (r == 0) return tree_finish(t.f, tree_fail(kIxDuplicatePair, kSiteKeyState));
  // The new pair does not break uniqueness when it keeps the old key, so
  // neither the check here nor a later insertion refuses an equal key then.
  const int allow_dup = allow_duplicates || key_order == 0 ? 1 : 0;
  NewEntry ne{new_key, new_length, new_ref, allow_dup, 0};
  if (!allow_dup) {
    uint8_t* pg = tree_page(t, new_leaf, kLeafNode);
    if (pg == nullptr) return tree_finish(t.f, -1);
    int dup = tree_dup_check(t, pg, new_leaf, ne, new_pos);
    ix_page_unpin(t.f, pg);
    if (dup != 1) return tree_finish(t.f, -1);
  }
  r = locate_in_leaf(t, old_key, old_length, old_ref, &old_leaf, &old_pos);
  if (r == -2) return tree_finish(t.f, -1);
  if (r != 0) return tree_finish(t.f, tree_fail(kIxNotFound, kSiteKeyState));

  int rc = 1;
  SavedError saved;
  bool nested = false;
  if (old_leaf == new_leaf) {
    if (cursor_repair(t.f, old_key, old_length, old_ref) != 1) {
      rc = -1;
      saved.keep();
    }
    uint8_t* pg = tree_page(t, old_leaf, kLeafNode);
    if (pg == nullptr) {
      saved.keep();
      rc = -1;
    } else {
      node_remove(pg, old_pos);
      if (old_pos < new_pos) --new_pos;
      int fits = node_fits(t, pg, ne, new_pos);
      if (fits == 1) node_put(t, pg, new_key, new_length, new_ref, 0, new_pos);
      ix_page_dirty(t.f, pg);
      if (fits == 0) {
        // The removal above stands for the deletion; the insertion counts
        // itself, so the total comes out unchanged.
        hd.entry_total = static_cast<int32_t>(static_cast<uint32_t>(hd.entry_total) - 1u);  // with wrap-around
        nested = true;
        if (ix_insert(h, new_key, new_length, new_ref, allow_dup) != 1 && rc == 1) {
          rc = -1;
          saved.keep();
        }
      }
    }
  } else {
    nested = true;
    if (ix_delete(h, old_key, old_length, old_ref) != 1 ||
        ix_insert(h, new_key, new_length, new_ref, allow_dup) != 1) {
      rc = -1;
      saved.keep();
    }
  }
  ix_operation = kOpReplace;
  // The nested operations committed and gave up the writer lock: take it
  // again (and refresh) before this operation's own commit.
  if (nested && ix_begin_write(t.f) != 1) {
    if (rc == -1) saved.put_back();
    return tree_finish(t.f, -1);
  }
  if (rc == -1) (void)ix_journal_undo(t.f);
  int committed = ix_commit(t.f);
  if (rc == -1) {
    saved.put_back();
    return -1;
  }
  return committed == 1 ? 1 : -1;
}

}  // namespace

int ix_replace(IndexHandle* h, const uint8_t* old_key, int old_length, int32_t old_ref, const uint8_t* new_key,
               int new_length, int32_t new_ref, int allow_duplicates) {
  if (ix_enter(h, kOpReplace) != 1) return -1;
  Tree t = tree_of(h);
  if (!tree_key_acceptable(t, new_key, new_length)) return -1;  // refused before anything, no error number
  if (old_length < 0 || (old_key == nullptr && old_length > 0)) return -1;
  if (h->read_only) return tree_fail(kIxReadOnly, kSiteRefused);
  if (ix_begin_write(t.f) != 1) return tree_finish(t.f, -1);
  // The delete and insert inside share this journal: a failure of either
  // puts the old pair back.
  const bool journal = ix_journal_begin(t.f);
  int rc = replace_locked(t, old_key, old_length, old_ref, new_key, new_length, new_ref, allow_duplicates);
  ix_journal_end(t.f, journal);
  return rc;
}
