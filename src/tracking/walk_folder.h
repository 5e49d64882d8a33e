// The folder walk: after a folder was renamed or moved, re-keys the note of
// everything inside it from the old path prefix to the new one.
//
// walkFolder lists the folder at its new place ("<new>/*.*", every entry,
// hidden ones included, in the order the system lists them) and, for each
// entry, looks its old path "<old>/<name>" up in notesTable; a note found is
// given the path "<new>/<name>" under a record lock. Sub-folders are walked
// depth-first after their own note was re-keyed, whether they had one or
// not. A folder that cannot be listed ends that level quietly.
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
// most 128 since every level adds at least two bytes to a 255-byte path.
#pragma once

// `oldPath` and `newPath`: full paths without a trailing '/'.
void walkFolder(const char* oldPath, const char* newPath);
