// The "FileSpec" hand-shake (see save_as.h).
#include "tracking/save_as.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/registry.h"
#include "tracking/do_response.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

const char kSaveAsKeyPath[] = "SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs";
const char kFileSpecValue[] = "FileSpec";

int takeFileSpecValue(char* text) {
  std::memset(text, 0, kFileSpecSize);
  std::string value;
  int rc = reg_read_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, &value);
  // Missing (key or value) or unreadable: no hand-shake is under way.
  if (rc != 0 && rc != EPROTOTYPE) return 0;
  if (rc == 0 && value.size() < static_cast<size_t>(kFileSpecSize)) {
    std::memcpy(text, value.c_str(), value.size() + 1);
  } else if (rc == 0) {
    // Cut to 259 characters, it would name another path.
    traceLine("SKIPPED (too long): FileSpec of %zu bytes\n", value.size() + 1);
  }
  // A value of another type is no path: it is taken and not used.
  (void)reg_write_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, "");
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
