// The state folder: where this system keeps what on Windows would live in
// the Windows directory, the system directory and the registry.
//
//   <state>/              `$QB_HOME` when set and not empty,
//                         else `$XDG_STATE_HOME/quibbet`,
//                         else `$HOME/.local/state/quibbet` (the home folder
//                         from the password database when HOME is unset)
//   <state>/registry.reg  both registry hives (platform/registry.h)
//   <state>/win.ini       the profile file (platform/profile.h)
//   <state>/system/       the "Windows system directory": the notes table
//                         qb.db/qb.idx, its backup and the temporary table
//
// The environment is read on every call, so a test that points QB_HOME at a
// fresh folder gets a fresh state at once. A folder that does not exist yet
// is created, parents included, with mode 0700: notes name the user's files,
// which is nobody else's business. An existing folder is used as it is.
//
// Paths are joined with '/'. Callers: everything above the engine; safe from
// any thread (no state of its own).
#pragma once

#include <string>

#include "platform/win_types.h"

// The state folder, created when missing; "" with errno set when it cannot be
// found or made.
std::string qb_state_dir();

// `<state>/<name>`; "" with errno set when the state folder cannot be made.
std::string qb_state_path(const char* name);

// Creates `path` and every missing parent with mode 0700. 1, or -1 with
// errno set (ENOTDIR when a part of it is a file).
int qb_make_dirs(const std::string& path);

// The Windows system directory, `<state>/system`, created when missing.
// Windows semantics: when `size` exceeds the path's length the path and its
// terminator are copied and the length without terminator is returned;
// otherwise nothing is copied and the size needed, terminator included, is
// returned. 0 when the folder cannot be made (GetLastError gives errno).
UINT GetSystemDirectoryA(char* buffer, UINT size);

// ---- The plain interface (replacing GetSystemDirectoryA) -----------------
// `<state>/system`, created when missing; "" with errno set when it cannot
// be made.
std::string qb_system_dir();
