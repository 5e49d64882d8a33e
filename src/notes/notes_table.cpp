// Opening the notes table, the record operations qbnote makes on it, and the
// engine's errors in words (see notes_table.h).
#include "notes/notes_table.h"
#include "upkeep/identity_table.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/file_io.h"
#include "engine/engine.h"
#include "notes/notes.h"
#include "platform/profile.h"
#include "platform/state_dir.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/set_aside.h"

namespace {

// The page cache: 1024 frames of 512 bytes keep the upper levels of a
// 100,000-note index in memory during an import. Index pages of the notes
// tables are 512 bytes.
constexpr int kCacheFrames = 1024;

// An open refused because another program holds the table exclusively
// (creating or compacting it) is retried this often, this far apart.
constexpr int kOpenTries = 60;
constexpr int kOpenDelayMs = 50;

// Ctrl-C, a hang-up or a plain kill that came inside a change would end
// the process between its data-file and index-file writes, and every
// program after it would find the index file's busy mark and rebuild the
// index first (btree/index_file.h); the Monitor, which has the table open,
// would refuse changes until it is started again. These signals wait while
// a change is under way and end the process once it is done.
constexpr int kQuitSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct QuitSignalsHeld {
  sigset_t before;
  bool held = false;
  QuitSignalsHeld() {
    sigset_t quit;
    sigemptyset(&quit);
    for (int s : kQuitSignals) sigaddset(&quit, s);
    held = sigprocmask(SIG_BLOCK, &quit, &before) == 0;
  }
  ~QuitSignalsHeld() {
    if (held) (void)sigprocmask(SIG_SETMASK, &before, nullptr);
  }
};

// The quit signal that came during a hold (holdBegin), 0 for none.
volatile sig_atomic_t quit_signal = 0;

void note_quit(int signal) { quit_signal = signal; }

// Changes that lose a race (the note was added, deleted or re-keyed by
// another program between our look-up and our lock) start over at most
// this often.
constexpr int kPutAttempts = 10;

// A scan's slice also ends once it holds this many bytes of notes.
constexpr size_t kScanSliceBytes = 16 << 20;

int write_message(const char* text) {
  if (text != nullptr) std::fputs(text, stderr);
  return 1;
}

bool file_id(const std::string& path, std::pair<dev_t, ino_t>* id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *id = {st.st_dev, st.st_ino};
  return true;
}

}  // namespace

const char kRepairHint[] =
    "; `qbnote check` tells whether the table is damaged; `qbnote repair` rebuilds its index file from the data "
    "file, and when that fails `qbnote restore-backup` puts the Monitor's last backup back";

void (*notes_before_add)() = nullptr;
ScanSlices notes_scan_slices;

// ---------------------------------------------------------------------------
// Errors in words.

const char* engine_error_words(int code) {
  switch (code) {
    case kTbOk: return "no error";
    case kTbNotOpen: return "the table is not open";
    case kTbForeignIndex: return "the index does not belong to the table";
    case kTbAlreadyOpen: return "the table is already open in this program";
    case kTbNoCurrent: return "there is no current record";
    case kTbNoMemory: return "out of memory";
    case kTbNeedsKeyed: return "the operation needs a keyed index";
    case kTbDataFile: return "the data file could not be read or written, or is damaged";
    case kTbNoSuchIndex: return "the table has no index of that name";
    case kTbIndexLayer: return "the index file or the page cache failed";
    case kTbCannotOpen: return "a table file cannot be opened";
    case kTbKeyTooLong: return "a key does not fit an index page";
    case kTbIndexFileUnusable: return "the index file cannot be used";
    case kTbNoIndexNumber: return "no index number is free";
    case kTbBadName: return "a file name cannot be formed";
    case kTbIndexExists: return "an index of that name exists already";
    case kTbNoSuchField: return "the table has no field of that name";
    case kTbCopyOntoSelf: return "a table cannot be copied onto itself";
    case kTbPageTooLarge: return "the index pages are larger than the engine's";
    case kTbIndexFileExists: return "the index file exists already";
    case kTbStarted: return "the engine is started already";
    case kTbBufferTooSmall: return "a field buffer is too small";
    case kTbFieldRange: return "no field of that number";
    case kTbKeyFieldRange: return "no key field of that number";
    case kTbLockFailed: return "a lock could not be taken";
    case kTbUnlockFailed: return "a lock could not be released";
    case kTbLockHeld: return "the table lock is held already";
    case kTbNoSuchLock: return "no record lock of that number";
    case kTbReadOnly: return "the table is read-only";
    case kTbNeedsExclusive: return "the operation needs the table opened exclusively";
    case kTbNoLockNumber: return "no record-lock number is free";
    case kTbCallerBuffer: return "the caller's buffer is too small";
    case kTbMissingArgument: return "an argument is missing";
    case kTbNotText: return "the field takes no text";
    case kTbIndexPosition: return "no index at that position";
    case kTbRecordTooLarge: return "the record is larger than 32767 bytes";
    case kTbAbsentValue: return "a field value is missing where the record cannot leave it out";
    default: return "unknown error";
  }
}

std::string engine_error_text(int code, int index_error, int os_error) {
  char text[256];
  std::snprintf(text, sizeof text, "error %d (%s)", code, engine_error_words(code));
  std::string out = text;
  if (code == kTbIndexLayer && index_error != 0) {
    std::snprintf(text, sizeof text, "; index layer error %d", index_error);
    out += text;
    if (index_error == kIxCutShort)
      out += " (a program ended in the middle of a change: the index file is rebuilt when the notes table is next "
             "opened, or when qbmon starts)";
  }
  // An index page that could not be read, written or given a frame keeps
  // the system's cause too (a full disk reads "No space left on device").
  const bool index_io = code == kTbIndexLayer && (index_error == kIxReadFailed || index_error == kIxWriteFailed ||
                                                  index_error == kIxFlushFailed || index_error == kIxNoFrame);
  if ((code == kTbDataFile || code == kTbCannotOpen || index_io) && os_error != 0) {
    out += "; system: ";
    // The engine's short transfer shares its number with EROFS; an open
    // moves no bytes, so there it is the system's read-only file system.
    out += os_error == kIoShortTransfer && code != kTbCannotOpen ? "a short read or write" : std::strerror(os_error);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Engine and files.

int start_engine() {
  if (tb_started()) return 1;
  if (TableHandle::startEngine(kCacheFrames, kNotesPageSize) != 1) return -1;
  (void)tb_set_message_writer(write_message);
  return 1;
}

std::string system_file(const char* name) {
  std::string dir;
  if (qb_find_state_dir(&dir) < 0 || dir.empty()) {
    say("the state folder %s cannot be used: %s", dir.c_str(), std::strerror(errno));
    return "";
  }
  return dir + "/system/" + name;
}

// ---------------------------------------------------------------------------
// Opening.

int NotesTable::open(Mode mode, Which which) {
  if (start_engine() != 1) {
    say("the table engine cannot start: %s", engine_error_text(tb_error, ix_error, 0).c_str());
    return kExitTable;
  }
  which_ = which;
  // Only a change makes the state folder; a reading finds it or finds no notes.
  if (mode == kWriting && qb_system_dir().empty()) {
    say("the state folder's system folder cannot be had: %s", std::strerror(errno));
    return kExitTable;
  }
  base_ = system_file(which == kNotes ? "qb" : "qbtmp");
  if (base_.empty()) return kExitTable;
  struct stat st;
  const std::string system = base_.substr(0, base_.rfind('/'));
  if (mode != kWriting && ::stat(system.c_str(), &st) != 0) {
    if (which == kNotes) say("no notes yet: %s does not exist", system.c_str());
    return kExitNotFound;
  }
  data_file_ = base_ + ".db";

  const int open_mode = mode == kReading ? 3 : 1;
  CreationLock lock(false);  // held until the table is open
  const int ready = !lock.held()           ? -1
                    : which == kSetAside ? (::stat(data_file_.c_str(), &st) == 0 ? 1 : 0)
                                         : readyNotesTable(mode == kWriting);
  if (ready == 0) return kExitNotFound;
  if (ready != 1) {
    say("cannot create the notes table %s, or put it back from its backup after a stop cut short: %s%s",
        data_file_.c_str(), engine_error_text(tb_error, ix_error, io_os_error).c_str(), kRepairHint);
    return kExitTable;
  }
  int rc = openTable(open_mode);
  if (rc != kExitDone) return rc;
  (void)file_id(data_file_, &files_[0]);
  (void)file_id(base_ + ".idx", &files_[1]);
  return useIndex(open_mode);
}

int NotesTable::openTable(int mode) {
  for (int attempt = 1;; ++attempt) {
    io_os_error = 0;
    if (t_.open(base_.c_str(), mode) == 1) return kExitDone;
    const int code = t_.lastError();
    const int os = io_os_error;
    const bool held = code == kTbCannotOpen && (os == EWOULDBLOCK || os == EAGAIN);
    if (!held) {
      say("cannot open the notes table %s: %s; nothing was changed%s", data_file_.c_str(),
          engine_error_text(code, t_.lowerError(), os).c_str(), kRepairHint);
      return kExitTable;
    }
    if (attempt == kOpenTries) {
      say("the notes table %s is held by another program (the Monitor holds it alone while it compacts "
          "it); try again in a moment",
          data_file_.c_str());
      return kExitHeld;
    }
    ::usleep(kOpenDelayMs * 1000);
  }
}

int NotesTable::useIndex(int mode) {
  if (t_.setIndex(kPathIndex) != 1) {
    // The handle fell back on record order: an open whose index file cannot
    // be used succeeds, and the reason is only in the engine error of that
    // open. Ask the engine again, read-only.
    (void)t_.close();
    Table* probe = tb_open(base_.c_str(), 1, 1);
    int code = tb_error;
    int index_error = ix_error;
    const bool there_now = probe != nullptr && code == kTbOk && tb_find_index(probe, kPathIndex) != nullptr;
    if (probe != nullptr) (void)tb_close(probe);
    // An index file another program keeps locked past the retries (the
    // Monitor moving a folder's notes), or one whose index is there a
    // moment later, is busy, not damaged.
    if (there_now || code == kTbLockFailed || index_error == kIxLockFailed) {
      say("the notes table %s is busy; try again", data_file_.c_str());
      return kExitHeld;
    }
    const bool index_file = code == kTbIndexFileUnusable || code == kTbIndexLayer;
    if (!index_file || (index_error != kIxNotWrittenOut && index_error != kIxCutShort)) {
      say("the notes table %s cannot be used: its index \"%s\" is missing or its index file %s.idx is "
          "damaged: %s; nothing was changed%s",
          data_file_.c_str(), kPathIndex, base_.c_str(), engine_error_text(code, index_error, 0).c_str(),
          kRepairHint);
      return kExitTable;
    }
    if (which_ == kSetAside) {
      say("the index file %s.idx of the set-aside notes may lack changes or be damaged; start qbmon, or stop "
          "and start it if it runs: its start rebuilds it",
          base_.c_str());
      return kExitTable;
    }
    // Changes reach the index file through the system's cache alone (only
    // the data file is flushed at each one): after the system went down,
    // or after a program ended inside a change, the index is rebuilt from
    // the data file, as the Monitor's start does.
    say("the index file %s.idx may lack %s; rebuilding it from the data file %s", base_.c_str(),
        index_error == kIxCutShort ? "a change that a program ended in the middle of"
                                   : "changes that had not reached the disk when the system last went down",
        data_file_.c_str());
    if (rebuildNotesTable() != 1) {
      say("could not rebuild the index file %s.idx (another program may have the notes table open); start "
          "qbmon, or stop and start it if it runs: it rebuilds the index as it starts; nothing was changed",
          base_.c_str());
      return kExitTable;
    }
    const int rc = openTable(mode);
    if (rc != kExitDone) return rc;
    (void)file_id(base_ + ".idx", &files_[1]);
    if (t_.setIndex(kPathIndex) != 1) return engineFailure("using the rebuilt index of");
  }
  path_field_ = t_.fieldNumber(kPathFieldName);
  note_field_ = t_.fieldNumber("Remark");
  since_field_ = which_ == kSetAside ? t_.fieldNumber(kSinceField) : -1;
  kind_field_ = which_ == kSetAside ? t_.fieldNumber(kKindField) : -1;
  if (path_field_ < 0 || note_field_ < 0) {
    say("%s is not a notes table: it lacks the field \"%s\"", data_file_.c_str(),
        path_field_ < 0 ? "Path" : "Remark");
    (void)t_.close();
    return kExitTable;
  }
  return kExitDone;
}


// ---------------------------------------------------------------------------
// Errors.

int NotesTable::engineFailure(const char* doing) { return engineFailure(doing, t_.lastError(), t_.lowerError()); }

int NotesTable::engineFailure(const char* doing, int code, int index_error) {
  if (code == kTbLockFailed || (code == kTbIndexLayer && index_error == kIxLockFailed)) {
    say("%s the notes table %s: another program holds a lock on it after the engine's retries; nothing was "
        "changed",
        doing, data_file_.c_str());
    return kExitHeld;
  }
  say("%s the notes table %s failed: %s%s", doing, data_file_.c_str(),
      engine_error_text(code, index_error, io_os_error).c_str(), kRepairHint);
  return kExitTable;
}

int NotesTable::heldMessage(const std::string& path) {
  say("the note of %s is locked by another program, still after the engine's retries; the note is unchanged",
      path.c_str());
  return kExitHeld;
}

// ---------------------------------------------------------------------------
// Positioning and reading.

int NotesTable::setPath(const std::string& path) {
  return t_.setField(path_field_, path.c_str()) == 1 ? kExitDone : engineFailure("setting a path for");
}

int NotesTable::lookup(const std::string& path, bool* found) {
  *found = false;
  int rc = setPath(path);
  if (rc != kExitDone) return rc;
  int r = t_.findKey();
  if (r == -1) return engineFailure("looking up a note in");
  *found = r == 2;
  return kExitDone;
}

int NotesTable::first(bool* on) {
  int r = t_.firstRecord();
  if (r == -1) return engineFailure("reading");
  *on = r == 1;
  return kExitDone;
}

int NotesTable::next(bool* on) {
  int r = t_.nextRecord();
  if (r == -1) return engineFailure("reading");
  *on = r == 1;
  return kExitDone;
}

int NotesTable::read(std::string* path, std::string* note) {
  int r = t_.readRecord(0);
  if (r == -2 || r == -3) return kExitNotFound;
  if (r != 1) return engineFailure("reading a note from");
  *path = t_.getField(path_field_);
  *note = t_.getField(note_field_);
  return kExitDone;
}

int NotesTable::readSlice(const std::string& prefix, const std::string& from, bool after,
                          std::vector<ListedNote>* notes, bool* ended) {
  notes->clear();
  *ended = true;
  const int r = t_.lockTable(1);
  if (r == -4) {
    say("the notes table %s is locked by another program, still after the engine's retries", data_file_.c_str());
    return kExitHeld;
  }
  if (r != 1) return engineFailure("locking");
  const auto began = std::chrono::steady_clock::now();
  const auto hold = std::chrono::milliseconds(notes_scan_slices.hold_ms);
  size_t bytes = 0;
  bool on = true;
  int rc;
  if (from.empty()) {
    rc = first(&on);
  } else {
    bool found = false;
    rc = lookup(from, &found);
    if (rc == kExitDone && found && after) rc = next(&on);
  }
  while (rc == kExitDone && on) {
    ListedNote n;
    rc = read(&n.path, &n.note);
    if (rc != kExitDone || (!prefix.empty() && !pathStartsWith(n.path, prefix))) break;
    bytes += n.path.size() + n.note.size();
    if (since_field_ >= 0) n.since = t_.getField(since_field_);
    if (kind_field_ >= 0) n.kind = t_.getField(kind_field_);
    notes->push_back(std::move(n));
    if (bytes >= kScanSliceBytes || std::chrono::steady_clock::now() - began >= hold) {
      *ended = false;
      break;
    }
    rc = next(&on);
  }
  if (rc == kExitNotFound) rc = kExitDone;  // past the last note
  if (t_.unlockTable(1) != 1 && rc == kExitDone) rc = engineFailure("unlocking");
  return rc;
}

int NotesTable::scan(const std::string& prefix,
                     const std::function<void(const std::string&, const std::string&)>& take) {
  return scanNotes(prefix, [&](const ListedNote& n) { take(n.path, n.note); });
}

int NotesTable::scanNotes(const std::string& prefix, const std::function<void(const ListedNote&)>& take) {
  std::vector<ListedNote> notes;
  std::string from = prefix;
  for (bool after = false;; after = true) {
    bool ended = true;
    int rc = readSlice(prefix, from, after, &notes, &ended);
    if (rc != kExitDone) return rc;
    const auto freed = std::chrono::steady_clock::now();
    for (const ListedNote& n : notes) take(n);
    if (ended || notes.empty()) return kExitDone;
    from = notes.back().path;
    // The time `take` spent counts towards the gap.
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::milliseconds(notes_scan_slices.gap_ms) - (std::chrono::steady_clock::now() - freed));
    if (left.count() > 0) ::usleep(static_cast<useconds_t>(left.count()));
  }
}

// ---------------------------------------------------------------------------
// Changes.

// A look-up of `path` that led to the record of another path was either a
// race (the note re-keyed between the look-up and the lock: the next
// look-up no longer finds it) or an index entry under a key its record does
// not have. The same record met twice in a row is the second: the index is
// damaged there, and a change would go into the wrong note or beside it.
bool NotesTable::misled(const std::string& path, std::string* seen) {
  const std::string other = t_.getField(path_field_);
  if (other != *seen) {
    *seen = other;
    return false;
  }
  say("the notes table %s is damaged: the index entry of %s leads to the note of %s; nothing was changed%s",
      data_file_.c_str(), path.c_str(), other.c_str(), kRepairHint);
  return true;
}

int NotesTable::put(const std::string& path, const std::string& note, const ExpectedNote* expected) {
  std::string seen;
  for (int attempt = 0; attempt < kPutAttempts; ++attempt) {
    bool found;
    int rc = lookup(path, &found);
    if (rc != kExitDone) return rc;

    if (!found) {
      if (expected != nullptr && expected->present) return kNoteChanged;
      if (t_.setField(note_field_, note.c_str()) != 1) return engineFailure("setting a note for");
      if (notes_before_add != nullptr) notes_before_add();
      int added;
      {
        QuitSignalsHeld quiet;
        added = t_.addRecord();
      }
      if (added == 1) return attached(path, stillTheTable());
      // Another program added this path since the look-up: replace its note.
      if (t_.lastError() == kTbIndexLayer && t_.lowerError() == kIxDuplicateKey) continue;
      return engineFailure("adding a note to");
    }

    int32_t lockId = 0;
    int r = t_.lockRecord(&lockId);
    if (r == -4) return heldMessage(path);
    if (r != 1) return engineFailure("locking a note in");
    // Under the lock, make sure the record is still this path's.
    r = t_.readRecord(0);
    if (r != 1 || !samePath(t_.getField(path_field_), path)) {
      (void)t_.unlockRecord(lockId);
      if (r == 1 && misled(path, &seen)) return kExitTable;
      if (r == 1 || r == -2 || r == -3) continue;  // deleted or re-keyed meanwhile
      return engineFailure("reading a note from");
    }
    if (expected != nullptr && (!expected->present || expected->note != t_.getField(note_field_))) {
      (void)t_.unlockRecord(lockId);
      return kNoteChanged;
    }
    int u = -1;
    if (t_.setField(path_field_, path.c_str()) == 1 && t_.setField(note_field_, note.c_str()) == 1) {
      QuitSignalsHeld quiet;
      u = t_.updateRecord();
    }
    const int code = t_.lastError();
    const int index_error = t_.lowerError();
    (void)t_.unlockRecord(lockId);
    if (u == 1) return attached(path, stillTheTable());
    return engineFailure("replacing a note in", code, index_error);
  }
  say("the note of %s kept changing under other programs' hands; it was left as they made it", path.c_str());
  return kExitHeld;
}

int NotesTable::remove(const std::string& path, const std::string* expected) {
  std::string seen;
  for (int attempt = 0; attempt < kPutAttempts; ++attempt) {
    bool found;
    int rc = lookup(path, &found);
    if (rc != kExitDone) return rc;
    if (!found) return kExitNotFound;

    int32_t lockId = 0;
    int r = t_.lockRecord(&lockId);
    if (r == -4) return heldMessage(path);
    if (r != 1) return engineFailure("locking a note in");
    r = t_.readRecord(0);
    if (r != 1 || !samePath(t_.getField(path_field_), path)) {
      (void)t_.unlockRecord(lockId);
      if (r == 1 && misled(path, &seen)) return kExitTable;
      if (r == 1 || r == -2 || r == -3) continue;
      return engineFailure("reading a note from");
    }
    if (expected != nullptr && *expected != t_.getField(note_field_)) {
      (void)t_.unlockRecord(lockId);
      return kNoteChanged;
    }
    int d;
    {
      QuitSignalsHeld quiet;
      d = t_.deleteRecord();
    }
    const int code = t_.lastError();
    const int index_error = t_.lowerError();
    (void)t_.unlockRecord(lockId);
    // As the Monitor does after every deletion: the next shutdown compacts.
    if (const int e = which_ == kSetAside ? 0 : profile_write("Quibbet", "MODIFIED", "1"); e != 0)
      say("the note is deleted, but win.ini could not be marked for compaction: %s", std::strerror(e));
    if (d != 1) return engineFailure("deleting a note from", code, index_error);
    return stillTheTable();
  }
  say("the note of %s kept changing under other programs' hands; it was left as they made it", path.c_str());
  return kExitHeld;
}

int NotesTable::holdBegin() {
  // The changes under the hold commit together at its end. A blocking read
  // (an import from a terminal) is interrupted, not restarted.
  if (!signals_caught_) {
    struct sigaction caught {};
    caught.sa_handler = note_quit;
    sigemptyset(&caught.sa_mask);
    signals_caught_ = true;
    for (int i = 0; i < 4; ++i)
      if (sigaction(kQuitSignals[i], &caught, &before_hold_[i]) != 0) before_hold_[i].sa_handler = SIG_DFL;
  }
  int r = t_.lockTable(2);
  holding_ = r == 1;
  if (r == -4) {
    say("the notes table %s is locked by another program, still after the engine's retries", data_file_.c_str());
    return kExitHeld;
  }
  return r == 1 ? kExitDone : engineFailure("locking");
}

int NotesTable::holdEnd() {
  const int rc = t_.unlockTable(2) == 1 ? stillTheTable() : engineFailure("writing out changes to");
  holding_ = false;
  recordAttached();
  if (signals_caught_) {
    for (int i = 0; i < 4; ++i) (void)sigaction(kQuitSignals[i], &before_hold_[i], nullptr);
    signals_caught_ = false;
  }
  return rc;
}

bool NotesTable::interrupted() { return quit_signal != 0; }

void NotesTable::endIfInterrupted() {
  if (quit_signal == 0) return;
  (void)t_.close();
  (void)std::signal(quit_signal, SIG_DFL);
  (void)std::raise(quit_signal);
}

int NotesTable::stillTheTable() {
  std::pair<dev_t, ino_t> now[2];
  if (file_id(data_file_, &now[0]) && file_id(base_ + ".idx", &now[1]) && now[0] == files_[0] && now[1] == files_[1])
    return kExitDone;
  say("the notes table %s was replaced by another program while the change was made, which went into the old "
      "files; try again",
      data_file_.c_str());
  return kExitHeld;
}

int NotesTable::attached(const std::string& path, int rc) {
  if (rc != kExitDone) return rc;
  attached_.push_back(path);
  if (!holding_) recordAttached();
  return rc;
}

void NotesTable::recordAttached() {
  if (attached_.empty()) return;
  // Hints for the Monitor: a table that is not there yet (no Monitor has
  // started) or cannot be written costs only that, and is not reported.
  TableHandle ids;
  const char* declaration = declaredPath(t_);
  if (openIdentityTable(ids, false, false, declaration != nullptr ? declaration : kPathDeclaration) == 1) {
    const bool held = ids.lockTable(2) == 1;  // many identities commit together
    for (const std::string& path : attached_) (void)recordIdentity(ids, path.c_str());
    if (held) (void)ids.unlockTable(2);
    (void)ids.close();
  }
  attached_.clear();
}
