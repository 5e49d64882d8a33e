// The identity table (see identity_table.h).
#include "upkeep/identity_table.h"

#include <sys/stat.h>

#include "upkeep/database.h"

TableHandle idTable;

namespace {

int lookUpPath(TableHandle& ids, const char* path) {
  (void)ids.setField(ids.fieldNumber(kPathFieldName), path);
  return ids.findKey();
}

// The index rebuilt from the data file, whose records are whole even when
// a run was cut short in the middle of a change. 1, or what failed.
int rebuildIndex(const char* base) {
  TableHandle table;
  CreationLock alone(true);
  if (!alone.held()) return -1;
  int r = table.open(base, 0);
  if (r == 1) r = table.rebuild(kNotesPageSize, 1);
  const char* declared = r == 1 ? declaredPath(table) : nullptr;
  const std::string path = declared != nullptr ? declared : "";
  const char* const key[] = {path.c_str(), nullptr};
  if (r == 1) r = declared != nullptr ? table.createIndex(kPathIndex, key) : -1;
  const int closed = table.close();
  return r == 1 ? closed : r;
}

}  // namespace

int openIdentityTable(TableHandle& ids, bool create, bool rebuild, const char* pathDeclaration) {
  char base[kPathBuffer], dataFile[kPathBuffer];
  if (systemFilePath(base, "qbid") != 1 || systemFilePath(dataFile, "qbid.db") != 1) return -1;
  const auto openShared = [&] { return ids.open(base, 1) == 1 && ids.setIndex(kPathIndex) == 1; };
  {
    // Shared: a table that another program is making is not opened half made.
    CreationLock opening(false);
    struct stat st;
    const bool exists = opening.held() && ::stat(dataFile, &st) == 0;
    // An index that cannot be rebuilt (another program has the table open)
    // is used as it is: every entry read is checked to carry its path.
    if (exists && rebuild) (void)rebuildIndex(base);
    if (exists && openShared()) return 1;
  }
  if (!create) return 0;
  (void)ids.close();
  {
    CreationLock alone(true);
    if (!alone.held()) return -1;
    (void)TableHandle::deleteTable(base);
    const int r = createNotesTable(base, pathDeclaration);
    if (r != 1) return r;
  }
  return openShared() ? 1 : -1;
}

bool recordedIdentity(TableHandle& ids, const char* path, std::string* text) {
  if (lookUpPath(ids, path) != 2 || ids.readRecord(0) != 1) return false;
  const char* found = ids.getField(ids.fieldNumber(kPathFieldName));
  const char* value = ids.getField(ids.fieldNumber("Remark"));
  if (found == nullptr || value == nullptr || !pathsMatch(ids, found, path, false)) return false;
  *text = value;
  return true;
}

int writeIdentity(TableHandle& ids, const char* path, const std::string& text) {
  const bool present = lookUpPath(ids, path) == 2;
  (void)ids.setField(ids.fieldNumber(kPathFieldName), path);
  (void)ids.setField(ids.fieldNumber("Remark"), text.c_str());
  return present ? ids.updateRecord() : ids.addRecord();
}

int recordIdentity(TableHandle& ids, const char* path) {
  FileIdentity id;
  if (qb_file_identity(path, &id) != 0) return 0;
  return writeIdentity(ids, path, qb_identity_text(id));
}

void forgetIdentity(TableHandle& ids, const char* path) {
  if (lookUpPath(ids, path) == 2) (void)ids.deleteRecord();
}
