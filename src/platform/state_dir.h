// The state folder: where the Monitor and qbnote keep their settings, marks
// and tables.
//
//   <state>/              `$QB_HOME` when set and not empty,
//                         else `$XDG_STATE_HOME/quibbet`,
//                         else `$HOME/.local/state/quibbet` (the home folder
//                         from the password database when HOME is unset)
//   <state>/registry.reg  both registry hives (platform/registry.h)
//   <state>/win.ini       the profile file (platform/profile.h)
//   <state>/system/       the system folder: the notes table
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


// The state folder, created when missing; "" with errno set when it cannot be
// found or made.
std::string qb_state_dir();

// The home folder: $HOME when set and not empty, else the password
// database's; "" when neither says.
std::string qb_home_dir();

// `<state>/<name>`; "" with errno set when the state folder cannot be made.
std::string qb_state_path(const char* name);

// Creates `path` and every missing parent with mode 0700. 1, or -1 with
// errno set (ENOTDIR when a part of it is a file).
int qb_make_dirs(const std::string& path);

// `<state>/system`, where the notes table and its backup live, created
// when missing; "" with errno set when it cannot be made.
std::string qb_system_dir();
