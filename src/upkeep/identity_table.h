// The identity table: for each note of a file, the identity of that file
// (platform/file_identity.h), so that a file moved while no Monitor was
// looking can be found again under the watch roots (tracking/reconcile.h).
//
// Files "<sysdir>/qbid.db" and "qbid.idx", in the notes layout (database.h):
// the path under which a note is kept, and in the second field, in place of
// a note, the identity's text form. Paths compare as the notes table's do.
// The table holds hints, never notes: an entry is trusted only once a file
// found on disk matches it, and one that is lost or stale costs at most a
// note that is not found again. So it is made afresh whenever it cannot be
// opened; after a run of the Monitor that did not end cleanly its index is
// rebuilt from the data file first.
//
// Writers: the Monitor (a rename re-keys an entry, a note put back records
// one, the reconciliation records every noted file it finds in place) and
// qbnote (every note it stores). Entries are written without record locks:
// the last writer wins, and either value is a recorded identity of the
// file at that path.
//
// Callers: one thread at a time per process; the Monitor's handle is
// idTable (monitor_tables.h).
#pragma once

#include <string>

#include "platform/file_identity.h"
#include "table_handle/table_handle.h"

// Opens `ids` shared on the identity table. With `rebuild` (the last run
// did not end cleanly), its index is first rebuilt from its data file, when
// no other program has the table open. A table that does not exist or
// cannot be opened is made anew when `create` is set, with paths compared as `pathDeclaration` says.
// 1 when open with its path index current; 0 when there is no table and
// none was made; else the failing call's result.
int openIdentityTable(TableHandle& ids, bool create, bool rebuild, const char* pathDeclaration);

// The identity recorded for `path`: true with *text set. An entry whose
// record does not carry `path` (an index that could not be rebuilt after a
// crash) counts as none.
bool recordedIdentity(TableHandle& ids, const char* path, std::string* text);
// Records `text` under `path`, replacing what was there. 1, or the failing
// call's result.
int writeIdentity(TableHandle& ids, const char* path, const std::string& text);
// Records the identity of the file now at `path`: 1; 0 when no file is
// there (nothing is written); the failing call's result otherwise.
int recordIdentity(TableHandle& ids, const char* path);
// Removes the entry of `path`, if any.
void forgetIdentity(TableHandle& ids, const char* path);
