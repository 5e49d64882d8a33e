// Keeping the notes table healthy: the clean-close mark, backup and
// compaction at shutdown, and recovery at start.
//
// Two marks tell the next run what happened:
//   registry  HKEY_LOCAL_MACHINE "SOFTWARE\Kestrin Software\Quibbet\Status\"
//             "status" (a number): 1 while the notes table is open (written by
//             openDatabase), 0 once it was closed or compacted cleanly. A 1
//             seen at start means the last run did not end cleanly.
//   win.ini   section "Quibbet", key "MODIFIED": not 0 when notes were
//             deleted since the last compaction (the event handler writes
//             "1"), "0" after a compaction that succeeded.
//
// Shutdown (closeDatabase) compacts only when "MODIFIED" is set: the notes
// table is copied file by file to qbbak.*, then every record of the backup
// is copied into a fresh table, which leaves no free space behind, and that
// takes the notes table's place. A notes table whose index list is not
// exactly "Physical Index" and "INDX_Path,U" is not backed up; the last
// backup replaces it and is compacted instead.
//
// The stop must survive being killed at any instant. It works under the
// creation lock held exclusively (database.h), once no other program has
// the table open, and a third mark, the registry value "compaction" beside
// "status", names which pair of files is whole while it works:
//   1  qb.* (untouched); qbbak.* is being written and may not match itself.
//   2  qbbak.* (complete and flushed); the compacted copy, built as
//      qbnew.db and qbnew.idx, is being renamed over qb.*, one file at a time.
//   0 or missing: qb.*, with qbbak.* a whole earlier state.
// Every file copy is flushed and renamed into place, and each mark is on
// disk before the step it announces begins. Whoever opens the table next
// (readyNotesTable) finishes a stop cut short first: mark 2 puts the backup
// back, mark 1 writes the backup again. Each of the two steps is
// reported as it begins ("Backing up the Quibbet Database...", "Optimizing
// the Quibbet Database..."), a notice on standard error and in the system
// log, so that a person waiting for the stop sees why it takes time.
//
// Start (the event thread, before the driver is loaded): "status" 1 leads to
// rebuildNotesTable, and when that does not give 1, to restoreFromBackup.
//
// Callers: the Monitor's main thread at shutdown (closeDatabase, possibly
// twice: once on the end of the session and once after its loop)
// and the event thread at start. One thread at a time (database.h).
#pragma once

#include <cstdint>

extern const char kProfileSection[];  // "Quibbet"
extern const char kModifiedKey[];     // "MODIFIED"
extern const char kStatusKeyPath[];   // "SOFTWARE\Kestrin Software\Quibbet\Status\"
extern const char kStatusValue[];     // "status"

// Sets "status" to `value` (creating the Status key when missing); on disk at
// return. A failure is not reported: the next start then reads the old value.
void writeStatus(uint32_t value);

// Reads "status": 0 with *value set, or the registry's errno value (ENOENT
// when the value does not exist).
int readStatus(uint32_t* value);

// Shutdown of the notes table: backup and compaction when "MODIFIED" is not
// 0, else a plain close; "status" 0 when that gave 1. Safe to run twice.
// With the index unsure (below), a plain close that leaves "status" 1.
void closeDatabase();
// Flushes the notes table's index file and takes its unflushed mark off
// (btree/index_file.h) when no other program has the table open: after a
// clean stop, the next start of the system need not rebuild it.
void settleNotesIndex();

// Set when a change to the notes table could not be committed however often
// it was tried, so that its index file may no longer match its data file.
// Neither a backup nor a compaction may then be made from it (both read it
// through the index); the stop leaves "status" 1 and the next start
// rebuilds the index from the data file, where every note's record is.
void setNotesIndexUnsure(bool unsure);
bool notesIndexUnsure();

// Closes notesTable, backs it up (or restores the backup over a damaged
// table) and compacts the backup into a fresh notes table. The compaction's
// result (1 success), or the close's result when the backup step failed.
int backupAndCompact();

// Copies qbbak.db over qb.db and qbbak.idx over qb.idx, under the creation
// lock; both copies are attempted. 1 when both succeeded, else 0. A backup
// whose writing was cut short (mark 1) is not used: 0 at once. A restore that
// succeeds ends an interrupted stop's mark 2.
int restoreFromBackup();

// The "compaction" mark (0 when missing or unreadable).
uint32_t stopStep();

// Finishes a stop cut short, as described above; called under the creation
// lock held exclusively. 1 when qb.* may be opened, -1 when the backup could
// not be put back (mark 2 stays, and the table is not to be opened).
int finishInterruptedStop();

// Finishes an interrupted stop first, then rebuilds the notes table's index
// file from its data file and defines the
// path index again, on the global notesTable, which is closed afterwards.
// A note found twice under one path, byte for byte (a move cut short), is
// kept once. 1 on success, else the result of the call that failed.
int rebuildNotesTable();
