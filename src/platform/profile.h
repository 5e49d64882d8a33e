// win.ini: the profile calls the Monitor makes, on `<state>/win.ini`.
//
// The file is plain INI text:
//
//   [Quibbet]
//   MODIFIED=1
//
//   a line is [section] (text after the closing bracket is ignored),
//   key=value (blanks around key and value are not part of them), a comment
//   starting with ';', or blank. Section and key names compare ignoring the
//   case of A to Z and the blanks around them, in the file and in the calls
//   alike; the first matching key of the first matching section counts. Any other line (and a key line before the first section) is
//   reported once on standard error and kept as it stands; so are comments,
//   blank lines and every line a change does not touch.
//
// Changes are made the safe way of the registry file: under an exclusive
// lock on win.ini.lock the file is read afresh, the one change applied and
// the whole file written to a temporary file renamed over win.ini. Two
// programs writing at once lose nothing. Reads use the copy read last unless
// the file changed since. A missing win.ini reads as empty and is created by
// the first write.
//
// Threads: any thread; a process-wide mutex guards the copy.
#pragma once

// The value of `key` in `section` as an unsigned number: leading blanks
// skipped, an optional sign, then the leading decimal digits ("102abc" is
// 102, "abc" is 0). A negative value gives 0. A missing key, an empty value
// or an unreadable file gives `default_value`.
unsigned profile_read_number(const char* section, const char* key, unsigned default_value);

// Sets `key` in `section` to `value`, adding the section or key when missing
// (a new key goes after the section's last line that is not blank). A null
// `value` deletes the key, a null `key` the whole section (header and lines
// up to the next header). 0, or an errno value: EINVAL for a null section,
// a name or value that cannot be written on one line, or a key that would
// not read back as a key (empty, or starting with ';' or '[').
int profile_write(const char* section, const char* key, const char* value);
