// Node pages as the tree code sees them: the check applied to every page read,
// entry comparison, run sizes, derived separators, and the edits that keep
// invariants (1)-(3) of tree_internal.h: plain insertion, removal and moving
// a node's tail into a new right page.
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "btree/tree_internal.h"

Tree tree_of(IndexHandle* h) { return Tree{h, h->file, h->compare, h->file->header.page_size}; }

int tree_fail(int error, int site) {
  ix_error = error;
  ix_error_site = site;
  return -1;
}

int tree_finish(IndexFile* f, int result) {
  if (result == -1) {
    int error = ix_error, site = ix_error_site;
    (void)ix_journal_undo(f);  // a change cut short leaves the tree as it found it
    (void)ix_end_op(f);
    ix_error = error;
    ix_error_site = site;
    return -1;
  }
  return ix_end_op(f) == 1 ? result : -1;
}

bool tree_key_acceptable(const Tree& t, const uint8_t* key, int length) {
  if (length < 0 || (key == nullptr && length > 0)) return false;
  // The file's own page bounds the key as well: a key that cannot share an
  // internal node with its 16-byte header and one 12-byte entry could never
  // be placed, and would run the key area off the front of the page.
  return length <= ix_max_key_length() && length <= t.ps - kIxKeyOverhead;
}

// ---------------------------------------------------------------------------
// Checks

namespace {

bool link_ok(int32_t link, int32_t page, int32_t last) { return link >= 0 && link <= last && link != page; }
bool child_ok(int32_t child, int32_t page, int32_t last) { return child >= 1 && child <= last && child != page; }

}  // namespace

int node_check(const Tree& t, int32_t page, const uint8_t* pg, NodeKind kind) {
  const int32_t last = t.f->header.last_page;
  const bool leaf = node_is_leaf(pg);
  if ((kind == kLeafNode && !leaf) || (kind == kInternalNode && leaf)) return ix_damaged(kSiteBadShape);
  const int n = node_entry_count(pg);
  const int es = leaf ? kLeafEntrySize : kInternalEntrySize;
  const int kas = node_key_area_start(pg);
  if (n < (leaf ? 0 : -1)) return ix_damaged(kSiteBadNode);
  const int m = n < 0 ? 0 : n;
  if (kas > t.ps || kNodeHeaderSize + m * es > kas) return ix_damaged(kSiteBadNode);
  if (!link_ok(node_prev_page(pg), page, last) || !link_ok(node_next_page(pg), page, last))
    return ix_damaged(kSiteBadNode);
  if (!leaf && n >= 0 && !child_ok(node_first_child(pg), page, last)) return ix_damaged(kSiteBadNode);
  if (m == 0) return kas == t.ps ? 1 : ix_damaged(kSiteBadNode);
  // One pass over the entry array, each entry read once: (off, len) is the
  // entry at e, checked against its successor.
  const uint8_t* e = pg + kNodeHeaderSize;
  int off = entry_key_offset(e), len = entry_key_length(e);
  if (off != kas) return ix_damaged(kSiteBadNode);
  for (int i = 0; i < m; ++i, e += es) {
    if (len < 0 || off < kas || off + len > t.ps) return ix_damaged(kSiteBadNode);
    if (!leaf && !child_ok(entry_child_page(e), page, last)) return ix_damaged(kSiteBadNode);
    if (i + 1 == m) return off + len == t.ps ? 1 : ix_damaged(kSiteBadNode);
    const int next_off = entry_key_offset(e + es), next_len = entry_key_length(e + es);
    const bool shared = next_off == off && next_len == len;
    if (!shared && off + len != next_off) return ix_damaged(kSiteBadNode);
    off = next_off;
    len = next_len;
  }
  return 1;
}

int node_check_once(const Tree& t, int32_t page, uint8_t* pg, NodeKind kind) {
  PageFrame* frame = pc_frame_of(pg);
  if (frame->checked) {
    // Sound when read or changed since; only the kind depends on the caller.
    const bool leaf = node_is_leaf(pg);
    if ((kind == kLeafNode && !leaf) || (kind == kInternalNode && leaf)) return ix_damaged(kSiteBadShape);
    return 1;
  }
  if (node_check(t, page, pg, kind) != 1) return -1;
  frame->checked = 1;
  return 1;
}

uint8_t* tree_page(const Tree& t, int32_t page, NodeKind kind) {
  uint8_t* pg = ix_page_get(t.f, page);
  if (pg == nullptr) return nullptr;
  if (node_check_once(t, page, pg, kind) != 1) {
    ix_page_unpin(t.f, pg);
    return nullptr;
  }
  return pg;
}

uint8_t* tree_neighbour(const Tree& t, int32_t from, int32_t to, int dir, NodeKind kind, bool need_entries) {
  uint8_t* pg = tree_page(t, to, kind);
  if (pg == nullptr) return nullptr;
  int32_t back = dir > 0 ? node_prev_page(pg) : node_next_page(pg);
  if (back != from || (need_entries && node_entry_count(pg) < 1)) {
    ix_page_unpin(t.f, pg);
    return ix_damaged(kSiteBadLink), nullptr;
  }
  return pg;
}

int tree_next_of(const Tree& t, int32_t page, int32_t* next) {
  uint8_t* pg = tree_page(t, page, kAnyNode);
  if (pg == nullptr) return -1;
  int32_t n = node_next_page(pg);
  NodeKind kind = node_is_leaf(pg) ? kLeafNode : kInternalNode;
  ix_page_unpin(t.f, pg);
  if (n != 0) {
    uint8_t* np = tree_neighbour(t, page, n, +1, kind, false);
    if (np == nullptr) return -1;
    ix_page_unpin(t.f, np);
  }
  *next = n;
  return 1;
}

int tree_page_freed(const Tree& t, int32_t page) {
  uint8_t* pg = ix_page_get(t.f, page);
  if (pg == nullptr) return -1;
  int freed = node_first_child(pg) == 0 ? 1 : 0;
  ix_page_unpin(t.f, pg);
  return freed;
}

// ---------------------------------------------------------------------------
// Entries, comparison, sizes

int32_t node_child(const uint8_t* pg, int slot) {
  return slot < 0 ? node_first_child(pg) : entry_child_page(node_entry(pg, slot));
}

bool node_entries_share(const uint8_t* pg, int i, int j) {
  const uint8_t* a = node_entry(pg, i);
  const uint8_t* b = node_entry(pg, j);
  return entry_key_offset(a) == entry_key_offset(b) && entry_key_length(a) == entry_key_length(b);
}

int node_run_size(const uint8_t* pg, int i, int j) {
  if (i < 0) i = 0;
  if (j < i) return 0;
  const uint8_t* last = node_entry(pg, j);
  return (j - i + 1) * node_entry_size(pg) + entry_key_offset(last) + entry_key_length(last) -
         entry_key_offset(node_entry(pg, i));
}

int tree_key_cmp(const Tree& t, const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  int c = t.cmp(a, a_len, b, b_len);
  return (c > 0) - (c < 0);
}

int tree_pair_cmp(const Tree& t, const uint8_t* key, int length, int32_t ref, const uint8_t* pg, int i) {
  int c = tree_key_cmp(t, key, length, entry_key(pg, i), entry_length(pg, i));
  if (c != 0) return c;
  int32_t other = entry_ref(pg, i);
  return (ref > other) - (ref < other);
}

bool tree_key_eq_entry(const Tree& t, const uint8_t* key, int length, const uint8_t* pg, int i) {
  return tree_key_cmp(t, key, length, entry_key(pg, i), entry_length(pg, i)) == 0;
}

int tree_derive_separator(const Tree& t, int32_t page, Separator* out) {
  int32_t leaf;
  if (ix_descend_leftmost(t.f, page, &leaf) != 1) return -1;
  uint8_t* pg = tree_page(t, leaf, kLeafNode);
  if (pg == nullptr) return -1;
  if (node_entry_count(pg) < 1) {
    ix_page_unpin(t.f, pg);
    return ix_damaged(kSiteBadShape);
  }
  int len = entry_length(pg, 0);
  auto* copy = static_cast<uint8_t*>(std::malloc(len > 0 ? len : 1));
  if (copy == nullptr) {
    ix_page_unpin(t.f, pg);
    return tree_fail(kIxNoMemory, kSiteNoMemory);
  }
  std::memcpy(copy, entry_key(pg, 0), len);
  out->key = copy;
  out->length = len;
  out->ref = entry_ref(pg, 0);
  ix_page_unpin(t.f, pg);
  return 1;
}

void separator_release(Separator* s) {
  std::free(s->key);
  s->key = nullptr;
  s->length = 0;
}

NewEntry entry_from_node(const uint8_t* pg, int i) {
  const uint8_t* e = node_entry(pg, i);
  return NewEntry{pg + entry_key_offset(e), entry_key_length(e), entry_record_ref(e), 1,
                  node_is_leaf(pg) ? 0 : entry_child_page(e)};
}

// ---------------------------------------------------------------------------
// Edits

namespace {

// Whether (key, length) fits at p >= 0: free space against the entry plus its
// key bytes, which an equal neighbour would share.
bool key_fits(const Tree& t, const uint8_t* pg, const uint8_t* key, int length, int p) {
  int n = node_entry_count(pg);
  if (n < 0) n = 0;
  int free = t.ps - kNodeHeaderSize - node_run_size(pg, 0, n - 1);
  bool shared = (p > 0 && tree_key_eq_entry(t, key, length, pg, p - 1)) ||
                (p < n && tree_key_eq_entry(t, key, length, pg, p));
  return free >= node_entry_size(pg) + (shared ? 0 : length);
}

}  // namespace

int node_fits(const Tree& t, const uint8_t* pg, const NewEntry& e, int p) {
  int n = node_entry_count(pg);
  bool leaf = node_is_leaf(pg);
  if ((leaf && n == 0) || (!leaf && n == -1)) return 1;
  if (p >= 0) return key_fits(t, pg, e.key, e.length, p) ? 1 : 0;
  assert(!leaf);
  // The old first_child's separator is what lands in the entry array.
  Separator s;
  if (tree_derive_separator(t, node_first_child(pg), &s) != 1) return -1;
  int fits = key_fits(t, pg, s.key, s.length, 0) ? 1 : 0;
  separator_release(&s);
  return fits;
}

int node_insert_plain(const Tree& t, uint8_t* pg, const NewEntry& e, int p) {
  if (p >= 0) {
    node_put(t, pg, e.key, e.length, e.ref, e.child, p);
    return 1;
  }
  assert(!node_is_leaf(pg));
  if (node_entry_count(pg) == -1) {
    node_set_first_child(pg, e.child);
    node_set_entry_count(pg, 0);
    return 1;
  }
  Separator s;
  if (tree_derive_separator(t, node_first_child(pg), &s) != 1) return -1;
  int32_t old_first = node_first_child(pg);
  node_set_first_child(pg, e.child);
  node_put(t, pg, s.key, s.length, s.ref, old_first, 0);
  separator_release(&s);
  return 1;
}

void node_put(const Tree& t, uint8_t* pg, const uint8_t* key, int length, int32_t ref, int32_t child, int p) {
  const int n = node_entry_count(pg) < 0 ? 0 : node_entry_count(pg);
  const int es = node_entry_size(pg);
  assert(p >= 0 && p <= n);
  assert(key + length <= pg || key >= pg + t.ps);  // never this page's own bytes
  int share = -1;
  if (p < n && tree_key_eq_entry(t, key, length, pg, p)) share = p;
  else if (p > 0 && tree_key_eq_entry(t, key, length, pg, p - 1)) share = p - 1;

  int off, len;
  if (share >= 0) {
    off = entry_key_offset(node_entry(pg, share));
    len = entry_key_length(node_entry(pg, share));
  } else {
    // The new key goes directly below the key of the entry now at p.
    int pos = p < n ? entry_key_offset(node_entry(pg, p)) : t.ps;
    int kas = node_key_area_start(pg);
    std::memmove(pg + kas - length, pg + kas, static_cast<size_t>(pos - kas));
    for (int i = 0; i < p; ++i) {
      uint8_t* ei = node_entry(pg, i);
      entry_set_key_offset(ei, entry_key_offset(ei) - length);
    }
    node_set_key_area_start(pg, kas - length);
    if (length > 0) std::memcpy(pg + pos - length, key, static_cast<size_t>(length));
    off = pos - length;
    len = length;
  }
  uint8_t* at = pg + kNodeHeaderSize + p * es;
  std::memmove(at + es, at, static_cast<size_t>((n - p) * es));
  entry_set_key_offset(at, off);
  entry_set_key_length(at, len);
  entry_set_record_ref(at, ref);
  if (es == kInternalEntrySize) entry_set_child_page(at, child);
  node_set_entry_count(pg, n + 1);
  assert(kNodeHeaderSize + (n + 1) * es <= node_key_area_start(pg));  // invariant (1)
}

void node_remove(uint8_t* pg, int i) {
  int n = node_entry_count(pg);
  if (i == -1) {
    assert(!node_is_leaf(pg) && n >= 0);
    if (n == 0) {
      node_set_entry_count(pg, -1);
      return;
    }
    node_set_first_child(pg, entry_child_page(node_entry(pg, 0)));
    i = 0;
  }
  assert(i >= 0 && i < n);
  const int es = node_entry_size(pg);
  const int off = entry_key_offset(node_entry(pg, i));
  const int len = entry_key_length(node_entry(pg, i));
  bool shared = (i > 0 && node_entries_share(pg, i - 1, i)) || (i + 1 < n && node_entries_share(pg, i, i + 1));

  uint8_t* at = pg + kNodeHeaderSize + i * es;
  std::memmove(at, at + es, static_cast<size_t>((n - 1 - i) * es));
  std::memset(pg + kNodeHeaderSize + (n - 1) * es, 0, static_cast<size_t>(es));
  node_set_entry_count(pg, n - 1);
  if (shared || len == 0) return;
  int kas = node_key_area_start(pg);
  std::memmove(pg + kas + len, pg + kas, static_cast<size_t>(off - kas));
  std::memset(pg + kas, 0, static_cast<size_t>(len));
  node_set_key_area_start(pg, kas + len);
  for (int j = 0; j < i; ++j) {
    uint8_t* ej = node_entry(pg, j);
    entry_set_key_offset(ej, entry_key_offset(ej) + len);
  }
}

void node_move_tail(uint8_t* from, uint8_t* to, int first, int page_size) {
  const int n = node_entry_count(from);
  const bool leaf = node_is_leaf(from);
  const int es = node_entry_size(from);
  if (first >= n) return;  // nothing moves; the right page stays empty
  // Both pages end their key areas at page_size, so the moved keys keep
  // their offsets: only the block of bytes is copied.
  int copy_from = leaf ? first : first + 1;
  if (!leaf) node_set_first_child(to, entry_child_page(node_entry(from, first)));
  int copied = n - copy_from;
  if (copied > 0) {
    std::memcpy(to + kNodeHeaderSize, from + kNodeHeaderSize + copy_from * es, static_cast<size_t>(copied * es));
    int start = entry_key_offset(node_entry(from, copy_from));
    std::memcpy(to + start, from + start, static_cast<size_t>(page_size - start));
    node_set_key_area_start(to, start);
  } else {
    node_set_key_area_start(to, page_size);
  }
  node_set_entry_count(to, copied);

  // The entries that stay: their keys move up to end at page_size.
  int kas = node_key_area_start(from);
  if (first == 0) {
    std::memset(from + kas, 0, static_cast<size_t>(page_size - kas));
    node_set_key_area_start(from, page_size);
  } else {
    const uint8_t* keep_last = node_entry(from, first - 1);
    int end = entry_key_offset(keep_last) + entry_key_length(keep_last);
    int shift = page_size - end;
    std::memmove(from + kas + shift, from + kas, static_cast<size_t>(end - kas));
    std::memset(from + kas, 0, static_cast<size_t>(shift));
    for (int j = 0; j < first; ++j) {
      uint8_t* ej = node_entry(from, j);
      entry_set_key_offset(ej, entry_key_offset(ej) + shift);
    }
    node_set_key_area_start(from, kas + shift);
  }
  std::memset(from + kNodeHeaderSize + first * es, 0, static_cast<size_t>((n - first) * es));
  node_set_entry_count(from, first);
}
