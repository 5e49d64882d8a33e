// The table engine's operations, as the table handle and the tools above it
// call them. Types and error codes are in records/table_types.h, the
// engine's state in engine/table.h. Each operation is implemented in the
// file of its responsibility (startup, locks, catalogue, index_defs,
// index_ops, compare, open_close, record_ops, position, copy, rebuild,
// verify), over the record layer (records/) below.
#pragma once

#include <cstdint>

#include "engine/table.h"

// Locks (engine/locks.cpp). Modes: 1 read, 2 write.
int tb_lock_table(Table* t, int mode);
int tb_unlock_table(Table* t, int mode);
int tb_lock_record(Table* t, TableIndex* ix, int32_t* lock_number);  // 1 / -4 / -1
int tb_unlock_record(Table* t, int32_t lock_number);

// Engine-internal lock steps (engine/locks.cpp; the record locks these
// build on are the record layer's, records/record_locks.cpp).
int tb_take_lock_bit(Table* t, uint32_t bit);  // 1 / -4 / -1 (error 26)
int tb_drop_lock_bit(Table* t, uint32_t bit);  // 1 / -1 (error 27)
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
TableIndex* tb_physical_index(Table* t);  // null when `t` is not open

// Index creation and removal (engine/index_ops.cpp).
int tb_create_index(Table* t, const char* name, const char* const* specs);
int tb_drop_index(Table* t, const char* name);

// Key comparison for every index file (engine/compare.cpp).
int tb_compare_keys(const uint8_t* a, int a_len, const uint8_t* b, int b_len);

// Open, create, flush, close (engine/open_close.cpp).
Table* tb_open(const char* base_name, int shared, int read_only);
Table* tb_create(const char* base_name, int page_size, const char* const* fields);
int tb_flush_table(Table* t);
int tb_close(Table* t);
int tb_delete_table(const char* base_name);

// Record operations (engine/record_ops.cpp).
int tb_add_record(Table* t, TableIndex* ix, const void* const* values);
// Field buffers are the caller's malloc'd blocks: a text value longer than
// its buffer replaces the buffer (the old one is freed) with one of exactly
// the text's length + 1 and stores the new pointer and size in the arrays.
// Fields missing from the stored contents read as empty text or zero bytes.
int tb_read_record(Table* t, TableIndex* ix, void** buffers, int32_t* sizes);
int tb_update_record(Table* t, TableIndex* ix, const void* const* values);
int tb_delete_record(Table* t, TableIndex* ix);

// Positioning an index (engine/position.cpp).
int tb_find_key(Table* t, TableIndex* ix, const void* const* key_values);
int tb_first_record(Table* t, TableIndex* ix);
int tb_next_record(Table* t, TableIndex* ix);

// Copy and rebuild (engine/copy.cpp, engine/rebuild.cpp).
int tb_copy(const char* source, const char* target, const char* index_name, int page_size, int shared);
int tb_rebuild(Table* t, int page_size, int replace);

// Whole-table verifier (engine/verify.cpp): ix_verify on the index file, the
// data file's blocks, free-space entries and every keyed index against the
// records. Returns the number of findings (0 sound) or -1 when unreadable.
using TbFindingSink = void (*)(void* ctx, const char* finding);
int tb_verify(Table* t, TbFindingSink sink, void* ctx, int max_findings);
