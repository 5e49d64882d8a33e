// The notes database: where its files lie, how its tables are made and
// compared, and bringing the Monitor's two tables up at start.
//
// Files, all in the system folder `<state>/system` (platform/state_dir.h):
//   qb.db    qb.idx     the notes table (base name "<sysdir>/qb")
//   qbbak.db qbbak.idx  its backup, written before a compaction (backup.h)
//   qbtmp.db qbtmp.idx  the temporary table of notes set aside (set_aside.h)
// Both tables begin with the text fields "Path" and "Remark", in that order
// (the temporary table adds "Since" and "Kind"), have index pages of 512 bytes, and the unique index "INDX_Path,U"
// on "Path" beside the engine's own "Physical Index". Tables made here
// declare the path "Path,C": compared byte for byte, as the file system
// tells names apart, so that "Makefile" and "makefile" are two notes. A
// table made elsewhere may declare it "Path", compared ignoring the case of
// A to Z; it keeps that, and the temporary table is made with the notes
// table's declaration. Everyone finds the field by "Path" (the handle
// ignores the suffix) and compares paths as its type says; index
// definitions name it by the declaration (declaredPath).
//
// The Monitor's two handles on these tables are in monitor_tables.h.
//
// Callers: the event thread (openDatabase at start), the event handler and
// folder walk (the two handles), the shutdown code (backup.h). The handles
// and the engine are used by one thread at a time: keeping the event thread
// and the main thread from meeting on them is the callers' duty.
#pragma once

#include <mutex>

#include "table_handle/table_handle.h"

// Names shared by every table call on the notes database.
extern const char kPathIndex[];      // "INDX_Path,U"
extern const char kPhysicalIndex[];  // "Physical Index"
extern const char kPathFieldName[];  // "Path", found whatever its suffix
extern const char kPathDeclaration[];  // "Path,C", in every table made here
constexpr int kNotesPageSize = 512;

// Every path of the database is formed in a zero-filled buffer of this many
// bytes; the system directory takes at most kPathBuffer - 1 characters.
constexpr int kPathBuffer = 256;

// Forms "<sysdir>/<name>" into `out` (kPathBuffer bytes). 1, or 0 when the
// system directory cannot be had or the path does not fit.
int systemFilePath(char* out, const char* name);

// Creates an empty table of the notes layout under `baseName` with its unique
// path index, through a local handle that is closed again. 1, or the result
// of the call that failed (create or createIndex). `pathDeclaration` is the
// path field's declaration, for a table that must compare paths as another
// one does.
int createNotesTable(const char* baseName, const char* pathDeclaration = kPathDeclaration);
// The same for the temporary table's layout (set_aside.h).
int createSetAsideTable(const char* baseName, const char* pathDeclaration);

// Whether `path` equals `other` (with `prefix`, begins with it) as the path
// field of `table` compares: byte for byte when it is declared exact, A to Z
// folded otherwise (a table made elsewhere). A closed table counts as exact.
bool pathsMatch(TableHandle& table, const char* path, const char* other, bool prefix);

// The path field's declaration in `table` (open), or null with the handle's
// error recorded when it has no path field.
const char* declaredPath(TableHandle& table);

// The creation lock, a flock on "<sysdir>/qbnote.lock" that every program
// takes around what it does to the notes table's files as files: shared
// while it opens an existing table, exclusive while it creates the table,
// puts a copy in its place or backs it up (backup.h). Once a program has the
// table open it keeps its files: nobody replaces them while another program
// has them open. Process-wide and nestable: an inner lock in a process that
// holds it exclusively takes nothing; an inner exclusive lock turns an outer
// shared one exclusive until the outermost is released. Blocks until granted.
// One thread at a time: the flock belongs to the process, so a second thread
// (the Monitor's stop beside its event thread) waits for the first's
// outermost lock to end.
class CreationLock {
 public:
  explicit CreationLock(bool exclusive);
  ~CreationLock();
  CreationLock(const CreationLock&) = delete;
  CreationLock& operator=(const CreationLock&) = delete;
  bool held() const { return held_; }

 private:
  std::unique_lock<std::recursive_mutex> thread_;
  bool held_ = false;
};

// Makes the notes table fit to open, for a caller that holds a CreationLock
// and opens the table under it: a stop cut short is finished
// (finishInterruptedStop), and with `create` a missing table is created.
// Takes the lock exclusively only when there is something to do. 1 when the
// table exists, 0 when it does not, -1 when the stop could not be finished
// or the creation failed (the engine error tells why).
int readyNotesTable(bool create);

// Brings the database up: creates the notes table when its data file does
// not exist (readyNotesTable, under the creation lock), opens it shared, reads
// the set-aside settings, readies the temporary table (tidySetAside: made
// when missing, expired notes dropped), opens that shared too, and records
// "status" 1. 1 when both tables
// are open with their path index current; otherwise the failing call's
// result (notesTable stays open when only the temporary table failed to
// open; it is closed when the temporary table's index could not be made
// current). A notes table whose path index cannot be made current (its index
// file missing or damaged) is closed again and kNotesIndexUnusable
// returned: a Monitor running on it would ignore every event. A second call
// opens everything afresh.
int openDatabase();
constexpr int kNotesIndexUnusable = -2;
