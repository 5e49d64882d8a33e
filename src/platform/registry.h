// The registry: the Windows registry calls the Monitor makes, kept in the
// text file `<state>/registry.reg` (format in platform/registry_text.h).
//
// Both hives the Monitor uses, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, live
// in that one file. When it does not exist, the first call creates it with
// what a fresh installation has:
//   HKLM\SOFTWARE\Kestrin Software\Quibbet\Configuration  "ShowIcon"=1, "Integrate"=1
//   HKLM\SOFTWARE\Kestrin Software\Quibbet\Status         "status"=0
//
// Semantics are the Windows ones for what the Monitor uses:
//   - Key paths are relative to an open key or a hive, components separated
//     by backslashes; names compare ignoring the case of A to Z; a trailing
//     backslash names the same key ("...\Status\" is "...\Status"). An empty
//     component ("a\\b", a leading backslash) gives ERROR_INVALID_PARAMETER,
//     and so does a line break, which a key's header line cannot hold.
//   - A missing key or value gives ERROR_FILE_NOT_FOUND.
//   - REG_DWORD values are 4 bytes; REG_SZ sizes count the terminator (a
//     string is stored up to its first zero byte); other types are bytes.
//   - RegQueryValueExA with too small a buffer gives ERROR_MORE_DATA and the
//     size needed; with a null buffer, success and the size.
//   - The access mask and options are accepted and not enforced.
//
// Sharing between processes: every change (a new key, a value set or
// deleted) takes the file's lock (registry.reg.lock), reads the file afresh,
// applies its one change and writes the whole file to a temporary file that
// is renamed over it, so two programs changing values at once lose nothing
// and a reader never sees half a file. Each change is on disk when the call
// returns, so RegFlushKey has nothing left to do. Reads use the copy read
// last unless the file changed since (another inode, size or time).
//
// Threads: any thread; one process-wide mutex guards the copy and handles.
// Lines of the file that are not understood are reported once on standard
// error and kept in place when the file is written again.
#pragma once

#include "platform/win_types.h"

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result);

// Opens the key, creating it when missing; *disposition (may be null) tells
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. The class and security
// arguments are ignored.
LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR class_name, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);

// `name` null or "" is the key's unnamed value. `type` and `data` may be null.
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);

LONG RegDeleteValueA(HKEY key, LPCSTR name);

LONG RegFlushKey(HKEY key);

// Closing a hive is a no-op; a handle closed twice gives ERROR_INVALID_HANDLE.
LONG RegCloseKey(HKEY key);

// ---- The plain interface (replacing the calls above) ----------------------
// Values by the full path of their key below a hive
// ("SOFTWARE\Kestrin Software\Quibbet\Status"; names compare ignoring case,
// trailing backslashes are dropped), in the same file and with the same
// sharing as above. Results: 0, or an errno value: ENOENT for
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
