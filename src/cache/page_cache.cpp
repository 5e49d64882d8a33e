// The page cache: frames, the LRU list, the hash chains, paged files.
//
// Lists kept here:
//   - the LRU list, doubly linked through lru_prev / lru_next, least recently
//     used at pool->lru_head; every frame is on it exactly once (invariant 3);
//   - one singly linked hash chain per bucket through hash_next, holding only
//     frames that carry a (handle, page) pair (invariants 1 and 2);
//   - the dirty list, doubly linked through dirty_prev / dirty_next, holding
//     exactly the dirty frames (invariant 6), so that flushing a file and
//     asking whether it has dirty pages need not walk every frame.
// Reuse walks the LRU list from the head; every other operation is a bucket
// lookup plus constant-time list moves, and none of them allocates
// (invariant 5): frames are made only by pc_add_frames.
#include "cache/page_cache.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cache/bytes.h"
#include "cache/file_io.h"

int pc_error = 0;
RegistryList<PagePool> pc_pools;
RegistryList<PagedFile> pc_files;

namespace {

// Low bits of handle + page (invariant 2). The sum is taken unsigned so that
// it cannot overflow; the low bits equal those of the signed sum either way,
// so a negative sum still lands in a valid bucket.
int bucket_of(const PagePool* pool, int handle, int32_t page) {
  uint32_t sum = static_cast<uint32_t>(handle) + static_cast<uint32_t>(page);
  return static_cast<int>(sum & static_cast<uint32_t>(pool->bucket_count - 1));
}

// Buckets for a pool created with `frames` frames: one chain per frame on
// average, never fewer than kPcMinBuckets.
int bucket_count_for(int frames) {
  int n = kPcMinBuckets;
  while (n < frames && n <= (1 << 29)) n <<= 1;
  return n;
}

// --- LRU list --------------------------------------------------------------

void lru_unlink(PagePool* pool, PageFrame* f) {
  if (f->lru_prev != nullptr)
    f->lru_prev->lru_next = f->lru_next;
  else
    pool->lru_head = f->lru_next;
  if (f->lru_next != nullptr)
    f->lru_next->lru_prev = f->lru_prev;
  else
    pool->lru_tail = f->lru_prev;
  f->lru_next = nullptr;
  f->lru_prev = nullptr;
}

void lru_push_head(PagePool* pool, PageFrame* f) {
  f->lru_prev = nullptr;
  f->lru_next = pool->lru_head;
  if (pool->lru_head != nullptr)
    pool->lru_head->lru_prev = f;
  else
    pool->lru_tail = f;
  pool->lru_head = f;
}

void lru_push_tail(PagePool* pool, PageFrame* f) {
  f->lru_next = nullptr;
  f->lru_prev = pool->lru_tail;
  if (pool->lru_tail != nullptr)
    pool->lru_tail->lru_next = f;
  else
    pool->lru_head = f;
  pool->lru_tail = f;
}

// Makes f the most recently used frame.
void lru_touch(PagePool* pool, PageFrame* f) {
  if (pool->lru_tail == f) return;
  lru_unlink(pool, f);
  lru_push_tail(pool, f);
}

// --- dirty list -------------------------------------------------------------

// The dirty flag and the dirty list change together (invariant 6).
void mark_dirty(PagePool* pool, PageFrame* f) {
  if (f->dirty) return;
  f->dirty = 1;
  f->dirty_prev = nullptr;
  f->dirty_next = pool->dirty_head;
  if (pool->dirty_head != nullptr) pool->dirty_head->dirty_prev = f;
  pool->dirty_head = f;
}

void mark_clean(PagePool* pool, PageFrame* f) {
  if (!f->dirty) return;
  if (f->dirty_prev != nullptr)
    f->dirty_prev->dirty_next = f->dirty_next;
  else
    pool->dirty_head = f->dirty_next;
  if (f->dirty_next != nullptr) f->dirty_next->dirty_prev = f->dirty_prev;
  f->dirty_next = nullptr;
  f->dirty_prev = nullptr;
  f->dirty = 0;
}

// --- hash chains -----------------------------------------------------------

PageFrame* hash_find(PagePool* pool, int handle, int32_t page) {
  for (PageFrame* f = pool->buckets[bucket_of(pool, handle, page)]; f != nullptr; f = f->hash_next)
    if (f->handle == handle && f->page == page) return f;
  return nullptr;
}

void hash_push(PagePool* pool, PageFrame* f) {
  assert(f->handle != -1);  // invariant (1)
  PageFrame** head = &pool->buckets[bucket_of(pool, f->handle, f->page)];
  f->hash_next = *head;
  *head = f;
}

// Takes f off its chain, if it is on one, and marks it free (invariant 1).
void make_free(PagePool* pool, PageFrame* f) {
  if (f->handle != -1) {
    PageFrame** pp = &pool->buckets[bucket_of(pool, f->handle, f->page)];
    while (*pp != nullptr && *pp != f) pp = &(*pp)->hash_next;
    assert(*pp == f);  // invariant (2)
    *pp = f->hash_next;
  }
  f->hash_next = nullptr;
  f->handle = -1;
  f->page = -1;
  mark_clean(pool, f);
  f->checked = 0;
}

// Counts a page write for the paged file of `handle` (a write-back on reuse
// knows only the frame's handle).
void note_write_of(int handle) {
  for (PagedFile* p = pc_files.head; p != nullptr; p = p->next)
    if (p->handle == handle) {
      pc_note_write(p);
      return;
    }
}

// The least recently used unpinned frame that is clean or can be written
// back, freed but left in its LRU place. A dirty frame whose write-back fails
// stays dirty where it is (pc_error 4) and the walk goes on. Null with
// pc_error 3 when no frame qualifies.
PageFrame* take_frame(PagePool* pool) {
  pc_error = kPcOk;
  for (PageFrame* f = pool->lru_head; f != nullptr; f = f->lru_next) {
    assert(f->pins >= 0);  // invariant (4)
    if (f->pins != 0) continue;
    if (f->dirty) {
      note_write_of(f->handle);
      if (io_write_page(f->handle, f->page, f->file_page_size, f->data) != 1) {
        pc_error = kPcIoFailed;
        continue;
      }
    }
    make_free(pool, f);
    return f;
  }
  pc_error = kPcNoFrame;
  return nullptr;
}

PageFrame* frame_of_file(PagedFile* file, uint8_t* data) {
  PageFrame* f = pc_frame_of(data);
  assert(f->data == data);
  assert(f->handle == file->handle);
  (void)file;
  return f;
}

}  // namespace

// --- pools -----------------------------------------------------------------

PagePool* pc_pool_create(int page_size, int frame_count) {
  assert(page_size > 0 && frame_count >= 0);
  pc_error = kPcOk;
  PagePool* pool = new (std::nothrow) PagePool{};
  if (pool == nullptr) {
    pc_error = kPcNoMemory;
    return nullptr;
  }
  pool->bucket_count = bucket_count_for(frame_count);
  pool->buckets = new (std::nothrow) PageFrame*[static_cast<size_t>(pool->bucket_count)]();
  if (pool->buckets == nullptr) {
    delete pool;
    pc_error = kPcNoMemory;
    return nullptr;
  }
  pc_pools.push(pool);
  pool->page_size = page_size;
  int added = pc_add_frames(pool, frame_count);
  if (added < frame_count) {
    pc_remove_frames(pool, added);
    assert(pool->lru_head == nullptr);  // every frame was free and clean
    pc_pools.remove(pool);
    delete[] pool->buckets;
    delete pool;
    pc_error = kPcNoMemory;
    return nullptr;
  }
  return pool;
}

int pc_add_frames(PagePool* pool, int count) {
  if (!pc_pools.contains(pool)) {
    pc_error = kPcNoPool;
    return 0;
  }
  pc_error = kPcOk;
  size_t bytes = sizeof(PageFrame) + static_cast<size_t>(pool->page_size);
  int added = 0;
  for (; added < count; ++added) {
    auto* f = static_cast<PageFrame*>(std::malloc(bytes));
    if (f == nullptr) {
      pc_error = kPcNoMemory;
      break;
    }
    f->hash_next = nullptr;
    f->pins = 0;
    f->handle = -1;
    f->page = -1;
    f->file_page_size = 0;
    f->dirty = 0;
    f->dirty_next = nullptr;
    f->dirty_prev = nullptr;
    f->checked = 0;
    f->data = reinterpret_cast<uint8_t*>(f + 1);
    std::memset(f->data, 0, static_cast<size_t>(pool->page_size));
    lru_push_head(pool, f);
    ++pool->frame_count;
  }
  return added;
}

int pc_remove_frames(PagePool* pool, int count) {
  if (!pc_pools.contains(pool)) {
    pc_error = kPcNoPool;
    return 0;
  }
  int removed = 0;
  while (removed < count) {
    PageFrame* f = take_frame(pool);
    if (f == nullptr) break;
    lru_unlink(pool, f);
    std::free(f);
    --pool->frame_count;
    ++removed;
  }
  pc_error = kPcOk;
  return removed;
}

int pc_pool_destroy(PagePool* pool) {
  if (!pc_pools.contains(pool)) {
    pc_error = kPcNoPool;
    return -1;
  }
  pc_error = kPcOk;
  // Pins are not looked at: whatever was changed reaches the file.
  PageFrame* f = pool->lru_head;
  while (f != nullptr) {
    PageFrame* next = f->lru_next;
    if (f->dirty && io_write_page(f->handle, f->page, f->file_page_size, f->data) != 1)
      pc_error = kPcIoFailed;
    std::free(f);
    f = next;
  }
  pc_pools.remove(pool);
  delete[] pool->buckets;
  delete pool;
  return pc_error != kPcOk ? -1 : 1;
}

// --- paged files -----------------------------------------------------------

PagedFile* pc_open(const char* name, PagePool* pool, int shared, int read_only) {
  assert(pc_pools.contains(pool));
  PagedFile* file = new (std::nothrow) PagedFile{};
  if (file == nullptr) {
    pc_error = kPcNoMemory;
    return nullptr;
  }
  file->written = 0;
  file->pool = pool;
  file->handle = io_open(name, read_only ? 0 : 1, shared);
  if (file->handle == -1) {
    delete file;
    pc_error = kPcIoFailed;
    return nullptr;
  }
  uint8_t word[2];
  if (io_read_page(file->handle, 0, 2, word) != 1) {
    io_close(file->handle);
    delete file;
    pc_error = kPcIoFailed;
    return nullptr;
  }
  int page_size = get_i16(word);
  if (page_size > pool->page_size) {
    io_close(file->handle);
    delete file;
    pc_error = kPcPageTooLarge;
    return nullptr;
  }
  file->page_size = page_size;
  pc_files.push(file);
  pc_error = kPcOk;
  return file;
}

int pc_close(PagedFile* file, bool to_disk) {
  assert(pc_files.contains(file));
  pc_error = kPcOk;
  int flushed = to_disk ? pc_flush(file) : pc_write_dirty(file);
  int flush_error = pc_error;
  int dropped = pc_drop_pages(file);
  // The drop starts from 0; when only the flush failed, its cause is the one
  // to report.
  if (dropped == 1 && flushed != 1) pc_error = flush_error;
  (void)io_close(file->handle);
  pc_files.remove(file);
  delete file;
  return flushed == 1 && dropped == 1 ? 1 : -1;
}

uint8_t* pc_get_page(PagedFile* file, int32_t page) {
  PagePool* pool = file->pool;
  pc_error = kPcOk;
  PageFrame* f = hash_find(pool, file->handle, page);
  if (f != nullptr) {
    ++f->pins;
    lru_touch(pool, f);
    return f->data;
  }
  f = take_frame(pool);
  if (f == nullptr) return nullptr;  // pc_error 3
  if (io_read_page(file->handle, page, file->page_size, f->data) != 1) {
    pc_error = kPcIoFailed;
    return nullptr;  // the frame stays free
  }
  f->handle = file->handle;
  f->page = page;
  f->pins = 1;
  f->file_page_size = file->page_size;
  assert(!f->dirty);  // take_frame hands out clean frames
  f->checked = 0;  // invariant (7): fresh from the file
  hash_push(pool, f);
  lru_touch(pool, f);
  return f->data;  // pc_error 4 here: another frame's write-back failed on the way
}

uint8_t* pc_new_page(PagedFile* file, int32_t page) {
  PagePool* pool = file->pool;
  pc_error = kPcOk;
  // A frame still holding the page (a new page whose write failed) is the
  // one to reuse: two frames of one page would shadow each other.
  PageFrame* f = hash_find(pool, file->handle, page);
  if (f != nullptr) {
    mark_clean(pool, f);
  } else {
    f = take_frame(pool);
    if (f == nullptr) return nullptr;  // pc_error 3
    f->handle = file->handle;
    f->page = page;
    hash_push(pool, f);
  }
  f->pins = 1;
  f->file_page_size = file->page_size;
  assert(!f->dirty);  // take_frame hands out clean frames
  f->checked = 0;  // invariant (7): a zero page is no node yet
  std::memset(f->data, 0, static_cast<size_t>(pool->page_size));
  lru_touch(pool, f);
  return f->data;  // pc_error as left by take_frame (0, or 4 as in pc_get_page)
}

int pc_release_page(PagedFile* file, uint8_t* data, int write_now) {
  PageFrame* f = frame_of_file(file, data);
  if (f->pins > 0) --f->pins;
  if (write_now) {
    // Page 0 holds the file header, which the index layer writes itself; a
    // write-now of page 0 before anything of the file changed would put the
    // cache's stale copy over it.
    if (!(file->written == 0 && f->page == 0)) {
      pc_note_write(file);
      if (io_write_page(f->handle, f->page, file->page_size, f->data) != 1) {
        pc_error = kPcIoFailed;
        return -1;
      }
      file->written = 2;
    }
    mark_clean(file->pool, f);
  } else {
    mark_dirty(file->pool, f);
    file->written = 2;
  }
  lru_touch(file->pool, f);
  pc_error = kPcOk;
  return 1;
}

int pc_unpin_page(PagedFile* file, uint8_t* data) {
  PageFrame* f = frame_of_file(file, data);
  if (f->pins > 0) --f->pins;
  lru_touch(file->pool, f);
  pc_error = kPcOk;
  return 1;
}

namespace {

// Writes one dirty frame back; 1 / -1 (pc_error 4, the frame stays dirty).
int write_back(PagedFile* file, PageFrame* f) {
  pc_note_write(file);
  if (io_write_page(f->handle, f->page, file->page_size, f->data) != 1) {
    pc_error = kPcIoFailed;
    return -1;
  }
  mark_clean(file->pool, f);
  return 1;
}

}  // namespace

int pc_write_dirty(PagedFile* file) {
  pc_error = kPcOk;
  PagePool* pool = file->pool;
  int count = 0;
  for (PageFrame* f = pool->dirty_head; f != nullptr; f = f->dirty_next)
    if (f->handle == file->handle) ++count;
  if (count == 0) return 1;
  int result = 1;
  // Ascending page order, so that the writes run front to back through the
  // file. The order is a courtesy to the disk, not a rule: without memory
  // for the list the frames go out in LRU order instead.
  auto* list = count > 1 ? static_cast<PageFrame**>(std::malloc(sizeof(PageFrame*) * static_cast<size_t>(count)))
                         : nullptr;
  if (list != nullptr) {
    int n = 0;
    for (PageFrame* f = pool->dirty_head; f != nullptr; f = f->dirty_next)
      if (f->handle == file->handle) list[n++] = f;
    assert(n == count);
    std::sort(list, list + n, [](const PageFrame* a, const PageFrame* b) { return a->page < b->page; });
    for (int i = 0; i < n; ++i)
      if (write_back(file, list[i]) != 1) result = -1;
    std::free(list);
  } else {
    // A frame written back leaves the dirty list: step on before writing.
    for (PageFrame* f = pool->dirty_head; f != nullptr;) {
      PageFrame* next = f->dirty_next;
      if (f->handle == file->handle && write_back(file, f) != 1) result = -1;
      f = next;
    }
  }
  if (result != 1) pc_error = kPcIoFailed;
  return result;
}

int pc_sync(PagedFile* file) {
  pc_error = kPcOk;
  const uint32_t count = file->write_count;
  if (io_flush(file->handle) != 1) {
    pc_error = kPcIoFailed;
    return -1;
  }
  file->synced_count = count;
  file->synced = 1;
  return 1;
}

int pc_flush(PagedFile* file) {
  int result = pc_write_dirty(file);
  // A flush to disk costs as much with nothing to write as with something:
  // skip it when every write since the last one is on disk already.
  if (result == 1 && file->synced && file->write_count == file->synced_count) return 1;
  const int error = pc_error;
  if (pc_sync(file) != 1) return -1;
  if (result != 1) pc_error = error;
  return result;
}

int pc_has_dirty(PagedFile* file) {
  pc_error = kPcOk;
  for (PageFrame* f = file->pool->dirty_head; f != nullptr; f = f->dirty_next)
    if (f->handle == file->handle) return 1;
  return 0;
}

int pc_drop_pages(PagedFile* file) {
  PagePool* pool = file->pool;
  pc_error = kPcOk;
  int result = 1;
  for (PageFrame* f = pool->lru_head; f != nullptr; f = f->lru_next) {
    if (f->handle != file->handle) continue;
    if (f->dirty) {
      pc_error = kPcDirtyDrop;
      result = -1;
    }
    if (f->pins > 0) {
      pc_error = kPcPinnedDrop;
      result = -1;
    }
    make_free(pool, f);
    f->pins = 0;
  }
  return result;
}

int pc_pinned_count(PagedFile* file) {
  int n = 0;
  for (PageFrame* f = file->pool->lru_head; f != nullptr; f = f->lru_next)
    if (f->handle == file->handle && f->pins > 0) ++n;
  return n;
}
