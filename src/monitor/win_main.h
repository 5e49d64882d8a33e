// WinMain: the Monitor's entry point, on the main thread.
//
// Start:
//   1. the signals the Monitor answers (SIGINT, SIGTERM, SIGHUP, and
//      SIGCHLD for the notes program it launches) are blocked and read
//      through a signalfd, before anything else: a signal that comes while
//      the Monitor starts waits for the loop instead of ending it unready;
//   2. single instance: the lock kSingleInstanceMutex (platform/
//      instance_lock.h) held by another process means another Monitor
//      runs: one report naming its process, and return
//      kAlreadyRunningExit at once, nothing else touched. Otherwise the
//      lock is this process's until it ends;
//   3. MonitorWndProc (kCreate): the event thread starts; a failure ends
//      the Monitor with its code;
//   4. the loop: poll on the signalfd and the event thread's notices.
//      SIGINT (Ctrl+C, `qbmon --stop`) is kStop; SIGTERM (system shutdown)
//      and SIGHUP (the session ends) are kEndSession, then kStop; the
//      event thread's notices are kStartFailed and kEventThreadEnded;
//      SIGCHLD reaps the notes program. The loop ends when MonitorWndProc
//      gives an exit code.
//
// Shutdown, in this order:
//   1. drainAndCloseDatabase (a second close, after kEndSession, does
//      nothing);
//   2. drv_stop when the event thread has opened the driver (the event
//      thread then takes OP_STOP next); an event thread that has not yet
//      opened it ends instead of opening it;
//   3. the wait for the event thread to end, without a time limit;
//   4. the signal mask put back, the signalfd closed.
//
// Exit code: MonitorWndProc's (0 for a stop asked for, a failure's code
// when the start failed).
//
// Threads: the main thread: the event thread and the driver's reader are
// the Monitor's only others. Once per process in production; tests run it
// again after it returned.
#pragma once

extern const char kSingleInstanceMutex[];  // "FFED00C0-F3EF-11d0-A228-444553540000"
extern const char kMonitorVersion[];       // the one version number of qbmon and qbnote

// Another Monitor holds the single-instance lock.
constexpr int kAlreadyRunningExit = 183;

int WinMain();
