// The table engine's shared types: Table, TableIndex, record-lock entries,
// the engine error codes, and the two pieces of process-wide state that the
// record layer and the engine above it share (the error number and the lock
// retry settings). records/ builds on this header, and engine/ on records/;
// it includes only the index layer.
//
// A table is a pair of files with one base name:
//   base.db   the data file: the catalogue, then gapless blocks of records
//             and free space (records/records.h draws the layout);
//   base.idx  the index file: one B+-tree holding every keyed index of the
//             table, the index directory and the data file's free-space
//             entries (engine/index_defs.cpp draws the key space).
#pragma once

#include <cstdint>

#include "btree/index_file.h"

// Engine error codes (rec_error, which the engine reads as tb_error).
enum : int {
  kTbOk = 0,
  kTbNotOpen = 1,            // the table is not open; also a handle with no table
  kTbForeignIndex = 2,       // the index does not belong to the table
  kTbAlreadyOpen = 3,        // the table is already open in this process
  kTbNoCurrent = 4,          // there is no current record
  kTbNoMemory = 5,           // out of memory
  kTbNeedsKeyed = 6,         // the operation needs a keyed index
  kTbDataFile = 7,           // reading/writing/creating/flushing/closing the data file failed
  kTbNoSuchIndex = 8,        // no index of that name
  kTbIndexLayer = 9,         // the index layer or page cache failed (see ix_error)
  kTbCannotOpen = 10,        // a table file cannot be opened or deleted
  kTbKeyTooLong = 11,        // a key or index definition does not fit the page size
  kTbIndexFileUnusable = 12, // the index file cannot be used
  kTbNoIndexNumber = 13,     // no free index number
  kTbBadName = 16,           // a file name cannot be formed
  kTbIndexExists = 17,       // an index of that name already exists
  kTbNoSuchField = 18,       // a key field is not a field of the table
  kTbCopyOntoSelf = 19,      // source and target of a copy are the same
  kTbPageTooLarge = 20,      // index page size above the engine's
  kTbIndexFileExists = 21,   // rebuild without replacing: the index file exists
  kTbStarted = 22,           // the engine is already started
  kTbBufferTooSmall = 23,    // a field buffer that may not grow is too small
  kTbFieldRange = 24,        // field number out of range
  kTbKeyFieldRange = 25,     // key-field number out of range
  kTbLockFailed = 26,        // a lock could not be taken; unknown lock mode
  kTbUnlockFailed = 27,      // a lock could not be released; unknown unlock mode
  kTbLockHeld = 28,          // the table lock of that mode is already held
  kTbNoSuchLock = 29,        // no record lock with that number
  kTbReadOnly = 31,          // the table is read-only
  kTbNeedsExclusive = 32,    // the operation needs exclusive mode
  kTbNoLockNumber = 33,      // no free record-lock number
  kTbCallerBuffer = 34,      // the caller's buffer is too small (table handle)
  kTbMissingArgument = 35,   // a required argument is null
  kTbNotText = 36,           // the field's type takes no text value (table handle)
  kTbIndexPosition = 39,     // index position out of range (table handle)
  kTbRecordTooLarge = 40,    // a record payload above 32767 bytes cannot be stored
  kTbAbsentValue = 41,       // an absent value that could not read back absent
};

// Bytes of a data-file block's head kept by an exclusive table (see
// Table::head_cache): the length word and the first 512 content bytes.
constexpr int32_t kTbHeadCacheBytes = 2 + 512;

// Bytes of the data file a shared table reads at once under the table read
// lock (see Table::read_window).
constexpr int32_t kTbReadWindowBytes = 4096;

// Field type codes of the catalogue.
enum : int {
  kFieldText = 0,       // text, compared ignoring A-Z case
  kFieldTextExact = 1,  // text, compared byte by byte
  kFieldInt16 = 2,
  kFieldUInt16 = 3,
  kFieldInt32 = 4,
  kFieldFloat32 = 5,
  kFieldFloat64 = 6,
  kFieldBinary = 7,  // fixed width
};

// lock_bits of a Table.
enum : uint32_t {
  kLockIndexRead = 1,   // index-file read lock held for an engine operation
  kLockIndexWrite = 2,  // index-file write lock held for an engine operation
  kLockTableRead = 4,   // table read lock held for the caller
  kLockTableWrite = 8,  // table write lock held for the caller
  kLockReadKind = kLockIndexRead | kLockTableRead,
  kLockWriteKind = kLockIndexWrite | kLockTableWrite,
};

// Engine lock retry settings (io_lock's last three arguments).
struct TbLockSettings {
  int tries = 25;
  int delay_ms = 50;
  int limit_ms = 10000;
};

struct RecordLock {
  RecordLock* next;
  int32_t number;
  int32_t address;  // 0 = slot free
};

struct Table;

struct LengthPart {
  int32_t start;
  int32_t length;  // 0 = whole field
};

struct TableIndex {
  TableIndex* next;  // the table's `indexes` list, newest first
  int32_t number;    // 0 = physical index
  char* name;        // owned, as stored
  IndexHandle* handle;  // own handle and cursor on the index file; null for physical
  Table* table;
  int32_t key_field_count;
  int32_t* key_fields;  // owned
  uint8_t unique_marks;  // number of ",U"/",u" in the name; not 0 = unique
  LengthPart* length_parts;  // owned, one per key field, or null
  int32_t state;  // 1 on a record, -2 before the first, -3 past the last
};

struct Table {
  Table* next;  // open-table list
  char* data_file_name;  // owned, full name
  int data_file;  // -1 when not open
  int16_t field_count;
  char** field_names;  // owned array of field_count + 1, pointing into catalogue_text
  uint8_t* catalogue_text;  // owned, the stored names block
  int32_t catalogue_length;  // bytes in catalogue_text (L)
  int32_t first_record;  // L + 4
  uint8_t* field_types;  // owned, one per field
  int16_t* field_widths;  // owned or null when the table has no binary fields
  int32_t min_record_size;  // at most 32; 3 until the catalogue is read
  int32_t read_only;
  int32_t shared;
  // 1: records are given room to grow (rec_room_for) though the table is
  // open alone: a copy, which becomes a table that is changed in place.
  int32_t roomy;
  uint32_t lock_bits;
  char* index_file_name;  // owned, or null when the index file is not in use
  IndexHandle* directory;  // index directory and index-file locks
  IndexHandle* space_index;  // free-space entries of the record layer
  int32_t index_count;
  TableIndex* indexes;  // newest first; always includes the physical index
  RecordLock lock_slot;  // first record lock, number 1 for the table's life
  int32_t temp_lock;  // record locked for one record operation, 0 = none
  int32_t physical_cursor;  // current record in record order, 0 = none
  // Exclusive mode only: the end of the data file as this process has made
  // it, 0 while unknown. Learnt from the file's size the first time the free
  // space asks for it and advanced by every append, so that appends need not
  // ask the system; any failed append makes it unknown again. Shared mode
  // leaves it 0 and asks each time, since other processes append too.
  int32_t data_end;
  // Exclusive mode only: the address of the block the last allocation
  // appended, which is not in the file until its record is written; 0
  // when that allocation came from the free space.
  int32_t appended_at;
  // 1 while everything this process wrote to the data file is on disk:
  // set by a successful flush of the data file (rec_flush_data), cleared
  // before every write to it. 0 after open, so that the first flush always
  // reaches the disk.
  int32_t data_synced;
  // Shared mode: the bytes this process wrote to the data file since its
  // last flush lie in [written_from, written_to) (written_to 0: none), and
  // order_asked is 1 once an order point (rec_order_point) came after some
  // of them: a later write must not reach the disk before them. A power
  // cut keeps, of the writes to one 512-byte sector, those up to some
  // point in their order, so a write into the one sector that holds all of
  // those bytes needs no flush; any other write flushes first
  // (rec_data_write). Emptied by a flush of the data file.
  int32_t written_from;
  int32_t written_to;
  int32_t order_asked;
  // Shared mode: the blocks this process released since its last flush of
  // the data file, as [from, to) byte ranges. Changes made under one hold of
  // the table write lock reach the disk together at its end, and a power
  // cut may keep any part of the unflushed writes: a record written into a
  // block whose release it then outlives would leave the old record alive
  // with the new bytes inside it. So the allocation of a block over one of
  // these flushes first (rec_order_before_reuse). -1: more than fit, every
  // reuse flushes first. Emptied by a flush of the data file.
  int32_t released_count;
  int32_t released_from[8];
  int32_t released_to[8];
  // Likewise the keys of unique indexes a record of this process gave up
  // since that flush (deleted, or changed by an update), each as a 2-byte
  // length and the key; malloc'd, freed at close. A record about to take
  // one of them flushes first (rec_order_before_claim): else the cut could
  // keep the new holder and lose the giving up, and the rebuild would find
  // two records under one key and keep either. -1: no memory for one, every
  // record written flushes first. Emptied by a flush of the data file.
  uint8_t* vacated_keys;
  int32_t vacated_length;
  int32_t vacated_room;
  // Exclusive mode only: the first bytes of the block last read from the
  // data file (its length word and up to kTbHeadCacheBytes - 2 content
  // bytes), so that reading a record and then updating or deleting it reads
  // the file once. head_cache_address 0 = nothing held; every write to the
  // data file forgets it (rec_data_written), and no other process writes
  // an exclusive table.
  int32_t head_cache_address;
  int32_t head_cache_length;  // bytes held, 2 .. kTbHeadCacheBytes
  uint8_t head_cache[kTbHeadCacheBytes];
  // Exclusive mode only: the length word this process wrote last on its
  // own (a free block's), which the next allocation checks before it hands
  // the block out. word_cache_address 0 = none; forgotten like head_cache.
  int32_t word_cache_address;
  int16_t word_cache_value;
  // Shared mode, while this process holds the table read lock, which keeps
  // every other process from writing: kTbReadWindowBytes of the data file
  // (fewer at its end) read at once from window_address on, from which the
  // records of a scan are read. window_length 0 = nothing held (then
  // window_address is where the block read last ends); forgotten
  // when the table read lock is taken or dropped and by every write of this
  // process (rec_data_written). Malloc'd at first use, freed at close.
  uint8_t* read_window;
  int32_t window_address;
  int32_t window_length;
};

// ---------------------------------------------------------------------------
// State shared by the record layer and the engine (records/data_file.cpp).
// The engine reads both under its own names, tb_error and tb_lock_settings
// (engine/table.h).

// The engine error number: what the last failing operation, or the record
// step inside it, reported (the codes above).
extern int rec_error;
// Retry settings of every lock the engine takes on a table's files.
extern TbLockSettings rec_lock_settings;
