// The notes database at start (see database.h).
#include "upkeep/database.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/state_dir.h"
#include "upkeep/backup.h"

// Constructed in this order, destroyed in the reverse one (database.h).
TableHandle notesTable;
TableHandle tempTable;

HWND mainWindow = nullptr;  // set by the Monitor's start-up

const char kPathIndex[] = "INDX_Path,U";
const char kPhysicalIndex[] = "Physical Index";

int systemFilePath(char* out, const char* name) {
  char dir[kPathBuffer] = {};
  std::memset(out, 0, kPathBuffer);
  UINT length = GetSystemDirectoryA(dir, kPathBuffer);
  if (length == 0 || length >= static_cast<UINT>(kPathBuffer)) return 0;
  int written = std::snprintf(out, kPathBuffer, "%s/%s", dir, name);
  if (written < 0 || written >= kPathBuffer) {
    std::memset(out, 0, kPathBuffer);
    return 0;
  }
  return 1;
}

int createNotesTable(const char* baseName) {
  static const char* const kFields[] = {"Path", "Remark", nullptr};
  static const char* const kKey[] = {"Path", nullptr};
  TableHandle table;  // closed and destroyed on every path
  int r = table.create(baseName, kFields, kNotesPageSize);
  if (r == 1) r = table.createIndex(kPathIndex, kKey);
  (void)table.close();
  return r;
}

int openDatabase() {
  char dataFile[kPathBuffer];
  char notesBase[kPathBuffer];
  char tempBase[kPathBuffer];
  if (systemFilePath(dataFile, "qb.db") != 1 || systemFilePath(notesBase, "qb") != 1 ||
      systemFilePath(tempBase, "qbtmp") != 1)
    return -1;

  // A notes table that cannot be created shows up as a failing open below.
  if (GetFileAttributesA(dataFile) == INVALID_FILE_ATTRIBUTES) (void)createNotesTable(notesBase);

  int r = notesTable.open(notesBase, 1);
  if (r != 1) return r;
  (void)notesTable.setIndex(kPathIndex);

  // Deleted notes of an earlier run are not carried over: the temporary
  // table starts empty every time.
  (void)TableHandle::deleteTable(tempBase);
  (void)createNotesTable(tempBase);

  r = tempTable.open(tempBase, 1);
  if (r != 1) return r;  // notesTable stays open
  r = tempTable.setIndex(kPathIndex);
  if (r != 1) {
    (void)notesTable.close();
    return r;
  }

  writeStatus(1);
  return 1;
}
