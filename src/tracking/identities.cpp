// Identities following their notes (see identities.h).
#include "tracking/identities.h"

#include <string>
#include <utility>
#include <vector>

#include "upkeep/database.h"
#include "upkeep/identity_table.h"
#include "upkeep/monitor_tables.h"

void moveIdentity(const char* from, const char* to) {
  if (!idTable.isOpen()) return;
  std::string text;
  if (!recordedIdentity(idTable, to, &text) || idTable.deleteRecord() == 1) {
    // Re-keyed in place, as a note is.
    if (!recordedIdentity(idTable, from, &text)) return;
    (void)idTable.setField(idTable.fieldNumber(kPathFieldName), to);
    (void)idTable.updateRecord();
  }
}

void moveIdentities(const char* oldPath, const char* newPath) {
  if (!idTable.isOpen()) return;
  const std::string prefix = std::string(oldPath) + "/";
  std::vector<std::pair<std::string, std::string>> moved;
  const int path = idTable.fieldNumber(kPathFieldName);
  const int text = idTable.fieldNumber("Remark");
  (void)idTable.setField(path, prefix.c_str());
  int r = idTable.findKey();
  while ((r == 2 || r == 3 || r == 1) && idTable.readRecord(0) == 1) {
    const char* p = idTable.getField(path);
    const char* t = idTable.getField(text);
    if (p == nullptr || t == nullptr || !pathsMatch(idTable, p, prefix.c_str(), true)) break;
    moved.emplace_back(p, t);
    r = idTable.nextRecord();
  }
  for (const auto& [from, value] : moved) {
    forgetIdentity(idTable, from.c_str());
    const std::string to = newPath + from.substr(prefix.size() - 1);
    if (to.size() < kPathBuffer) (void)writeIdentity(idTable, to.c_str(), value);  // its note stays behind too
  }
}

void noteAttached(const char* path) {
  if (idTable.isOpen()) (void)recordIdentity(idTable, path);
}
