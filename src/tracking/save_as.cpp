// The "FileSpec" hand-shake (see save_as.h).
#include "tracking/save_as.h"

#include <cstring>

#include "platform/registry.h"
#include "tracking/do_response.h"
#include "upkeep/database.h"

const char kSaveAsKeyPath[] = "SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs";
const char kFileSpecValue[] = "FileSpec";

// Turns what the registry gave into a terminated string, or "" when it does
// not fit: a value cut to 259 characters would name another path.
static void keepValue(LONG rc, DWORD size, char* text) {
  if (rc == ERROR_MORE_DATA) {
    text[0] = '\0';
    traceLine("SKIPPED (too long): FileSpec of %u bytes\n", static_cast<unsigned>(size));
    return;
  }
  if (rc != ERROR_SUCCESS) {
    text[0] = '\0';
    return;
  }
  if (size > static_cast<DWORD>(kFileSpecSize)) size = kFileSpecSize;
  if (std::memchr(text, '\0', size) != nullptr) return;
  // A string stored without its terminator.
  if (size < static_cast<DWORD>(kFileSpecSize)) {
    text[size] = '\0';
    return;
  }
  traceLine("SKIPPED (too long): FileSpec of %u bytes\n", static_cast<unsigned>(size) + 1);
  text[0] = '\0';
}

int takeFileSpecValue(char* text) {
  std::memset(text, 0, kFileSpecSize);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSaveAsKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
  DWORD size = kFileSpecSize;
  LONG rc = RegQueryValueExA(key, kFileSpecValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size);
  keepValue(rc, size, text);
  static const BYTE kEmpty[2] = {0, 0};
  (void)RegSetValueExA(key, kFileSpecValue, 0, REG_SZ, kEmpty, sizeof kEmpty);
  (void)RegFlushKey(key);
  (void)RegCloseKey(key);
  return 1;
}

void takeFileSpec(FileSpec* spec) {
  spec->found = false;
  if (takeFileSpecValue(spec->text) != 1) return;
  traceLine("SaveAs contains %s\n", spec->text);
  int rc = lookUp(notesTable, spec->text);
  spec->found = rc == kKeyFound;
  traceLine("Result for findKey,%s = %d\n", spec->text, rc);
}

bool fileSpecMatches(const FileSpec& spec, const char* path) {
  return spec.found && pathStartsWith(path, spec.text);
}
