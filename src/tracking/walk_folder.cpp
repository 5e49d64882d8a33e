// The folder walk (see walk_folder.h).
#include "tracking/walk_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/listing.h"
#include "platform/message_box.h"
#include "tracking/do_response.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

namespace {

constexpr int kWalkBuffer = 256;

// "<folder>/<name>" into out (kWalkBuffer bytes); false when it does not fit,
// with the skip traced.
bool joinPath(char* out, const char* folder, const char* name) {
  int written = std::snprintf(out, kWalkBuffer, "%s/%s", folder, name);
  if (written >= 0 && written < kWalkBuffer) return true;
  traceLine("SKIPPED (too long): %s/%s\n", folder, name);
  return false;
}

bool isDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// Ends the hold: what was re-keyed so far commits.
// A commit that failed every try may have left the index file half
// written: the stop must not compact from it, and the next start rebuilds it.
void endHold(TableWriteHold& hold, const char* where) {
  if (hold.release() == 1) return;
  traceLine("WALK COMMIT FAILED: %s\n", where);
  setNotesIndexUnsure(true);
  char text[kWalkBuffer + 256];
  std::snprintf(text, sizeof text,
                "The notes moved with the folder %s could not be written to disk (is it full?). Stop and start the "
                "Monitor once there is room: its start rebuilds the notes table's index.",
                where);
  (void)MessageBoxA(nullptr, text, "Quibbet Monitor", MB_OK | MB_ICONWARNING);
}

void takeHold(TableWriteHold& hold, const char* where) {
  if (!hold.take()) traceLine("WALK UNLOCKED: %s\n", where);
}

// The note found at `oldPath` (the current record of notesTable) moves to
// `newPath`. The record lock comes first, so that the read and the update
// see the same record and the read needs no lock of its own. A note that
// cannot be read keeps its old path: its Remark buffer would still hold
// another note's text.
//
// Lock order: another process changing a note locks its record first and
// then waits for the table's write lock, which the walk holds while it asks
// for record locks. A record lock refused under the hold may be such a
// process waiting for the walk: the hold ends (what was re-keyed so far
// commits), so that the other process can finish; the note is looked up
// again and re-keyed on its own, and the hold is taken again for the rest.
void reKeyCurrent(const char* oldPath, const char* newPath, TableWriteHold& hold) {
  int locked = notesTable.lockRecord(&lockId);
  const bool yielded = locked == -4 && hold.taken();
  if (yielded) {
    endHold(hold, newPath);
    locked = lookUp(notesTable, oldPath) == kKeyFound ? notesTable.lockRecord(&lockId) : 0;
  }
  if (locked != 0 && notesTable.readRecord(0) == 1) {
    setPath(notesTable, newPath);
    (void)notesTable.updateRecord();
  }
  if (locked == 1) (void)notesTable.unlockRecord(lockId);
  if (yielded) takeHold(hold, newPath);
}

void walkLevel(const char* oldPath, const char* newPath, TableWriteHold& hold);

// One entry of the folder old -> new. `scratch` holds kWalkBuffer bytes for
// the entry's new path; it may be the search pattern's buffer, which is
// free again once the search is under way.
void visit(const char* oldPath, const char* newPath, const char* name, bool folder, char* scratch,
           TableWriteHold& hold) {
  char oldChild[kWalkBuffer];
  if (folder) {
    if (isDotEntry(name)) return;
    if (!joinPath(oldChild, oldPath, name) || !joinPath(scratch, newPath, name)) return;
    if (lookUp(notesTable, oldChild) == kKeyFound) reKeyCurrent(oldChild, scratch, hold);
    walkLevel(oldChild, scratch, hold);
  } else {
    if (!joinPath(oldChild, oldPath, name)) return;
    if (lookUp(notesTable, oldChild) == kKeyFound) {
      if (!joinPath(scratch, newPath, name)) return;
      reKeyCurrent(oldChild, scratch, hold);
    }
  }
}

// ---- one folder's entries, in key order ----------------------------------------
//
// The notes of one folder lie side by side in the path index, in the order
// of their names as the index compares them (bytes unsigned, with A to Z
// folded to a to z only where the path field ignores case). Visiting the entries in that order, rather than in the order
// the system lists them, makes each look-up and re-key land on the index
// pages the one before it used, which are still in the page cache.
//
// Layout: every name with its terminator one after another in `names`;
// `entries` points into it by offset (names may move as the block grows).

struct Entry {
  uint32_t nameAt;  // offset of the name in Listing::names
  bool folder;
};

struct Listing {
  char* names = nullptr;
  size_t namesUsed = 0;
  size_t namesSize = 0;
  Entry* entries = nullptr;
  size_t count = 0;
  size_t capacity = 0;

  Listing() = default;
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  ~Listing() {
    std::free(names);
    std::free(entries);
  }

  const char* nameOf(const Entry& e) const { return names + e.nameAt; }

  // false when memory ran out; the listing is then incomplete.
  bool add(const char* name, bool folder) {
    size_t length = std::strlen(name) + 1;
    if (namesUsed + length > namesSize) {
      size_t size = std::max<size_t>(namesSize * 2, namesUsed + length + 4096);
      if (size > UINT32_MAX) return false;
      char* grown = static_cast<char*>(std::realloc(names, size));
      if (grown == nullptr) return false;
      names = grown;
      namesSize = size;
    }
    if (count == capacity) {
      size_t more = capacity == 0 ? 64 : capacity * 2;
      auto* grown = static_cast<Entry*>(std::realloc(entries, more * sizeof(Entry)));
      if (grown == nullptr) return false;
      entries = grown;
      capacity = more;
    }
    std::memcpy(names + namesUsed, name, length);
    entries[count++] = Entry{static_cast<uint32_t>(namesUsed), folder};
    namesUsed += length;
    return true;
  }
};

int foldByte(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool indexLess(const char* a, const char* b, bool fold) {
  for (;; ++a, ++b) {
    int x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (fold) {
      x = foldByte(static_cast<unsigned char>(x));
      y = foldByte(static_cast<unsigned char>(y));
    }
    if (x != y || x == 0) return x < y;
  }
}

bool isFolder(const WIN32_FIND_DATAA& entry) { return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

void walkLevel(const char* oldPath, const char* newPath, TableWriteHold& hold) {
  char pattern[kWalkBuffer];  // the search pattern, then each entry's new path
  if (!joinPath(pattern, newPath, "*.*")) return;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  Listing listing;
  bool whole = true;
  do {
    whole = listing.add(entry.cFileName, isFolder(entry));
  } while (whole && FindNextFileA(search, &entry));
  (void)FindClose(search);

  if (whole) {
    std::sort(listing.entries, listing.entries + listing.count,
              [&listing, fold = pathsFoldCase()](const Entry& a, const Entry& b) {
                return indexLess(listing.nameOf(a), listing.nameOf(b), fold);
              });
    for (size_t i = 0; i < listing.count; ++i) {
      const Entry& e = listing.entries[i];
      visit(oldPath, newPath, listing.nameOf(e), e.folder, pattern, hold);
    }
    return;
  }
  // Out of memory for the names: the folder is walked in the order the
  // system lists it, one entry at a time, as the listing goes.
  if (!joinPath(pattern, newPath, "*.*")) return;
  search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    visit(oldPath, newPath, entry.cFileName, isFolder(entry), pattern, hold);
  } while (FindNextFileA(search, &entry));
  (void)FindClose(search);
}

}  // namespace

void walkFolder(const char* oldPath, const char* newPath) {
  TableWriteHold hold(notesTable);
  if (!hold.taken()) traceLine("WALK UNLOCKED: %s\n", newPath);
  walkLevel(oldPath, newPath, hold);
  endHold(hold, newPath);
}
