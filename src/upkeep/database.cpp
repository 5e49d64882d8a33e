// The notes database at start (see database.h).
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/state_dir.h"
#include "upkeep/backup.h"
#include "upkeep/set_aside.h"

// Constructed in this order, destroyed in the reverse one (database.h).
TableHandle notesTable;
TableHandle tempTable;


const char kPathIndex[] = "INDX_Path,U";
const char kPhysicalIndex[] = "Physical Index";
const char kPathFieldName[] = "Path";
const char kPathDeclaration[] = "Path,C";

int systemFilePath(char* out, const char* name) {
  std::memset(out, 0, kPathBuffer);
  const std::string dir = qb_system_dir();
  if (dir.empty()) return 0;
  int written = std::snprintf(out, kPathBuffer, "%s/%s", dir.c_str(), name);
  if (written < 0 || written >= kPathBuffer) {
    std::memset(out, 0, kPathBuffer);
    return 0;
  }
  return 1;
}

const char* declaredPath(TableHandle& table) { return table.fieldName(table.fieldNumber(kPathFieldName)); }

bool pathsMatch(TableHandle& table, const char* path, const char* other, bool prefix) {
  const bool fold = table.fieldType(table.fieldNumber(kPathFieldName)) == kFieldText;
  const auto az = [fold](unsigned char c) { return fold && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : int{c}; };
  for (;; ++path, ++other) {
    if (prefix && *other == '\0') return true;
    const int x = az(static_cast<unsigned char>(*path)), y = az(static_cast<unsigned char>(*other));
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// Both tables: the path first, and the unique index on it.
static int createKeyedTable(const char* baseName, const char* const* fields) {
  const char* const key[] = {fields[0], nullptr};
  TableHandle table;  // closed and destroyed on every path
  int r = table.create(baseName, fields, kNotesPageSize);
  if (r == 1) r = table.createIndex(kPathIndex, key);
  (void)table.close();
  return r;
}

int createNotesTable(const char* baseName, const char* pathDeclaration) {
  const char* const fields[] = {pathDeclaration, "Remark", nullptr};
  return createKeyedTable(baseName, fields);
}

int createSetAsideTable(const char* baseName, const char* pathDeclaration) {
  const char* const fields[] = {pathDeclaration, "Remark", kSinceField, kKindField, nullptr};
  return createKeyedTable(baseName, fields);
}

namespace {

// The process's one descriptor of the lock file while any CreationLock is
// alive, how many are, and whether the flock on it is exclusive.
int lockFd = -1;
int lockDepth = 0;
bool lockExclusive = false;

std::recursive_mutex& creationThreads() {
  static std::recursive_mutex one;
  return one;
}

}  // namespace

CreationLock::CreationLock(bool exclusive) : thread_(creationThreads()) {
  if (lockDepth == 0) {
    char name[kPathBuffer];
    if (systemFilePath(name, "qbnote.lock") != 1) return;
    lockFd = ::open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) return;
    lockExclusive = false;
  }
  if (lockDepth == 0 || (exclusive && !lockExclusive)) {
    while (::flock(lockFd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
      if (errno == EINTR) continue;
      if (lockDepth == 0) {
        ::close(lockFd);
        lockFd = -1;
      }
      return;
    }
    lockExclusive = exclusive;
  }
  ++lockDepth;
  held_ = true;
}

CreationLock::~CreationLock() {
  if (!held_ || --lockDepth > 0) return;
  ::close(lockFd);  // closing the only descriptor drops the flock
  lockFd = -1;
  lockExclusive = false;
}

int readyNotesTable(bool create) {
  char dataFile[kPathBuffer], notesBase[kPathBuffer];
  if (systemFilePath(dataFile, "qb.db") != 1 || systemFilePath(notesBase, "qb") != 1) return -1;
  const auto exists = [&] {
    struct stat st;
    return ::stat(dataFile, &st) == 0;
  };
  if (stopStep() == 0 && (exists() || !create)) return exists() ? 1 : 0;
  // A conversion from shared gives the lock up for a moment: look again.
  CreationLock alone(true);
  if (!alone.held() || finishInterruptedStop() != 1) return -1;
  if (create && !exists() && createNotesTable(notesBase) != 1) return -1;
  return exists() ? 1 : 0;
}

int openDatabase() {
  char notesBase[kPathBuffer];
  char tempBase[kPathBuffer];
  if (systemFilePath(notesBase, "qb") != 1 || systemFilePath(tempBase, "qbtmp") != 1) return -1;

  int r;
  {
    // A notes table that cannot be created shows up as a failing open; one
    // whose interrupted stop cannot be finished is not opened at all.
    CreationLock lock(false);
    if (!lock.held() || readyNotesTable(true) == -1) return -1;
    r = notesTable.open(notesBase, 1);
  }
  if (r != 1) return r;
  if (notesTable.setIndex(kPathIndex) != 1) {
    (void)notesTable.close();
    return kNotesIndexUnusable;
  }

  // The notes set aside by earlier runs are kept until they expire
  // (set_aside.h). The table's paths compare as the notes table's do, so
  // that a note set aside is found again by the same paths.
  const char* pathDeclaration = declaredPath(notesTable);
  readSetAsideSettings();
  (void)tempTable.close();  // a second call: the tidying opens the table alone
  const bool tidied = tidySetAside(tempBase, pathDeclaration != nullptr ? pathDeclaration : kPathDeclaration);

  r = tempTable.open(tempBase, 1);
  if (r != 1) return r;  // notesTable stays open
  r = tempTable.setIndex(kPathIndex);
  if (r != 1) {
    (void)notesTable.close();
    return r;
  }
  int kept = 0;
  if (!tidied) (void)dropExpiredSetAside(tempTable, &kept);

  writeStatus(1);
  return 1;
}
