// The reader thread: the driver's one thread of its own. It polls the
// inotify descriptor, the copy-report socket and a wake-up pipe, feeds the
// kernel's events through the event mapper, and hands each finished event,
// in order, to the sink (the delivery queue).
//
// Start-up (rd_start) opens the inotify instance and watches the roots
// before the thread starts, so that the caller learns at once whether the
// driver can work: it fails when inotify cannot be started or no root can
// be watched or waited for. A root that does not exist (yet) is reported
// with drv_warn and waited for (inotify_watch.h); one that cannot be
// watched for another reason is reported the same way and left out.
//
// The thread also answers status requests on the socket (report_client.h)
// from its own counts, the queue's and the last report; nothing else reads
// them. A socket that cannot be made only costs the
// copy reports, and is reported the same way.
//
// The thread runs with every signal blocked: the program's signal handling
// belongs to its own threads.
//
// Callers: the device (delivery.cpp), under no lock of its own for rd_stop,
// since the sink takes the device's lock. rd_stop must not be called from
// the sink.
#pragma once

#include <string>
#include <vector>

#include "driver/driver_event.h"
#include "driver/inotify_watch.h"

struct ReaderConfig {
  std::vector<std::string> roots;
  WatchConfig watch;        // ignore names, cross_mounts, home (its roots unused)
  std::string excluded;     // the state folder: never watched
  std::string socket_path;  // where copies are reported; "" for none
  IdentityProbe* probe = nullptr;  // fed by the first listing of the roots
  // Called on the reader thread with each event, in order; may move from it.
  void (*sink)(FileEvent* event) = nullptr;
};

struct Reader;

// Watches the roots and starts the thread. Null with *error (an errno
// value) and *cause (what failed, in words) when inotify cannot be started,
// no root can be watched, or the thread cannot be made.
Reader* rd_start(const ReaderConfig& config, int* error, std::string* cause);
// Lists every watched folder again on the reader thread with `probe` set
// (watches are re-scanned as after lost events), and waits for it: 0, or
// ESHUTDOWN when the thread has ended. Not from the sink.
int rd_probe(Reader* r, IdentityProbe* probe);
// Stops the thread, waits for it, and closes the inotify instance and the
// socket; frees `r`.
void rd_stop(Reader* r);
