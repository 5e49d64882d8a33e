// The locks around the Monitor's table work: the one mutex between its two
// threads, and a scoped hold of a table's write lock against other
// processes.
//
// The mutex. The engine, the page cache and the two global table handles
// (notesTable, tempTable) have no locks of their own. Two threads can reach
// them: the event thread, where DoResponse runs for each event and where
// the start opens the database, and the main thread, where the shutdown
// (or a session's end) closes, backs up and compacts the notes table.
// Whoever works on the handles holds this mutex for the whole piece of work:
//   - DoResponse, from its first table call to its last (it is released
//     before the event thread takes the next event);
//   - the event thread's start, around its recovery and openDatabase;
//   - the Monitor, around closeDatabase and anything else it does to the
//     handles after start-up.
// Not recursive: DoResponse must not be called with it held.
//
// The write hold. A table open in shared mode commits every change on its
// own: index-file write lock, data file flushed, index header and pages
// written and flushed, lock dropped. A piece of work that changes many
// records (the folder walk re-keys every note inside a folder) holds the
// table's write lock (TableHandle::lockTable (2)) for its whole length
// instead: the changes then commit once, when the hold ends, and other
// processes see the table either before all of them or after all of them.
// Other processes wait on that lock (their engine retries 25 times, 50 ms
// apart, before it reports the table locked), so a hold spans one such
// piece of work and no more.
// Invariant (1): once a hold has taken the lock, it is given back by
// release() or by the destructor, whatever happened in between; giving it
// back drops it even when the commit fails.
// Holds are used under the mutex above, on one handle at a time; a handle
// in exclusive mode takes no lock and the hold then only brackets the work.
#pragma once

#include <mutex>

#include "table_handle/table_handle.h"

std::mutex& tracking_table_mutex();

class TableWriteHold {
 public:
  // Takes t's write lock: taken() tells whether that succeeded (it fails
  // when another process keeps the table locked past the engine's retries,
  // or the table is closed). Without the lock the work still runs; each of
  // its changes then commits on its own.
  explicit TableWriteHold(TableHandle& t) : table_(t), taken_(false) { (void)take(); }
  ~TableWriteHold() { (void)release(); }
  TableWriteHold(const TableWriteHold&) = delete;
  TableWriteHold& operator=(const TableWriteHold&) = delete;

  bool taken() const { return taken_; }

  // Takes the lock again after release(); true when it is held.
  bool take() {
    if (!taken_) taken_ = table_.lockTable(2) == 1;
    return taken_;
  }

  // Commits the changes made under the hold and gives the lock back. 1, or
  // -1 when the commit or the unlock failed (the lock is gone either way,
  // invariant 1); 1 when no lock was taken or it was given back already.
  // The commit is tried up to kCommitTries times while the lock is still
  // held: a failed write leaves its pages dirty in the cache, and the next
  // try writes them again. Once the lock is gone, the next reader of the
  // index file would drop them and see the file half written.
  int release() {
    if (!taken_) return 1;
    taken_ = false;
    int committed = -1;
    for (int i = 0; i < kCommitTries && committed != 1; ++i) committed = table_.flush();
    return table_.unlockTable(2) == 1 && committed == 1 ? 1 : -1;
  }

  static constexpr int kCommitTries = 3;

 private:
  TableHandle& table_;
  bool taken_;
};
