// qbmon: the Monitor. main() only answers the three options a Linux user
// needs and otherwise hands over to WinMain.
//
//   qbmon            runs the Monitor in the foreground
//   qbmon --stop     asks the running Monitor to stop (SIGINT, as Ctrl+C
//                    would) and waits until it has ended; exit 1 when none
//                    runs
//   qbmon --help     usage;  qbmon --version  the version
//
// Exit status of a run: WinMain's exit code (its low eight bits, as the
// system passes it on).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "monitor/win_main.h"
#include "platform/instance_lock.h"
#include "platform/report.h"
#include "platform/state_dir.h"

namespace {

const char kUsage[] =
    "Usage: qbmon [--stop | --help | --version]\n"
    "\n"
    "Runs the Quibbet Monitor, which keeps the notes of files and folders\n"
    "attached to them while they are renamed, moved, copied or deleted.\n"
    "It runs in the foreground until stopped: Ctrl+C, `qbmon --stop`, or\n"
    "SIGTERM (system shutdown). Its state lives in $QB_HOME, else\n"
    "$XDG_STATE_HOME/quibbet, else ~/.local/state/quibbet. Errors and\n"
    "warnings go to standard error and the system log (journalctl -t qbmon);\n"
    "with QB_TRACE=1 every event is traced on standard error.\n"
    "\n"
    "  --stop     stop the running Monitor and wait until it has ended\n"
    "  --help     this text\n"
    "  --version  the version\n"
    "\n"
    "Settings, read at start from <state>/registry.reg, key\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Configuration]\n"
    "(a text file; edit it, then restart the Monitor):\n"
    "  \"WatchRoots\"         folders to watch, separated by ':' (default: the\n"
    "                       home folder)\n"
    "  \"IgnoreNames\"        folder names whose contents are not watched, separated\n"
    "                       by ':' (default .git:.hg:.svn:node_modules:__pycache__:\n"
    "                       .cache, the last directly in the home folder only)\n"
    "  \"CrossMounts\"        dword 1: also watch other file systems mounted below\n"
    "                       a root (default 0)\n"
    "  \"SetAsideDays\"       dword: days the note of a deleted file waits for its\n"
    "                       path to come back (default 30; 0: until the next start)\n"
    "  \"RenameBackSeconds\"  dword: seconds a renamed file's old name gives its\n"
    "                       note to a file made there (default 60)\n"
    "  \"NotesProgram\"       a command line started with the Monitor (default none)\n"
    "  \"Integrate\"          dword 0: never start \"NotesProgram\" (default 1)\n";

// Tries a few times: a Monitor that has just taken its lock may not have
// written its pid yet.
pid_t runningMonitor() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    pid_t pid = qb_instance_lock_owner(kSingleInstanceMutex);
    if (pid >= 0 || errno != EAGAIN) return pid;
    ::usleep(20000);
  }
  return -1;
}

// Whether process `pid` reads `signal` yet: bit signal - 1 of the SigBlk
// (blocked, for its signalfd) or SigCgt (caught) mask in /proc/<pid>/status.
// A process that has just started has neither; a signal then would end it
// at once, without its shutdown.
bool catches(pid_t pid, int signal) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::FILE* status = std::fopen(path, "r");
  if (status == nullptr) return false;
  char line[256];
  bool caught = false;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "SigCgt:", 7) != 0 && std::strncmp(line, "SigBlk:", 7) != 0) continue;
    unsigned long long mask = std::strtoull(line + 7, nullptr, 16);
    caught = caught || ((mask >> (signal - 1)) & 1) != 0;
  }
  std::fclose(status);
  return caught;
}

int stopMonitor() {
  pid_t pid = runningMonitor();
  if (pid < 0) {
    std::fprintf(stderr, "qbmon: cannot tell whether a Monitor runs: %s\n", std::strerror(errno));
    return 1;
  }
  if (pid == 0) {
    std::fprintf(stderr, "qbmon: no Monitor is running\n");
    return 1;
  }
  for (int waited = 0; waited < 250 && !catches(pid, SIGINT); ++waited) ::usleep(20000);
  if (::kill(pid, SIGINT) != 0) {
    std::fprintf(stderr, "qbmon: cannot stop the Monitor (pid %d): %s\n", static_cast<int>(pid),
                 std::strerror(errno));
    return 1;
  }
  // The Monitor holds its lock until its process ends.
  (void)qb_instance_lock_wait_free(kSingleInstanceMutex, -1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (argc == 2) {
    const char* option = argv[1];
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
      std::printf("qbmon %s (Quibbet)\n", kMonitorVersion);
      return 0;
    }
    if (std::strcmp(option, "--stop") == 0) return stopMonitor();
    std::fprintf(stderr, "qbmon: unknown option '%s'\n\n%s", option, kUsage);
    return 2;
  }
  // A state folder or registry.reg that another user can write would let
  // that user choose the program the Monitor starts ("NotesProgram").
  if (const std::string why = qb_state_refusal(); !why.empty()) {
    qb_reportf(LogKind::kError, "The Monitor does not start: %s", why.c_str());
    return EPERM;
  }
  return WinMain();
}
