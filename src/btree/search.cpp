// Node search, child choice, the descent to a leaf, the tree search that
// positions a cursor, cursor loading and revalidation, and the positioning
// operations ix_find and ix_seek.
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "btree/tree_internal.h"

int node_search(const Tree& t, const uint8_t* pg, const uint8_t* key, int length, int32_t ref, int* pos) {
  const int n = node_entry_count(pg);
  if (n <= 0) {
    *pos = 0;
    return 1;
  }
  int low = 0, high = n - 1, mid = 0, r = 1;
  while (high >= low) {
    mid = (low + high) / 2;
    r = tree_pair_cmp(t, key, length, ref, pg, mid);
    if (r == 0) {
      *pos = mid;
      return 0;
    }
    if (r < 0) high = mid - 1;
    else low = mid + 1;
  }
  int p = mid + (r > 0 ? 1 : 0);
  *pos = p;
  // p == low here. When p < n, `high` moved at least once, last to p - 1,
  // which happens only after entry p compared above the pair: its answer is
  // known without comparing again.
  return p < n ? -1 : r;
}

int32_t node_choose_child(const uint8_t* pg, int r, int pos, int* slot) {
  int s = r == 0 ? pos : pos - 1;  // pos - 1 is -1 (first_child) when pos is 0
  *slot = s;
  return node_child(pg, s);
}

int tree_descend(const Tree& t, const uint8_t* key, int length, int32_t ref, int32_t* leaf) {
  const IndexHeader& hd = t.f->header;
  if (hd.height < 1) return ix_damaged(kSiteBadShape);
  int32_t page = hd.root_page;
  for (int depth = 1; depth < hd.height; ++depth) {
    uint8_t* pg = tree_page(t, page, kInternalNode);
    if (pg == nullptr) return -1;
    if (node_entry_count(pg) < 0) {  // a node without children is never on a search path
      ix_page_unpin(t.f, pg);
      return ix_damaged(kSiteBadShape);
    }
    int pos, slot;
    int r = node_search(t, pg, key, length, ref, &pos);
    int32_t child = node_choose_child(pg, r, pos, &slot);
    ix_page_unpin(t.f, pg);
    page = child;
  }
  *leaf = page;
  return 1;
}

int cursor_load(const Tree& t, IndexCursor* c, const uint8_t* pg, int slot) {
  const uint8_t* e = node_entry(pg, slot);
  int len = entry_key_length(e);
  if (c->key == nullptr || len > c->capacity) {
    std::free(c->key);
    c->key = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(len) + 16));
    if (c->key == nullptr) {
      c->capacity = 0;
      c->key_length = 0;
      return tree_fail(kIxNoMemory, kSiteNoMemory);
    }
    c->capacity = static_cast<int16_t>(len + 16);
  }
  std::memcpy(c->key, pg + entry_key_offset(e), static_cast<size_t>(len));
  c->key_length = static_cast<int16_t>(len);
  c->record_ref = entry_record_ref(e);
  c->stamp = t.f->seen_change_count;
  return 1;
}

namespace {

void cursor_off(IndexCursor* c, int state) {
  c->state = state;
  c->leaf = -1;
  c->slot = -1;
}

}  // namespace

// The key may be the cursor's own key copy (revalidation): every comparison
// is made before the copy is overwritten by a load.
int tree_search(const Tree& t, IndexCursor* c, const uint8_t* key, int length, int32_t ref, bool load) {
  c->stamp = t.f->seen_change_count;
  if (t.f->header.root_page == 0) {
    cursor_off(c, -3);
    return -3;
  }
  int32_t leaf;
  if (tree_descend(t, key, length, ref, &leaf) != 1) return -1;
  uint8_t* pg = tree_page(t, leaf, kLeafNode);
  if (pg == nullptr) return -1;
  int pos;
  int r = node_search(t, pg, key, length, ref, &pos);
  if (r <= 0) {
    c->state = 1;
    c->leaf = leaf;
    c->slot = pos;
    int rc = load ? cursor_load(t, c, pg, pos) : 1;
    ix_page_unpin(t.f, pg);
    if (rc != 1) return -1;
    return r == 0 ? 2 : 3;
  }
  // Beyond this leaf's last entry: the answer is the next leaf's first.
  int32_t next = node_next_page(pg);
  ix_page_unpin(t.f, pg);
  if (next == 0) {
    cursor_off(c, -3);
    return -3;
  }
  uint8_t* np = tree_neighbour(t, leaf, next, +1, kLeafNode, true);
  if (np == nullptr) return -1;
  c->state = 1;
  c->leaf = next;
  c->slot = 0;
  int rc = cursor_load(t, c, np, 0);
  ix_page_unpin(t.f, np);
  return rc == 1 ? 3 : -1;
}

int cursor_revalidate(const Tree& t, IndexCursor* c) {
  if (c->state != 1 || c->stamp == t.f->seen_change_count) return 1;
  uint8_t* pg = ix_page_get(t.f, c->leaf);
  if (pg == nullptr) return -1;
  c->stamp = t.f->seen_change_count;
  bool same = false;
  if (node_is_leaf(pg)) {
    // Still a leaf: it must be a sound one before its slot is looked at.
    if (node_check_once(t, c->leaf, pg, kLeafNode) != 1) {
      ix_page_unpin(t.f, pg);
      return -1;
    }
    same = c->slot >= 0 && c->slot < node_entry_count(pg) && entry_ref(pg, c->slot) == c->record_ref &&
           tree_key_cmp(t, entry_key(pg, c->slot), entry_length(pg, c->slot), c->key, c->key_length) == 0;
  }
  ix_page_unpin(t.f, pg);
  if (same) return 1;
  int r = tree_search(t, c, c->key, c->key_length, c->record_ref, true);
  return r == 2 ? 1 : r;
}

// ---------------------------------------------------------------------------
// ix_find, ix_seek

int ix_find(IndexHandle* h, const uint8_t* key, int key_length, int32_t* ref) {
  if (ix_enter(h, kOpFind) != 1) return -1;
  Tree t = tree_of(h);
  if (key_length < 0 || (key == nullptr && key_length > 0)) return -1;
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  IndexCursor* c = &h->cursor;
  int r = tree_search(t, c, key, key_length, 0, true);
  if (r == 3 && tree_key_cmp(t, key, key_length, c->key, c->key_length) == 0) r = 2;
  if ((r == 2 || r == 3) && ref != nullptr) *ref = c->record_ref;
  return tree_finish(t.f, r);
}

int ix_seek(IndexHandle* h, const uint8_t* key, int key_length, int32_t* ref) {
  if (ix_enter(h, kOpSeek) != 1) return -1;
  Tree t = tree_of(h);
  if (key_length < 0 || (key == nullptr && key_length > 0) || ref == nullptr) return -1;
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  IndexCursor* c = &h->cursor;
  int r = tree_search(t, c, key, key_length, *ref, true);
  if (r == 2 || r == 3) *ref = c->record_ref;
  return tree_finish(t.f, r);
}
