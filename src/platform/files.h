// Whole-file copies made the safe way, for the code above the engine (the
// engine's own file access is the FileIo table of cache/; a copy never
// touches a table that is open).
//
// A copy never leaves a half-copied target: it copies into a temporary
// file in the target's folder, flushes it to disk and only then renames it
// over the target (or, with fail_if_exists, links it into place, which fails
// if a target appeared meanwhile). A failed copy leaves the old target as it
// was. The copy gets the source's permission bits.
//
// Sharing: a source that another open holds exclusively (a table opened
// "not shared" keeps flock LOCK_EX) cannot be copied, and a target that some
// open holds (any flock) cannot be replaced; both fail with EWOULDBLOCK.
#pragma once

// 0, or an errno value as the failing call set it (EEXIST for a target that
// fail_if_exists finds).
int qb_copy_file(const char* from, const char* to, bool fail_if_exists);
