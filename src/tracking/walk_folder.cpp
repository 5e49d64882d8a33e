// The folder walk (see walk_folder.h).
#include "tracking/walk_folder.h"

#include <cstdio>
#include <cstring>

#include "platform/listing.h"
#include "tracking/do_response.h"
#include "upkeep/database.h"

constexpr int kWalkBuffer = 256;

// "<folder>/<name>" into out (kWalkBuffer bytes); false when it does not fit,
// with the skip traced.
static bool joinPath(char* out, const char* folder, const char* name) {
  int written = std::snprintf(out, kWalkBuffer, "%s/%s", folder, name);
  if (written >= 0 && written < kWalkBuffer) return true;
  traceLine("SKIPPED (too long): %s/%s\n", folder, name);
  return false;
}

static bool isDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

void walkFolder(const char* oldPath, const char* newPath) {
  char pattern[kWalkBuffer];  // the search pattern, then each entry's new path
  char oldChild[kWalkBuffer];
  if (!joinPath(pattern, newPath, "*.*")) return;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const char* name = entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (isDotEntry(name)) continue;
      if (!joinPath(oldChild, oldPath, name) || !joinPath(pattern, newPath, name)) continue;
      if (lookUp(notesTable, oldChild) == kKeyFound) {
        readCurrent(notesTable);
        setPath(notesTable, pattern);
        lockedUpdate();
      }
      walkFolder(oldChild, pattern);
    } else {
      if (!joinPath(oldChild, oldPath, name)) continue;
      if (lookUp(notesTable, oldChild) == kKeyFound) {
        if (!joinPath(pattern, newPath, name)) continue;
        readCurrent(notesTable);
        setPath(notesTable, pattern);
        lockedUpdate();
      }
    }
  } while (FindNextFileA(search, &entry));
  (void)FindClose(search);
}
