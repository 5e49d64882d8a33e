// Index files: the header page, the per-file and per-open objects, create,
// open, flush, close, the commit, page allocation with the free-page list,
// and the locking protocol that lets several processes share one file.
//
// An index file holds exactly one B+-tree of fixed-size pages. Keys are byte
// strings with a length; each entry carries a 32-bit record reference that
// this layer stores and returns but never interprets. All page access goes
// through the page cache, all file access through the FileIo table.
//
// Header page (page 0). Little-endian. Bytes 36..page_size are zero on disk
// and are never written after creation: in shared mode they are lock bytes.
//
//   OFFSET  SIZE  FIELD
//      0      2   page_size     signed; bytes per page of this file
//      2      4   root_page     0 = the tree is empty
//      6      4   last_page     highest page number ever allocated
//     10      4   first_leaf    leftmost leaf; 0 when empty
//     14      4   last_leaf     rightmost leaf; 0 when empty
//     18      4   free_head     first page of the free-page list; 0 = none
//     22      2   height        levels; 1 when the root is a leaf, 0 empty
//     24      2   checksum      XOR of the twelve 16-bit words at 0..22
//     26      2   format        always 300
//     28      4   change_count  +1 by every committed insert, delete, replace
//     32      4   entry_total   entries in the tree
//
// The checksum covers bytes 0..23 only, so format, change_count and
// entry_total may change without it; on open the XOR of the thirteen words at
// 0..24 must be 0.
//
// Free pages form a singly linked list through prev_page, newest first; a
// freed page has first_child 0, entry_count 0 and bytes 16.. zeroed, and keeps
// next_page and key_area_start. The file never shrinks.
//
// Locking between processes (shared mode only): byte-range locks on header
// bytes 36..page_size (0..35 are never locked).
//   reader lock: one byte, first free from lock_byte on, wrapping to 36;
//                full passes repeated after 50 ms, at most 25 passes.
//   writer lock: every byte of the range but this process's own reader byte,
//                in two pieces around it (one piece without a reader byte).
// An operation takes what it needs and releases what it took at its end;
// locks held through ix_lock stay, and with them the header stays valid.
//
// Single-threaded within a process: the file and handle lists are global and
// unlocked.
#pragma once

#include <cstdint>

#include "cache/file_io.h"
#include "cache/page_cache.h"
#include "cache/registry_list.h"

constexpr int kIxHeaderSize = 36;
constexpr int kIxFormat = 300;
constexpr int kIxMinPageSize = 92;
constexpr int kIxDefaultPageSize = 512;
constexpr int kIxKeyOverhead = 28;  // a key is at most (cache page size - 28) bytes

// ix_error values.
enum : int {
  kIxCreateFailed = 1,
  kIxOpenFailed = 2,
  kIxNotStarted = 3,
  kIxShutdownFailed = 4,
  kIxNoMemory = 5,
  kIxReadFailed = 6,
  kIxNoFrame = 7,
  kIxWriteFailed = 8,
  kIxUnpinFailed = 9,
  kIxDropFailed = 10,
  kIxFlushFailed = 11,
  kIxCloseFailed = 12,
  kIxBadChecksum = 16,
  kIxPageTooLarge = 17,
  kIxNotOpenFile = 18,
  kIxBadHandle = 19,
  kIxDuplicateKey = 22,
  kIxDuplicatePair = 23,
  kIxEmptyTree = 24,
  kIxDamaged = 25,
  kIxNotFound = 26,
  kIxSharedMismatch = 28,
  kIxLockFailed = 29,
  kIxUnlockFailed = 30,
  kIxCursorMoved = 31,
  kIxReadOnly = 32,
  kIxNotWrittenOut = 33,  // the file took writes that may not have reached the disk before the system went down
  kIxCutShort = 34,       // a process ended inside a change of the table, before the file took it
};

// ix_operation numbers of the public operations.
enum : int {
  kOpStartup = 1,
  kOpShutdown = 2,
  kOpClose = 3,
  kOpCreate = 4,
  kOpFlush = 6,
  kOpOpen = 8,
  kOpInsert = 16,
  kOpDelete = 17,
  kOpReplace = 18,
  kOpStarted = 24,
  kOpPageSize = 28,
  kOpLock = 29,
  kOpUnlock = 30,
  // The tree operations of search and cursor; their numbers are ours.
  kOpFind = 40,
  kOpSeek = 41,
  kOpNext = 42,
  kOpPrev = 43,
  kOpLast = 44,
  kOpCurrent = 45,
  kOpCurrentKey = 46,
  kOpCurrentKeyLength = 47,
  kOpVerify = 48,
};

// The layer's error state (btree/startup.cpp): set by every failing ix_
// operation, the start-up included.
extern int ix_error;       // what failed (the numbers above)
extern int ix_error_site;  // which step failed, for diagnostics only
extern int ix_operation;   // the public operation last entered

inline int ix_last_error() { return ix_error; }
inline int ix_last_error_site() { return ix_error_site; }
inline int ix_last_operation() { return ix_operation; }

// Keeps the error triple while a later index call might overwrite it, and
// puts it back (the undo paths of the layers above).
struct IxErrorSave {
  int error, site, operation;
};
inline IxErrorSave ix_error_save() { return {ix_error, ix_error_site, ix_operation}; }
inline void ix_error_restore(const IxErrorSave& s) {
  ix_error = s.error;
  ix_error_site = s.site;
  ix_operation = s.operation;
}

// Start-up (btree/startup.cpp): creates the shared page pool and fills every
// FileIo slot with its default. A frame count of 0 becomes 16 and below 6
// becomes 6; a page size of 0 or below 36 becomes 512. A second call while
// the pool exists fails with ix_error 4 (site 4) and leaves the first pool
// in place.
int ix_startup(int frame_count, int page_size);
// The page size given at start-up, 0 when not started. Sets ix_operation 24.
int ix_started();
// The frame count given at start-up (0 when not started).
int ix_started_frames();
// The shared pool, or null before start-up.
PagePool* ix_pool();
// Forgets the pool and the start-up values (ix_shutdown has already
// destroyed the pool).
void ix_reset_startup();

// Comparison of two keys: exactly -1, 0 or 1.
using IxCompare = int (*)(const uint8_t* a, int a_len, const uint8_t* b, int b_len);

// The default comparison: A-Z folded to a-z, bytes unsigned, a shorter key
// that is a prefix of the longer is the smaller; empty is below non-empty.
int ix_default_compare(const uint8_t* a, int a_len, const uint8_t* b, int b_len);

struct IndexHeader {
  int16_t page_size = 0;
  int32_t root_page = 0;
  int32_t last_page = 0;
  int32_t first_leaf = 0;
  int32_t last_leaf = 0;
  int32_t free_head = 0;
  int16_t height = 0;
  uint16_t checksum = 0;
  int16_t format = kIxFormat;
  int32_t change_count = 0;
  int32_t entry_total = 0;
};

// Writes the 36 header bytes, with the checksum computed from the fields.
void ix_header_encode(const IndexHeader& h, uint8_t out[kIxHeaderSize]);
// Reads the 36 header bytes; 1 when the checksum holds, else 0 (h is filled
// in either case).
int ix_header_decode(const uint8_t in[kIxHeaderSize], IndexHeader* h);
// XOR of the twelve 16-bit words at offsets 0..22.
uint16_t ix_header_checksum(const uint8_t in[kIxHeaderSize]);

// lock_state: two 2-bit fields. 0 = not held, 2 = taken for the operation
// under way, 3 = held by ix_lock.
constexpr int kLockNone = 0;
constexpr int kLockForOp = 2;
constexpr int kLockHeld = 3;
inline int ix_reader_state(int lock_state) { return lock_state & 3; }
inline int ix_writer_state(int lock_state) { return (lock_state >> 2) & 3; }
inline int ix_with_reader(int lock_state, int v) { return (lock_state & ~3) | v; }
inline int ix_with_writer(int lock_state, int v) { return (lock_state & ~12) | (v << 2); }

struct IndexFile {
  IndexHeader header;  // in-memory copy of the 36 header bytes
  IndexFile* next;     // registry link
  int open_count;
  int shared;
  int lock_state;
  PagedFile* paged;
  char* name;  // owned copy
  int32_t seen_change_count;
  int32_t lock_byte;  // this process's reader byte, initially 36
  int header_valid;
  int header_deferred;
  // The 36 header bytes this process last wrote to (or read from) the file,
  // when disk_header_known is 1: an exclusive file needs no header write
  // while its header encodes to the same bytes.
  uint8_t disk_header[kIxHeaderSize];
  int disk_header_known;
  struct IxJournal* journal;  // journal.cpp; null until the first change
  // 1 while the file carries this boot's unflushed mark (as read at open
  // or written here), else 0. See power_mark.cpp.
  int marked;
  int read_only;  // opened for reading only (by its first handle)
  // 1 while this process has the busy mark on the file (power_mark.cpp);
  // busy_kept: a commit of this process failed, so the mark stays.
  int busy;
  int busy_kept;
};

// The unflushed mark (power_mark.cpp). A shared index file commits without
// a flush to disk: other processes read its writes through the system's
// cache, and only the table's data file, from which an index can be
// rebuilt, is flushed at every change. Such a file may have lost any part
// of those writes at a power cut. So before its first write in a boot, it
// takes a mark naming the boot, flushed to disk, at kIxMarkOffset of the
// header page (lock bytes, whose contents nothing else reads; zeros in a
// file that never took one). An open that finds the mark of another boot,
// or a mark it cannot read, refuses the file with error 33: it is not
// trusted until it is rebuilt. A flush of the file open alone, which puts
// every write on disk, removes the mark.
constexpr int kIxMarkOffset = 64;
constexpr int kIxMarkSize = 24;  // "UNFL", the 16-byte boot id, FNV-1a of those 20 bytes
static_assert(kIxMarkOffset + kIxMarkSize <= kIxMinPageSize, "the mark lies in every header page");
// At the first open of the file: 1 when it may be trusted (no mark, or this
// boot's), else -1 (33, or 6 when the bytes cannot be read).
int ix_mark_check(IndexFile* f);
// Before a write to a shared file: 1 when the file carries this boot's mark
// (its commits need no flush to disk), 0 when the boot cannot be told (they
// flush, as a file open alone does at its flush), -1 when the mark could
// not be written or flushed (8, 11).
int ix_mark_before_writes(IndexFile* f);
// After a successful flush of a file open alone: the mark goes. 1 / -1.
int ix_mark_clear(IndexFile* f);

// The busy mark. A shared table's change writes its data file under the
// index file's writer lock and commits the index file when it ends; a
// process killed in between leaves the two out of step, and a later open
// would trust an index whose entries name records that changed. So while a
// process holds the writer lock for a change, kIxBusyOffset of the header
// page holds "BUSY" (in the system's cache; a power cut is the unflushed
// mark's matter), put back to zeros as the lock goes after the commit. A
// process that takes the lock, or opens the file, and finds the mark left
// by another refuses the file with error 34 until it is rebuilt. A commit
// that failed keeps the mark too.
constexpr int kIxBusyOffset = kIxMarkOffset + kIxMarkSize;
constexpr int kIxBusySize = 4;
static_assert(kIxBusyOffset + kIxBusySize <= kIxMinPageSize, "the busy mark lies in every header page");
// Under the writer lock, before the change writes: 1, or -1 (34 when the
// mark was left by a process that ended inside a change; 6, 8).
int ix_busy_begin(IndexFile* f);
// Whether the kIxBusySize bytes at `bytes` are the busy mark.
bool ix_busy_in(const uint8_t* bytes);
// Counts the refusals for a busy mark another process left (error 34):
// the error number itself is gone once the layers above have cleaned up,
// and a program that can rebuild the index looks here.
extern int ix_cut_short_seen;
int ix_cut_short(int site);  // fails with 34 at `site` and counts it; -1
// As the writer lock goes: the mark back to zeros unless a commit failed.
// 1 / -1 (8: the mark stays).
int ix_busy_end(IndexFile* f);
// Whether a commit of `f` may leave its flush out.
inline bool ix_commits_unflushed(const IndexFile* f) { return f->shared && f->marked; }

struct IndexCursor {
  int32_t leaf = -1;  // -1 when not on an entry
  int state = -2;     // 1 on an entry, -2 before the first, -3 after the last
  int slot = -1;
  // Owned copy of the key under the cursor. Allocated with malloc by the tree
  // code; ix_close releases it with std::free.
  uint8_t* key = nullptr;
  int16_t key_length = 0;
  int16_t capacity = 0;  // 0 when there is no buffer
  int32_t record_ref = 0;
  int32_t stamp = 0;  // seen_change_count when the position was last good
};

struct IndexHandle {
  IndexHandle* next;  // registry link
  IndexFile* file;
  IxCompare compare;
  IndexCursor cursor;
  int read_only;
};

extern RegistryList<IndexFile> ix_files;
extern RegistryList<IndexHandle> ix_handles;

// Lock retry settings of the index layer: io_lock's last three arguments.
struct IxLockSettings {
  int tries = 25;
  int delay_ms = 50;
  int limit_ms = 10000;
};
extern IxLockSettings ix_lock_settings;

// ---------------------------------------------------------------------------
// Public operations. 1 success, -1 failure with ix_error set, -4 from ix_lock
// when the lock is held elsewhere.
IndexHandle* ix_create(const char* name, IxCompare compare, int page_size);
IndexHandle* ix_open(const char* name, IxCompare compare, int shared, int read_only);
int ix_close(IndexHandle* h);
int ix_flush(IndexHandle* h);
int ix_page_size(const char* name);
int ix_shutdown();
int ix_lock(IndexHandle* h, int mode);    // 1 hold shared, 2 hold exclusive
int ix_unlock(IndexHandle* h, int mode);

// ---------------------------------------------------------------------------
// Internal operations for the tree code (search, insert, split, delete,
// replace, verify). None of these sets ix_operation.

// ix_error_site numbers: 4 and 5 are ix_startup's; 1..50 and 57 are taken by
// index_file.cpp, index_locks.cpp and pages.cpp; the tree code uses 51..56.

// Sets ix_operation, clears ix_error and ix_error_site, and checks the handle
// (19) and its file (18). 1 / -1.
int ix_enter(IndexHandle* h, int operation);

// 1 when a header whose checksum holds is also usable: page_size at least 92,
// last_page and height not negative, root_page, first_leaf, last_leaf and
// free_head within [0, last_page], and the whole file addressable by a signed
// 32-bit offset. Open and refresh refuse a header that is not (ix_error 25).
int ix_header_sane(const IndexHeader& h);

// Shared mode: takes a reader byte for the operation if no lock is held.
// Not shared: nothing. 1 / -1 (ix_error 29).
int ix_lock_reader(IndexFile* f);
// Shared mode: takes the writer range for the operation unless a writer lock
// is held. `quick` (flush): three single tries 1 ms apart instead of the
// retry settings. 1 / -1 (ix_error 29).
int ix_lock_writer(IndexFile* f, int quick);
// Gives up every lock of the file, held ones included, settling a deferred
// commit first (the last close). 1 / -1.
int ix_release_all(IndexFile* f);

// Header refresh at the start of a reading operation (shared mode only):
// reader lock if no lock is held, re-read the header unless valid, drop the
// file's cached pages when change_count moved. 1 / -1.
int ix_refresh(IndexFile* f);

// Writer lock and refresh, at the start of insert, delete and replace. 1 / -1.
int ix_begin_write(IndexFile* f);

// Releases the locks the operation took (value 2); held locks stay. 1 / -1
// (ix_error 30).
int ix_end_op(IndexFile* f);

// Commit at the end of every insert, delete and replace: change_count + 1,
// and in shared mode header, dirty pages and flush unless deferred under a
// held writer lock. Releases the operation's locks. 1 / -1.
int ix_commit(IndexFile* f);

// Writes the header (checksum recomputed) at offset 0. 1 / -1 (ix_error 8).
int ix_write_header(IndexFile* f);
// Whether the header encodes to the bytes this process last wrote to or read
// from the file. Meaningful only where no other process writes the header:
// an exclusive file, or one under this process's held writer lock.
bool ix_header_unchanged(IndexFile* f);

// Largest key the tree accepts: cache page size - 28.
int ix_max_key_length();

// Pins page `page`; null with ix_error 25 when `page` is outside
// [1, last_page], 6 when the cache cannot read it (or has no frame for it).
uint8_t* ix_page_get(IndexFile* f, int32_t page);
// Gives a page back unchanged.
void ix_page_unpin(IndexFile* f, uint8_t* data);
// Gives a page back marked dirty.
void ix_page_dirty(IndexFile* f, uint8_t* data);

// Allocates a page (the free list first, else last_page + 1, written at once
// so the file grows) and returns it pinned; the caller initialises it.
// Null with ix_error 7 (no frame), 8 (write) or 6 (read).
uint8_t* ix_alloc_page(IndexFile* f, int32_t* page);

// Takes the pinned page `data` (number `page`) out of its level's chain
// (fixing first_leaf / last_leaf for a leaf) and pushes it on the free list.
// The caller releases it marked dirty. 1 / -1.
int ix_free_page(IndexFile* f, int32_t page, uint8_t* data);

// The change journal (journal.cpp). A change opens it after its writer lock
// and refresh; begin returns whether this call owns it (false when a change
// is already journaled, as inside a replace), and only the owner's end
// closes it. While it is open, ix_page_get copies every page before handing
// it out (note; -1 when no memory). undo puts every page and the header back
// as they were when the journal opened (pages appended since go on the free
// list) and restarts the journal from there; it runs before the commit of a
// failed change. forget restarts it from the current state (another
// process's commit replaced the cached pages). 1 / -1: -1 when a page could
// not be put back, 0 when no journal is open; the error of the failure
// being undone stays.
bool ix_journal_begin(IndexFile* f);
void ix_journal_end(IndexFile* f, bool owner);
int ix_journal_note(IndexFile* f, int32_t page, const uint8_t* data);
int ix_journal_undo(IndexFile* f);
void ix_journal_forget(IndexFile* f);
void ix_journal_free(IndexFile* f);

// Page field reads and writes by page number, each pinning and releasing.
int ix_read_first_child(IndexFile* f, int32_t page, int32_t* out);
int ix_read_next_page(IndexFile* f, int32_t page, int32_t* out);
int ix_read_entry_count(IndexFile* f, int32_t page, int* out);
int ix_set_next_page(IndexFile* f, int32_t page, int32_t value);
int ix_set_prev_page(IndexFile* f, int32_t page, int32_t value);

// Follows first_child links from `page` down to the leftmost leaf below it,
// reading at most `height` pages; a longer chain fails with ix_error 25.
int ix_descend_leftmost(IndexFile* f, int32_t page, int32_t* leaf);

// Records a damaged tree: ix_error 25 with the given site. Always -1. One
// funnel so that a breakpoint catches every corruption found.
int ix_damaged(int site);
