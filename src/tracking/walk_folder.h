// The folder walk: after a folder was renamed or moved, re-keys the note of
// everything inside it from the old path prefix to the new one.
//
// walkFolder lists the folder at its new place ("<new>/*.*", every entry,
// hidden ones included) and, for each entry, looks its old path
// "<old>/<name>" up in notesTable; a note found is given the path
// "<new>/<name>" under a record lock. Sub-folders are walked depth-first
// after their own note was re-keyed, whether they had one or not. A folder
// that cannot be listed ends that level quietly; a note that cannot be read
// or re-keyed stays under its old path and the walk goes on.
//
// Order: each folder is listed in full first and its entries are taken in
// the order of their names as the path index compares them (A to Z folded),
// so that one look-up after another works on the same few index pages
// instead of jumping about the index in the system's order. When memory for
// the names runs out, that folder is taken in the system's order instead.
//
// One commit: the whole walk runs under notesTable's write lock
// (TableWriteHold, table_guard.h), so that other processes see the notes of
// the folder all under the old prefix or all under the new one, and the
// table is flushed and committed once at the end instead of once per note.
// The commit is tried up to three times while the lock is still held (a
// failed write leaves its pages in the cache to be written again); the
// lock is given back when the walk ends, even when every try failed
// (traced "WALK COMMIT FAILED: <new>\n"). When the lock cannot be had (another
// process keeps the table locked past the engine's retries), the walk runs
// all the same, traced "WALK UNLOCKED: <new>\n", and each re-key then takes
// the lock and commits on its own. One exception to the single commit:
// another process that locked a note's record before the walk began waits
// for the write lock to change it, while the walk waits for that record;
// when the record lock is refused, the walk commits what it has, gives the
// write lock up for that note (see reKeyCurrent) and takes it again after.
// A commit that fails every try leaves the index file as far as it got, as
// a single note's commit would; under the hold that is the whole walk's
// changes instead of one note's. While the hold lasts, other processes'
// reads and changes wait (the engine retries for about a second), so a
// walk of very many notes can make them give up with "locked".
//
// Each call works in two 256-byte buffers: one for the search pattern,
// reused for an entry's new path, and one for its old path. A path that does
// not fit there (folder, '/', name and terminator over 256 bytes) is never
// cut short, which would name another file: the entry is skipped with the
// trace "SKIPPED (too long): <folder>/<name>\n" (the pattern of a folder
// that does not fit likewise, and nothing in it is walked). Anything inside
// a skipped folder would be longer still.
//
// Uses notesTable and lockId only. Callers: DoResponse, with the table
// mutex held (table_guard.h). Recursion depth is the depth of the tree, at
// most 128 since every level adds at least two bytes to a 255-byte path;
// each level keeps its folder's names on the heap while it walks deeper.
#pragma once

// `oldPath` and `newPath`: full paths without a trailing '/'.
void walkFolder(const char* oldPath, const char* newPath);
