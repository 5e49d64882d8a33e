// Moving a handle's cursor along the leaf level: stepping, first and last,
// the cursor operations ix_next ... ix_current_key_length, and the repair
// that moves every cursor of the process off an entry about to be removed.
//
// A step that fails puts the cursor's leaf and slot back, so the cursor
// still names the entry its key copy holds.
#include <cstring>

#include "btree/btree.h"
#include "btree/tree_internal.h"

namespace {

void cursor_off(IndexCursor* c, int state) {
  c->state = state;
  c->leaf = -1;
  c->slot = -1;
}

// Puts the cursor on `slot` of the pinned leaf `leaf`, unpins it. 1 / -1,
// with leaf and slot put back on failure.
int land(const Tree& t, IndexCursor* c, uint8_t* pg, int32_t leaf, int slot) {
  int32_t old_leaf = c->leaf;
  int old_slot = c->slot;
  c->leaf = leaf;
  c->slot = slot;
  int rc = cursor_load(t, c, pg, slot);
  ix_page_unpin(t.f, pg);
  if (rc != 1) {
    c->leaf = old_leaf;
    c->slot = old_slot;
    return -1;
  }
  c->state = 1;
  return 1;
}

int step_forward(const Tree& t, IndexCursor* c) {
  uint8_t* pg = tree_page(t, c->leaf, kLeafNode);
  if (pg == nullptr) return -1;
  if (c->slot + 1 < node_entry_count(pg)) return land(t, c, pg, c->leaf, c->slot + 1);
  int32_t next = node_next_page(pg);
  ix_page_unpin(t.f, pg);
  if (next == 0) {
    cursor_off(c, -3);
    return -3;
  }
  uint8_t* np = tree_neighbour(t, c->leaf, next, +1, kLeafNode, true);
  if (np == nullptr) return -1;
  return land(t, c, np, next, 0);
}

int step_backward(const Tree& t, IndexCursor* c) {
  uint8_t* pg = tree_page(t, c->leaf, kLeafNode);
  if (pg == nullptr) return -1;
  if (c->slot > 0 && c->slot - 1 < node_entry_count(pg)) return land(t, c, pg, c->leaf, c->slot - 1);
  int32_t prev = node_prev_page(pg);
  ix_page_unpin(t.f, pg);
  if (prev == 0) {
    cursor_off(c, -2);
    return -2;
  }
  uint8_t* np = tree_neighbour(t, c->leaf, prev, -1, kLeafNode, true);
  if (np == nullptr) return -1;
  return land(t, c, np, prev, node_entry_count(np) - 1);
}

// An end leaf of the level: it holds entries and has no neighbour outward.
uint8_t* end_leaf(const Tree& t, int32_t page, bool first) {
  uint8_t* pg = tree_page(t, page, kLeafNode);
  if (pg == nullptr) return nullptr;
  int32_t outward = first ? node_prev_page(pg) : node_next_page(pg);
  if (node_entry_count(pg) < 1 || outward != 0) {
    ix_page_unpin(t.f, pg);
    return ix_damaged(kSiteBadShape), nullptr;
  }
  return pg;
}

int go_first(const Tree& t, IndexCursor* c) {
  const IndexHeader& hd = t.f->header;
  if (hd.root_page == 0) {
    cursor_off(c, -3);
    return -3;
  }
  uint8_t* pg = end_leaf(t, hd.first_leaf, true);
  if (pg == nullptr) return -1;
  return land(t, c, pg, hd.first_leaf, 0);
}

int go_last(const Tree& t, IndexCursor* c) {
  const IndexHeader& hd = t.f->header;
  if (hd.root_page == 0) {
    cursor_off(c, -2);
    return -2;
  }
  uint8_t* pg = end_leaf(t, hd.last_leaf, false);
  if (pg == nullptr) return -1;
  return land(t, c, pg, hd.last_leaf, node_entry_count(pg) - 1);
}

// Revalidation for ix_current and its kin: 1 when the cursor stands on an
// entry afterwards, else its state or -1. A vanished entry warns with 31.
int current_entry(const Tree& t, IndexCursor* c) {
  int v = cursor_revalidate(t, c);
  if (v == -1) return -1;
  if (v == 3) tree_fail(kIxCursorMoved, kSiteKeyState);
  return c->state;
}

}  // namespace

int cursor_next(const Tree& t, IndexCursor* c, bool warn) {
  int v = cursor_revalidate(t, c);
  if (v == 3) {
    if (warn) tree_fail(kIxCursorMoved, kSiteKeyState);
    return 1;
  }
  if (v != 1) return v;
  if (c->state == -2) return go_first(t, c);
  if (c->state == -3) return -3;
  return step_forward(t, c);
}

int cursor_repair(const IndexFile* f, const uint8_t* key, int length, int32_t ref) {
  int rc = 1;
  for (IndexHandle* o = ix_handles.head; o != nullptr; o = o->next) {
    // Another index file's entries are other entries, however equal their
    // bytes: the notes table and the temporary table share a layout, so an
    // entry (path, address) of one often equals one of the other.
    if (o->file != f) continue;
    IndexCursor* c = &o->cursor;
    // Only a cursor standing on an entry can stand on this one, stale stamp
    // or not. One before the first or after the last entry keeps the key copy
    // of the entry it left; stepping it forward would skip entries.
    if (c->state != 1 || c->key == nullptr || c->record_ref != ref) continue;
    if (o->compare(c->key, c->key_length, key, length) != 0) continue;
    if (cursor_next(tree_of(o), c, false) == -1) rc = -1;
  }
  return rc;
}

// ---------------------------------------------------------------------------
// Public cursor operations

int ix_next(IndexHandle* h, int32_t* ref) {
  if (ix_enter(h, kOpNext) != 1) return -1;
  Tree t = tree_of(h);
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  int r = cursor_next(t, &h->cursor, true);
  if (r == 1 && ref != nullptr) *ref = h->cursor.record_ref;
  return tree_finish(t.f, r);
}

int ix_prev(IndexHandle* h, int32_t* ref) {
  if (ix_enter(h, kOpPrev) != 1) return -1;
  Tree t = tree_of(h);
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  IndexCursor* c = &h->cursor;
  int r = cursor_revalidate(t, c);
  if (r != -1) {
    if (c->state == -2) r = -2;
    else if (c->state == -3) r = go_last(t, c);
    else r = step_backward(t, c);
  }
  if (r == 1 && ref != nullptr) *ref = c->record_ref;
  return tree_finish(t.f, r);
}

int ix_last(IndexHandle* h, int32_t* ref) {
  if (ix_enter(h, kOpLast) != 1) return -1;
  Tree t = tree_of(h);
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  int r = go_last(t, &h->cursor);
  if (r == 1 && ref != nullptr) *ref = h->cursor.record_ref;
  return tree_finish(t.f, r);
}

int ix_current(IndexHandle* h, int32_t* ref) {
  if (ix_enter(h, kOpCurrent) != 1) return -1;
  IndexCursor* c = &h->cursor;
  if (c->state != 1) return c->state;
  Tree t = tree_of(h);
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  int r = current_entry(t, c);
  if (r == 1 && ref != nullptr) *ref = c->record_ref;
  return tree_finish(t.f, r);
}

int ix_current_key(IndexHandle* h, uint8_t* buffer, int buffer_length) {
  if (ix_enter(h, kOpCurrentKey) != 1) return -1;
  IndexCursor* c = &h->cursor;
  if (c->state != 1) return c->state;
  Tree t = tree_of(h);
  if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
  int r = current_entry(t, c);
  if (r == 1 && buffer != nullptr && buffer_length > 0) {
    int n = buffer_length < c->key_length ? buffer_length : c->key_length;
    std::memcpy(buffer, c->key, static_cast<size_t>(n));
  }
  return tree_finish(t.f, r);
}

int ix_current_key_length(IndexHandle* h, int* length) {
  if (ix_enter(h, kOpCurrentKeyLength) != 1) return -1;
  IndexCursor* c = &h->cursor;
  if (c->state != 1) return c->state;
  Tree t = tree_of(h);
  int r = 1;
  if (t.f->shared || c->stamp != t.f->seen_change_count) {
    if (ix_refresh(t.f) != 1) return tree_finish(t.f, -1);
    r = tree_finish(t.f, current_entry(t, c));
  }
  if (r == 1 && length != nullptr) *length = c->key_length;
  return r;
}
