// The B+-tree operations of an index file: search and cursor, insertion,
// deletion and replacement, and the structural verifier.
//
// Every operation takes the handle first, checks it (ix_error 19 / 18),
// refreshes the header before reading pages (shared mode), and releases the
// locks it took at its end. Results: 1 success, -1 failure with ix_error set;
// 2 / 3 / -2 / -3 as listed. Entries are ordered by (key by the handle's
// comparison, then record_ref as signed 32-bit).
#pragma once

#include <cstdint>

#include "btree/index_file.h"

// 2: an entry with an equal key exists, the cursor is on the first of them;
// 3: none, the cursor is on the first greater entry; -3: nothing greater or
// equal. `ref` is given out for 2 and 3.
int ix_find(IndexHandle* h, const uint8_t* key, int key_length, int32_t* ref);
// Like ix_find on the pair (key, *ref): 2 the pair exists, 3 positioned on
// the first greater pair (its ref given out), -3 none greater or equal.
int ix_seek(IndexHandle* h, const uint8_t* key, int key_length, int32_t* ref);
int ix_next(IndexHandle* h, int32_t* ref);  // 1, or -3 past the last
int ix_prev(IndexHandle* h, int32_t* ref);  // 1, or -2 before the first
int ix_last(IndexHandle* h, int32_t* ref);  // 1, or -2 on an empty tree
int ix_current(IndexHandle* h, int32_t* ref);
int ix_current_key(IndexHandle* h, uint8_t* buffer, int buffer_length);
int ix_current_key_length(IndexHandle* h, int* length);

// Adds (key, ref). With allow_duplicates 0 an equal key fails (22); the same
// pair always fails (23).
int ix_insert(IndexHandle* h, const uint8_t* key, int key_length, int32_t ref, int allow_duplicates);
// Removes (key, ref); 24 on an empty tree, 26 when the pair is absent.
int ix_delete(IndexHandle* h, const uint8_t* key, int key_length, int32_t ref);
// Exchanges (old_key, old_ref) for (new_key, new_ref).
int ix_replace(IndexHandle* h, const uint8_t* old_key, int old_length, int32_t old_ref,
               const uint8_t* new_key, int new_length, int32_t new_ref, int allow_duplicates);

// Structural verifier: walks the whole file and reports each violated
// invariant in words through `sink`, up to `max_findings` of them. Returns the
// number of findings (0: the file is sound), or -1 with ix_error set when the
// file cannot be read at all.
using IxFindingSink = void (*)(void* ctx, const char* finding);
int ix_verify(IndexHandle* h, IxFindingSink sink, void* ctx, int max_findings);
