// The file event handler (see do_response.h).
#include "tracking/do_response.h"

#include <cassert>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "btree/index_file.h"
#include "engine/table.h"
#include "platform/profile.h"
#include "platform/report.h"
#include "tracking/identities.h"
#include "tracking/save_as.h"
#include "tracking/table_guard.h"
#include "tracking/walk_folder.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"
#include "upkeep/set_aside.h"

int32_t lockId = 0;

static const char kPathField[] = "Path";
static const char kRemarkField[] = "Remark";

// ---- trace ---------------------------------------------------------------

void traceLine(const char* format, ...) {
  char buffer[kTraceBufferSize];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (written < 0) return;
  if (written >= kTraceBufferSize) {
    static const char kCut[] = "...\n";
    std::memcpy(buffer + kTraceBufferSize - sizeof kCut, kCut, sizeof kCut);
  }
  qb_trace(buffer);
}

// ---- holds and event groups ---------------------------------------------

void endHold(TableWriteHold& hold, const char* what, const char* where) {
  if (hold.release() == 1) return;
  traceLine("%s COMMIT FAILED: %s\n", what, where);
  setNotesIndexUnsure(true);
  char text[kTraceBufferSize + 256];
  std::snprintf(text, sizeof text,
                "The notes changed for %s could not be written to disk (is it full?). Stop and start the Monitor "
                "once there is room: its start rebuilds the notes table's index.",
                where);
  qb_report(LogKind::kWarning, text);
}

int event_group_ms = 50;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kGroupEvents = 512;

// Events handled back to back while more wait in the driver's queue, under
// one hold of each table's write lock: their changes commit together.
struct EventGroup {
  std::optional<TableWriteHold> notes;
  std::optional<TableWriteHold> temp;
  std::optional<TableWriteHold> ids;
  Clock::time_point began{};
  Clock::time_point gapEnds{};  // no group begins before this
  int events = 0;
};

EventGroup& group() {
  static EventGroup* g = new EventGroup;
  return *g;
}

}  // namespace

void beginEventGroup() {
  EventGroup& g = group();
  g.temp.emplace(tempTable);
  g.notes.emplace(notesTable);
  g.ids.emplace(idTable);
  g.began = Clock::now();
  g.events = 0;
}

namespace {

// After a group ended on its bound, the tables stay free for one retry
// delay of the engine, so that another process waiting for them gets in;
// the events meanwhile commit one by one.
void endBoundedGroup() {
  endEventGroup();
  group().gapEnds = Clock::now() + std::chrono::milliseconds(ix_lock_settings.delay_ms + 5);
}

}  // namespace

bool eventGroupHeld() {
  const EventGroup& g = group();
  return g.notes.has_value() && g.notes->taken();
}

void endEventGroup() {
  EventGroup& g = group();
  // The set-aside copies first: a note is never deleted from the notes
  // table before its copy is in the temporary one.
  if (g.temp.has_value() && g.temp->release() != 1) traceLine("GROUP COMMIT FAILED: %s\n", "temporary table");
  g.temp.reset();
  if (g.notes.has_value()) endHold(*g.notes, "GROUP", "file events handled together");
  g.notes.reset();
  if (g.ids.has_value() && g.ids->release() != 1) traceLine("GROUP COMMIT FAILED: %s\n", "identity table");
  g.ids.reset();
}

// ---- a change another program left cut short -----------------------------------

namespace {

Clock::time_point nextRecovery{};

// Rebuilds the notes table's index from its data file, as the start does,
// once no other program has the table open; the temporary table, which
// holds the notes set aside, stays as it is. Tried at most every 30 s:
// each try may wait 5 s for other programs to close the table. true when
// the table is usable again.
bool recoverFromCutShortChange() {
  if (Clock::now() < nextRecovery) return false;
  nextRecovery = Clock::now() + std::chrono::seconds(30);
  endEventGroup();
  traceLine("RECOVER: a program ended inside a change of the notes table; rebuilding its index\n");
  char base[kPathBuffer];
  const bool rebuilt = rebuildNotesTable() == 1;
  const bool reopened =
      systemFilePath(base, "qb") == 1 && notesTable.open(base, 1) == 1 && notesTable.setIndex(kPathIndex) == 1;
  if (rebuilt && reopened) {
    nextRecovery = Clock::time_point{};
    return true;
  }
  traceLine("RECOVER FAILED: error %d\n", notesTable.lastError());
  qb_report(LogKind::kWarning,
            "A program ended in the middle of a change to the notes table, and the Monitor could not rebuild "
            "the table's index while other programs have it open. Notes do not follow their files until it "
            "is: stop and start the Monitor (qbmon --stop, then qbmon), whose start rebuilds it.");
  return false;
}

}  // namespace

// ---- the six steps ---------------------------------------------------------

int lookUp(TableHandle& t, const char* path) {
  (void)t.setField(t.fieldNumber(kPathField), path);
  return t.findKey();
}

void readCurrent(TableHandle& t) { (void)t.readRecord(0); }

void setPath(TableHandle& t, const char* path) { (void)t.setField(t.fieldNumber(kPathField), path); }

void copyNote(TableHandle& from, TableHandle& to) {
  // A closed `from` hands out null, which setField refuses.
  (void)to.setField(to.fieldNumber(kPathField), from.getField(from.fieldNumber(kPathField)));
  (void)to.setField(to.fieldNumber(kRemarkField), from.getField(from.fieldNumber(kRemarkField)));
}

// A table write `operation` on the buffered path gave `rc`: a failure is
// traced with the engine's error and logged, so that the user learns why a
// note did not follow. A closed table (the Monitor is stopping) is expected.
static void reportFailure(TableHandle& t, int rc, const char* operation) {
  if (rc == 1 || !t.isOpen()) return;
  const char* path = t.getField(t.fieldNumber(kPathField));
  char text[kTraceBufferSize];
  std::snprintf(text, sizeof text, "FAILED: %s %s: error %d\n", operation, path != nullptr ? path : "",
                t.lastError());
  traceLine("%s", text);
  text[std::strlen(text) - 1] = '\0';
  qb_report(LogKind::kError, text);
}

void upsert(TableHandle& t) {
  if (t.findKey() == kKeyFound)
    reportFailure(t, t.updateRecord(), "update");
  else
    reportFailure(t, t.addRecord(), "add");
}

void (*tracking_before_lock)(const char* path) = nullptr;

bool samePath(const char* a, const char* b) { return pathsMatch(notesTable, a, b, false); }
bool pathStartsWith(const char* path, const char* prefix) { return pathsMatch(notesTable, path, prefix, true); }

// A look-up only positions the cursor; until the record lock is granted,
// another process may delete or re-key the note it found, and the index
// then moves the cursor on to the next entry: another file's note. So the
// note is locked first and read second, and it is used only when the
// record read under the lock still carries `path`. A record that turned
// out to be another's is looked up again, a few times.
//
// Lock order: another process changing a note locks its record first and
// then waits for the table's write lock. Under an event group's hold, a
// record lock is therefore tried once; refused, the group ends (what it
// changed commits, and the other process can finish) and the lock is asked
// for again with the engine's retries. The cursor stays where the look-up
// put it; the read under the lock tells whether it still names `path`.
static bool lockCurrent() {
  if (!eventGroupHeld()) return notesTable.lockRecord(&lockId) == 1;
  const TbLockSettings saved = tb_lock_settings;
  tb_lock_settings.tries = 1;
  const int r = notesTable.lockRecord(&lockId);
  tb_lock_settings = saved;
  if (r == 1) return true;
  endEventGroup();
  return notesTable.lockRecord(&lockId) == 1;
}

bool lockNote(const char* path) {
  static constexpr int kTries = 3;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (lookUp(notesTable, path) != kKeyFound) return false;
    if (tracking_before_lock != nullptr) tracking_before_lock(path);
    if (!lockCurrent()) return false;
    if (notesTable.readRecord(0) == 1 && samePath(notesTable.getField(notesTable.fieldNumber(kPathField)), path))
      return true;
    (void)notesTable.unlockRecord(lockId);
  }
  return false;
}

void updateLocked() {
  reportFailure(notesTable, notesTable.updateRecord(), "update");
  (void)notesTable.unlockRecord(lockId);
}

void deleteLocked() {
  reportFailure(notesTable, notesTable.deleteRecord(), "delete");
  (void)notesTable.unlockRecord(lockId);
}

// ---- the record's paths ----------------------------------------------------

// A path of the event, and whether the notes table can take it: a longer
// path is never used cut short (it would name another file). `text` then
// holds its first kEventPathMax bytes, for the trace only.
struct EventPath {
  char text[kEventPathMax + 1];
  bool whole;
};

static void takePath(const std::string& path, EventPath* out) {
  const size_t length = std::min(path.size(), kEventPathMax);
  std::memcpy(out->text, path.data(), length);
  out->text[length] = '\0';
  out->whole = path.size() <= kEventPathMax && std::memchr(path.data(), '\0', path.size()) == nullptr;
}

// True when every path is whole; otherwise traces and reports the first
// one that is not.
static bool usable(const EventPath& a, const EventPath* b = nullptr) {
  for (const EventPath* p : {&a, b}) {
    if (p != nullptr && !p->whole) {
      traceLine("SKIPPED (too long): %s\n", p->text);
      char text[kTraceBufferSize + 160];
      std::snprintf(text, sizeof text,
                    "a path longer than the notes table holds (%zu bytes) is not followed; its note, if any, stays "
                    "under the old path: %s...",
                    kEventPathMax, p->text);
      qb_report(LogKind::kWarning, text);
      return false;
    }
  }
  return true;
}

// ---- the operations ----------------------------------------------------------

// The note of `path` in notesTable becomes `remark`: the locked record is
// updated, or a new one added. `remark` must not point into notesTable's
// buffers, which the look-up overwrites.
static void putNote(const char* path, const char* remark) {
  const bool locked = lockNote(path);
  setPath(notesTable, path);
  (void)notesTable.setField(notesTable.fieldNumber(kRemarkField), remark);
  if (locked)
    updateLocked();
  else
    reportFailure(notesTable, notesTable.addRecord(), "add");
}

// The remark of `path`'s note, read under its lock, into `remark`; false
// when it has none.
static bool readNote(const char* path, std::string* remark) {
  if (!lockNote(path)) return false;
  *remark = notesTable.getField(notesTable.fieldNumber(kRemarkField));
  (void)notesTable.unlockRecord(lockId);
  return true;
}

// Read first: a burst of deletions would otherwise rewrite and flush win.ini
// once per note.
static void markModified() {
  if (profile_read_number(kProfileSection, kModifiedKey, 0) != 1)
    (void)profile_write(kProfileSection, kModifiedKey, "1");
}

void setAsideLocked() {
  copyNote(notesTable, tempTable);
  stampSetAside(tempTable, kAsideDeleted);
  upsert(tempTable);
  deleteLocked();
  markModified();
}

// Looks `path` up in tempTable and reads its note: true when there is one
// still in use. One past its use (upkeep/set_aside.h) is dropped when met
// and never given back: a rename's copy serves only briefly, since a file
// made later under the old name is another file.
static bool setAsideNote(const char* path) {
  if (lookUp(tempTable, path) != kKeyFound) return false;
  readCurrent(tempTable);
  if (!setAsideExpired(tempTable, false)) return true;
  traceLine("EXPIRED: %s\n", path);
  reportFailure(tempTable, tempTable.deleteRecord(), "delete");
  return false;
}

// The set-aside note tempTable's cursor is on goes back to notesTable under
// its path, and leaves tempTable: kept there, it would be given to the next
// file made under that path for as long as set-aside notes are kept, while
// the file it came back to still has it. True when it went back.
static bool giveBack(const char* path) {
  copyNote(tempTable, notesTable);
  if (notesTable.addRecord() != 1) return false;
  reportFailure(tempTable, tempTable.deleteRecord(), "delete");
  noteAttached(path);
  return true;
}

static void onCopy(const char* source, const char* target) {
  bool put = false;
  if (setAsideNote(target)) {
    putNote(target, tempTable.getField(tempTable.fieldNumber(kRemarkField)));
    reportFailure(tempTable, tempTable.deleteRecord(), "delete");
    put = true;
  }
  std::string remark;
  if (readNote(source, &remark)) {
    putNote(target, remark.c_str());
    put = true;
  }
  if (put) noteAttached(target);
}

// A file renamed over another takes its own note along; the replaced
// file's note is set aside like a deleted file's. A file without a note
// renamed over one (a save through a temporary file) leaves the note where
// it is.
static void onRename(const char* source, const char* target) {
  // The notes inside a folder move with it even when the disk has moved
  // on (the target gone again); a symbolic link is never taken for a folder.
  struct stat st {};
  if (::lstat(target, &st) != 0 || S_ISDIR(st.st_mode)) {
    walkFolder(source, target);
    moveIdentities(source, target);
  }
  traceLine("RENAME: %s, %s\n", source, target);
  const bool setAside = setAsideNote(target);
  if (lookUp(notesTable, source) == kKeyFound) {
    if (!samePath(source, target) && lockNote(target)) {
      traceLine("REPLACED: %s\n", target);
      setAsideLocked();
    }
    if (lockNote(source)) {
      copyNote(notesTable, tempTable);
      stampSetAside(tempTable, kAsideRenamed);
      upsert(tempTable);
      setPath(notesTable, target);
      updateLocked();
      moveIdentity(source, target);
    }
  } else if (setAside) {
    readCurrent(tempTable);
    (void)giveBack(target);
  }
}

static void onDelete(const EventPath& sourcePath) {
  FileSpec spec;
  takeFileSpec(&spec);
  if (!usable(sourcePath)) return;
  const char* source = sourcePath.text;
  traceLine("PRE DELETE: %s, %s\n", source, spec.text);
  if (fileSpecMatches(spec, source)) {
    traceLine("FOUND IN REGISTRY: %s\n", spec.text);
    if (lockNote(spec.text)) {
      setPath(notesTable, source);
      updateLocked();
    }
  }
  if (lockNote(source)) {
    traceLine("DO DELETE: %s\n", source);
    setAsideLocked();
  }
}

static void onCreate(const EventPath& targetPath) {
  FileSpec spec;
  takeFileSpec(&spec);
  if (!usable(targetPath)) return;
  const char* target = targetPath.text;
  if (fileSpecMatches(spec, target)) {
    traceLine("CREATENEW: %s, %s\n", target, spec.text);
    if (lockNote(spec.text)) {
      setPath(notesTable, target);
      updateLocked();
      noteAttached(target);
    }
    return;
  }
  if (setAsideNote(target)) {
    traceLine("Found in dbtmp: %s\n", target);
    (void)giveBack(target);
  }
}

static void onRemove(const char* source) {
  if (!lockNote(source)) return;
  deleteLocked();
  markModified();
}

static void onCopyReverse(const char* source, const char* target) {
  std::string remark;
  if (!readNote(target, &remark)) return;
  setPath(notesTable, source);
  (void)notesTable.setField(notesTable.fieldNumber(kRemarkField), remark.c_str());
  (void)notesTable.addRecord();
  noteAttached(source);
}

static void dispatch(const FileEvent& event, int32_t operation) {
  EventPath source;
  EventPath target;
  takePath(event.source, &source);
  takePath(event.target, &target);
  switch (operation) {
    case OP_COPY:
      if (usable(source, &target)) onCopy(source.text, target.text);
      break;
    case OP_RENAME:
      if (usable(source, &target)) onRename(source.text, target.text);
      break;
    case OP_DELETE:
      onDelete(source);
      break;
    case OP_REMOVE:
      if (usable(source)) onRemove(source.text);
      break;
    case OP_COPY_REVERSE:
      if (usable(source, &target)) onCopyReverse(source.text, target.text);
      break;
    case OP_CREATE:
      onCreate(target);
      break;
    default:
      break;  // acknowledged and otherwise ignored
  }
}

int DoResponse(const FileEvent& event, size_t (*waiting)()) {
  const int32_t operation = event.operation;
  traceLine("\nDoResponse with %d\n", operation);
  if (operation == OP_STOP) {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    endEventGroup();
    return 0;
  }
  EventGroup& g = group();
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    // A call of the event refused for the busy mark another program left
    // (btree/index_file.h): it ended inside a change, and the index may
    // name records that changed since. Refused where it takes a lock or
    // reads the header, mostly at its first call on the notes table, the
    // event runs again on the rebuilt index.
    const int refusals = ix_cut_short_seen;
    dispatch(event, operation);
    if (ix_cut_short_seen != refusals && recoverFromCutShortChange()) dispatch(event, operation);
    ++g.events;
  }
  const size_t behind = waiting != nullptr ? waiting() : 0;
  // The next event is taken after this one: a group begins, goes on or
  // ends.
  std::lock_guard<std::mutex> guard(tracking_table_mutex());
  if (g.notes.has_value()) {
    if (behind == 0)
      endEventGroup();
    else if (g.events >= kGroupEvents || Clock::now() - g.began >= std::chrono::milliseconds(event_group_ms))
      endBoundedGroup();
  } else if (behind > 0 && Clock::now() >= g.gapEnds && notesTable.isOpen()) {
    beginEventGroup();
  }
  return 0;
}
