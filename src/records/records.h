// The record layer: the data file's blocks and field encoding, free space,
// keys, the key buffer, record locks, the walk in record order and the
// entries a record keeps in every index. Types in records/table_types.h.
// Below the table engine, which calls it from its operations (open, copy,
// rebuild, verify, the record and index operations); it calls nothing of the
// engine's. Single-threaded like the rest of the engine.
//
// Data file (numbers least significant byte first):
//
//   OFFSET   SIZE  CONTENT
//      0       2   K, length of the catalogue text
//      2       2   field count
//      4       K   catalogue text (field names with their terminators)
//    K + 4     -   blocks, gapless to the end of the file (first_record)
//
// Block at address A (the byte offset of its length word):
//
//      A       2   L, 16-bit signed
//    A + 2    |L|  L >= 0: a live record with L bytes of space, its fields
//                  back to back from the start, trailing bytes never read;
//                  L < 0: a free block of -L bytes.
//
// Field encoding: text (types 0, 1) with its zero byte; 16-bit types 2
// bytes; 32-bit types and float 4; double 8; binary its fixed width; other
// type codes nothing. Numbers are stored as the caller's value bytes.
//
// Free-space entries, through the table's space_index handle (numbers most
// significant byte first, so that byte order is numeric order):
//
//   size entry      FF  size(2)       ref = block address    duplicates allowed
//   address entry   FE  address(4)    ref = block size       unique
//
// So the last entry of the whole tree is the size entry of the largest free
// block (the highest address among equal sizes).
//
// Invariants of the data file:
//   (1) Every block lies inside the file: A + 2 + |L| <= file size.
//   (2) Every free block has exactly one size and one address entry, and
//       every free-space entry names a free block of the size it states.
//   (3) No record and no free block exceeds 32767 bytes (the length word).
//
// Locking (shared mode): every change runs under the index-file write lock
// and a record lock on the record worked on (records/record_locks.cpp); reading a
// record takes the temporary record lock unless the address is held already.
#pragma once

#include <cstdint>

#include "records/table_types.h"

// File names (records/data_file.cpp): the full path of the base name with
// its extension replaced or added; null when it cannot be formed (more than
// 259 characters). `buffer` holds at least kTbNameBuffer bytes.
constexpr int kTbNameBuffer = 260;
char* rec_data_file_name(const char* base_name, char* buffer);
char* rec_index_file_name(const char* base_name, char* buffer);

// Field encoding and records (records/data_file.cpp).
// One length per field; a text value's length counts its terminator; an
// absent (null) value has length 0.
void rec_field_lengths(Table* t, const void* const* values, int32_t* lengths);
// Writes the block at `address`: length word `space`, then the fields.
// `word_last`: the block is already in the file (see data_file.cpp).
int rec_write(Table* t, int32_t address, int32_t space, const void* const* values, const int32_t* lengths,
              bool word_last);
struct RecordContents {
  int32_t space = 0;           // L
  uint8_t* bytes = nullptr;    // L bytes, owned (malloc)
  uint8_t** fields = nullptr;  // field_count + 1 pointers into bytes, owned (malloc)
};
int rec_read(Table* t, int32_t address, RecordContents* out);
void rec_free_contents(RecordContents* c);
struct RecordHolder {
  uint8_t* bytes = nullptr;
  int32_t capacity = 0;
  uint8_t** fields = nullptr;
  int32_t space = 0;
};
int rec_read_into(Table* t, int32_t address, RecordHolder* holder);
void rec_free_holder(RecordHolder* h);
void rec_split_fields(Table* t, uint8_t* contents, int32_t space, uint8_t** fields);

// Split field pointers as record values for rec_store and the entry pieces:
// a copy, since an array of uint8_t* may not be read as one of const void*.
// ok() is false when the copy could not be allocated (error 5).
class RecordValues {
 public:
  RecordValues(const Table* t, uint8_t* const* fields);
  ~RecordValues();
  RecordValues(const RecordValues&) = delete;
  RecordValues& operator=(const RecordValues&) = delete;
  bool ok() const { return values_ != nullptr; }
  const void* const* get() const { return values_; }

 private:
  const void* small_[17];
  const void** values_;
};

// Largest space a length word can state.
constexpr int32_t kRecMaxSpace = 32767;
// A disk's sector: what a power cut keeps or loses whole (a write across
// sectors may reach the disk in part).
constexpr int32_t kRecSector = 512;

// Damage found in the data file (a length word that is no block, a block
// past the end of the file): sets error 7 and remembers where, one place for
// a breakpoint. Always -1.
int rec_corrupt_at(int32_t address, int line);
#define rec_corrupt(address) rec_corrupt_at((address), __LINE__)
extern int32_t rec_corrupt_address;  // address of the last damage found
extern int rec_corrupt_line;

// The stored length of field `field` for `value` (0 for null).
int32_t rec_field_length(const Table* t, int field, const void* value);
// Fills `lengths` (field_count entries) and returns their sum.
int64_t rec_payload_length(Table* t, const void* const* values, int32_t* lengths);

// An absent (null) value is stored by ending the record before it: the
// reader runs out of bytes there. That reads back right only when every
// later value is absent too and the absent field is text (a text value
// needs its zero byte, which the filler behind the payload never holds; a
// fixed-width value would be read from whatever space is left). 1 when the
// values can be stored so; else 0 with error 41.
int rec_absent_values_storable(Table* t, const void* const* values);
// The length word at `address`. 1 / -1 (error 7).
int rec_read_word(Table* t, int32_t address, int16_t* word);
int rec_write_word(Table* t, int32_t address, int32_t word);
// Puts the data file's writes so far on disk before any later write that
// relies on them. The writes of one change keep their order for every
// process (they all read the system's cache), but not across a power cut:
// the system puts unflushed writes on disk in any order, and the cut keeps
// any part of them. Where a later write makes an earlier one part of the
// block chain (a length word over contents or over a new free tail, a
// merged free word before the spoiling of the word it swallowed, a moved
// record's old block given up), the earlier one must be on disk first. The
// flush waits for the next write, which needs none when it falls in the
// one sector all the writes since the last flush lie in (see
// Table::order_asked). Shared tables only: a table open alone becomes
// durable at its flush or close.
void rec_order_point(Table* t);
// Every write to the data file: flushes first when an order point asks it
// (above), then writes. 1 / -1 (error 7).
int rec_data_write(Table* t, int32_t address, int32_t length, const void* bytes);
// Flushes the data file to disk unless nothing was written to it since its
// last flush (Table::data_synced). 1 / -1 (error 7).
int rec_flush_data(Table* t);
// Several changes under one hold of the table write lock reach the disk
// together at its flush, in any part: a block one change released must be
// on disk as released before another writes into it (see
// Table::released_count). The first notes a released block; the second
// puts an order point when the block about to be written lies over one.
void rec_note_released(Table* t, int32_t address, int32_t space);
void rec_order_before_reuse(Table* t, int32_t address, int32_t space);
// The same for unique keys (see Table::vacated_keys): the first notes a key
// a record gave up, the second every unique key of a record's values; the
// third puts an order point when one of the unique keys of `values` was
// given up since the last flush.
void rec_note_vacated_key(Table* t, const uint8_t* key, int length);
void rec_note_vacated_keys(Table* t, const void* const* values);
void rec_order_before_claim(Table* t, const void* const* values);
// The space for a block at `address` that wants `space` bytes: `space`, or
// one byte more when the next block would otherwise start on the last byte
// of a 512-byte sector. A length word across a sector boundary can be torn
// by a power cut into a value neither of its writes held, which breaks the
// chain of blocks; so no block is made to start there (one at most
// kRecMaxSpace bytes long is left as it is).
int32_t rec_keeps_sectors_whole(int64_t address, int32_t space);

// Reading a block in as few system calls as possible: rec_read_head reads
// the length word together with the first kRecFirstRead content bytes (fewer
// when the end of the file is known to come sooner; only the word when that
// read cannot be made, e.g. near the end of a shared file); rec_read_rest
// hands over what came and reads the remainder of a record's contents.
constexpr int32_t kRecFirstRead = 512;
static_assert(2 + kRecFirstRead == kTbHeadCacheBytes, "the head cache holds one first read");

// Every write to the data file goes through here first: what was flushed is
// no longer all there is, and the head cache may no longer match the file.
// Forgets the bytes an exclusive table keeps of its data file (see
// Table::head_cache), and the read window of a shared one, so that the next
// reads go to the file.
inline void rec_forget_cached_reads(Table* t) {
  t->head_cache_address = 0;
  t->word_cache_address = 0;
  t->window_length = 0;
}

// The space a record of payload n (at most kRecMaxSpace) is given: in a
// shared table and in a copy (the compaction of one) an eighth more and 4
// bytes, so that an update that grows it a little (a rename) is written in
// place, in one write, where a move costs a flush more to keep its order
// on disk; in another exclusive one (a bulk load), n.
inline int32_t rec_room_for(const Table* t, int64_t n) {
  const int64_t room = t->shared || t->roomy ? n + n / 8 + 4 : n;
  return static_cast<int32_t>(room < kRecMaxSpace ? room : kRecMaxSpace);
}

inline void rec_data_written(Table* t) {
  t->data_synced = 0;
  rec_forget_cached_reads(t);
}
struct BlockHead {
  int16_t word = 0;  // the length word
  int32_t have = 0;  // content bytes in bytes[2..], at most max(word, 0)
  uint8_t bytes[2 + kRecFirstRead];
};
// 1 / -1 (error 7 when even the word cannot be read). Takes no lock.
int rec_read_head(Table* t, int32_t address, BlockHead* head);
// The word-many content bytes of the record whose head was read, to `out`.
// A record running past the end of the file is damage (error 7 at
// `address`). 1 / -1.
int rec_read_rest(Table* t, int32_t address, const BlockHead& head, uint8_t* out);

// Free space (records/free_space.cpp).
// Room for a record of *space bytes: from the largest free block, else at
// the end of the file. The address, or 0 on failure; *space gets the room
// granted. An append in exclusive mode writes nothing yet: the caller writes
// the block whole (rec_write) or gives it back with rec_release_unwritten.
int32_t rec_allocate(Table* t, int32_t* space);
int rec_release(Table* t, int32_t address, int32_t space);

// The key buffer (records/keys.cpp): exactly the engine page size, allocated
// by the first open, freed at the engine's shutdown. Holds a key or a
// directory entry while one is built.
uint8_t* rec_key_buffer();
int rec_key_buffer_size();
// Allocates the key buffer if it is not there yet. 1 / -1 (error 5).
int rec_ensure_key_buffer();
void rec_free_key_buffer();

// Keys (records/keys.cpp). Build into the engine key buffer; the key length
// is returned, or -1 (error 11).
int rec_build_key(Table* t, TableIndex* ix, const void* const* values);
int rec_build_search_key(Table* t, TableIndex* ix, const void* const* key_values);
int rec_in_index(TableIndex* ix);
int rec_sync_state(TableIndex* ix);

// Record locks (records/record_locks.cpp). Every one is a lock of the 2
// bytes at a record address in the data file. In shared mode the bytes are
// locked exactly while the address counts as locked: it is the physical
// cursor, the temporary lock, the embedded slot or a chained record-lock
// entry. One OS lock stands for all of them (locking a range twice in one
// open file description does not stack), so a release unlocks the range
// only when nothing else still holds the address. In exclusive mode nothing
// is locked and every step succeeds at once.
int rec_counts_as_locked(Table* t, int32_t address);  // 1 / 0
// The OS lock on the 2 bytes at `address`, with the engine's retries, and
// its release. 1 / -1, nothing else set.
int rec_lock_range(Table* t, int32_t address);
int rec_unlock_range(Table* t, int32_t address);
// Releases the OS lock on `address` unless something still holds it.
// 1 / -1 (error 27).
int rec_release_unless_held(Table* t, int32_t address);
// Temporary record lock: locks `address` unless it counts as locked; when it
// did, stores it in temp_lock and sets *took to 1. 1 / -1 (error 26).
int rec_take_temp_lock(Table* t, int32_t address, int* took);
int rec_release_temp_lock(Table* t);  // 1 / -1 (error 27)
// Moves every record lock on `from` to `to` (an updated record that moved).
int rec_move_record_locks(Table* t, int32_t from, int32_t to);

// Storing a record and its index entries (records/record_entries.cpp).
int32_t rec_store(Table* t, const void* const* values);  // address, or 0 on failure
int rec_insert_entries(Table* t, const void* const* values, int32_t address);
int rec_delete_entries(Table* t, const void* const* values, int32_t address);
// Inserts the record's entry again into every keyed index before `upto`
// (null: all), after a delete that cannot finish; errors stay as they were.
void rec_put_back_entries(Table* t, const void* const* values, int32_t address, TableIndex* upto);
int rec_replace_entries(Table* t, const void* const* old_values, int32_t old_address,
                        const void* const* new_values, int32_t new_address);
// Frees a block whose contents may never have been written (a failed store):
// a block reaching past the end of the file is first covered by extending
// the file, so that no later append overlaps it. Keeps rec_error and the
// index layer's error triple as they were.
void rec_release_unwritten(Table* t, int32_t address, int32_t space);

// Record order (records/record_walk.cpp). The table's physical index, or
// null (the table is taken to be open).
TableIndex* rec_physical_index(Table* t);
// Moves the physical index to the
// next record after its current one (from first_record at state -2): 1 on a
// record, -3 past the last, -1 (error 7 on damage, 26 on a lock).
int rec_physical_next(Table* t, TableIndex* physical);
// Puts the physical cursor on `address` (0 = none), taking the record lock
// on the new address unless it is held and releasing the old one unless
// something still holds it. 1 / -1 (errors 26, 27).
int rec_set_physical_cursor(Table* t, int32_t address);

