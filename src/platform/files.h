// Files for the code above the engine: whole-file copies made the safe way,
// and (until their last callers go) the Windows calls that copy and test
// files, and the thread's last error. (The engine's own file
// access is the FileIo table of cache/; these calls never touch tables that
// are open.)
//
// A copy never leaves a half-copied target: it copies into a temporary
// file in the target's folder, flushes it to disk and only then renames it
// over the target (or, with fail_if_exists, links it into place, which fails
// if a target appeared meanwhile). A failed copy leaves the old target as it
// was. The copy gets the source's permission bits.
//
// Sharing: a source that another open holds exclusively (a
// table opened "not shared" keeps flock LOCK_EX) cannot be copied, and a
// target that some open holds (any flock) cannot be replaced; both fail with
// EWOULDBLOCK.
//
// Errors: qb_copy_file gives 0 or errno as the failing call set it (EEXIST
// for a target that fail_if_exists finds). The old calls return FALSE (or
// INVALID_FILE_ATTRIBUTES) and GetLastError gives that errno, per thread.
#pragma once

#include "platform/win_types.h"

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL fail_if_exists);

// FILE_ATTRIBUTE_DIRECTORY for a folder; for anything else the sum of
// FILE_ATTRIBUTE_READONLY (no write permission bit set) and
// FILE_ATTRIBUTE_HIDDEN (a name starting with '.'), or FILE_ATTRIBUTE_NORMAL
// when neither applies. A folder can be hidden too. INVALID_FILE_ATTRIBUTES
// when the path cannot be looked at. Symbolic links are followed.
DWORD GetFileAttributesA(LPCSTR path);

DWORD GetLastError();
void SetLastError(DWORD error);

// ---- The plain interface (replacing the calls above) ----------------------
// Copies `from` over `to` (or beside nothing, with fail_if_exists) as
// described above: 0, or an errno value.
int qb_copy_file(const char* from, const char* to, bool fail_if_exists);
