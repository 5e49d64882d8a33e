// The folder walk: after a folder was renamed or moved, re-keys the note of
// everything inside it from the old path prefix to the new one.
//
// The notes table, not the disk, says what was inside: the events reach
// the Monitor behind a queue, and by the time a rename is handled the disk
// may have moved on (files inside renamed again, deleted, the folder itself
// renamed further). Every note whose path begins with "<old>/" gets the
// path "<new>/<rest>", whatever the disk shows by then; the later events of
// the queue then find the notes where they expect them. Every key that
// begins with "<old>/" (compared as the path index compares) sorts next to
// the others, from the key "<old>/" on, so the walk is one range scan. The
// folder's own note is moved by the rename handler, not here.
//
// Each note moves under its record lock, once re-read there and seen to
// still carry its old path (lockNote). A note already under the new path
// (left from a file that is gone) is set aside in tempTable and deleted,
// traced "REPLACED: <path>\n", as for a file renamed onto a noted file. A
// note that cannot be read or re-keyed stays under its old path and the
// walk goes on. A new path that does not fit a 256-byte buffer is never
// cut short, which would name another file: that note stays, traced
// "SKIPPED (too long): <new path>\n".
//
// Slices: the walk holds notesTable's write lock (TableWriteHold,
// table_guard.h) while it works, so that the changes commit together
// instead of once per note, but never much longer than walk_slice_ms
// (100 ms). Then it commits, leaves the table free for one retry delay of
// the engine, so that another process waiting for it gets in, and goes on
// where it stopped. The range is read 256 old paths at a time, before they
// move (re-keying moves the index's cursor); the next read seeks to the
// last of them. Other processes thus see the folder's notes moved slice by
// slice, each note under one of its two paths.
// The commit is tried up to three times while the lock is still held (a
// failed write leaves its pages in the cache to be written again); the
// lock is given back even when every try failed (traced
// "WALK COMMIT FAILED: <new>\n", and the index marked unsure). When the
// lock cannot be had (another process keeps the table locked past the
// engine's retries), the walk goes on all the same, traced
// "WALK UNLOCKED: <new>\n", and each re-key then commits on its own.
// Another process that locked a note's record before and now waits for
// the write lock to change it would wait for the walk while the walk waits
// for that record: under the hold a record lock is tried once, and one
// refused ends the slice early for that note (see reKey).
//
// Uses notesTable, tempTable and lockId. Callers: DoResponse, with the
// table mutex held (table_guard.h); not re-entrant (one static slice).
#pragma once

// `oldPath` and `newPath`: full paths without a trailing '/'. Nothing is
// done when `newPath` lies inside `oldPath`.
void walkFolder(const char* oldPath, const char* newPath);

// The longest hold of the write lock, in ms (tests make it 0: one note).
extern int walk_slice_ms;
