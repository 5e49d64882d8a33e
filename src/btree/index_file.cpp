// Index files: header codec, default comparison, the file and handle lists,
// create, open, page-size query, flush, close and shutdown.
//
// The lock protocol, header refresh and commit live in index_locks.cpp; page
// access, allocation and the free list in pages.cpp.
#include "btree/index_file.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cache/bytes.h"

RegistryList<IndexFile> ix_files;
RegistryList<IndexHandle> ix_handles;
IxLockSettings ix_lock_settings;

namespace {

// ix_error_site numbers of this file (4 and 5 belong to ix_startup).
enum : int {
  kSiteCreateNotStarted = 1,
  kSiteCreateTooLarge = 2,
  kSiteCreateNameOpen = 3,
  kSiteCreateNoMemory = 6,
  kSiteCreateFile = 7,
  kSiteCreateHeaderWrite = 8,
  kSiteCreateZeroFill = 9,
  kSiteCreateCacheOpen = 10,
  kSiteOpenNotStarted = 11,
  kSiteOpenShared = 12,
  kSiteOpenNoMemory = 13,
  kSiteOpenCache = 14,
  kSiteOpenHeaderRead = 15,
  kSiteOpenChecksum = 16,
  kSiteOpenBadHeader = 17,
  kSiteSizeOpen = 18,
  kSiteSizeRead = 19,
  kSiteSizeChecksum = 20,
  kSiteClose = 21,
  kSiteShutdownNotStarted = 22,
  kSiteShutdownPool = 23,
  kSiteFlushWrite = 24,
  kSiteBadHandle = 25,
  kSiteNotOpenFile = 26,
};

int fail(int error, int site) {
  ix_error = error;
  ix_error_site = site;
  return -1;
}

IndexFile* find_file(const char* name) {
  for (IndexFile* f = ix_files.head; f != nullptr; f = f->next)
    if (std::strcmp(f->name, name) == 0) return f;
  return nullptr;
}

IndexFile* new_file(const char* name, int shared) {
  auto* f = new (std::nothrow) IndexFile{};
  if (f == nullptr) return nullptr;
  size_t n = std::strlen(name) + 1;
  f->name = static_cast<char*>(std::malloc(n));
  if (f->name == nullptr) {
    delete f;
    return nullptr;
  }
  std::memcpy(f->name, name, n);
  f->shared = shared ? 1 : 0;
  f->lock_byte = kIxHeaderSize;
  return f;
}

void free_file(IndexFile* f) {
  ix_journal_free(f);
  std::free(f->name);
  delete f;
}

IndexHandle* new_handle(IndexFile* f, IxCompare compare, int read_only) {
  auto* h = new (std::nothrow) IndexHandle{};
  if (h == nullptr) return nullptr;
  h->file = f;
  h->compare = compare != nullptr ? compare : ix_default_compare;
  h->read_only = read_only ? 1 : 0;
  return h;
}

void free_handle(IndexHandle* h) {
  std::free(h->cursor.key);  // the tree code allocates it with malloc
  delete h;
}

// Writes zeros over [from, to) of a raw handle: one buffer when memory allows,
// else 32-byte pieces from the stack.
int write_zeros(int handle, int32_t from, int32_t to) {
  if (to <= from) return 1;
  size_t n = static_cast<size_t>(to - from);
  if (void* buf = std::calloc(n, 1)) {
    int rc = io_write_at(handle, from, static_cast<int32_t>(n), buf);
    std::free(buf);
    return rc;
  }
  uint8_t piece[32] = {};
  for (int32_t at = from; at < to; at += 32) {
    int32_t len = to - at < 32 ? to - at : 32;
    if (io_write_at(handle, at, len, piece) != 1) return -1;
  }
  return 1;
}

// First-opener part of ix_open: the paged file and the header.
int open_first(IndexFile* f, int read_only) {
  f->read_only = read_only ? 1 : 0;
  f->paged = pc_open(f->name, ix_pool(), f->shared, read_only);
  if (f->paged == nullptr)
    return pc_error == kPcPageTooLarge ? fail(kIxPageTooLarge, kSiteOpenCache) : fail(kIxOpenFailed, kSiteOpenCache);
  int rc = 1;
  if (ix_lock_reader(f) != 1) {
    rc = -1;
  } else {
    uint8_t raw[kIxHeaderSize];
    IndexHeader h;
    if (io_read_at(f->paged->handle, 0, kIxHeaderSize, raw) != 1) {
      rc = fail(kIxReadFailed, kSiteOpenHeaderRead);
    } else if (ix_header_decode(raw, &h) != 1) {
      rc = fail(kIxBadChecksum, kSiteOpenChecksum);
    } else if (ix_header_sane(h) != 1) {
      rc = ix_damaged(kSiteOpenBadHeader);
    } else {
      f->header = h;
      f->seen_change_count = h.change_count;
      f->header_valid = 1;
      std::memcpy(f->disk_header, raw, kIxHeaderSize);
      f->disk_header_known = 1;
      rc = ix_mark_check(f);
    }
  }
  if (ix_end_op(f) != 1) rc = -1;
  if (rc != 1) {
    (void)pc_close(f->paged);
    f->paged = nullptr;
  }
  return rc;
}

// The started page size, read without touching ix_operation.
int cache_page_size() {
  int op = ix_operation;
  int ps = ix_started();
  ix_operation = op;
  return ps;
}

}  // namespace

// --- header ----------------------------------------------------------------

uint16_t ix_header_checksum(const uint8_t in[kIxHeaderSize]) {
  uint16_t x = 0;
  for (int at = 0; at <= 22; at += 2) x ^= get_u16(in + at);
  return x;
}

void ix_header_encode(const IndexHeader& h, uint8_t out[kIxHeaderSize]) {
  put_i16(out + 0, h.page_size);
  put_i32(out + 2, h.root_page);
  put_i32(out + 6, h.last_page);
  put_i32(out + 10, h.first_leaf);
  put_i32(out + 14, h.last_leaf);
  put_i32(out + 18, h.free_head);
  put_i16(out + 22, h.height);
  put_i16(out + 24, ix_header_checksum(out));
  put_i16(out + 26, h.format);
  put_i32(out + 28, h.change_count);
  put_i32(out + 32, h.entry_total);
}

int ix_header_decode(const uint8_t in[kIxHeaderSize], IndexHeader* h) {
  h->page_size = get_i16(in + 0);
  h->root_page = get_i32(in + 2);
  h->last_page = get_i32(in + 6);
  h->first_leaf = get_i32(in + 10);
  h->last_leaf = get_i32(in + 14);
  h->free_head = get_i32(in + 18);
  h->height = get_i16(in + 22);
  h->checksum = get_u16(in + 24);
  h->format = get_i16(in + 26);
  h->change_count = get_i32(in + 28);
  h->entry_total = get_i32(in + 32);
  return (ix_header_checksum(in) ^ h->checksum) == 0 ? 1 : 0;
}

int ix_header_sane(const IndexHeader& h) {
  if (h.page_size < kIxMinPageSize || h.last_page < 0 || h.height < 0) return 0;
  const int32_t links[] = {h.root_page, h.first_leaf, h.last_leaf, h.free_head};
  for (int32_t p : links)
    if (p < 0 || p > h.last_page) return 0;
  // The whole file must stay addressable by a signed 32-bit offset.
  if ((static_cast<int64_t>(h.last_page) + 1) * h.page_size > INT32_MAX) return 0;
  return 1;
}

int ix_default_compare(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  int n = a_len < b_len ? a_len : b_len;
  for (int i = 0; i < n; ++i) {
    int x = a[i], y = b[i];
    if (x == y) continue;
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return x < y ? -1 : 1;
  }
  if (a_len == b_len) return 0;
  return a_len < b_len ? -1 : 1;
}

// --- public operations -----------------------------------------------------

IndexHandle* ix_create(const char* name, IxCompare compare, int page_size) {
  ix_operation = kOpCreate;
  ix_error = 0;
  ix_error_site = 0;
  if (page_size == 0) page_size = kIxDefaultPageSize;
  if (page_size < kIxMinPageSize) page_size = kIxMinPageSize;
  int cache = cache_page_size();
  if (cache == 0) return fail(kIxNotStarted, kSiteCreateNotStarted), nullptr;
  // page_size is a signed 16-bit field on disk.
  if (page_size > cache || page_size > INT16_MAX) return fail(kIxPageTooLarge, kSiteCreateTooLarge), nullptr;
  if (find_file(name) != nullptr) return fail(kIxCreateFailed, kSiteCreateNameOpen), nullptr;

  IndexFile* f = new_file(name, 0);
  IndexHandle* h = f != nullptr ? new_handle(f, compare, 0) : nullptr;
  if (h == nullptr) {
    if (f != nullptr) free_file(f);
    return fail(kIxNoMemory, kSiteCreateNoMemory), nullptr;
  }

  (void)io_delete(name);  // a missing file is no failure
  int raw = io_create(name);
  int rc = 1;
  if (raw == -1) {
    rc = fail(kIxCreateFailed, kSiteCreateFile);
  } else {
    f->header = IndexHeader{};
    f->header.page_size = static_cast<int16_t>(page_size);
    uint8_t bytes[kIxHeaderSize];
    ix_header_encode(f->header, bytes);
    if (io_write_at(raw, 0, kIxHeaderSize, bytes) != 1)
      rc = fail(kIxWriteFailed, kSiteCreateHeaderWrite);
    else if (write_zeros(raw, kIxHeaderSize, page_size) != 1)
      rc = fail(kIxWriteFailed, kSiteCreateZeroFill);
    (void)io_close(raw);
  }
  if (rc == 1) {
    f->paged = pc_open(name, ix_pool(), 0, 0);
    if (f->paged == nullptr) rc = fail(kIxOpenFailed, kSiteCreateCacheOpen);
  }
  if (rc != 1) {
    free_handle(h);
    free_file(f);
    return nullptr;
  }
  f->header_valid = 1;
  f->open_count = 1;
  ix_files.push(f);
  ix_handles.push(h);
  return h;
}

IndexHandle* ix_open(const char* name, IxCompare compare, int shared, int read_only) {
  ix_operation = kOpOpen;
  ix_error = 0;
  ix_error_site = 0;
  if (cache_page_size() == 0) return fail(kIxNotStarted, kSiteOpenNotStarted), nullptr;
  shared = shared ? 1 : 0;

  IndexFile* f = find_file(name);
  bool first = f == nullptr;
  if (first) {
    f = new_file(name, shared);
    if (f == nullptr) return fail(kIxNoMemory, kSiteOpenNoMemory), nullptr;
  } else if (f->open_count > 0 && f->shared != shared) {
    return fail(kIxSharedMismatch, kSiteOpenShared), nullptr;
  }
  IndexHandle* h = new_handle(f, compare, read_only);
  if (h == nullptr) {
    if (first) free_file(f);
    return fail(kIxNoMemory, kSiteOpenNoMemory), nullptr;
  }

  int rc;
  if (first) {
    rc = open_first(f, read_only);
  } else {
    rc = ix_refresh(f);
    if (ix_end_op(f) != 1) rc = -1;
  }
  if (rc != 1) {
    free_handle(h);
    if (first) free_file(f);
    return nullptr;
  }
  if (first) ix_files.push(f);
  ++f->open_count;
  ix_handles.push(h);
  return h;
}

int ix_page_size(const char* name) {
  ix_operation = kOpPageSize;
  ix_error = 0;
  ix_error_site = 0;
  if (IndexFile* f = find_file(name)) return f->header.page_size;
  int raw = io_open(name, 0, 1);
  if (raw == -1) raw = io_open(name, 0, 0);
  if (raw == -1) return fail(kIxOpenFailed, kSiteSizeOpen);
  uint8_t bytes[kIxHeaderSize];
  IndexHeader h;
  int rc = 1;
  if (io_read_at(raw, 0, kIxHeaderSize, bytes) != 1)
    rc = fail(kIxReadFailed, kSiteSizeRead);
  else if (ix_header_decode(bytes, &h) != 1)
    rc = fail(kIxReadFailed, kSiteSizeChecksum);
  (void)io_close(raw);
  return rc == 1 ? h.page_size : -1;
}

// Flush of a file, shared by ix_flush and ix_close.
static int flush_file(IndexFile* f) {
  // Nothing of the file was ever changed; but a file open alone under this
  // boot's mark goes to disk, so that the mark can go.
  if (f->paged->written == 0 && (f->shared || !f->marked || f->read_only)) return 1;
  int rc = 1;
  bool held = ix_writer_state(f->lock_state) == kLockHeld;
  bool header_out = false;
  if (!f->shared || held) {
    // Nobody else writes the header meanwhile: bytes already on the file
    // need not go out again (pc_flush then skips the disk flush as well
    // when nothing else was written since the last one).
    if (!ix_header_unchanged(f) && ix_write_header(f) != 1) rc = -1;
    else header_out = true;
  }
  if (f->shared && !held) {
    if (!pc_has_dirty(f->paged)) return rc;
    if (ix_lock_writer(f, 1) != 1) return -1;
  }
  // A shared file under this boot's mark keeps its writes unflushed (see
  // ix_mark_before_writes); one open alone is on disk once flushed, and
  // loses its mark then.
  if (ix_commits_unflushed(f) ? pc_write_dirty(f->paged) != 1 : pc_flush(f->paged) != 1)
    rc = fail(kIxFlushFailed, kSiteFlushWrite);
  else if (!f->shared && ix_mark_clear(f) != 1)
    rc = -1;
  // A deferred commit is settled only once its pages are out too; until
  // then the unlock writes it again.
  if (rc == 1 && header_out) f->header_deferred = 0;
  if (ix_end_op(f) != 1) rc = -1;
  return rc;
}

int ix_flush(IndexHandle* h) {
  if (ix_enter(h, kOpFlush) != 1) return -1;
  return flush_file(h->file);
}

int ix_close(IndexHandle* h) {
  if (ix_enter(h, kOpClose) != 1) return -1;
  IndexFile* f = h->file;
  int rc = flush_file(f);
  ix_handles.remove(h);
  free_handle(h);
  if (f->open_count > 1) {
    --f->open_count;
    return rc;
  }
  if (ix_release_all(f) != 1) rc = -1;
  // Pages of a shared file are written only under the writer lock: what the
  // flush could not write (a commit that failed, the lock held elsewhere) is
  // dropped, never written by the close.
  if (f->shared && pc_has_dirty(f->paged)) {
    (void)pc_drop_pages(f->paged);
    if (rc == 1) rc = fail(kIxFlushFailed, kSiteFlushWrite);
  }
  if (pc_close(f->paged, !ix_commits_unflushed(f)) != 1) rc = fail(kIxCloseFailed, kSiteClose);
  ix_files.remove(f);
  free_file(f);
  return rc;
}

int ix_shutdown() {
  ix_operation = kOpShutdown;
  if (cache_page_size() == 0) return fail(kIxNotStarted, kSiteShutdownNotStarted);
  while (ix_handles.head != nullptr) {
    int rc = ix_close(ix_handles.head);
    ix_operation = kOpShutdown;
    // The failed handle is gone already; the pool stays so that the files
    // still open remain usable and a second shutdown can finish the work.
    if (rc != 1) return -1;
  }
  int rc = pc_pool_destroy(ix_pool());
  ix_reset_startup();
  if (rc != 1) return fail(kIxShutdownFailed, kSiteShutdownPool);
  return 1;
}

int ix_enter(IndexHandle* h, int operation) {
  ix_operation = operation;
  ix_error = 0;
  ix_error_site = 0;
  if (!ix_handles.contains(h)) return fail(kIxBadHandle, kSiteBadHandle);
  if (!ix_files.contains(h->file)) return fail(kIxNotOpenFile, kSiteNotOpenFile);
  return 1;
}

int ix_max_key_length() { return cache_page_size() - kIxKeyOverhead; }
