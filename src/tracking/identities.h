// Keeping the identity table (upkeep/identity_table.h) in step with the
// notes as events move them: the identity of a file goes where its note
// goes, so that the note can be found again by it if the file moves while
// no Monitor is looking.
//
// A rename keeps the inode: the entry is re-keyed, no stat needed. A note
// put back on a path (a set-aside note restored, a copy given its source's
// note) gets the identity of the file now there, which takes one statx.
// Events that move no note touch nothing here.
//
// Uses idTable. Callers: DoResponse and the reconciliation, with the table
// mutex held (table_guard.h).
#pragma once

// The entry of `from` is now that of `to` (a note moved from one to the
// other); `to`'s old entry, if any, goes.
void moveIdentity(const char* from, const char* to);
// Every entry below the folder `oldPath` moves below `newPath`.
void moveIdentities(const char* oldPath, const char* newPath);
// The note of `path` was (re)attached to the file now there.
void noteAttached(const char* path);
