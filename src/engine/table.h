// The table engine's state above the record layer: the open-table list and
// its checks, the comparison context, start-up and errors. The shared types
// (Table, TableIndex, the error codes) are in records/table_types.h, the
// lowest header of the record layer below.
//
// The engine is free functions over process-wide state, used by one thread at
// a time. Every public operation sets tb_error to 0 first (the record- and
// table-lock operations do not), checks its Table against the open-table list
// (error 1) and its TableIndex against the table's index list (error 2), and
// on failure sets tb_error and returns -1 or null. -4 means a lock is held
// by another process after all retries.
#pragma once

#include <cstdint>

#include "cache/registry_list.h"
#include "records/table_types.h"

// ---------------------------------------------------------------------------
// Process-wide engine state.
// The error number and the lock retry settings are the record layer's: one
// number for a whole operation, whichever layer failed, and one setting for
// every lock on a table's files.
inline int& tb_error = rec_error;
inline TbLockSettings& tb_lock_settings = rec_lock_settings;
extern RegistryList<Table> tb_tables;

// 1 when the page-cache start-up has been done.
int tb_started();

// Comparison context: the table whose indexes tb_compare_keys consults.
void tb_set_current_table(Table* t);
Table* tb_current_table();
// Forgets the one-entry cache of tb_compare_keys (closing a table's indexes).
void tb_forget_compare_cache();

// Checks: 1 when `t` is open (else error 1, -1); 1 when `ix` belongs to `t`
// (else error 2, -1).
int tb_check_table(Table* t);
int tb_check_index(Table* t, TableIndex* ix);

// Engine start-up and errors.
int tb_startup(int buffer_count, int page_size);
int tb_shutdown();
void tb_set_error(int code);
int tb_get_error();
using TbMessageWriter = int (*)(const char* text);
TbMessageWriter tb_set_message_writer(TbMessageWriter writer);
