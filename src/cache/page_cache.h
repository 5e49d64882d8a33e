// The page cache: one process-wide pool of fixed-size page frames that serves
// every open index file.
//
// The index layer opens each index file as a PagedFile of the pool and works
// only on pinned pages: it asks for a page, reads or changes it in place and
// hands the data pointer back, either writing the page at once or leaving it
// dirty for later write-back. Data files never pass through here.
//
// Frame memory: one allocation per frame, the PageFrame header followed
// directly by `page size` bytes of data. Callers only ever see the data
// pointer; the cache finds the header just before it.
//
// Invariants
//   (1) a free frame has handle -1 and page -1 and is in no hash chain;
//   (2) a frame holding (handle, page) is in exactly the chain of bucket
//       (handle + page) mod bucket_count; bucket_count is a power of two,
//       at least 64 and at least the frame count the pool was created with,
//       fixed for the pool's life (frames added later share the chains);
//   (3) every frame is in the pool's LRU list exactly once, least recently
//       used at the head;
//   (4) the pin count is never below 0; only unpinned frames are reused;
//   (5) getting and releasing a page allocate nothing;
//   (6) a frame is in the pool's dirty list exactly while its dirty flag
//       is 1, so that flushing costs in proportion to the dirty frames;
//   (7) `checked` is 0 whenever a frame's bytes came from the file or are a
//       fresh zero page and nobody has vouched for them since: the cache
//       clears it on every read from disk and every new page; the index
//       layer sets it once a page passed its node check (see btree/).
//
// Errors: every operation sets `pc_error` (table below). The cache takes no
// locks and is used from one thread at a time; changes other processes make
// to a file are noticed by the index layer, which then drops its pages.
#pragma once

#include <cstdint>

#include "cache/registry_list.h"

// pc_error values.
enum : int {
  kPcOk = 0,
  kPcNoPool = 1,        // the pool is not in the pool registry
  kPcNoMemory = 2,      // out of memory
  kPcNoFrame = 3,       // no frame can be reused (all pinned, or write-backs failed)
  kPcIoFailed = 4,      // a read, write, flush or open of the file failed
  kPcPinnedDrop = 6,    // a frame of the file was still pinned when dropped
  kPcPageTooLarge = 7,  // the file's page size exceeds the pool's
  kPcDirtyDrop = 9,     // a frame of the file was still dirty when dropped
};

extern int pc_error;

// Hash buckets of a pool: at least this many (a pool of up to 64 frames has
// exactly 64), else the frame count rounded up to a power of two.
constexpr int kPcMinBuckets = 64;

struct PageFrame {
  PageFrame* lru_next;   // toward the most recently used end
  PageFrame* lru_prev;   // toward the least recently used end
  PageFrame* hash_next;
  int pins;
  int handle;            // -1 when free
  int32_t page;          // -1 when free
  int32_t file_page_size;  // bytes written back for this frame
  int dirty;             // 0 or 1
  int checked;           // invariant (7)
  PageFrame* dirty_next;  // the pool's dirty list (invariant 6)
  PageFrame* dirty_prev;
  uint8_t* data;         // points just past this header
};

struct PagePool {
  PagePool* next;  // registry link
  PageFrame* lru_head;  // least recently used
  PageFrame* lru_tail;  // most recently used
  PageFrame* dirty_head;  // every dirty frame, of all files (invariant 6)
  PageFrame** buckets;  // bucket_count chain heads, allocated with the pool
  int bucket_count;     // invariant (2)
  int page_size;
  int frame_count;
};

struct PagedFile {
  PagedFile* next;  // registry link
  int handle;
  PagePool* pool;
  int page_size;   // from the file's first two bytes
  uint8_t written;  // 0 after open; 2 once any page was written or marked dirty
  // Writes to the file since open: every page write of the cache, and every
  // write its owner makes to the handle itself, told through pc_note_write.
  uint32_t write_count;
  // write_count at the last successful flush to disk by pc_flush or pc_sync;
  // meaningful only once `synced` is 1 (the first flush after open always
  // reaches the disk, whatever the file held before it was opened).
  uint32_t synced_count;
  uint8_t synced;
};

extern RegistryList<PagePool> pc_pools;
extern RegistryList<PagedFile> pc_files;

PagePool* pc_pool_create(int page_size, int frame_count);
int pc_pool_destroy(PagePool* pool);
int pc_add_frames(PagePool* pool, int count);
int pc_remove_frames(PagePool* pool, int count);

PagedFile* pc_open(const char* name, PagePool* pool, int shared, int read_only);
// Writes the dirty frames and flushes the file to disk (not when `to_disk`
// is false: a file whose writes need only reach the system's cache), then
// closes it.
int pc_close(PagedFile* file, bool to_disk = true);

uint8_t* pc_get_page(PagedFile* file, int32_t page);
uint8_t* pc_new_page(PagedFile* file, int32_t page);
int pc_release_page(PagedFile* file, uint8_t* data, int write_now);
int pc_unpin_page(PagedFile* file, uint8_t* data);
// Writes every dirty frame of the file (ascending page order) and flushes
// the file to disk; the flush is left out when nothing was written to the
// file since its last flush to disk (see PagedFile::synced_count). 1 / -1
// (pc_error 4).
int pc_flush(PagedFile* file);
// Flushes the file to disk and records it (no page is written). 1 / -1
// (pc_error 4).
int pc_sync(PagedFile* file);
// The owner wrote to the file's handle itself (the index layer's header):
// the next pc_flush must reach the disk.
inline void pc_note_write(PagedFile* file) { ++file->write_count; }
// Writes every dirty frame of the file in ascending page order, without the
// flush to disk that pc_flush adds (a caller that syncs once after more
// writes of its own). 1 / -1 (pc_error 4); frames whose write failed stay
// dirty.
int pc_write_dirty(PagedFile* file);
int pc_has_dirty(PagedFile* file);
int pc_drop_pages(PagedFile* file);

// For tests and diagnostics: the frame behind a data pointer handed out by
// pc_get_page or pc_new_page.
inline PageFrame* pc_frame_of(uint8_t* data) { return reinterpret_cast<PageFrame*>(data) - 1; }
// Number of frames of `file` now pinned (tests and leak checks).
int pc_pinned_count(PagedFile* file);
