// NotesTable: how qbnote works on the notes table, "<state>/system/qb"
// (qb.db and qb.idx), beside a running Monitor and other qbnote processes.
//
// The table is opened in shared mode (read-only for the commands that only
// read) with "INDX_Path,U" current, whose key compares paths as the path
// field's type says: byte for byte in the tables made here ("Path,C"),
// ignoring the case of A to Z in one declared "Path". Every comparison of
// paths made here follows the same type. Changes follow the Monitor's
// rules: a note is updated or deleted under a record lock (lockRecord,
// updateRecord or deleteRecord, unlockRecord), and added without one, the
// unique index refusing a second note for a path. When two programs add the
// same path at once, the loser's add fails on the unique index and it
// retries as an update.
//
// Creating the table: qbnote opens the table under the creation lock, the
// one the Monitor takes too (upkeep/database.h): shared to open an existing
// table, exclusive to create a missing one, so that no two programs started
// on a fresh state folder create the table over each other and none opens a
// table half made or one the Monitor is replacing at its stop. An existing
// table is never created again: one that cannot be opened is reported and
// left as it is.
//
// The Monitor's table of set-aside notes, "<state>/system/qbtmp"
// (upkeep/set_aside.h), opens the same way (kSetAside), never created here:
// its fields "Since" and "Kind" come with each note a scan hands out.
//
// Every operation returns an exit status of notes.h (kExitDone on success)
// and has printed its message when it returns anything else, except where
// said. One instance a table in a process, all used by one thread (the
// engine beneath is process-wide and single-threaded).
#pragma once

#include <csignal>

#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "table_handle/table_handle.h"
#include "upkeep/database.h"

// What the note of a path must still be for NotesTable::put to go ahead:
// edit stores its result only over the note it started from.
struct ExpectedNote {
  bool present = false;
  std::string note;
};

// put's result when an ExpectedNote did not hold (no message printed).
constexpr int kNoteChanged = 5;

// How long a scan holds the table's read lock at a time, and how long it
// then leaves the table free: a little longer than the engine's lock retry
// delay, so that a writer waiting for the table tries again within the gap.
struct ScanSlices {
  int hold_ms = 100;
  int gap_ms = 55;
};
extern ScanSlices notes_scan_slices;

// Test seam: called by put between a look-up that found no note and the add,
// which is where another program may add the same path first. Null in the
// program itself.
extern void (*notes_before_add)();

// A note as a scan hands it out; `since` and `kind` only from the set-aside
// table (empty when the record has none).
struct ListedNote {
  std::string path, note, since, kind;
};

class NotesTable {
 public:
  enum Mode { kReading, kChanging, kWriting };

  // kReading: shared and read-only; kChanging: shared and writable; both
  // kExitNotFound when the table does not exist (no message), or the state
  // folder's system folder (then "no notes yet"), and neither makes them. kWriting:
  // shared and writable, created first (createNotesTable) when its data
  // file does not exist. `which`: the notes table or the set-aside table,
  // which is never created (kExitNotFound without a message).
  enum Which { kNotes, kSetAside };
  int open(Mode mode, Which which = kNotes);
  void close() { (void)t_.close(); }

  // Makes the note of `path` current when there is one: *found; else the
  // position is on the first note whose path is greater, or past the last.
  int lookup(const std::string& path, bool* found);
  // The current note, read without a record lock; kExitNotFound (no
  // message) when the position is past the last note.
  int read(std::string* path, std::string* note);

  // The notes whose paths start with `prefix` ("": every note), handed to
  // `take` in index order. They are read under the table's read lock, in
  // slices of at most notes_scan_slices.hold_ms (or kScanSliceBytes of
  // notes): then the lock is given up for the gap, taken again, and the scan
  // goes on after the last path it read. `take` runs outside the lock, so a
  // slow reader of the output keeps no writer waiting. Each note reads whole,
  // as it was or as it became; one added or deleted between two slices may
  // be missed or seen; one that is there unchanged throughout is handed over
  // exactly once.
  int scan(const std::string& prefix, const std::function<void(const std::string&, const std::string&)>& take);
  int scanNotes(const std::string& prefix, const std::function<void(const ListedNote&)>& take);

  // Whether `path` starts with `prefix`, or equals `other`, as the path
  // index compares them.
  bool pathStartsWith(const std::string& path, const std::string& prefix) {
    return pathsMatch(t_, path.c_str(), prefix.c_str(), true);
  }
  bool samePath(const std::string& path, const std::string& other) {
    return pathsMatch(t_, path.c_str(), other.c_str(), false);
  }

  // Gives `path` the note `note`: a new note is added, an existing one (in
  // a table whose paths ignore case, whatever the case of its path) replaced
  // under a record lock, taking the spelling of `path`. With `expected`,
  // kNoteChanged when the note is not as it says.
  int put(const std::string& path, const std::string& note, const ExpectedNote* expected = nullptr);
  // Deletes the note of `path` under a record lock: kExitNotFound (no
  // message) when there is none; with `expected`, kNoteChanged (no message)
  // unless the note is that text. After a deletion from the notes table
  // "MODIFIED" in section "Quibbet" of win.ini is set to "1", so that the
  // Monitor compacts the table at its next shutdown.
  int remove(const std::string& path, const std::string* expected = nullptr);

  // Holds the table's write lock across many changes (import): commits are
  // deferred to holdEnd, which writes them out. Other programs wait
  // meanwhile, so callers hold it for short stretches only. A quit signal
  // (Ctrl-C, a hang-up, a plain kill) meanwhile only sets interrupted():
  // the caller ends the hold, and holdEnd then ends the process by that
  // signal, once the changes are written out.
  int holdBegin();
  int holdEnd();
  static bool interrupted();
  // After holdEnd: when a quit signal came, closes the table and ends the
  // process by that signal.
  void endIfInterrupted();

  const std::string& dataFile() const { return data_file_; }

 private:
  int openTable(int mode);
  // The path index of the table open in `mode`; an index file that a power
  // cut may have left behind is rebuilt first.
  int useIndex(int mode);
  int setPath(const std::string& path);
  int engineFailure(const char* doing);
  int engineFailure(const char* doing, int code, int index_error);
  int heldMessage(const std::string& path);
  // After a look-up of `path` met the record of another path (current):
  // true, after a message, when *seen already held that path; else keeps it.
  bool misled(const std::string& path, std::string* seen);
  // Positions on the first note, or on the one after the current; *on tells
  // whether that is a note.
  int first(bool* on);
  int next(bool* on);
  // One slice of a scan: from the first note not less than `from`, or the
  // one after it when `after`; *ended once past the last note of `prefix`.
  int readSlice(const std::string& prefix, const std::string& from, bool after, std::vector<ListedNote>* notes,
                bool* ended);
  // kExitDone when qb.db and qb.idx are still the files opened (device and
  // inode): a program that replaced them without the creation lock has left
  // this process writing into files that are no longer the notes table.
  int stillTheTable();
  // A note stored under `path` (rc kExitDone): the file's identity is
  // recorded for the Monitor (upkeep/identity_table.h), at once or, under a
  // hold, when it ends. Returns rc.
  int attached(const std::string& path, int rc);
  void recordAttached();

  TableHandle t_;
  // The quit signals' actions before holdBegin caught them (see
  // notes_table.cpp); signals_caught_ while it does.
  struct sigaction before_hold_[4] = {};
  bool signals_caught_ = false;
  std::string base_;
  std::string data_file_;
  int path_field_ = -1;
  int note_field_ = -1;
  int since_field_ = -1;
  int kind_field_ = -1;
  Which which_ = kNotes;
  std::pair<dev_t, ino_t> files_[2] = {};
  bool holding_ = false;
  std::vector<std::string> attached_;  // notes stored whose identities are not recorded yet
};

// "<state>/system/<name>", the folders not made; "" after a message when
// the state folder cannot be used.
std::string system_file(const char* name);

// What to run next when the notes table cannot be used, ending every
// message of exit status 3 about it: "; `qbnote check` ... restore-backup ...".
extern const char kRepairHint[];

// The engine's error number in words.
const char* engine_error_words(int code);
// "error N (words)", with the index layer's or the system's cause when the
// engine names one of them.
std::string engine_error_text(int code, int index_error, int os_error);

// Starts the engine with qbnote's cache when it is not running yet. 1 / -1.
int start_engine();
