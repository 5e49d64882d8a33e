// Sharing one index file between processes: reader bytes, the writer range,
// the header refresh, the commit, and ix_lock / ix_unlock.
//
// Lock ranges are byte-range locks on header-page bytes [36, page_size).
// Invariants of this process's locks on a shared file:
//   (1) while the writer field of lock_state is not 0, this process holds
//       every byte of [36, page_size);
//   (2) while only the reader field is not 0, it holds exactly the byte at
//       lock_byte;
//   (3) while neither is set, it holds nothing.
// The writer range is taken in two pieces around an own reader byte and given
// back the same way, so that the reader byte survives the writer's release.
// A reader hold asked for while the writer is held needs no byte of its own:
// by (1) lock_byte is locked already, and releasing the writer around it
// leaves it locked, which restores (2).
#include <cassert>
#include <cstring>

#include "btree/index_file.h"

namespace {

// ix_error_site numbers of this file.
enum : int {
  kSiteReaderBusy = 27,
  kSiteWriterBusy = 28,
  kSiteWriterQuickBusy = 29,
  kSiteUnlockWriter = 30,
  kSiteUnlockReader = 31,
  kSiteRefreshRead = 32,
  kSiteRefreshChecksum = 33,
  kSiteRefreshBadHeader = 34,
  kSiteRefreshDrop = 35,
  kSiteCommitFlush = 36,
  kSiteDeferredFlush = 37,
  kSiteDeferredSync = 38,
  kSiteHeaderWrite = 39,
  kSiteLockMode = 40,
  kSiteUnlockMode = 41,
  kSiteRefreshCutShort = 65,
};

int fail(int error, int site) {
  ix_error = error;
  ix_error_site = site;
  return -1;
}

int handle_of(IndexFile* f) { return f->paged->handle; }
// From the paged file, not the header: the first open takes its reader byte
// before the header has been read.
int page_size_of(IndexFile* f) { return f->paged->page_size; }

// Locks [from, to), which may be empty. A zero length must never reach the
// lock call: for a byte-range lock it means "to the end of the file and on".
int lock_piece(IndexFile* f, int32_t from, int32_t to, int tries) {
  if (to <= from) return 1;
  return io_lock(handle_of(f), from, to - from, tries, ix_lock_settings.delay_ms, ix_lock_settings.limit_ms);
}

int unlock_piece(IndexFile* f, int32_t from, int32_t to) {
  if (to <= from) return 1;
  return io_unlock(handle_of(f), from, to - from);
}

// One reader byte, searched from lock_byte with one try per byte, wrapping
// from page_size back to 36; up to `tries` passes, `delay_ms` apart.
int take_reader_byte(IndexFile* f) {
  int32_t end = page_size_of(f);
  if (f->lock_byte < kIxHeaderSize || f->lock_byte >= end) f->lock_byte = kIxHeaderSize;
  int32_t start = f->lock_byte;
  for (int pass = 0; pass < ix_lock_settings.tries; ++pass) {
    if (pass > 0) io_sleep(ix_lock_settings.delay_ms);
    int32_t b = start;
    do {
      if (lock_piece(f, b, b + 1, 1) == 1) {
        f->lock_byte = b;
        return 1;
      }
      if (++b >= end) b = kIxHeaderSize;
    } while (b != start);
  }
  return fail(kIxLockFailed, kSiteReaderBusy);
}

// The writer range: in two pieces around the own reader byte when there is
// one (the pair tried `rounds` times, the first piece given back when the
// second fails), else in one piece.
int take_writer_range(IndexFile* f, int tries, int rounds) {
  int32_t end = page_size_of(f);
  if (ix_reader_state(f->lock_state) == kLockNone) return lock_piece(f, kIxHeaderSize, end, tries);
  int32_t lb = f->lock_byte;
  for (int round = 0; round < rounds; ++round) {
    if (lock_piece(f, kIxHeaderSize, lb, tries) != 1) continue;
    if (lock_piece(f, lb + 1, end, tries) == 1) return 1;
    (void)unlock_piece(f, kIxHeaderSize, lb);
  }
  return -1;
}

// Gives the writer range back (invariant 1 -> 2 or 3).
int release_writer(IndexFile* f) {
  const int cleared = ix_busy_end(f);  // while the lock is still ours
  const int error = ix_error, site = ix_error_site;
  int32_t end = page_size_of(f);
  int rc;
  if (ix_reader_state(f->lock_state) != kLockNone) {
    int32_t lb = f->lock_byte;
    int a = unlock_piece(f, kIxHeaderSize, lb);
    int b = unlock_piece(f, lb + 1, end);
    rc = a == 1 && b == 1 ? 1 : -1;
  } else {
    rc = unlock_piece(f, kIxHeaderSize, end);
  }
  f->lock_state = ix_with_writer(f->lock_state, kLockNone);
  if (rc != 1) return fail(kIxUnlockFailed, kSiteUnlockWriter);
  return cleared == 1 ? 1 : fail(error, site);
}

// Gives the reader byte back; under a writer the byte stays, as part of the
// writer range (invariant 1).
int release_reader(IndexFile* f) {
  int rc = 1;
  if (ix_writer_state(f->lock_state) == kLockNone) rc = unlock_piece(f, f->lock_byte, f->lock_byte + 1);
  f->lock_state = ix_with_reader(f->lock_state, kLockNone);
  return rc == 1 ? 1 : fail(kIxUnlockFailed, kSiteUnlockReader);
}

constexpr int kDeferredTries = 3;

// Settles a deferred commit before a held writer lock is given up.
int write_deferred(IndexFile* f) {
  if (!f->header_deferred) return 1;
  // Pages first, then the header, then the flush, all before the writer
  // range is released: another process that sees the new change_count drops
  // its cached pages of this file and reads them again, so every page the
  // commit changed must be on disk by then.
  // Other processes read through the system's file cache, so for them the
  // order of the writes is what counts; one flush after both then makes
  // the commit durable, unless the file carries this boot's unflushed mark.
  // (A second flush between pages and header would buy no crash safety:
  // pages change in place, without a journal.)
  // A write that fails leaves its frame dirty, so the commit is tried
  // again while the lock is still ours: once it goes, other processes would
  // read an index half of whose pages are new, beside a data file that
  // already holds the change.
  int rc = -1;
  for (int tries = 0; tries < kDeferredTries && rc != 1; ++tries) {
    rc = 1;
    if (pc_write_dirty(f->paged) != 1) rc = fail(kIxFlushFailed, kSiteDeferredFlush);
    if (rc == 1 && ix_write_header(f) != 1) rc = -1;
    if (rc == 1 && !ix_commits_unflushed(f) && pc_sync(f->paged) != 1) rc = fail(kIxFlushFailed, kSiteDeferredSync);
  }
  if (rc == 1) f->header_deferred = 0;
  else f->busy_kept = 1;  // the index file may hold part of the commit
  return rc;
}

// Gives up a lock held by ix_lock: it becomes an operation lock and the
// operation's release frees it.
int give_up_held_writer(IndexFile* f) {
  if (ix_writer_state(f->lock_state) != kLockHeld) return 1;
  int rc = write_deferred(f);
  f->lock_state = ix_with_writer(f->lock_state, kLockForOp);
  if (ix_end_op(f) != 1) rc = -1;
  return rc;
}

int give_up_held_reader(IndexFile* f) {
  if (ix_reader_state(f->lock_state) != kLockHeld) return 1;
  f->lock_state = ix_with_reader(f->lock_state, kLockForOp);
  return ix_end_op(f);
}

}  // namespace

int ix_lock_reader(IndexFile* f) {
  if (!f->shared || f->lock_state != 0) return 1;
  if (take_reader_byte(f) != 1) return -1;
  f->lock_state = ix_with_reader(f->lock_state, kLockForOp);
  return 1;
}

int ix_lock_writer(IndexFile* f, int quick) {
  if (!f->shared || ix_writer_state(f->lock_state) != kLockNone) return 1;
  int got = -1;
  if (quick) {
    // Three single tries, 1 ms apart: a flush does not wait long.
    for (int attempt = 0; attempt < 3 && got != 1; ++attempt) {
      got = take_writer_range(f, 1, 1);
      if (got != 1) io_sleep(1);
    }
  } else {
    got = take_writer_range(f, ix_lock_settings.tries, 5);
  }
  if (got != 1) return fail(kIxLockFailed, quick ? kSiteWriterQuickBusy : kSiteWriterBusy);
  f->lock_state = ix_with_writer(f->lock_state, kLockForOp);
  return 1;
}

int ix_release_all(IndexFile* f) {
  int a = give_up_held_writer(f);
  int b = give_up_held_reader(f);
  int c = ix_end_op(f);
  assert(f->lock_state == 0);  // invariant (3)
  return a == 1 && b == 1 && c == 1 ? 1 : -1;
}

int ix_refresh(IndexFile* f) {
  if (!f->shared) return 1;
  if (ix_lock_reader(f) != 1) return -1;
  if (f->header_valid) return 1;
  // The header and, in the same read, the busy mark: one left by another
  // process means its change was cut short, and the index may name records
  // that changed (see ix_busy_begin).
  uint8_t raw[kIxBusyOffset + kIxBusySize];
  IndexHeader h;
  if (io_read_at(handle_of(f), 0, sizeof raw, raw) != 1) return fail(kIxReadFailed, kSiteRefreshRead);
  if (!f->busy && ix_busy_in(raw + kIxBusyOffset)) return ix_cut_short(kSiteRefreshCutShort);
  if (ix_header_decode(raw, &h) != 1) return fail(kIxBadChecksum, kSiteRefreshChecksum);
  if (ix_header_sane(h) != 1 || h.page_size != f->header.page_size) return ix_damaged(kSiteRefreshBadHeader);
  std::memcpy(f->disk_header, raw, kIxHeaderSize);
  f->disk_header_known = 1;
  if (h.change_count != f->header.change_count) {
    // Another process committed: every cached page of this file may be stale.
    f->header = h;
    f->seen_change_count = h.change_count;
    if (pc_drop_pages(f->paged) != 1) return fail(kIxDropFailed, kSiteRefreshDrop);
    ix_journal_forget(f);
  }
  f->header_valid = 1;
  return 1;
}

int ix_begin_write(IndexFile* f) {
  if (ix_lock_writer(f, 0) != 1) return -1;
  if (ix_refresh(f) != 1) return -1;
  if (!f->shared) return 1;
  return ix_mark_before_writes(f) == -1 || ix_busy_begin(f) != 1 ? -1 : 1;
}

int ix_end_op(IndexFile* f) {
  int rc = 1;
  if (ix_writer_state(f->lock_state) == kLockForOp && release_writer(f) != 1) rc = -1;
  if (ix_reader_state(f->lock_state) == kLockForOp && release_reader(f) != 1) rc = -1;
  if (f->shared && f->lock_state == 0) f->header_valid = 0;
  return rc;
}

int ix_write_header(IndexFile* f) {
  uint8_t raw[kIxHeaderSize];
  ix_header_encode(f->header, raw);
  f->header.checksum = ix_header_checksum(raw);
  pc_note_write(f->paged);
  f->disk_header_known = 0;  // a failed write may have left anything there
  if (io_write_at(handle_of(f), 0, kIxHeaderSize, raw) != 1) return fail(kIxWriteFailed, kSiteHeaderWrite);
  std::memcpy(f->disk_header, raw, kIxHeaderSize);
  f->disk_header_known = 1;
  return 1;
}

bool ix_header_unchanged(IndexFile* f) {
  if (!f->disk_header_known) return false;
  uint8_t raw[kIxHeaderSize];
  ix_header_encode(f->header, raw);
  return std::memcmp(raw, f->disk_header, kIxHeaderSize) == 0;
}

int ix_commit(IndexFile* f) {
  // A 32-bit counter on disk: it wraps around (and a damaged header may hold any value).
  f->header.change_count = static_cast<int32_t>(static_cast<uint32_t>(f->header.change_count) + 1u);
  f->seen_change_count = f->header.change_count;
  if (!f->shared) return 1;  // the header reaches the file at flush or close
  if (ix_writer_state(f->lock_state) == kLockHeld && f->header_valid) {
    f->header_deferred = 1;  // written when the held writer lock is given up
    return ix_end_op(f);
  }
  // Under this boot's mark the commit goes to the system's cache only, where
  // every process reads it; else it is flushed to disk.
  int rc = ix_write_header(f);
  if (rc == 1 && (ix_commits_unflushed(f) ? pc_write_dirty(f->paged) : pc_flush(f->paged)) != 1)
    rc = fail(kIxFlushFailed, kSiteCommitFlush);
  if (rc != 1 && ix_journal_undo(f) == 1) {
    // The change is given up: the pages as they were go out in its place,
    // so that the file does not keep part of a change reported as failed.
    int error = ix_error, site = ix_error_site;
    if (ix_write_header(f) == 1) (void)pc_flush(f->paged);
    ix_error = error;
    ix_error_site = site;
  }
  if (rc == 1) f->header_deferred = 0;
  else f->busy_kept = 1;  // the index file may hold part of the change
  if (ix_end_op(f) != 1) rc = -1;
  return rc;
}

int ix_lock(IndexHandle* h, int mode) {
  if (ix_enter(h, kOpLock) != 1) return -1;
  IndexFile* f = h->file;
  if (mode != 1 && mode != 2) return fail(kIxLockFailed, kSiteLockMode);
  if (!f->shared) return 1;
  int rc;
  if (mode == 1) {
    rc = ix_lock_reader(f);
    if (rc == 1) f->lock_state = ix_with_reader(f->lock_state, kLockHeld);
  } else {
    // The mark goes first: a change made under the lock writes its data
    // file before its index file, and a mark that failed there would end
    // the change half made.
    rc = ix_lock_writer(f, 0);
    if (rc == 1 && (ix_mark_before_writes(f) == -1 || ix_busy_begin(f) != 1)) {
      const int error = ix_error, site = ix_error_site;
      (void)ix_end_op(f);
      ix_error = error;
      ix_error_site = site;
      return -1;
    }
    if (rc == 1) f->lock_state = ix_with_writer(f->lock_state, kLockHeld);
  }
  if (rc == 1) return 1;
  return ix_error == kIxLockFailed ? -4 : -1;
}

int ix_unlock(IndexHandle* h, int mode) {
  if (ix_enter(h, kOpUnlock) != 1) return -1;
  IndexFile* f = h->file;
  if (mode != 1 && mode != 2) return fail(kIxUnlockFailed, kSiteUnlockMode);
  if (!f->shared) return 1;
  return mode == 1 ? give_up_held_reader(f) : give_up_held_writer(f);
}
