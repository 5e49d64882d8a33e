// The set-aside table: when each of its notes was set aside and why, how
// long one may still be given back, and what the Monitor's start does to it.
//
// The temporary table qbtmp (database.h) keeps the notes of paths that went
// away, so that a path that comes back gets its note again. It outlives the
// Monitor: a file on a removable disk, or one that a checkout removes for a
// day, finds its note after the next start too. Its records, field by field
// (plain text fields of the engine, like the notes table's own):
//
//   FIELD    CONTENTS
//   Path     the path, declared as the notes table declares it (declaredPath)
//   Remark   the note
//   Since    when it was set aside: seconds since 1970-01-01 UTC, in decimal
//   Kind     why: "deleted" (the path was deleted, moved out of the watched
//            folders, or a file renamed over it) or "renamed" (the copy a
//            rename leaves under the old path)
//
// How long a note serves, from two registry numbers under HKEY_LOCAL_MACHINE
// "SOFTWARE\Kestrin Software\Quibbet\Configuration" (read at each start):
//   "SetAsideDays" (30)       a deleted file's note waits that many days for
//                             its path; older ones are dropped at the start
//                             and when met. 0: every note is dropped at the
//                             start and serves until the next one.
//   "RenameBackSeconds" (60)  a rename's copy serves that long, for the
//                             editors that save by renaming f to f~, writing
//                             f anew and deleting f~. An older copy is never
//                             used: a file made later under the old name is
//                             another file, and the note would be another's.
//                             It is dropped at the start and when met.
// A record without a time or a kind this code wrote never serves, and one
// set aside "in the future" (the clock was set back) serves as a deleted
// note only.
//
// Callers: openDatabase (tidySetAside, dropExpiredSetAside), the event
// handler (stampSetAside, setAsideExpired), and qbnote, which reads and
// restores set-aside notes. One thread at a time, like the engine.
#pragma once

#include <cstdint>

#include "table_handle/table_handle.h"

extern const char kSinceField[];    // "Since"
extern const char kKindField[];     // "Kind"
extern const char kAsideDeleted[];  // "deleted"
extern const char kAsideRenamed[];  // "renamed"

struct SetAsideSettings {
  uint32_t days = 30;
  uint32_t rename_back_seconds = 60;
};
extern SetAsideSettings set_aside_settings;
// Reads both numbers; a missing or unreadable one keeps its default.
void readSetAsideSettings();

// The wall clock, seconds since 1970. Tests put a clock of their own here.
extern int64_t (*set_aside_clock)();

// "Since" (now) and "Kind" into t's buffers, for the add or update that
// sets the note in its other buffers aside.
void stampSetAside(TableHandle& t, const char* kind);

// Whether the record in t's buffers (after readRecord) is past its use.
// `atStart`: with SetAsideDays 0, every note is.
bool setAsideExpired(TableHandle& t, bool atStart);

// The Monitor's start, before it opens `base` shared: makes the table when
// it is missing, and makes it anew when it has the earlier layout (Path
// and Remark only: its renames' copies cannot be told from deleted notes,
// and the versions that wrote it would have emptied it at this start), when
// it cannot be opened, or when its path index can be neither used nor
// rebuilt from the data file; then drops the expired notes. Works on the
// table opened alone, under the creation lock held exclusively, so that no
// qbnote has it open meanwhile. false when a qbnote kept it open throughout
// the wait: nothing was done, and the caller drops the expired notes over
// its shared handle (dropExpiredSetAside).
bool tidySetAside(const char* base, const char* pathDeclaration);

// Deletes the expired records of the open table `t` (current index: the
// path index) by the start's rule. How many went; *kept, how many stayed.
int dropExpiredSetAside(TableHandle& t, int* kept);
