// The registry: the Monitor's settings and marks, kept in the text file
// `<state>/registry.reg` (format in platform/registry_text.h), which a person
// can read and edit.
//
// Two hives, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, live in that one
// file. When it does not exist, the first call creates it with what a fresh
// installation has:
//   HKLM\SOFTWARE\Kestrin Software\Quibbet\Configuration  "ShowIcon"=1, "Integrate"=1
//   HKLM\SOFTWARE\Kestrin Software\Quibbet\Status         "status"=0
//
// Sharing between processes: every change (a new key, a value set or
// deleted) takes the file's lock (registry.reg.lock), reads the file afresh,
// applies its one change and writes the whole file to a temporary file that
// is renamed over it, so two programs changing values at once lose nothing
// and a reader never sees half a file. Each change is on disk when the call
// returns. Reads use the copy read last unless the file changed since
// (another inode, size or time).
//
// Threads: any thread; one process-wide mutex guards the copy. Lines of the
// file that are not understood are reported once on standard error and kept
// in place when the file is written again.
#pragma once

// Values by the full path of their key below a hive
// ("SOFTWARE\Kestrin Software\Quibbet\Status"; names compare ignoring case,
// trailing backslashes are dropped). Results: 0, or an errno value: ENOENT for
// a missing key or value, EINVAL for a key path that cannot be written (an
// empty component, a line break), EPROTOTYPE for a value of another type
// (a number is a REG_DWORD, a string a REG_SZ), or what the file's read or
// write gave. A null value name is the key's unnamed value. A string is
// stored up to its first zero byte.
#include <cstdint>
#include <string>

enum class RegHive { kLocalMachine, kCurrentUser };

int reg_read_number(RegHive hive, const char* key, const char* name, uint32_t* value);
int reg_read_string(RegHive hive, const char* key, const char* name, std::string* value);
// The key is created when missing; the change is on disk at return.
int reg_write_number(RegHive hive, const char* key, const char* name, uint32_t value);
int reg_write_string(RegHive hive, const char* key, const char* name, const std::string& value);
int reg_delete_value(RegHive hive, const char* key, const char* name);
// Creates the key (and its parents) when missing.
int reg_create_key(RegHive hive, const char* key);
