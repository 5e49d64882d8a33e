// What the Monitor's main thread does with each message (see
// monitor_wnd_proc.h).
#include "monitor/monitor_wnd_proc.h"

#include <spawn.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver_link/event_thread.h"
#include "platform/registry.h"
#include "platform/report.h"
#include "tracking/do_response.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

extern char** environ;

pid_t notesProgram = 0;

const char kConfigurationKeyPath[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
const char kNotesProgramValue[] = "NotesProgram";

namespace {

const char kIntegrateValue[] = "Integrate";

// The command line split on blanks (spaces and tabs).
std::vector<std::string> splitBlanks(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (true) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string::npos) break;
    size_t end = line.find_first_of(" \t", at);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

void launchNotesProgram(const std::string& commandLine) {
  std::vector<std::string> words = splitBlanks(commandLine);
  if (words.empty()) return;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // The Monitor blocks the signals it reads; the program must not inherit
  // that.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc;
  {
    // Until it execs, the child holds copies of every descriptor, and with
    // them the open file descriptions that carry the tables' share locks.
    // Were the event thread to close a table and open it again meanwhile
    // (a start creating or rebuilding it), the new open would find its own
    // old lock still held and fail. Table opens and closes happen under
    // this mutex; posix_spawnp returns only once the child has exec'd.
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attr);
  if (rc == 0) {
    notesProgram = pid;
    return;
  }
  char text[kNotesProgramMax + 200];
  std::snprintf(text, sizeof text, "cannot start the notes program \"%s\" (registry value \"NotesProgram\"): %s",
                argv[0], std::strerror(rc));
  qb_report(LogKind::kWarning, text);
}

int onCreate() {
  // Step 1.
  if (int e = startEventThread(); e != 0) {
    char text[160];
    std::snprintf(text, sizeof text, "The Monitor cannot start its event thread: %s.", std::strerror(e));
    qb_report(LogKind::kError, text);
    return e;
  }
  // Step 2.
  uint32_t integrate = 1;
  if (reg_read_number(RegHive::kLocalMachine, kConfigurationKeyPath, kIntegrateValue, &integrate) != 0)
    integrate = 1;
  if (integrate == 0) return kKeepRunning;
  // Step 3.
  std::string commandLine;
  if (reg_read_string(RegHive::kLocalMachine, kConfigurationKeyPath, kNotesProgramValue, &commandLine) == 0 &&
      !commandLine.empty() && commandLine.size() <= static_cast<size_t>(kNotesProgramMax))
    launchNotesProgram(commandLine);
  return kKeepRunning;
}

}  // namespace

void drainAndCloseDatabase() {
  bool open;
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    open = notesTable.isOpen();
  }
  // A closed table (a second close, or a start that failed) has nothing to
  // drain into.
  if (open) (void)drainQueuedEvents(kStopDrainMs);
  // The event in progress on the event thread finishes first, and the
  // changes of a group of events commit.
  std::lock_guard<std::mutex> guard(tracking_table_mutex());
  endEventGroup();
  closeDatabase();
}

int MonitorWndProc(MonitorMessage message, int code) {
  switch (message) {
    case MonitorMessage::kCreate:
      return onCreate();
    case MonitorMessage::kEndSession:
      drainAndCloseDatabase();
      return kKeepRunning;
    case MonitorMessage::kStop:
      return 0;
    case MonitorMessage::kStartFailed:
      return code;
    case MonitorMessage::kEventThreadEnded:
      return code != 0 ? code : 1;
  }
  return kKeepRunning;
}
