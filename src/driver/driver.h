// The file-event driver: inotify watches on every folder below the watch
// roots, the copy-report socket, and the reader thread that turns what they
// report into file events on the queue (driver/queue.h).
//
//   drv_open   reads the watch roots (registry string "WatchRoots" under
//              HKEY_LOCAL_MACHINE "SOFTWARE\Kestrin Software\Quibbet\Configuration",
//              folders separated by ':'; the home folder when it is missing
//              or empty), opens the queue, watches every folder below the
//              roots except the state folder, folders ignored by name
//              ("IgnoreNames") and other file systems ("CrossMounts"; see
//              platform/watch_config.h), listens for copy reports and status
//              requests and starts the reader thread. A root not there is
//              waited for. Fails when inotify cannot be started or no root
//              can be watched or waited for, and with EBUSY while the
//              driver is open already: one driver, one Monitor.
//   drv_stop   the consumer's next event is OP_STOP; nothing follows it.
//   drv_close  stops the reader thread and closes the queue: the watches,
//              the socket and every event not yet taken go.
//
// The pieces: inotify_watch (the watches), event_mapper (kernel events to
// operation codes), report_socket (copies reported by programs), reader (the
// thread), queue (between the reader and the consumer).
//
// Threads: the Monitor's event thread opens and closes; its main thread
// stops. One driver per process.
#pragma once

#include <string>

#include "driver/inotify_watch.h"

// 0, or an errno value with *cause saying what failed, in words a person
// can act on ("inotify_init1 failed: Too many open files", "no watch root
// can be watched: /home/a/gone: No such file or directory").
// With `probe`, the first listing of the roots feeds it (inotify_watch.h).
int drv_open(std::string* cause, IdentityProbe* probe = nullptr);
// Lists every watched folder again with `probe` set, on the reader thread,
// and waits for the listing: 0, or an errno value (ENODEV when the driver
// is not open). The event thread's look for notes' files after lost events.
int drv_probe(IdentityProbe* probe);
void drv_stop();
void drv_close();
