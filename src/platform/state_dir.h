// The state folder: where the Monitor and qbnote keep their settings, marks
// and tables.
//
//   <state>/              `$QB_HOME` when set to an absolute path,
//                         else `$XDG_STATE_HOME/quibbet` (absolute too),
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
// which is nobody else's business. An existing folder is used as it is,
// provided nobody else can change what is in it: it must belong to this
// user and be writable by nobody else, and so must registry.reg, whose
// "NotesProgram" the Monitor runs. One that is not is refused (EPERM)
// rather than trusted. A relative QB_HOME or XDG_STATE_HOME is ignored: it
// would name another folder in every working folder.
//
// Paths are joined with '/'. Callers: everything above the engine; safe from
// any thread (no state of its own).
#pragma once

#include <string>


// The state folder, created when missing; "" with errno set when it cannot be
// found or made.
std::string qb_state_dir();

// The state folder's path into *dir, without making it: 1 it is there and
// private, 0 it does not exist yet, -1 with errno set (EPERM: not private,
// ENOTDIR: a file is in the way; *dir may be "" when no rule names one).
int qb_find_state_dir(std::string* dir);

// Whether `path` belongs to this user and is writable by nobody else:
// 1 yes, 0 no (*why says what is wrong and the command that puts it
// right), -1 with errno set when it cannot be looked at.
int qb_check_private(const std::string& path, std::string* why);

// What is wrong with the state folder or its registry.reg as they are
// now, "" when both can be trusted or do not exist yet. Both programs ask
// before they start work.
std::string qb_state_refusal();

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
