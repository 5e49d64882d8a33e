// The folder walk (see walk_folder.h).
#include "tracking/walk_folder.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "btree/index_file.h"
#include "engine/table.h"
#include "cache/file_io.h"
#include "tracking/do_response.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

int walk_slice_ms = 100;

namespace {

constexpr int kWalkBuffer = 256;
constexpr int kWalkSliceNotes = 256;  // old paths read at a time
using Clock = std::chrono::steady_clock;
std::chrono::milliseconds sliceTime() { return std::chrono::milliseconds(walk_slice_ms); }

void endHold(TableWriteHold& hold, const char* where) { ::endHold(hold, "WALK", where); }

void takeHold(TableWriteHold& hold, const char* where) {
  if (!hold.take()) traceLine("WALK UNLOCKED: %s\n", where);
}

// Under the hold, a record locked elsewhere is tried once, not waited for:
// its holder may be waiting for the hold, and every other process waiting
// for the table would give up meanwhile. Without the hold, the engine's
// retries as usual.
class TryOnceUnderHold {
 public:
  explicit TryOnceUnderHold(const TableWriteHold& hold) : saved_(tb_lock_settings) {
    if (hold.taken()) tb_lock_settings.tries = 1;
  }
  ~TryOnceUnderHold() { tb_lock_settings = saved_; }

 private:
  TbLockSettings saved_;
};

// The note of `oldPath` moves to `newPath`; a note `newPath` had already
// (its file was replaced, or is gone) is set aside as the rename of a file
// onto a noted file sets it aside.
//
// Lock order: another process changing a note locks its record first and
// then waits for the table's write lock, which the walk holds while it asks
// for record locks. A record lock refused under the hold may be such a
// process waiting for the walk: the hold ends (what was re-keyed so far
// commits), so that the other process can finish; the note is locked again
// on its own, and the hold is taken again for the rest.
void reKey(const char* oldPath, const char* newPath, const char* where, TableWriteHold& hold) {
  bool locked = false;
  {
    TryOnceUnderHold once(hold);
    if (!samePath(oldPath, newPath) && lockNote(newPath)) {
      traceLine("REPLACED: %s\n", newPath);
      setAsideLocked();
    }
    locked = lockNote(oldPath);
  }
  const bool yielded = !locked && hold.taken() && lookUp(notesTable, oldPath) == kKeyFound;
  if (yielded) {
    endHold(hold, where);
    locked = lockNote(oldPath);
  }
  if (locked) {
    setPath(notesTable, newPath);
    updateLocked();
  }
  if (yielded) takeHold(hold, where);
}

// Up to `most` paths of notes under `prefix` into `paths`, in index order,
// from the first key at `from` or after it (after it only, when `after`).
// *ended: the range was read to its end. A record that cannot be read is
// passed over, once its lock had a chance to go.
int collect(const char* prefix, const char* from, bool after, char (*paths)[kWalkBuffer], int most, bool* ended,
            TableWriteHold& hold, const char* where) {
  *ended = true;
  int at = lookUp(notesTable, from);
  if (at == kKeyFound && after) at = notesTable.nextRecord() == 1 ? 3 : -3;
  if (at != kKeyFound && at != 3) return 0;
  const int field = notesTable.fieldNumber("Path");
  int count = 0;
  while (count < most) {
    int read = -1;
    {
      TryOnceUnderHold once(hold);
      read = notesTable.readRecord(0);
    }
    if (read != 1 && hold.taken()) {  // the record is locked: let its holder through, as in reKey
      endHold(hold, where);
      read = notesTable.readRecord(0);
      takeHold(hold, where);
    }
    const char* path = read == 1 ? notesTable.getField(field) : nullptr;
    if (path != nullptr && !pathStartsWith(path, prefix)) return count;
    if (path == nullptr) {  // unreadable: that note stays where it is
      if (notesTable.nextRecord() != 1) return count;
      continue;
    }
    std::snprintf(paths[count++], kWalkBuffer, "%s", path);
    if (notesTable.nextRecord() != 1) return count;
  }
  *ended = false;
  return count;
}

// Whether a note's path may begin with `prefix`: false only when the index
// shows that none does (the first key from `prefix` on is another's), so
// that a rename whose target is gone, or a file, ends no group of events.
// Under the group's hold a locked record is tried once.
bool notesUnder(const char* prefix) {
  const int at = lookUp(notesTable, prefix);
  if (at != kKeyFound && at != 3) return false;
  const TbLockSettings saved = tb_lock_settings;
  tb_lock_settings.tries = 1;
  const int read = notesTable.readRecord(0);
  tb_lock_settings = saved;
  return read != 1 || pathStartsWith(notesTable.getField(notesTable.fieldNumber("Path")), prefix);
}

}  // namespace

void walkFolder(const char* oldPath, const char* newPath) {
  char prefix[kWalkBuffer];
  const int oldLength = std::snprintf(prefix, sizeof prefix, "%s/", oldPath);
  // No note's path is longer than a field holds; a folder cannot move into itself.
  if (oldLength < 0 || oldLength >= kWalkBuffer || pathStartsWith(newPath, prefix)) return;
  // The walk holds the table in slices of its own: a group of events ends
  // first, unless there is nothing to walk.
  if (eventGroupHeld()) {
    if (!notesUnder(prefix)) return;
    endEventGroup();
  }
  static char paths[kWalkSliceNotes][kWalkBuffer];
  char from[kWalkBuffer];
  std::memcpy(from, prefix, sizeof from);
  bool after = false;
  TableWriteHold hold(notesTable);
  if (!hold.taken()) traceLine("WALK UNLOCKED: %s\n", newPath);
  auto held = Clock::now();
  for (;;) {
    bool ended = false;
    const int count = collect(prefix, from, after, paths, kWalkSliceNotes, &ended, hold, newPath);
    int done = 0;
    for (; done < count && (done == 0 || Clock::now() - held < sliceTime()); ++done) {
      char moved[kWalkBuffer];
      const char* rest = paths[done] + oldLength - 1;  // from the '/' on
      const int length = std::snprintf(moved, sizeof moved, "%s%s", newPath, rest);
      if (length < 0 || length >= kWalkBuffer)
        traceLine("SKIPPED (too long): %s%s\n", newPath, rest);
      else
        reKey(paths[done], moved, newPath, hold);
    }
    if (done == 0 || (ended && done == count)) break;
    std::memcpy(from, paths[done - 1], sizeof from);
    after = true;
    if (Clock::now() - held < sliceTime()) continue;
    // Another process waiting for the table tries again every retry delay
    // of its engine: the table stays free for that long, so that one of its
    // tries lands in the gap.
    endHold(hold, newPath);
    (void)io_sleep(ix_lock_settings.delay_ms + 5);
    takeHold(hold, newPath);
    held = Clock::now();
  }
  endHold(hold, newPath);
}
