// MonitorWndProc: what the Monitor's main thread does with each of the few
// things that can happen to it, and the state it keeps: the notes program it
// launches.
//
// Messages (WinMain turns signals and the event thread's notices into them):
//   kCreate            start-up work, see below
//   kEndSession        SIGTERM (system shutdown, kill) or SIGHUP (the
//                      session ends): drainAndCloseDatabase; a kStop follows
//   kStop              the loop ends with exit code 0
//   kStartFailed       the event thread's start failed with `code` (it said
//                      why in the log): the loop ends with that code
//   kEventThreadEnded  the event thread ended with `code` while the Monitor
//                      ran: the loop ends with that code (0 taken as 1), as
//                      a Monitor without its event thread follows nothing
// The result is kKeepRunning, or the exit code that ends the loop.
//
// kCreate, in order:
//   1. starts EventThread (startEventThread); failing: a report, and the
//      loop ends with its errno before anything else is done;
//   2. HKEY_LOCAL_MACHINE "...\Quibbet\Configuration": "Integrate" (number,
//      preset 1); 0 turns the launch off;
//   3. the launch: the notes program's command line is the Configuration
//      string "NotesProgram" (nothing is started by default). Empty,
//      missing, not a string or longer than kNotesProgramMax: nothing is
//      started. The line is split on blanks (quotes have no meaning) and
//      the program started without a shell, looked up on PATH, with an
//      empty signal mask; WinMain reaps it when it ends. A program that
//      cannot be started is reported and the Monitor goes on.
//
// Threads: the main thread only.
#pragma once

#include <sys/types.h>

enum class MonitorMessage { kCreate, kEndSession, kStop, kStartFailed, kEventThreadEnded };
constexpr int kKeepRunning = -1;

int MonitorWndProc(MonitorMessage message, int code);

// Every stop's close of the notes database: while it is open, the events
// already queued are handled first (drainQueuedEvents, bounded), then
// closeDatabase runs under tracking_table_mutex(). Main thread.
void drainAndCloseDatabase();

// The notes program started by kCreate; 0 when none runs.
extern pid_t notesProgram;

// HKEY_LOCAL_MACHINE key of "Integrate" and "NotesProgram".
extern const char kConfigurationKeyPath[];  // "SOFTWARE\Kestrin Software\Quibbet\Configuration"
extern const char kNotesProgramValue[];     // "NotesProgram"
constexpr int kNotesProgramMax = 1023;      // characters of the command line
