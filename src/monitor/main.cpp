// qbmon: the Monitor. main() only answers the three options a Linux user
// needs and otherwise hands over to WinMain with the program's module as its
// instance.
//
//   qbmon            runs the Monitor (in the foreground; it has no window)
//   qbmon --stop     asks the running Monitor to stop (SIGINT, as the tray's
//                    "stop" would) and waits until it has ended; exit 1 when
//                    none runs
//   qbmon --help     usage;  qbmon --version  the version
//
// Exit status of a run: WinMain's exit code (platform truncation: the low
// eight bits).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "driver/driver.h"
#include "monitor/win_main.h"
#include "platform/signals.h"
#include "platform/threads.h"
#include "resources/progress_dialog.h"

namespace {

const char kVersion[] = "qbmon 0.1 (Quibbet)";

const char kUsage[] =
    "Usage: qbmon [--stop | --help | --version]\n"
    "\n"
    "Runs the Quibbet Monitor, which keeps the notes of files and folders\n"
    "attached to them while they are renamed, moved, copied or deleted.\n"
    "It runs in the foreground until stopped: Ctrl+C, `qbmon --stop`, or\n"
    "SIGTERM (system shutdown). Its state lives in $QB_HOME, else\n"
    "$XDG_STATE_HOME/quibbet, else ~/.local/state/quibbet.\n"
    "\n"
    "  --stop     stop the running Monitor and wait until it has ended\n"
    "  --help     this text\n"
    "  --version  the version\n";

// Tries a few times: a Monitor that has just taken the mutex may not have
// written its pid yet.
pid_t runningMonitor() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    pid_t pid = qb_mutex_owner_pid(kSingleInstanceMutex);
    if (pid >= 0 || errno != EAGAIN) return pid;
    ::usleep(20000);
  }
  return -1;
}

// Whether process `pid` catches `signal` yet: bit signal - 1 of the SigCgt
// mask in /proc/<pid>/status. A Monitor holds its single-instance mutex a
// few milliseconds before its handlers are in place; a signal in between
// would end it at once, without its shutdown.
bool catches(pid_t pid, int signal) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::FILE* status = std::fopen(path, "r");
  if (status == nullptr) return false;
  char line[256];
  bool caught = false;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "SigCgt:", 7) != 0) continue;
    unsigned long long mask = std::strtoull(line + 7, nullptr, 16);
    caught = ((mask >> (signal - 1)) & 1) != 0;
    break;
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
  // The Monitor holds its mutex until its process ends.
  (void)qb_wait_mutex_free(kSingleInstanceMutex, INFINITE);
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
      std::printf("%s\n", kVersion);
      return 0;
    }
    if (std::strcmp(option, "--stop") == 0) return stopMonitor();
    std::fprintf(stderr, "qbmon: unknown option '%s'\n\n%s", option, kUsage);
    return 2;
  }
  // The Linux stand-in for the file-event driver registers itself in the
  // platform's device table, where the event thread's CreateFileA finds it.
  qb_driver_install();
  char commandLine[] = "";
  return WinMain(qb_resources(), nullptr, commandLine, 0);
}
