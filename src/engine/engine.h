// The table engine's operations, as the table handle and the tools above it
// call them. Types and error codes are in engine/table.h. Each operation is
// implemented in the file of its responsibility (startup, locks, catalogue,
// index_defs, compare, open_close, copy, rebuild, verify; record operations
// and index creation in records/).
#pragma once

#include <cstdint>

#include "engine/table.h"

// Locks (engine/locks.cpp). Modes: 1 read, 2 write.
int tb_lock_table(Table* t, int mode);
int tb_unlock_table(Table* t, int mode);
int tb_lock_record(Table* t, TableIndex* ix, int32_t* lock_number);  // 1 / -4 / -1
int tb_unlock_record(Table* t, int32_t lock_number);

// Engine-internal lock steps (engine/locks.cpp).
int tb_take_lock_bit(Table* t, uint32_t bit);  // 1 / -4 / -1 (error 26)
int tb_drop_lock_bit(Table* t, uint32_t bit);  // 1 / -1 (error 27)
int tb_counts_as_locked(Table* t, int32_t address);  // 1 / 0
// Temporary record lock: locks `address` unless it counts as locked; when it
// did, stores it in temp_lock and sets *took to 1. 1 / -1 (error 26).
int tb_take_temp_lock(Table* t, int32_t address, int* took);
int tb_release_temp_lock(Table* t);  // 1 / -1 (error 27)
// Moves every record lock on `from` to `to` (an updated record that moved).
int tb_move_record_locks(Table* t, int32_t from, int32_t to);
// Releases every record lock of the table (close).
int tb_release_record_locks(Table* t);

// Catalogue (engine/catalogue.cpp).
int tb_read_catalogue(Table* t);
int tb_field_count(Table* t);
char** tb_field_names(Table* t);
int tb_field_type(Table* t, int field);
int tb_field_width(Table* t, int field);
// Names-block length and field count of a declaration list; error 35 for a
// null list, 11 when either would not fit in 15 bits. 1 / -1.
int tb_measure_catalogue(const char* const* fields, int32_t* length, int32_t* count);
// Writes the catalogue of a measured list at offset 0 of `file`. 1 / -1 (7, 5).
int tb_write_catalogue(int file, const char* const* fields, int32_t length, int32_t count);

// Index definitions (engine/index_defs.cpp).
int tb_open_index_file(Table* t, const char* index_file_name);
int tb_use_physical_index_only(Table* t);
// Builds a TableIndex from a directory entry (key starts with the 0 byte).
TableIndex* tb_make_index(Table* t, const uint8_t* key, int key_length, int32_t number);
void tb_free_index(TableIndex* ix);  // closes its handle; 1 / -1 in tb_error 9
int tb_close_indexes(Table* t);
TableIndex* tb_find_index(Table* t, const char* name);
char** tb_index_names(Table* t);
int tb_key_field_count(Table* t, TableIndex* ix);
int tb_key_field(Table* t, TableIndex* ix, int i);
char** tb_index_definition(Table* t, TableIndex* ix);
TableIndex* tb_physical_index(Table* t);

// Key comparison for every index file (engine/compare.cpp).
int tb_compare_keys(const uint8_t* a, int a_len, const uint8_t* b, int b_len);

// Flushes the data file to disk unless nothing was written to it since its
// last flush (Table::data_synced). 1 / -1 (error 7).
int tb_flush_data(Table* t);

// Open, create, flush, close (engine/open_close.cpp).
Table* tb_open(const char* base_name, int shared, int read_only);
Table* tb_create(const char* base_name, int page_size, const char* const* fields);
int tb_flush_table(Table* t);
int tb_close(Table* t);

// Copy and rebuild (engine/copy.cpp, engine/rebuild.cpp).
int tb_copy(const char* source, const char* target, const char* index_name, int page_size, int shared);
int tb_rebuild(Table* t, int page_size, int replace);

// Whole-table verifier (engine/verify.cpp): ix_verify on the index file, the
// data file's blocks, free-space entries and every keyed index against the
// records. Returns the number of findings (0 sound) or -1 when unreadable.
using TbFindingSink = void (*)(void* ctx, const char* finding);
int tb_verify(Table* t, TbFindingSink sink, void* ctx, int max_findings);
