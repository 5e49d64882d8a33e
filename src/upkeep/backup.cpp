// Backup, compaction and recovery of the notes table (see backup.h).
#include "upkeep/backup.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "btree/index_file.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/report.h"
#include "platform/state_dir.h"
#include "table_handle/name_table.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

const char kProfileSection[] = "Quibbet";
const char kModifiedKey[] = "MODIFIED";
const char kStatusKeyPath[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Status\\";
const char kStatusValue[] = "status";

namespace {

constexpr int kIndexNameBuffer = 32;
const char kStopStepValue[] = "compaction";

// How long the stop waits for other programs to close the notes table
// before it leaves the compaction to the next stop.
constexpr int kUnusedTries = 250;
constexpr int kUnusedDelayMs = 20;

// Sets a number of the Status key; true once it is on disk.
bool setStatusValue(const char* name, uint32_t value) {
  return reg_write_number(RegHive::kLocalMachine, kStatusKeyPath, name, value) == 0;
}

int readStatusValue(const char* name, uint32_t* value) {
  return reg_read_number(RegHive::kLocalMachine, kStatusKeyPath, name, value);
}

bool fileExists(const char* name) {
  char path[kPathBuffer];
  struct stat st;
  return systemFilePath(path, name) == 1 && ::stat(path, &st) == 0;
}

// True once no other program has qb.db or qb.idx open: an open table holds
// a shared flock on both. New opens wait on the creation lock meanwhile.
// Waits for them up to `tries` times.
bool notesTableUnused(int tries_allowed = kUnusedTries) {
  for (const char* name : {"qb.db", "qb.idx"}) {
    char path[kPathBuffer];
    if (systemFilePath(path, name) != 1) return false;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // a missing file is held by nobody
    int tries = 0;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0 && ++tries < tries_allowed) ::usleep(kUnusedDelayMs * 1000);
    ::close(fd);
    if (tries == tries_allowed) return false;
  }
  return true;
}

// Compacts the backup into qbnew.*, which the close of the copy flushes, and
// renames those over qb.db and then qb.idx; the folder is flushed so that
// the renames are on disk. The copy's result, -1 when a rename failed.
int compactBackup() {
  char backupBase[kPathBuffer], newBase[kPathBuffer], from[kPathBuffer], to[kPathBuffer];
  if (systemFilePath(backupBase, "qbbak") != 1 || systemFilePath(newBase, "qbnew") != 1) return -1;
  int ret = TableHandle::copyTable(backupBase, newBase, kPathIndex, 1, 0);
  for (const char* ext : {".db", ".idx"}) {
    if (ret != 1) break;
    std::string name = std::string("qb") + ext;
    if (systemFilePath(from, ("qbnew" + std::string(ext)).c_str()) != 1 || systemFilePath(to, name.c_str()) != 1 ||
        ::rename(from, to) != 0)
      ret = -1;
  }
  if (ret != 1) (void)TableHandle::deleteTable(newBase);
  const std::string dir = qb_system_dir();
  int fd = dir.empty() ? -1 : ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) ret = ret == 1 ? -1 : ret;
  if (fd >= 0) ::close(fd);
  return ret;
}

const char kStatusBackingUp[] = "Backing up the Quibbet Database...";
const char kStatusOptimizing[] = "Optimizing the Quibbet Database...";

// Tells the person waiting for the stop which step runs: a notice, which
// shows on standard error (a terminal, when qbmon was started from one) and
// in the system log.
void showStatus(const char* text) { qb_report(LogKind::kNotice, text); }

// Sound: at least two indexes, each of them "Physical Index" or
// "INDX_Path,U". A closed handle counts -1 and is therefore damaged.
bool notesTableIsSound() {
  int n = notesTable.indexCount();
  if (n < 2) return false;
  for (int i = 0; i < n; ++i) {
    char name[kIndexNameBuffer] = {};
    if (notesTable.indexName(i, name, kIndexNameBuffer) != 1) return false;
    if (nt_compare(name, kPhysicalIndex) != 0 && nt_compare(name, kPathIndex) != 0) return false;
  }
  return true;
}

// Copies qb.db and qb.idx to qbbak.*, overwriting. The index file is copied
// only when the data file was, so a failed first copy leaves the old backup
// pair as it was.
bool backUpNotesTable() {
  char from[kPathBuffer], to[kPathBuffer];
  if (systemFilePath(from, "qb.db") != 1 || systemFilePath(to, "qbbak.db") != 1) return false;
  if (qb_copy_file(from, to, false) != 0) return false;
  if (systemFilePath(from, "qb.idx") != 1 || systemFilePath(to, "qbbak.idx") != 1) return false;
  return qb_copy_file(from, to, false) == 0;
}

// A record that grows is written anew before its old block is freed, so a
// Monitor killed between those two writes leaves the note twice in the data
// file, under one path byte for byte, and the unique path index cannot be
// defined over it. Of records whose paths are equal byte for byte (met one
// after the other on a plain index of the path) all but the first are
// deleted, and the index file is rebuilt once more, which drops that index
// again. Paths equal only when case is ignored may be two notes: they stay,
// and the unique index still fails over them. Works on notesTable, open
// exclusive after a rebuild. 1, or the result of the call that failed.
int dropNotesWrittenTwice() {
  const char* const key[] = {declaredPath(notesTable), nullptr};
  int r = key[0] != nullptr ? notesTable.createIndex("INDX_Path", key) : -1;
  const int pathField = notesTable.fieldNumber(kPathFieldName);
  char* previous = nullptr;
  int rc = r == 1 ? notesTable.firstRecord() : -1;
  while (r == 1 && rc == 1) {
    rc = notesTable.readRecord(0);
    if (rc != 1) break;
    const char* path = notesTable.getField(pathField);
    if (previous != nullptr && std::strcmp(previous, path) == 0) {
      r = notesTable.deleteRecord();  // the index moves on to the next entry
      continue;
    }
    std::free(previous);
    size_t size = std::strlen(path) + 1;
    previous = static_cast<char*>(std::malloc(size));
    if (previous == nullptr) {
      r = -1;
      break;
    }
    std::memcpy(previous, path, size);
    rc = notesTable.nextRecord();
  }
  std::free(previous);
  if (r == 1 && rc == -1) r = -1;
  if (r == 1) r = notesTable.rebuild(kNotesPageSize, 1);
  return r;
}

}  // namespace

void writeStatus(uint32_t value) { (void)setStatusValue(kStatusValue, value); }

int readStatus(uint32_t* value) { return readStatusValue(kStatusValue, value); }

uint32_t stopStep() {
  uint32_t step = 0;
  return readStatusValue(kStopStepValue, &step) == 0 ? step : 0;
}

int finishInterruptedStop() {
  const uint32_t step = stopStep();
  if (step == 2) return restoreFromBackup() == 1 ? 1 : -1;
  if (step == 1 && backUpNotesTable()) (void)setStatusValue(kStopStepValue, 0);
  return 1;  // with mark 1 left, qb.* is still the whole table
}

namespace {
std::atomic<bool> indexUnsure{false};
}  // namespace

void setNotesIndexUnsure(bool unsure) { indexUnsure = unsure; }
bool notesIndexUnsure() { return indexUnsure; }

void closeDatabase() {
  int r;
  if (indexUnsure) {
    (void)notesTable.close();
    return;
  }
  if (profile_read_number(kProfileSection, kModifiedKey, 0) != 0) {
    r = backupAndCompact();
  } else {
    r = notesTable.close();  // 1 also when nothing is open
    if (r == 1) settleNotesIndex();
  }
  if (r == 1) writeStatus(0);
}

void settleNotesIndex() {
  // Open alone, the table's close flushes the index file and takes its
  // unflushed mark off, which would make every open after the next start
  // of the system rebuild it. A program that has the table open keeps the
  // mark, as its writes may not be on disk yet.
  char notesBase[kPathBuffer];
  CreationLock alone(true);
  if (systemFilePath(notesBase, "qb") != 1 || !alone.held() || !notesTableUnused(1)) return;
  TableHandle table;
  if (table.open(notesBase, 0) == 1) (void)table.close();
}

int backupAndCompact() {
  const bool sound = notesTableIsSound();
  int r = notesTable.close();

  // A program that keeps the table open longer than the wait leaves the
  // compaction to the next stop; programs that open it meanwhile wait.
  CreationLock alone(true);
  if (!alone.held() || !notesTableUnused()) return r;
  if (sound) {
    showStatus(kStatusBackingUp);
    if (!setStatusValue(kStopStepValue, 1) || !backUpNotesTable()) return r;
  } else if (stopStep() == 1 || !fileExists("qbbak.db") || !fileExists("qbbak.idx")) {
    return r;  // no whole backup to put in the damaged table's place
  }
  if (!setStatusValue(kStopStepValue, 2)) return r;

  showStatus(kStatusOptimizing);
  int ret = compactBackup();
  if (ret == 1) {
    // Should the mark stay, the next open puts back the backup, which holds
    // the same notes.
    (void)setStatusValue(kStopStepValue, 0);
    (void)profile_write(kProfileSection, kModifiedKey, "0");
  } else {
    // A rename may have replaced qb.db alone: the whole table from the
    // backup is put back now; "status" stays 1 and "MODIFIED" set, and the
    // next shutdown compacts again.
    (void)restoreFromBackup();
  }
  return ret;
}

int restoreFromBackup() {
  CreationLock alone(true);
  const uint32_t step = stopStep();
  if (!alone.held() || step == 1) return 0;
  char from[kPathBuffer], to[kPathBuffer];
  bool dataCopied = systemFilePath(from, "qbbak.db") == 1 && systemFilePath(to, "qb.db") == 1 &&
                    qb_copy_file(from, to, false) == 0;
  bool indexCopied = systemFilePath(from, "qbbak.idx") == 1 && systemFilePath(to, "qb.idx") == 1 &&
                     qb_copy_file(from, to, false) == 0;
  if (!dataCopied || !indexCopied) return 0;
  // The mark must go before anyone writes the restored table, or the next
  // open would put the backup back over those changes.
  return step == 0 || setStatusValue(kStopStepValue, 0) ? 1 : 0;
}

// The rebuild needs the table open exclusively: the engine refuses to
// rebuild a table open in shared mode, and a shared open here would make
// every recovery fall through to the restore from the backup, losing every
// note written since the last compaction (and, without a backup, leaving
// the Monitor unable to start). When any step fails, its result goes back
// and the caller restores the backup as before.
int rebuildNotesTable() {
  char notesBase[kPathBuffer];
  if (systemFilePath(notesBase, "qb") != 1) return -1;
  // A qbnote that is just reading gets a moment to close the table.
  (void)notesTable.close();
  CreationLock alone(true);
  if (!alone.held() || !notesTableUnused() || finishInterruptedStop() != 1) return -1;
  int r = notesTable.open(notesBase, 0);
  if (r != 1) return r;

  r = notesTable.lockTable(2);
  if (r == 1) {
    r = notesTable.rebuild(kNotesPageSize, 1);
    int unlocked = notesTable.unlockTable(2);
    if (r == 1 && unlocked != 1) r = unlocked;
  }
  // A data file holding two records of one path fails here: the unique
  // index cannot be defined over it, unless the pair is a note written twice
  // by a move cut short (dropNotesWrittenTwice).
  if (r == 1) {
    // A copy: the catalogue's text may go with the rebuild below.
    const char* declared = declaredPath(notesTable);
    const std::string path = declared != nullptr ? declared : "";
    const char* const key[] = {path.c_str(), nullptr};
    r = declared != nullptr ? notesTable.createIndex(kPathIndex, key) : -1;
    if (r != 1 && notesTable.lastError() == kTbIndexLayer && notesTable.lowerError() == kIxDuplicateKey &&
        dropNotesWrittenTwice() == 1)
      r = notesTable.createIndex(kPathIndex, key);
  }

  // A rebuilt index file is only whole once the close has written it.
  int closed = notesTable.close();
  if (r == 1 && closed != 1) r = closed;
  return r;
}
