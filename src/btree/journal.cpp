// The change journal: what a failed insert, delete or replace needs to put
// the tree back as it was when the operation began.
//
// While a change runs, every page it pins is copied the first time, before
// the caller can touch it, and the header is kept as it was at the start.
// A change that fails anywhere (a page that cannot be read, no frame, a
// write the disk refuses, a split or a separator fix-up cut short) is
// undone: each page that differs from its copy gets the copy back, pages the
// change appended to the file go on the free list, and the header returns
// to its start, with last_page and change_count kept (the file never
// shrinks; the count only grows, so that other processes still notice the
// commit). A nested change (the delete and insert inside a replace) shares
// the journal of the outermost one, so a failure undoes the whole replace.
#include <cstdlib>
#include <cstring>

#include "btree/index_file.h"
#include "btree/node.h"

struct IxJournal {
  int active;
  IndexHeader start;  // the header when the outermost change began
  int count, capacity;
  int32_t* pages;     // pages copied, in the order first pinned
  uint8_t* copies;    // capacity * page_size bytes
};

namespace {

void reset(IndexFile* f) {
  f->journal->count = 0;
  f->journal->start = f->header;
}

}  // namespace

bool ix_journal_begin(IndexFile* f) {
  if (f->journal == nullptr) {
    f->journal = static_cast<IxJournal*>(std::calloc(1, sizeof(IxJournal)));
    if (f->journal == nullptr) return false;  // runs unjournaled, as before
  }
  if (f->journal->active) return false;
  f->journal->active = 1;
  reset(f);
  return true;
}

void ix_journal_end(IndexFile* f, bool owner) {
  if (owner && f->journal != nullptr) f->journal->active = 0;
}

void ix_journal_forget(IndexFile* f) {
  if (f->journal != nullptr && f->journal->active) reset(f);
}

void ix_journal_free(IndexFile* f) {
  if (f->journal == nullptr) return;
  std::free(f->journal->pages);
  std::free(f->journal->copies);
  std::free(f->journal);
  f->journal = nullptr;
}

int ix_journal_note(IndexFile* f, int32_t page, const uint8_t* data) {
  IxJournal* j = f->journal;
  if (j == nullptr || !j->active || page > j->start.last_page) return 1;  // appended pages need no copy
  for (int i = 0; i < j->count; ++i)
    if (j->pages[i] == page) return 1;
  const size_t ps = static_cast<size_t>(f->header.page_size);
  if (j->count == j->capacity) {
    int grown = j->capacity == 0 ? 16 : j->capacity * 2;
    auto* pages = static_cast<int32_t*>(std::realloc(j->pages, sizeof(int32_t) * static_cast<size_t>(grown)));
    if (pages == nullptr) return -1;
    j->pages = pages;
    auto* copies = static_cast<uint8_t*>(std::realloc(j->copies, ps * static_cast<size_t>(grown)));
    if (copies == nullptr) return -1;
    j->copies = copies;
    j->capacity = grown;
  }
  j->pages[j->count] = page;
  std::memcpy(j->copies + ps * static_cast<size_t>(j->count), data, ps);
  ++j->count;
  return 1;
}

int ix_journal_undo(IndexFile* f) {
  IxJournal* j = f->journal;
  if (j == nullptr || !j->active) return 0;
  const int ps = f->header.page_size;
  int rc = 1;
  for (int i = 0; i < j->count; ++i) {
    uint8_t* pg = pc_get_page(f->paged, j->pages[i]);
    if (pg == nullptr) {
      rc = -1;
      continue;
    }
    const uint8_t* copy = j->copies + static_cast<size_t>(ps) * static_cast<size_t>(i);
    if (std::memcmp(pg, copy, static_cast<size_t>(ps)) == 0) {
      (void)pc_unpin_page(f->paged, pg);
      continue;
    }
    std::memcpy(pg, copy, static_cast<size_t>(ps));
    pc_frame_of(pg)->checked = 0;
    (void)pc_release_page(f->paged, pg, 0);
  }
  IndexHeader h = j->start;
  h.last_page = f->header.last_page;
  h.change_count = f->header.change_count;
  // Pages the change appended are part of the file now: they join the free list.
  for (int32_t p = j->start.last_page + 1; p <= f->header.last_page; ++p) {
    uint8_t* pg = pc_get_page(f->paged, p);
    if (pg == nullptr) {
      rc = -1;
      continue;
    }
    std::memset(pg, 0, static_cast<size_t>(ps));
    node_set_prev_page(pg, h.free_head);
    node_set_key_area_start(pg, ps);
    pc_frame_of(pg)->checked = 0;
    (void)pc_release_page(f->paged, pg, 0);
    h.free_head = p;
  }
  f->header = h;
  reset(f);
  return rc;
}
