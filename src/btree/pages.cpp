// Page access for the tree code: pinning node pages through the cache,
// single-field reads and writes, allocation (free list first, else growing
// the file), freeing into the free list, and the leftmost descent.
//
// Every page number that comes from disk is checked against [1, last_page]
// before it is used; a link outside that range is a damaged tree, reported
// through ix_damaged, never followed.
#include <cassert>
#include <cstring>

#include "btree/index_file.h"
#include "btree/node.h"

namespace {

// ix_error_site numbers of this file.
enum : int {
  kSitePageRange = 42,
  kSitePageRead = 43,
  kSiteAllocNoFrame = 44,
  kSiteAllocWrite = 45,
  kSiteAllocFull = 46,
  kSiteFreeListBad = 47,
  kSiteFreeSelfLink = 48,
  kSiteDescendZero = 49,
  kSiteDescendTooDeep = 50,
  kSiteJournalMemory = 57,
};

int fail(int error, int site) {
  ix_error = error;
  ix_error_site = site;
  return -1;
}

}  // namespace

int ix_damaged(int site) { return fail(kIxDamaged, site); }

uint8_t* ix_page_get(IndexFile* f, int32_t page) {
  if (page < 1 || page > f->header.last_page) return ix_damaged(kSitePageRange), nullptr;
  uint8_t* data = pc_get_page(f->paged, page);
  if (data == nullptr) return fail(kIxReadFailed, kSitePageRead), nullptr;
  if (ix_journal_note(f, page, data) != 1) {
    ix_page_unpin(f, data);
    return fail(kIxNoMemory, kSiteJournalMemory), nullptr;
  }
  return data;
}

void ix_page_unpin(IndexFile* f, uint8_t* data) { (void)pc_unpin_page(f->paged, data); }

void ix_page_dirty(IndexFile* f, uint8_t* data) {
  int rc = pc_release_page(f->paged, data, 0);
  assert(rc == 1);  // a release without write-now cannot fail
  (void)rc;
}

uint8_t* ix_alloc_page(IndexFile* f, int32_t* page) {
  IndexHeader& h = f->header;
  if (h.free_head != 0) {
    int32_t p = h.free_head;
    uint8_t* data = ix_page_get(f, p);
    if (data == nullptr) return nullptr;
    int32_t next_free = node_prev_page(data);
    // A free page has first_child 0; anything else means the list runs into
    // a live node, which must not be handed out again.
    if (node_first_child(data) != 0 || next_free < 0 || next_free > h.last_page || next_free == p) {
      ix_page_unpin(f, data);
      return ix_damaged(kSiteFreeListBad), nullptr;
    }
    h.free_head = next_free;
    *page = p;
    return data;
  }
  if ((static_cast<int64_t>(h.last_page) + 2) * h.page_size > INT32_MAX)
    return fail(kIxWriteFailed, kSiteAllocFull), nullptr;
  int32_t p = h.last_page + 1;
  uint8_t* fresh = pc_new_page(f->paged, p);
  if (fresh == nullptr) return fail(kIxNoFrame, kSiteAllocNoFrame), nullptr;
  // Written at once, so the file already covers every page up to last_page.
  if (pc_release_page(f->paged, fresh, 1) != 1) return fail(kIxWriteFailed, kSiteAllocWrite), nullptr;
  h.last_page = p;
  uint8_t* data = ix_page_get(f, p);
  if (data == nullptr) return nullptr;
  *page = p;
  return data;
}

int ix_free_page(IndexFile* f, int32_t page, uint8_t* data) {
  int32_t prev = node_prev_page(data);
  int32_t next = node_next_page(data);
  if (prev == page || next == page) return ix_damaged(kSiteFreeSelfLink);
  if (node_is_leaf(data)) {
    if (prev == 0) f->header.first_leaf = next;
    if (next == 0) f->header.last_leaf = prev;
  }
  if (prev != 0 && ix_set_next_page(f, prev, next) != 1) return -1;
  if (next != 0 && ix_set_prev_page(f, next, prev) != 1) return -1;
  // No node any more: a later access through a stale link is checked again.
  pc_frame_of(data)->checked = 0;
  node_set_prev_page(data, f->header.free_head);
  node_set_first_child(data, 0);
  node_set_entry_count(data, 0);
  std::memset(data + kNodeHeaderSize, 0, static_cast<size_t>(f->header.page_size - kNodeHeaderSize));
  f->header.free_head = page;
  return 1;
}

int ix_read_first_child(IndexFile* f, int32_t page, int32_t* out) {
  uint8_t* data = ix_page_get(f, page);
  if (data == nullptr) return -1;
  *out = node_first_child(data);
  ix_page_unpin(f, data);
  return 1;
}

int ix_read_next_page(IndexFile* f, int32_t page, int32_t* out) {
  uint8_t* data = ix_page_get(f, page);
  if (data == nullptr) return -1;
  *out = node_next_page(data);
  ix_page_unpin(f, data);
  return 1;
}

int ix_read_entry_count(IndexFile* f, int32_t page, int* out) {
  uint8_t* data = ix_page_get(f, page);
  if (data == nullptr) return -1;
  *out = node_entry_count(data);
  ix_page_unpin(f, data);
  return 1;
}

int ix_set_next_page(IndexFile* f, int32_t page, int32_t value) {
  uint8_t* data = ix_page_get(f, page);
  if (data == nullptr) return -1;
  node_set_next_page(data, value);
  ix_page_dirty(f, data);
  return 1;
}

int ix_set_prev_page(IndexFile* f, int32_t page, int32_t value) {
  uint8_t* data = ix_page_get(f, page);
  if (data == nullptr) return -1;
  node_set_prev_page(data, value);
  ix_page_dirty(f, data);
  return 1;
}

int ix_descend_leftmost(IndexFile* f, int32_t page, int32_t* leaf) {
  int32_t at = page;
  for (int level = 0; level < f->header.height; ++level) {
    int32_t child;
    if (ix_read_first_child(f, at, &child) != 1) return -1;
    if (child == kLeafMark) {
      *leaf = at;
      return 1;
    }
    if (child == 0) return ix_damaged(kSiteDescendZero);
    at = child;
  }
  return ix_damaged(kSiteDescendTooDeep);
}
