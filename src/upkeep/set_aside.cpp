// The set-aside table's ages and the start's work on it (see set_aside.h).
#include "upkeep/set_aside.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/file_io.h"
#include "platform/registry.h"
#include "platform/report.h"
#include "upkeep/database.h"

const char kSinceField[] = "Since";
const char kKindField[] = "Kind";
const char kAsideDeleted[] = "deleted";
const char kAsideRenamed[] = "renamed";

SetAsideSettings set_aside_settings;

static int64_t wallClock() { return static_cast<int64_t>(std::time(nullptr)); }
int64_t (*set_aside_clock)() = wallClock;

namespace {

constexpr char kConfigKey[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

// A qbnote that has the table open when the Monitor starts is waited for
// this long before the start works over the shared handle instead.
constexpr int kHeldTries = 40;
constexpr int kHeldDelayMs = 50;

const char* fieldText(TableHandle& t, const char* name) {
  const int n = t.fieldNumber(name);
  return n < 0 ? nullptr : t.getField(n);
}

// Rebuilds the index file of `t` (open alone) from its data file and defines
// the path index again, as declared. 1, or the failing call's result.
int rebuildPathIndex(TableHandle& t) {
  int r = t.lockTable(2);
  if (r == 1) {
    r = t.rebuild(kNotesPageSize, 1);
    const int unlocked = t.unlockTable(2);
    if (r == 1 && unlocked != 1) r = unlocked;
  }
  const char* declared = r == 1 ? declaredPath(t) : nullptr;
  const std::string path = declared != nullptr ? declared : "";
  const char* const key[] = {path.c_str(), nullptr};
  if (r == 1) r = declared != nullptr ? t.createIndex(kPathIndex, key) : -1;
  return r == 1 ? t.setIndex(kPathIndex) : r;
}

}  // namespace

void readSetAsideSettings() {
  set_aside_settings = SetAsideSettings{};
  uint32_t value = 0;
  if (reg_read_number(RegHive::kLocalMachine, kConfigKey, "SetAsideDays", &value) == 0)
    set_aside_settings.days = value;
  if (reg_read_number(RegHive::kLocalMachine, kConfigKey, "RenameBackSeconds", &value) == 0)
    set_aside_settings.rename_back_seconds = value;
}

void stampSetAside(TableHandle& t, const char* kind) {
  char now[24];
  std::snprintf(now, sizeof now, "%lld", static_cast<long long>(set_aside_clock()));
  (void)t.setField(t.fieldNumber(kSinceField), now);
  (void)t.setField(t.fieldNumber(kKindField), kind);
}

bool setAsideExpired(TableHandle& t, bool atStart) {
  const char* since = fieldText(t, kSinceField);
  const char* kind = fieldText(t, kKindField);
  if (since == nullptr || kind == nullptr || (atStart && set_aside_settings.days == 0)) return true;
  char* end = nullptr;
  errno = 0;
  const long long at = std::strtoll(since, &end, 10);
  if (end == since || *end != '\0' || errno != 0) return true;
  const int64_t age = set_aside_clock() - at;
  if (std::strcmp(kind, kAsideRenamed) == 0) return age < 0 || age > set_aside_settings.rename_back_seconds;
  if (std::strcmp(kind, kAsideDeleted) != 0) return true;
  if (set_aside_settings.days == 0) return false;  // serves until the next start
  return age > static_cast<int64_t>(set_aside_settings.days) * kSecondsPerDay;
}

int dropExpiredSetAside(TableHandle& t, int* kept) {
  int dropped = 0;
  *kept = 0;
  // A deletion moves the index on to the next entry.
  for (int r = t.firstRecord(); r == 1;) {
    if (t.readRecord(0) != 1) break;
    if (!setAsideExpired(t, true)) {
      ++*kept;
      r = t.nextRecord();
    } else if (t.deleteRecord() == 1) {
      ++dropped;
    } else {
      break;
    }
  }
  char line[96];
  std::snprintf(line, sizeof line, "SET ASIDE: %d kept, %d dropped\n", *kept, dropped);
  qb_trace(line);
  return dropped;
}

bool tidySetAside(const char* base, const char* pathDeclaration) {
  CreationLock alone(true);
  struct stat st;
  if (::stat((std::string(base) + ".db").c_str(), &st) != 0) {
    (void)createSetAsideTable(base, pathDeclaration);
    qb_trace("SET ASIDE: made\n");
    return true;
  }
  TableHandle t;
  int r;
  for (int tries = 1;; ++tries) {
    io_os_error = 0;
    r = t.open(base, 0);
    const bool held = r != 1 && t.lastError() == kTbCannotOpen && (io_os_error == EWOULDBLOCK || io_os_error == EAGAIN);
    if (!held) break;
    if (tries == kHeldTries) return false;
    ::usleep(kHeldDelayMs * 1000);
  }
  const bool earlier = r == 1 && (t.fieldNumber(kSinceField) < 0 || t.fieldNumber(kKindField) < 0);
  const char* damage = r != 1 ? "cannot be opened"
                       : earlier || t.setIndex(kPathIndex) == 1 || rebuildPathIndex(t) == 1
                           ? nullptr
                           : "has an index that can be neither used nor rebuilt";
  if (!earlier && damage == nullptr) {
    int kept = 0;
    (void)dropExpiredSetAside(t, &kept);
    (void)t.close();
    return true;
  }
  (void)t.close();
  (void)TableHandle::deleteTable(base);
  (void)createSetAsideTable(base, pathDeclaration);
  qb_trace("SET ASIDE: made anew\n");
  if (damage != nullptr)
    qb_reportf(LogKind::kWarning,
               "The table of set-aside notes %s.db %s; it was made anew, and the notes of deleted files it held "
               "are lost.",
               base, damage);
  else
    qb_reportf(LogKind::kNotice,
               "The table of set-aside notes %s.db was written by an earlier version, which emptied it at every "
               "start; it was made anew in the layout that keeps notes across starts.",
               base);
  return true;
}
