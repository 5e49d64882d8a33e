// repair and restore-backup: the two ways back to a usable notes table, run
// by hand when `check` finds it damaged or the Monitor refuses to start.
//
// Both replace the table's files as files, so both work as the Monitor's
// start does: under the creation lock held exclusively (upkeep/database.h),
// and only once no other program has qb.db or qb.idx open. A running
// Monitor keeps the table open for as long as it runs; it is asked first
// over its socket so that the refusal can name it and say how to stop it.
//
//   repair          rebuilds qb.idx from qb.db (rebuildNotesTable): every
//                   note's record is in the data file, so nothing is lost.
//   restore-backup  copies qb.db and qb.idx aside as
//                   qb.db.broken-<YYYYMMDD-HHMMSS> (and .idx), then puts
//                   qbbak.db and qbbak.idx in their place
//                   (restoreFromBackup): notes written since the Monitor's
//                   last compaction are lost from the table, and kept in the
//                   pair set aside.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/file_io.h"
#include "driver/report_client.h"
#include "engine/engine.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "platform/files.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// True when another program has `path` open as a table file: every open
// table holds a shared flock on its files. A missing file is held by nobody.
bool held_elsewhere(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

// kExitDone when the notes table `base` may be replaced now: no Monitor
// answers and, under the caller's exclusive creation lock, no program has
// its files open. Else kExitTable after a message.
int nobody_uses(const char* command, const std::string& base) {
  std::string body;
  if (qb_ask_status(&body) == 1) {
    say("%s: a Monitor runs and keeps the notes table open; stop it with `qbmon --stop`, run `qbnote %s`, then "
        "start it again; nothing was changed",
        command, command);
    return kExitTable;
  }
  if (held_elsewhere(base + ".db") || held_elsewhere(base + ".idx")) {
    say("%s: another program has the notes table %s.db open (a Monitor that does not answer, or another "
        "qbnote); let it end, or stop the Monitor with `qbmon --stop`, and run `qbnote %s` again; nothing "
        "was changed",
        command, base.c_str(), command);
    return kExitTable;
  }
  return kExitDone;
}

// The common start of both commands: arguments, the engine, the table's
// base name. kExitDone with *base set, else the status to end with.
int begin(const char* command, int argc, char** argv, std::string* base) {
  Args a;
  int rc = parse_args(command, argc, argv, 0, 0, 0, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help(command);
    return a.help ? kExitDone : rc;
  }
  if (start_engine() != 1) {
    say("the table engine cannot start: %s", engine_error_text(tb_error, ix_error, 0).c_str());
    return kExitTable;
  }
  *base = system_file("qb");
  return base->empty() ? kExitTable : kExitDone;
}

}  // namespace

int cmd_repair(int argc, char** argv) {
  std::string base;
  if (int rc = begin("repair", argc, argv, &base); rc != kExitDone || base.empty()) return rc;
  if (!exists(base + ".db")) {
    say("repair: there is no notes table at %s.db; `qbnote restore-backup` puts the last backup back", base.c_str());
    return kExitNotFound;
  }
  CreationLock alone(true);
  if (!alone.held()) {
    say("repair: the creation lock of %s cannot be taken: %s; nothing was changed", base.c_str(),
        std::strerror(errno));
    return kExitTable;
  }
  if (int rc = nobody_uses("repair", base); rc != kExitDone) return rc;
  io_os_error = 0;
  const int r = rebuildNotesTable();
  if (r != 1) {
    say("repair: the index file %s.idx could not be rebuilt from the data file %s.db: %s; `qbnote "
        "restore-backup` puts the last backup back",
        base.c_str(), base.c_str(), engine_error_text(tb_error, ix_error, io_os_error).c_str());
    return kExitTable;
  }
  say("repair: the index file %s.idx was rebuilt from the data file %s.db; `qbnote check` verifies the table",
      base.c_str(), base.c_str());
  return kExitDone;
}

int cmd_restore_backup(int argc, char** argv) {
  std::string base;
  if (int rc = begin("restore-backup", argc, argv, &base); rc != kExitDone || base.empty()) return rc;
  const std::string backup = system_file("qbbak");
  if (backup.empty()) return kExitTable;
  CreationLock alone(true);
  if (!alone.held()) {
    say("restore-backup: the creation lock of %s cannot be taken: %s; nothing was changed", base.c_str(),
        std::strerror(errno));
    return kExitTable;
  }
  if (!exists(backup + ".db") || !exists(backup + ".idx")) {
    say("restore-backup: there is no backup %s.db and %s.idx (the Monitor writes one when it compacts the "
        "table at its stop); nothing was changed",
        backup.c_str(), backup.c_str());
    return kExitTable;
  }
  if (stopStep() == 1) {
    say("restore-backup: the backup %s.db was being written when a stop was cut short and is not whole; "
        "nothing was changed",
        backup.c_str());
    return kExitTable;
  }
  if (int rc = nobody_uses("restore-backup", base); rc != kExitDone) return rc;

  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  (void)localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, ".broken-%Y%m%d-%H%M%S", &local);
  std::string kept;
  for (const char* ext : {".db", ".idx"}) {
    const std::string from = base + ext, to = from + stamp;
    if (!exists(from)) continue;
    if (const int e = qb_copy_file(from.c_str(), to.c_str(), true); e != 0) {
      say("restore-backup: %s could not be saved as %s: %s; nothing was changed", from.c_str(), to.c_str(),
          std::strerror(e));
      return kExitTable;
    }
    kept += kept.empty() ? to : " and " + to;
  }
  if (restoreFromBackup() != 1) {
    say("restore-backup: the backup %s.db and %s.idx could not be copied over the notes table; the table as it "
        "was is kept in %s",
        backup.c_str(), backup.c_str(), kept.empty() ? "(nothing)" : kept.c_str());
    return kExitTable;
  }
  say("restore-backup: the notes table %s.db is the backup again; notes written since the Monitor last "
      "compacted it are not in it%s%s",
      base.c_str(), kept.empty() ? "" : ". The table as it was is kept in ", kept.c_str());
  return kExitDone;
}
