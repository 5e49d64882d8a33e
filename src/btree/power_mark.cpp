// The unflushed mark and the busy mark of a shared index file (see
// index_file.h).
#include <cstring>

#include "btree/index_file.h"
#include "cache/bytes.h"

namespace {

// ix_error_site numbers of this file.
enum : int {
  kSiteMarkRead = 58,
  kSiteMarkStale = 59,
  kSiteMarkWrite = 60,
  kSiteMarkFlush = 61,
  kSiteBusyRead = 62,
  kSiteBusyLeft = 63,
  kSiteBusyWrite = 64,
};

int fail(int error, int site) {
  ix_error = error;
  ix_error_site = site;
  return -1;
}

constexpr uint8_t kMagic[4] = {'U', 'N', 'F', 'L'};
constexpr uint8_t kBusy[kIxBusySize] = {'B', 'U', 'S', 'Y'};

uint32_t fnv1a(const uint8_t* p, int n) {
  uint32_t h = 2166136261u;
  for (int i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

// The mark of the running boot; false when the system does not tell it.
bool this_boots_mark(uint8_t out[kIxMarkSize]) {
  std::memcpy(out, kMagic, 4);
  if (io_boot_id(out + 4) != 1) return false;
  put_i32(out + 20, static_cast<int32_t>(fnv1a(out, 20)));
  return true;
}

int handle_of(const IndexFile* f) { return f->paged->handle; }

// The busy mark's bytes, written up to three times as a commit's are.
bool put_busy(IndexFile* f, const uint8_t bytes[kIxBusySize]) {
  for (int tries = 0; tries < 3; ++tries) {
    pc_note_write(f->paged);
    if (io_write_at(handle_of(f), kIxBusyOffset, kIxBusySize, bytes) == 1) return true;
  }
  return false;
}

}  // namespace

int ix_mark_check(IndexFile* f) {
  uint8_t found[kIxMarkSize + kIxBusySize];
  if (io_read_at(handle_of(f), kIxMarkOffset, kIxMarkSize + kIxBusySize, found) != 1)
    return fail(kIxReadFailed, kSiteMarkRead);
  // Read under the reader lock, which no writer at work lets anyone take.
  if (std::memcmp(found + kIxMarkSize, kBusy, kIxBusySize) == 0) return ix_cut_short(kSiteBusyLeft);
  static const uint8_t kNone[kIxMarkSize] = {};
  f->marked = 0;
  if (std::memcmp(found, kNone, kIxMarkSize) == 0) return 1;
  // Writes of this boot that have not reached the disk are still in the
  // system's cache, where every process reads them.
  uint8_t mine[kIxMarkSize];
  if (!this_boots_mark(mine) || std::memcmp(found, mine, kIxMarkSize) != 0) return fail(kIxNotWrittenOut, kSiteMarkStale);
  f->marked = 1;
  return 1;
}

int ix_mark_before_writes(IndexFile* f) {
  if (f->marked) return 1;
  uint8_t mine[kIxMarkSize];
  if (!this_boots_mark(mine)) return 0;
  // The mark is on disk before any write it vouches for can be.
  pc_note_write(f->paged);
  if (io_write_at(handle_of(f), kIxMarkOffset, kIxMarkSize, mine) != 1) return fail(kIxWriteFailed, kSiteMarkWrite);
  if (pc_sync(f->paged) != 1) return fail(kIxFlushFailed, kSiteMarkFlush);
  f->marked = 1;
  return 1;
}

int ix_mark_clear(IndexFile* f) {
  if (!f->marked) return 1;
  static const uint8_t kNone[kIxMarkSize] = {};
  pc_note_write(f->paged);
  if (io_write_at(handle_of(f), kIxMarkOffset, kIxMarkSize, kNone) != 1) return fail(kIxWriteFailed, kSiteMarkWrite);
  if (pc_sync(f->paged) != 1) return fail(kIxFlushFailed, kSiteMarkFlush);
  f->marked = 0;
  return 1;
}

int ix_cut_short_seen = 0;

int ix_cut_short(int site) {
  ++ix_cut_short_seen;
  return fail(kIxCutShort, site);
}

bool ix_busy_in(const uint8_t* bytes) { return std::memcmp(bytes, kBusy, kIxBusySize) == 0; }

int ix_busy_begin(IndexFile* f) {
  if (!f->shared || f->busy) return 1;
  uint8_t found[kIxBusySize];
  if (io_read_at(handle_of(f), kIxBusyOffset, kIxBusySize, found) != 1) return fail(kIxReadFailed, kSiteBusyRead);
  if (std::memcmp(found, kBusy, kIxBusySize) == 0) return ix_cut_short(kSiteBusyLeft);
  if (!put_busy(f, kBusy)) return fail(kIxWriteFailed, kSiteBusyWrite);
  f->busy = 1;
  return 1;
}

int ix_busy_end(IndexFile* f) {
  if (!f->busy || f->busy_kept) return 1;
  static const uint8_t kNone[kIxBusySize] = {};
  // A write that fails leaves the mark, and the change is reported failed:
  // this process takes it off at its next change, or the next process
  // rebuilds the index, which is always sound.
  if (!put_busy(f, kNone)) return fail(kIxWriteFailed, kSiteBusyWrite);
  f->busy = 0;
  return 1;
}
