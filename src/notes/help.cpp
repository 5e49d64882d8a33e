// The help texts of qbnote and of each command.
#include <cstdio>
#include <cstring>

#include "notes/notes.h"

const char kVersion[] = "qbnote " QB_VERSION " (Quibbet)";

namespace {

struct CommandHelp {
  const char* name;
  const char* text;
  const char* statuses;  // the exit statuses it can return, as digits
};

// One line group per exit status; a command's help shows those it can
// return (CommandHelp::statuses, the digits in order).
const char* const kExitStatuses[] = {
    "  0  done\n",
    "  1  not found: no note for the path, nothing matched, no notes table yet\n",
    "  2  usage: a command line, path or note that cannot be taken, or an editor\n"
    "     that failed; nothing was written\n",
    "  3  the notes table could not be used (cannot be opened, damaged, a write\n"
    "     failed), or standard output could not be written; the message says why\n"
    "     and which command helps (qbnote check, repair, restore-backup)\n",
    "  4  held by another program after the retries: the note is locked, or the\n"
    "     Monitor holds the table alone while it compacts it; for edit also a\n"
    "     note that changed while the editor ran\n",
};

void print_statuses(const char* digits) {
  std::fputs("Exit status:\n", stdout);
  for (const char* d = digits; *d != '\0'; ++d) std::fputs(kExitStatuses[*d - '0'], stdout);
}

const CommandHelp kCommands[] = {
    {"set",
     "usage: qbnote set PATH [TEXT | -]\n"
     "Sets or replaces the note of PATH. Without TEXT, or with -, the note is read\n"
     "from standard input and loses one final newline. Options go before PATH:\n"
     "after it, TEXT is taken as it is, also when it begins with '-'. Creates the\n"
     "notes table when there is none yet. Paths that differ only in case have\n"
     "notes of their own; in a table made elsewhere whose paths ignore the case\n"
     "of A-Z they share one, which is replaced and takes this spelling of the\n"
     "path. Says so on standard error (and still stores the note) when PATH does\n"
     "not exist, when the Monitor will not follow it, and, once per boot, when no\n"
     "Monitor runs.\n",
     "0234"},
    {"get",
     "usage: qbnote get [--json] PATH\n"
     "Prints the note of PATH followed by a newline; exit status 1 when it has none.\n"
     "  --json  {\"path\": ..., \"note\": ...} with the path as stored\n",
     "01234"},
    {"rm",
     "usage: qbnote rm PATH\n"
     "Deletes the note of PATH and marks the table for compaction at the Monitor's\n"
     "next shutdown; exit status 1 when PATH has no note.\n",
     "01234"},
    {"ls",
     "usage: qbnote ls [--json | -0] [--missing | --set-aside] [FOLDER]\n"
     "Lists the path and the first line of every note under FOLDER (its own note\n"
     "included), or of every note, in the order of the path index (byte order, or\n"
     "A-Z case ignored in a table whose paths ignore case); exit status 1 when\n"
     "there is none. On a terminal, ls FOLDER shows the folder as you browse it:\n"
     "its entries, folders marked with /, each with its note's first line beside\n"
     "it, cut to the terminal's width (coloured, unless NO_COLOR is set).\n"
     "  --missing    only notes whose paths no longer exist (stale notes)\n"
     "  --set-aside  the notes the Monitor set aside for paths that went away:\n"
     "               path, when (local time), why (deleted: the file was deleted or\n"
     "               moved away; renamed: the copy a rename leaves under the old\n"
     "               name) and the first line; qbnote restore puts one back\n"
     "  --json       one {\"path\": ..., \"note\": ...} line per note, the whole note\n"
     "               (with --set-aside also \"set_aside\" in UTC and \"kind\")\n"
     "  -0, --null   only the paths, each ended by a NUL byte (for xargs -0)\n"
     "On a terminal, control characters are shown escaped (\\033, \\\\).\n",
     "01234"},
    {"find",
     "usage: qbnote find [--json | -0] TEXT\n"
     "Lists the notes whose text contains TEXT, ignoring the case of letters of\n"
     "every alphabet (UTF-8; other bytes must match exactly); exit\n"
     "status 1 when none does.\n"
     "  --json  one {\"path\": ..., \"note\": ...} line per note\n"
     "  -0, --null  only the paths, each ended by a NUL byte (for xargs -0)\n",
     "01234"},
    {"edit",
     "usage: qbnote edit PATH\n"
     "Opens $VISUAL, else $EDITOR, else vi on the note of PATH (empty when it has\n"
     "none) and stores the result without its final newline. An empty result or\n"
     "an unchanged note stores nothing. The table is not held while the editor\n"
     "runs; if another program changed the note meanwhile, nothing is stored,\n"
     "your text is kept in the file named, and the exit status is 4.\n",
     "0234"},
    {"export",
     "usage: qbnote export [--xattr]\n"
     "Writes every note as one JSON line {\"path\": ..., \"note\": ...} to standard\n"
     "output, in index order. Bytes that are not UTF-8 are written as \\udcXX, which\n"
     "import turns back into the byte XX. Exit status 1 when there is no notes table.\n"
     "  --xattr  write each note as its file's user.xdg.comment attribute instead,\n"
     "           where the file is there and its file system takes it\n",
     "01234"},
    {"import",
     "usage: qbnote import FILE | -\n"
     "       qbnote import --xattr FOLDER\n"
     "Reads JSON lines as export writes them and sets each note (replacing one\n"
     "that exists). Paths are taken as absolute paths and normalized without\n"
     "resolving links. A line that cannot be taken is reported with its number\n"
     "and skipped; the exit status is then 2 (4 when a note was locked). A note the\n"
     "table could not store ends the import with exit status 3; the summary counts\n"
     "the notes stored, the lines skipped and the line that failed.\n"
     "  --xattr  take the user.xdg.comment attribute of FOLDER and of every file\n"
     "           and folder in it as its note; a path that has a note keeps it\n",
     "0234"},
    {"check",
     "usage: qbnote check\n"
     "Verifies the notes table and, when it exists, the Monitor's temporary table,\n"
     "and prints what is wrong. Exit status 0 only when both are sound, 3 when\n"
     "either is damaged or cannot be opened, 1 when there is no notes table. A\n"
     "damaged notes table: qbnote repair rebuilds its index file from the data\n"
     "file; when that does not help, qbnote restore-backup puts the last backup back.\n",
     "01234"},
    {"restore",
     "usage: qbnote restore OLD [NEW]\n"
     "Puts the note set aside for the path OLD back into the notes table, under OLD\n"
     "or, for a file that came back under another name, under NEW, and removes it\n"
     "from the set-aside notes (qbnote ls --set-aside lists them). A path that has a\n"
     "note already keeps it: nothing is restored and the exit status is 2. Exit\n"
     "status 1 when OLD has no set-aside note.\n",
     "01234"},
    {"cp",
     "usage: qbnote cp [-r] SOURCE TARGET\n"
     "Copies the file SOURCE to TARGET (into it, when TARGET is a folder) with its\n"
     "permission bits and times, and tells the running Monitor, which gives the\n"
     "copy the note of SOURCE; when no Monitor runs, the copy is given the note\n"
     "here. Folders are refused, unless with -r (--recursive): the folder, into a\n"
     "new one, with everything in it (files, folders, links) and their notes.\n"
     "A copy that fails is exit status 2; a copy the Monitor could not be told of,\n"
     "exit status 3.\n",
     "023"},
    {"config",
     "usage: qbnote config [list | get NAME | set NAME VALUE | unset NAME]\n"
     "Lists, reads and changes the Monitor's settings in registry.reg in the state\n"
     "folder, each with its type: WatchRoots, IgnoreNames, NotesProgram (text);\n"
     "CrossMounts, SetAsideDays, RenameBackSeconds, Integrate (numbers). Values\n"
     "that make no sense are refused (exit status 2): a root that is not an\n"
     "absolute folder, a negative number. unset brings the default back. A running\n"
     "Monitor reads them at start: restart it. get exits 1 for a setting not set.\n",
     "0123"},
    {"mv",
     "usage: qbnote mv SOURCE TARGET\n"
     "Moves the file or folder SOURCE to TARGET (into it, when TARGET is a folder)\n"
     "with its notes: a running Monitor follows the move; with none, the notes of\n"
     "SOURCE and of everything inside it are moved here. A TARGET that exists is\n"
     "refused, and so is a move to another file system (exit status 2).\n",
     "0234"},
    {"status",
     "usage: qbnote status [--json]\n"
     "Tells whether notes are being followed: the running Monitor (pid, since when),\n"
     "its watch roots (and those waited for), the folders it watches, ignores by\n"
     "name or leaves unwatched (other file systems, the inotify watch limit), the\n"
     "events it handled, kernel queue overflows and its last warning or error; then\n"
     "the notes and set-aside notes counted in the tables and the tables' files.\n"
     "Exit status 0 when a Monitor answered, 3 when none runs (the tables are still\n"
     "shown).\n"
     "  --json  one object: \"monitor\" (true/false), the Monitor's facts by name\n"
     "          (\"roots\" and \"waiting\" as arrays),\n"
     "          \"notes\", \"set_aside\" (-1: cannot be counted, -2: no table) and \"files\"\n"
     "          (the table files present, with their sizes)\n",
     "023"},
    {"repair",
     "usage: qbnote repair\n"
     "Rebuilds the notes table's index file (qb.idx) from its data file (qb.db),\n"
     "which holds every note, as the Monitor's start does after a crash. Refused\n"
     "while a Monitor runs or another program has the table open: stop the Monitor\n"
     "with qbmon --stop, run qbnote repair, then start it again. Exit status 1 when\n"
     "there is no notes table, 3 when the rebuild is refused or fails.\n",
     "0123"},
    {"restore-backup",
     "usage: qbnote restore-backup\n"
     "Puts the backup the Monitor made at its last compaction (qbbak.db, qbbak.idx)\n"
     "in place of the notes table, after copying the table as it is to\n"
     "qb.db.broken-DATE-TIME and qb.idx.broken-DATE-TIME. Notes written since that\n"
     "compaction are not in the backup. Refused while a Monitor runs or another\n"
     "program has the table open; exit status 3 when refused, when there is no\n"
     "backup, or when the copy fails.\n",
     "023"},
};

}  // namespace

bool is_command(const char* name) {
  for (const CommandHelp& c : kCommands)
    if (std::strcmp(c.name, name) == 0) return true;
  return false;
}

void print_help(const char* command) {
  if (command != nullptr) {
    for (const CommandHelp& c : kCommands) {
      if (std::strcmp(c.name, command) != 0) continue;
      std::fputs(c.text, stdout);
      std::fputs("\n", stdout);
      print_statuses(c.statuses);
      return;
    }
  }
  std::fputs(
      "usage: qbnote COMMAND [ARGS]\n"
      "Reads, writes and searches the notes that the Quibbet Monitor keeps attached\n"
      "to files and folders. Works beside a running Monitor and other qbnote\n"
      "processes: the notes table is opened shared and notes are changed under\n"
      "record locks.\n"
      "\n"
      "Commands:\n"
      "  set PATH [TEXT|-]      set or replace a note (TEXT from stdin when - or missing)\n"
      "  get [--json] PATH      print a note\n"
      "  rm PATH                delete a note\n"
      "  ls [--json] [--missing] [FOLDER]\n"
      "                         list notes under FOLDER, or all notes\n"
      "  find [--json] TEXT     notes whose text contains TEXT (case ignored)\n"
      "  edit PATH              edit a note with $VISUAL / $EDITOR / vi\n"
      "  export [--xattr]       every note as JSON lines on stdout, or as comments\n"
      "  import FILE|-          read notes back from JSON lines\n"
      "  import --xattr FOLDER  take files' user.xdg.comment as their notes\n"
      "  check                  verify the notes table and the temporary table\n"
      "  cp [-r] SOURCE TARGET  copy a file, or a folder with -r, with its notes\n"
      "  mv SOURCE TARGET       move a file or folder with its notes\n"
      "  config [list|get|set|unset] [NAME [VALUE]]\n"
      "                         the Monitor's settings\n"
      "  restore OLD [NEW]      put a set-aside note back (ls --set-aside lists them)\n"
      "  status [--json]        whether the Monitor runs and what it watches\n"
      "  repair                 rebuild the notes table's index file from its data file\n"
      "  restore-backup         put the Monitor's last backup in place of the notes table\n"
      "\n"
      "qbnote COMMAND --help tells more; qbnote --version the version.\n"
      "\n"
      "Paths are stored absolute, with the folder part resolved through symbolic\n"
      "links and the last component kept as given; a path of something already gone\n"
      "is normalized by its text alone. Paths longer than 255 bytes are refused.\n"
      "The notes table is <state>/system/qb.db and qb.idx; the state folder is\n"
      "$QB_HOME, else $XDG_STATE_HOME/quibbet, else ~/.local/state/quibbet.\n"
      "\n",
      stdout);
  print_statuses("01234");
}
