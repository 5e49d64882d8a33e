// qbnote: the notes program. What its files share: the exit statuses, the
// limits a note must keep, messages on standard error, the command-line
// parser of every command, and the entry points main() dispatches to.
//
// Exit statuses (also in --help and the README):
//   0  done
//   1  not found: no note for the path, no match, nothing listed, no notes
//      table yet
//   2  usage: a command line, a path or a note that cannot be taken, or an
//      editor that failed; nothing was written (import: the lines it
//      reports were skipped, the others stored)
//   3  the notes table could not be used (cannot be opened, damaged, an
//      engine call failed; the message names qbnote check, repair and
//      restore-backup), or standard output could not be written; nothing
//      was changed or re-created over it
//   4  held by another program after the engine's retries: a note locked,
//      or the whole table held exclusively (the Monitor compacting it);
//      for edit also a note that changed while the editor ran
//
// A note is text of bytes without NUL (records store terminated strings);
// it need not be UTF-8. Text read from standard input or from the editor
// loses one final newline, if it has one; `get` prints a note followed by a
// newline.
//
// The program is one thread. Its strings are std::string: an allocation
// failure ends the process, which for a command-line tool handling at most a
// few megabytes at a time is the sensible end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum : int {
  kExitDone = 0,
  kExitNotFound = 1,
  kExitUsage = 2,
  kExitTable = 3,
  kExitHeld = 4,
};

// The driver's event record carries a path in 256 bytes with its terminator.
constexpr size_t kMaxPathBytes = 255;
// One record: the path and the note, each with its terminator, in at most
// this many bytes (the record's 16-bit signed length word).
constexpr size_t kMaxRecordBytes = 32767;
// What a set-aside copy of a note needs beside its path and text: when it
// was set aside (at most 20 digits) and why ("deleted", "renamed"), each
// with its terminator. A note that left no room for them could not be set
// aside when its file is deleted, and would be lost then.
constexpr size_t kSetAsideBytes = 21 + 8;
inline size_t max_note_bytes(size_t path_bytes) {
  return kMaxRecordBytes - (path_bytes + 1) - 1 - kSetAsideBytes;
}

// "qbnote: <text>\n" on standard error.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Options a command may accept.
enum : unsigned {
  kOptJson = 1,     // --json
  kOptMissing = 2,  // --missing
  kOptSetAside = 4, // --set-aside
  kOptRecursive = 16,  // -r, --recursive
  kTextFollows = 8, // not an option: whatever follows the first operand is an operand (set's TEXT)
  kOptXattr = 64,   // --xattr
  kOptNull = 32,     // -0 / --null: paths only, each ended by a NUL byte
};

struct Args {
  std::vector<std::string> operands;
  bool json = false;
  bool missing = false;
  bool set_aside = false;
  bool recursive = false;
  bool xattr = false;
  bool null = false;
  bool help = false;  // --help / -h: the command prints its help and ends
};

// Reads the arguments that follow the command name. Options may stand
// anywhere before "--" (with kTextFollows, only before the first operand);
// "-" alone is an operand. An unknown option's message says that an
// operand beginning with '-' goes after "--". kExitDone, or kExitUsage
// after a message for an option the command does not take or a wrong
// number of operands (between min_operands and max_operands).
int parse_args(const char* command, int argc, char** argv, unsigned allowed, int min_operands, int max_operands,
               Args* out);

// The canonical path of a path operand into *out, refusing an empty path
// and one whose canonical form is longer than kMaxPathBytes. kExitDone or
// kExitUsage after a message.
int note_path(const char* operand, std::string* out);

// Whether `note` can be stored under `path`: no NUL byte and at most
// max_note_bytes (path length). When not, *why says why.
bool note_fits(const std::string& path, const std::string& note, std::string* why);
// The same as an exit status: kExitDone, or kExitUsage after a message.
int check_note(const std::string& path, const std::string& note);

// All of standard input, or of the named file ("-": standard input). 1, or
// -1 after a message.
int read_input(const char* name, std::string* out);

// Drops one final "\n".
void drop_final_newline(std::string* text);

// Plain output to a terminal (term_text.cpp): whether standard output is
// one, and `s` with its control characters escaped as `ls -b` does (\033,
// and \\ for a backslash); `keep_lines` leaves newlines and tabs alone.
bool stdout_is_terminal();
std::string term_text(const std::string& s, bool keep_lines);

// Help (help.cpp). `command` null: the program's help.
extern const char kVersion[];
void print_help(const char* command);
bool is_command(const char* name);

// The commands (argc/argv start after the command name).
int cmd_set(int argc, char** argv);
int cmd_rm(int argc, char** argv);
int cmd_edit(int argc, char** argv);
int cmd_get(int argc, char** argv);
int cmd_ls(int argc, char** argv);
int cmd_find(int argc, char** argv);
int cmd_export(int argc, char** argv);
int cmd_import(int argc, char** argv);
int cmd_check(int argc, char** argv);
int cmd_cp(int argc, char** argv);
int cmd_mv(int argc, char** argv);
int cmd_config(int argc, char** argv);
int cmd_restore(int argc, char** argv);
// ls --set-aside: the set-aside notes under `folder` ("": all).
int list_set_aside(const Args& a, const std::string& folder);
int cmd_status(int argc, char** argv);
int cmd_repair(int argc, char** argv);          // cmd_repair.cpp
int cmd_restore_backup(int argc, char** argv);  // cmd_repair.cpp

// After `set`: a message on standard error when the Monitor would not
// follow `path` (cmd_status.cpp).
void warn_if_not_followed(const std::string& path);
