// The Monitor's entry point (see win_main.h).
#include "monitor/win_main.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "driver_link/event_thread.h"
#include "monitor/monitor_wnd_proc.h"
#include "platform/instance_lock.h"
#include "platform/report.h"

const char kSingleInstanceMutex[] = "FFED00C0-F3EF-11d0-A228-444553540000";
const char kMonitorVersion[] = QB_VERSION;

namespace {

// Says that this Monitor stops because another one runs, and how to replace
// it.
void anotherMonitorRuns() {
  char text[200];
  std::snprintf(text, sizeof text,
                "Another Monitor is already running (process %d): this one stops. Run `qbmon --stop` first "
                "to replace it.",
                static_cast<int>(qb_instance_lock_owner(kSingleInstanceMutex)));
  qb_report(LogKind::kError, text);
}

void reapNotesProgram() {
  if (notesProgram <= 0) return;
  int status = 0;
  if (::waitpid(notesProgram, &status, WNOHANG) == notesProgram) notesProgram = 0;
}

// One signal read from the signalfd, as the messages it stands for.
int onSignal(int signal) {
  switch (signal) {
    case SIGINT:
      return MonitorWndProc(MonitorMessage::kStop, 0);
    case SIGTERM:
    case SIGHUP: {
      const int r = MonitorWndProc(MonitorMessage::kEndSession, 0);
      return r != kKeepRunning ? r : MonitorWndProc(MonitorMessage::kStop, 0);
    }
    case SIGCHLD:
      reapNotesProgram();
      return kKeepRunning;
    default:
      return kKeepRunning;
  }
}

// Step 4: waits until MonitorWndProc gives an exit code.
int loop(int signals) {
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {eventThreadNoticeFd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      char text[160];
      std::snprintf(text, sizeof text, "The Monitor stops: poll failed: %s.", std::strerror(e));
      qb_report(LogKind::kError, text);
      return e;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int r = onSignal(static_cast<int>(info.ssi_signo));
        if (r != kKeepRunning) return r;
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      EventNotice notice;
      int code = 0;
      while (readEventThreadNotice(&notice, &code)) {
        const int r = MonitorWndProc(
            notice == EventNotice::kStartFailed ? MonitorMessage::kStartFailed : MonitorMessage::kEventThreadEnded,
            code);
        if (r != kKeepRunning) return r;
      }
    }
  }
}

}  // namespace

int WinMain() {
  resetEventThreadShutdown();

  // Step 1.
  sigset_t handled, old;
  sigemptyset(&handled);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, s);
  pthread_sigmask(SIG_BLOCK, &handled, &old);
  const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  auto restoreSignals = [&] {
    if (signals >= 0) ::close(signals);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  };
  if (signals < 0) {
    const int e = errno;
    char text[160];
    std::snprintf(text, sizeof text, "The Monitor cannot read signals: signalfd failed: %s.", std::strerror(e));
    qb_report(LogKind::kError, text);
    restoreSignals();
    return e;
  }

  // Step 2.
  const int taken = qb_instance_lock_take(kSingleInstanceMutex);
  if (taken != 1) {
    const int e = errno;
    if (taken == 0) {
      anotherMonitorRuns();
    } else {
      char text[200];
      std::snprintf(text, sizeof text,
                    "The Monitor cannot take its single-instance lock in the state folder: %s. Make the state "
                    "folder writable, or set QB_HOME to a folder that is.",
                    std::strerror(e));
      qb_report(LogKind::kError, text);
    }
    restoreSignals();
    return taken == 0 ? kAlreadyRunningExit : e;
  }

  // Steps 3 and 4.
  int exitCode = MonitorWndProc(MonitorMessage::kCreate, 0);
  if (exitCode == kKeepRunning) exitCode = loop(signals);

  // Shutdown step 1: the events queued by now are handled, then the table
  // closes; events arriving later find it closed.
  drainAndCloseDatabase();
  // Step 2.
  if (beginEventThreadShutdown()) drv_stop();
  // Step 3.
  joinEventThread();
  // Step 4.
  reapNotesProgram();
  restoreSignals();
  return exitCode;
}
