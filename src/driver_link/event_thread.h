// The event thread: the Monitor's second thread, which brings the notes
// database up, opens the driver and then handles the driver's events one
// at a time, until OP_STOP.
//
// Started once by MonitorWndProc's start-up (startEventThread). EventThread's
// steps, in order:
//   1. the state folder and its system folder must take a new file: else a
//      report naming the folder and the system's reason, and the start
//      fails with errno e;
//   2. open the Status key (created when missing) and 3. read "status"; a
//      registry failure: a report, and the start fails with its code; a
//      missing "status" counts as 0: written so, one warning, and the
//      start goes on;
//   4. "status" 1 (the last run did not close the table): rebuildNotesTable,
//      and when that does not give 1, restoreFromBackup; no backup: the
//      corruption report, and the start fails with 3;
//   5. openDatabase, giving r; kNotesIndexUnusable (the index file missing,
//      damaged, or not trusted after the system went down): a warning
//      naming both files, rebuildNotesTable, and openDatabase again when
//      that gave 1; when r is still not 1: restoreFromBackup and
//      openDatabase once more; no backup, or the last open failing: the
//      corruption report, and the start fails with 3;
//   6. open the driver (drv_open), unless the shutdown has begun; failing:
//      a report saying what failed and how to fix it, and the start fails
//      with its errno;
//   7. the events: each taken from the driver's queue (eq_take; taking the
//      next is the acknowledgement of the one before) and handled by
//      DoResponse, until OP_STOP;
//   8. close the driver and end with r (1).
// A start that fails tells the main thread (EventNotice::kStartFailed with
// the code), which ends the Monitor with that exit code; every end of the
// thread tells it too (kEnded).
//
// Threads: the table work of steps 4 and 5 runs under tracking_table_mutex(),
// so that a closeDatabase on the main thread (a session ending while the
// Monitor starts) never meets it.
#pragma once

#include <cstddef>
#include <cstdint>

// The reports of the event thread's start.
extern const char kCorruptMessage[];         // the table cannot be recovered or opened
extern const char kStatusMissingMessage[];  // "status" missing, taken as 0

// The thread's work (see above); its result is also the kEnded notice's code.
int EventThread();

// What the event thread tells the main thread, through a pipe the main
// thread polls.
enum class EventNotice : int32_t { kStartFailed = 1, kEnded = 2 };

// Makes the notice pipe and starts EventThread on a thread of its own, with
// every signal blocked. 0, or an errno value.
int startEventThread();
// The pipe's read end (non-blocking, close-on-exec); -1 before the start.
int eventThreadNoticeFd();
// Reads one notice; false when none is waiting.
bool readEventThreadNotice(EventNotice* notice, int* code);
// Waits for the thread to end (nothing when it was never started), then
// closes the pipe.
void joinEventThread();

// The shutdown's look at the driver: marks the shutdown as begun and says
// whether the driver is open. An event thread that has not opened the
// driver yet then ends instead of opening it, so a stop that comes while
// the thread still starts never waits for ever.
bool beginEventThreadShutdown();
// Forgets a shutdown begun earlier in this process (WinMain at its start).
void resetEventThreadShutdown();

// The first step of every stop, before the notes table closes: events the
// driver has queued (renames in the last moments of a session) are handled
// first, waiting until its queue is empty or `boundMs` has passed. Events
// still queued then are lost, and said so: the trace line "STOP: <n> queued
// events not handled" and a warning in the log. Returns that number (0 when
// the driver is not open). Never call it under tracking_table_mutex(): the
// event thread takes it for every event.
size_t drainQueuedEvents(int boundMs);
constexpr int kStopDrainMs = 5000;
