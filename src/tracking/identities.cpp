// Identities following their notes (see identities.h).
#include "tracking/identities.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tracking/table_guard.h"
#include "upkeep/database.h"
#include "upkeep/identity_table.h"
#include "upkeep/monitor_tables.h"

namespace {

constexpr std::chrono::milliseconds kSlice{100};

}  // namespace

void moveIdentity(const char* from, const char* to) {
  if (!idTable.isOpen()) return;
  std::string text;
  // Re-keyed in place, as a note is. An entry `to` had already (its file
  // is gone) makes the unique index refuse the update: it goes first.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!recordedIdentity(idTable, from, &text)) return;
    (void)idTable.setField(idTable.fieldNumber(kPathFieldName), to);
    if (idTable.updateRecord() == 1) return;
    forgetIdentity(idTable, to);
  }
}

void moveIdentities(const char* oldPath, const char* newPath) {
  if (!idTable.isOpen()) return;
  const std::string prefix = std::string(oldPath) + "/";
  std::vector<std::string> moved;
  const int path = idTable.fieldNumber(kPathFieldName);
  // The entries commit together, in slices, as the notes of the folder do.
  TableWriteHold hold(idTable);
  (void)idTable.setField(path, prefix.c_str());
  int r = idTable.findKey();
  while ((r == 2 || r == 3 || r == 1) && idTable.readRecord(0) == 1) {
    const char* p = idTable.getField(path);
    if (p == nullptr || !pathsMatch(idTable, p, prefix.c_str(), true)) break;
    moved.emplace_back(p);
    r = idTable.nextRecord();
  }
  auto sliceEnds = std::chrono::steady_clock::now() + kSlice;
  for (const std::string& from : moved) {
    if (std::chrono::steady_clock::now() >= sliceEnds) {
      (void)hold.release();
      (void)hold.take();
      sliceEnds = std::chrono::steady_clock::now() + kSlice;
    }
    const std::string to = newPath + from.substr(prefix.size() - 1);
    if (to.size() < kPathBuffer)
      moveIdentity(from.c_str(), to.c_str());
    else
      forgetIdentity(idTable, from.c_str());  // its note stays behind too
  }
}

void noteAttached(const char* path) {
  if (idTable.isOpen()) (void)recordIdentity(idTable, path);
}
