// The event thread (see event_thread.h).
#include "driver_link/event_thread.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "driver/driver.h"
#include "engine/engine.h"
#include "driver/queue.h"
#include "platform/registry.h"
#include "platform/report.h"
#include "platform/state_dir.h"
#include "tracking/do_response.h"
#include "tracking/reconcile.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/identity_table.h"
#include "upkeep/monitor_tables.h"

const char kCorruptMessage[] =
    "The notes table cannot be opened and could not be rebuilt or restored from its backup (qbbak.db, qbbak.idx "
    "in the state folder's system folder). Run `qbnote check` to see what is wrong, then `qbnote repair` to "
    "rebuild the index file from the data file, or `qbnote restore-backup` to put the last backup back (the "
    "table as it is is kept aside), and start qbmon again.";
const char kStatusMissingMessage[] =
    "The registry had no \"status\" value: taken as a clean stop of the last run and written as 0.";

namespace {

constexpr int kMonitorCachePages = 1024;

// The Monitor's exit status when the notes table can be neither opened nor
// recovered: the status qbnote gives for a table it cannot use.
constexpr int kTableUnusableExit = 3;

int noticePipe[2] = {-1, -1};
pthread_t thread;
bool threadStarted = false;

// Guards the driver's open against the start of the shutdown (step 6).
std::mutex& driverGate() {
  static std::mutex gate;
  return gate;
}
bool shutdownBegun = false;
bool driverOpen = false;

void notify(EventNotice notice, int code) {
  int32_t message[2] = {static_cast<int32_t>(notice), code};
  // Eight bytes, less than PIPE_BUF: written whole or not at all.
  while (::write(noticePipe[1], message, sizeof message) < 0 && errno == EINTR) {
  }
}

// Reports `text` and tells the main thread that the start failed with
// `code`; the caller then ends the thread with the same code.
int fatal(const char* text, int code) {
  qb_report(LogKind::kError, text);
  notify(EventNotice::kStartFailed, code);
  return code;
}

// The state folder and its system folder must take new files: the registry,
// the profile, the tables' backups and compaction copies are written anew
// there. The errno of the first folder that refuses a file, naming it in
// `folder`; 0 when both take one.
int unwritableStateFolder(std::string* folder) {
  const std::string state = qb_state_dir();
  const std::string system = state.empty() ? "" : qb_system_dir();
  for (const std::string& dir : {state, system}) {
    *folder = dir.empty() ? "(its place cannot be made)" : dir;
    if (dir.empty()) return errno != 0 ? errno : ENOENT;
    const std::string probe = dir + "/.qbmon-write-test";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    (void)::close(fd);
    (void)::unlink(probe.c_str());
  }
  return 0;
}

// Steps 1 to 6; 0 when the start went through (the driver is open unless the
// shutdown came first), else the code the start failed with.
int start(int* r, bool* unclean) {
  // Step 1. A state folder that takes no new file would leave the marks of
  // a clean stop and the backups unwritten while the Monitor looked healthy.
  std::string folder;
  if (int e = unwritableStateFolder(&folder); e != 0) {
    char text[kPathBuffer + 256];
    std::snprintf(text, sizeof text,
                  "The Monitor cannot write its state folder %s: %s. Make it writable, or set QB_HOME to a "
                  "folder that is, and start qbmon again.",
                  folder.c_str(), std::strerror(e));
    return fatal(text, e);
  }

  // Steps 2 and 3. A missing "status" (removed by hand, or a registry of an
  // older version) is a clean stop: it is written as 0 and the start goes
  // on. A registry that cannot be read ends the start: a Monitor that went
  // on would look healthy while it could neither tell a crash nor mark a
  // clean stop.
  uint32_t status = 0;
  int rc = reg_read_number(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, &status);
  if (rc == ENOENT) {
    status = 0;
    writeStatus(0);
    qb_report(LogKind::kWarning, kStatusMissingMessage);
  } else if (rc != 0) {
    char text[kPathBuffer + 256];
    std::snprintf(text, sizeof text,
                  "The Monitor cannot read \"status\" from %s: %s. Check that the file is readable and well-formed "
                  "(or move it aside to start afresh), then start qbmon again.",
                  qb_state_path("registry.reg").c_str(), std::strerror(rc));
    return fatal(text, rc);
  }

  // The engine's page cache, before the first table opens: room for the
  // whole path index of a home folder's notes and identities (a start looks
  // up every note in both), 512 KB. The engine would otherwise start itself
  // with 16 pages.
  if (!tb_started()) (void)TableHandle::startEngine(kMonitorCachePages, kNotesPageSize);

  // Step 4: a table left open by the last run is rebuilt, else restored.
  *unclean = status == 1;
  if (status == 1) {
    bool restored;
    {
      std::lock_guard<std::mutex> guard(tracking_table_mutex());
      restored = rebuildNotesTable() == 1 || restoreFromBackup() != 0;
    }
    if (!restored) return fatal(kCorruptMessage, kTableUnusableExit);
  }

  // Step 5: open; when that fails, the backup once, and open again. An
  // index file missing or damaged while the last stop was clean (deleted or
  // overwritten by hand, a disk error), or one written by qbnote in an
  // earlier boot of the system with no Monitor running (its writes are not
  // flushed, see btree/index_file.h), is first rebuilt from the data file,
  // which holds every note: the backup is older. Opened without its index,
  // the table would take no event and the Monitor would look healthy.
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    *r = openDatabase();
    if (*r == kNotesIndexUnusable) {
      char text[2 * kPathBuffer + 200];
      char dataFile[kPathBuffer] = "", indexFile[kPathBuffer] = "";
      (void)systemFilePath(dataFile, "qb.db");
      (void)systemFilePath(indexFile, "qb.idx");
      std::snprintf(text, sizeof text,
                    "The notes table's index file %s is missing, damaged, or may lack changes that had not reached "
                    "the disk when the system last went down: rebuilding it from the data file %s.",
                    indexFile, dataFile);
      qb_report(LogKind::kWarning, text);
      if (rebuildNotesTable() == 1) *r = openDatabase();
    }
    // Without a backup r stays the failing open's result.
    if (*r != 1 && restoreFromBackup() != 0) *r = openDatabase();
  }
  if (*r != 1) return fatal(kCorruptMessage, kTableUnusableExit);
  return 0;
}

// Step 6 and the reconciliation around it: the identities are brought up
// (their index rebuilt after a run that did not end cleanly), every note's path looked at, the driver opened with the
// inode numbers of the lost notes' files to look for in its first listing,
// and those notes moved to what it found.
int openDriver(bool unclean) {
  Reconciliation reconciliation;
  IdentityProbe probe;
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    const char* declaration = declaredPath(notesTable);
    if (openIdentityTable(idTable, true, unclean, declaration != nullptr ? declaration : kPathDeclaration) != 1)
      qb_report(LogKind::kWarning,
                "The identity table (qbid.db, qbid.idx in the state folder's system folder) cannot be opened or "
                "made: notes of files moved while the Monitor is not running will not be found again.");
    reconcileBegin(&reconciliation, &probe);
  }

  // Step 6: open the driver, unless the Monitor has begun to shut down
  // meanwhile. The shutdown stops only a driver it can see; one opened
  // after that look would never be stopped and the shutdown would wait for
  // this thread for ever. The gate makes the look and the open exclusive:
  // either the shutdown sees the driver, or this thread sees the shutdown
  // and ends here.
  std::string cause;
  int e;
  {
    std::lock_guard<std::mutex> gate(driverGate());
    if (shutdownBegun) return 0;
    e = drv_open(&cause, reconciliation.lost.empty() ? nullptr : &probe);
    driverOpen = e == 0;
  }
  if (e != 0) {
    char text[1024];
    std::snprintf(text, sizeof text, "Cannot start watching files: %s.%s", cause.c_str(),
                  e == EMFILE || e == ENOSPC
                      ? " The system's inotify limits are reached: close other programs that watch files, or raise "
                        "fs.inotify.max_user_instances and fs.inotify.max_user_watches (sysctl), then start qbmon "
                        "again."
                      : " Check \"WatchRoots\" in registry.reg in the state folder, then start qbmon again.");
    return fatal(text, e);
  }
  std::lock_guard<std::mutex> guard(tracking_table_mutex());
  (void)reconcileEnd(reconciliation, probe);
  return 0;
}

// After the kernel lost events: the notes whose files are gone are looked
// for in a new listing of the watched folders.
void reconcileAfterLoss() {
  Reconciliation reconciliation;
  IdentityProbe probe;
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    reconcileBegin(&reconciliation, &probe);
  }
  if (reconciliation.lost.empty() || drv_probe(&probe) != 0) return;
  std::lock_guard<std::mutex> guard(tracking_table_mutex());
  (void)reconcileEnd(reconciliation, probe);
}

void* run(void*) {
  notify(EventNotice::kEnded, EventThread());
  return nullptr;
}

}  // namespace

int EventThread() {
  int r = 0;
  bool unclean = false;
  int code = start(&r, &unclean);
  if (code == 0) code = openDriver(unclean);
  if (code != 0) return code;
  {
    std::lock_guard<std::mutex> gate(driverGate());
    if (!driverOpen) return r;  // the shutdown came first
  }
  // Step 7: taking the next event acknowledges the one before.
  FileEvent event;
  do {
    eq_take(&event);
    if (event.operation == OP_RECONCILE)
      reconcileAfterLoss();
    else
      (void)DoResponse(event, eq_waiting);
  } while (event.operation != OP_STOP);
  eq_done();
  // Step 8.
  {
    std::lock_guard<std::mutex> gate(driverGate());
    driverOpen = false;
  }
  drv_close();
  return r;
}

int startEventThread() {
  if (::pipe2(noticePipe, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rc = pthread_create(&thread, nullptr, run, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  threadStarted = rc == 0;
  return rc;
}

int eventThreadNoticeFd() { return noticePipe[0]; }

bool readEventThreadNotice(EventNotice* notice, int* code) {
  int32_t message[2];
  ssize_t n;
  while ((n = ::read(noticePipe[0], message, sizeof message)) < 0 && errno == EINTR) {
  }
  if (n != static_cast<ssize_t>(sizeof message)) return false;
  *notice = static_cast<EventNotice>(message[0]);
  *code = message[1];
  return true;
}

void joinEventThread() {
  if (threadStarted) pthread_join(thread, nullptr);
  threadStarted = false;
  for (int& fd : noticePipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool beginEventThreadShutdown() {
  std::lock_guard<std::mutex> gate(driverGate());
  shutdownBegun = true;
  return driverOpen;
}

void resetEventThreadShutdown() {
  std::lock_guard<std::mutex> gate(driverGate());
  shutdownBegun = false;
  driverOpen = false;
}

size_t drainQueuedEvents(int boundMs) {
  {
    std::lock_guard<std::mutex> gate(driverGate());
    if (!driverOpen) return 0;
  }
  const size_t left = eq_drain(boundMs);
  if (left == 0) return 0;
  traceLine("STOP: %zu queued events not handled\n", left);
  char text[256];
  std::snprintf(text, sizeof text,
                "%zu file events were still queued when the Monitor stopped and were not handled: notes of "
                "files moved or deleted just before may have stayed behind; `qbnote ls --missing` lists them.",
                left);
  qb_report(LogKind::kWarning, text);
  return left;
}
