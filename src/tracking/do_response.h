// The file event handler: what one file-system event does to the notes.
//
// DoResponse runs once per file event the driver reports
// (event/file_event.h) and rewrites notesTable and tempTable
// (upkeep/database.h) so that each note stays with its file or folder:
//
//   OP_COPY          the copy gets the source's note; without one, a note
//                    set aside for the target comes back
//   OP_RENAME        the note moves to the new path (a copy is set aside
//                    under the old one, given back for RenameBackSeconds
//                    only); a note the new path had is set aside there
//                    and deleted, unless the renamed path had none; for
//                    a folder, walkFolder first re-keys everything inside
//   OP_DELETE        the note is set aside in tempTable and deleted
//   OP_REMOVE        the note is deleted, nothing set aside
//   OP_COPY_REVERSE  the target's note is copied to the source path
//   OP_CREATE        a note set aside for the path comes back
//   OP_RECONCILE     not handled here (tracking/reconcile.h)
//   OP_STOP          the event group ends; nothing else
// A set-aside note that comes back leaves tempTable: it is with its file
// again, and kept there it would go to the next file made at that path.
// A note moved by a rename takes its file's identity along (identities.h);
// one that comes back records the identity of the file it came back to.
// OP_DELETE and OP_CREATE first take the "FileSpec" value (save_as.h): a
// note whose path is a prefix of the event's path moves to that path.
// Deleting a note writes MODIFIED=1 in section [Quibbet] of win.ini.
//
// Every decision is traced with one line on the debug output, formatted
// into a 512-byte buffer. The lines, their arguments and when they come:
//   "\nDoResponse with %d\n"          operation         every event, first
//   "RENAME: %s, %s\n"                source, target    after the folder walk
//   "REPLACED: %s\n"                  target            rename (or folder walk) over a noted path
//   "SaveAs contains %s\n"            FileSpec          delete/create, key opened
//   "Result for findKey,%s = %d\n"    FileSpec, result  the same, after the look-up
//   "PRE DELETE: %s, %s\n"            source, FileSpec  delete, always
//   "FOUND IN REGISTRY: %s\n"         FileSpec          delete, FileSpec matched
//   "DO DELETE: %s\n"                 source            delete, the path had a note
//   "CREATENEW: %s, %s\n"             target, FileSpec  create, FileSpec matched
//   "Found in dbtmp: %s\n"            target            create, note set aside
//   "EXPIRED: %s\n"                   path              a set-aside note past its use, dropped
//   "SKIPPED (too long): %s\n"        the text's start  a path that does not fit
//   "WALK UNLOCKED: %s\n"             target            folder walk without the table lock
//   "WALK COMMIT FAILED: %s\n"        target            the folder walk's commit failed every try
//   "GROUP COMMIT FAILED: %s\n"       what              an event group's commit failed every try
// A line that would need more than 511 characters is cut and ends in
// "...\n", so that a cut line never reads as a whole one.
//
// Paths that do not fit: a path longer than kEventPathMax bytes (or holding
// a zero byte) is never used cut short (it would name another file); the
// event is handled without touching the tables, after a "SKIPPED (too
// long)" line with its first 255 bytes and a warning in the log. OP_DELETE
// and OP_CREATE still take and empty "FileSpec" first, since the value was
// meant for this very event.
//
// Failures of the table calls do not stop an event: only findKey's result
// steers (2 found, anything else not found, a closed table included); a
// note of notesTable is changed, deleted or copied only under its record
// lock, once re-read there and seen to carry the path looked up (lockNote).
//
// Threads: the event thread, one event at a time; not re-entrant. The table
// work of one event runs under tracking_table_mutex() (table_guard.h).
#pragma once

#include <cstdint>

#include <cstddef>

#include "event/file_event.h"
#include "table_handle/table_handle.h"
#include "tracking/table_guard.h"

// Handles `event`. `waiting` (null: none) gives how many events are queued
// behind it, asked once its work is done; it steers the event groups below.
// Always 0.
int DoResponse(const FileEvent& event, size_t (*waiting)());

// ---- shared with walk_folder.cpp and save_as.cpp -------------------------
// The steps every operation is written in. Results other than findKey's
// are not looked at: a step that fails leaves the buffers as they are and
// the event goes on.

// Record-lock number of the update or delete in progress on notesTable;
// taken and given back within one step.
extern int32_t lockId;

constexpr int kKeyFound = 2;  // findKey's result for an exact match

// setField ("Path", path) and findKey on t: findKey's result.
int lookUp(TableHandle& t, const char* path);
// readRecord (0): the current record into t's buffers, no record lock.
void readCurrent(TableHandle& t);
// setField ("Path", path) on t.
void setPath(TableHandle& t, const char* path);
// to's "Path" and "Remark" set from from's.
void copyNote(TableHandle& from, TableHandle& to);
// findKey with the path already in t's buffer: updateRecord if found, else
// addRecord. No record lock.
void upsert(TableHandle& t);
// Two paths compare equal as notesTable's path field compares them (byte
// for byte on tables made here; pathsMatch, upkeep/database.h); with
// pathStartsWith, whether `prefix` begins `path` so.
bool samePath(const char* a, const char* b);
bool pathStartsWith(const char* path, const char* prefix);
// Looks `path` up in notesTable, takes the record lock (lockId) and reads
// the record under it. True when the record read is still `path`'s (paths
// compared as the index compares them): the lock is held and the buffers
// hold the note. False: `path` has no note, or it could not be locked;
// nothing is held and nothing of notesTable may be written.
bool lockNote(const char* path);
// updateRecord / deleteRecord on notesTable, then unlockRecord (lockId):
// only after lockNote gave true.
void updateLocked();
void deleteLocked();
// The locked note is set aside in tempTable under its path and deleted;
// MODIFIED=1 is written whatever the delete gave.
void setAsideLocked();
// For tests: when set, called between each look-up of lockNote and its lock.
extern void (*tracking_before_lock)(const char* path);

// Ends `hold`: the changes made under it commit. A commit that failed every
// try may have left the index file half written: traced "<what> COMMIT
// FAILED: <where>\n", the notes index marked unsure (the stop then neither
// backs up nor compacts from it, and the next start rebuilds it) and the
// user told in the log.
void endHold(TableWriteHold& hold, const char* what, const char* where);

// Event groups. While events wait in the driver's queue (the count
// `waiting` gives), DoResponse handles them under one hold of each
// table's write lock (TableWriteHold), so that their changes commit
// together instead of once per change: at most kGroupEvents (512) events or
// event_group_ms (50 ms), then the tables stay free for one retry delay of
// the engine while events commit one by one, so that another process
// waiting for them gets in. A group ends as soon as the queue is empty, before
// a folder walk (which holds the table in its own slices), when a record
// lock is refused under it (lockNote), at OP_STOP, and before the database
// closes: endEventGroup, under tracking_table_mutex(). Acknowledged events
// are in the driver's memory only, as before; a kill in a group leaves
// "status" 1, and the next start rebuilds the index from the data file.
extern int event_group_ms;
void endEventGroup();
// Begins a group outside DoResponse (the reconciliation's many moves); the
// caller ends it.
void beginEventGroup();
bool eventGroupHeld();

// Formats one trace line into a 512-byte buffer and sends it to the trace
// (platform/report.h); a line that does not fit is cut and ends in "...\n".
constexpr int kTraceBufferSize = 512;
void traceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
