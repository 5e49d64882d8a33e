// The event mapper: turns the kernel's inotify events into the driver's
// operation codes, and keeps the watch tree right as folders come, go and
// are renamed.
//
//   IN_CREATE                         OP_CREATE (new)
//   IN_DELETE                         OP_DELETE (old)
//   IN_MOVED_FROM + IN_MOVED_TO       OP_RENAME (old, new): one cookie, both
//                                     halves inside the roots
//   IN_MOVED_FROM alone               OP_DELETE (old): moved out of the
//                                     roots; no partner within kPairWaitMs
//   IN_MOVED_TO alone                 OP_CREATE (new): moved in from outside
//   IN_Q_OVERFLOW                     a warning, the watches re-scanned,
//                                     then OP_RECONCILE
//
// A new folder (created or moved in) is watched at once and then listed;
// what the listing finds is reported as created, since it may have been
// made before the watch existed (`mkdir -p a/b/c; touch a/b/c/f` outruns
// any watcher). A path so reported is remembered until the kernel queue has
// been read empty, so that its own IN_CREATE, if the kernel queued one
// after the watch was added, is not reported twice. A folder the listing
// finds that is watched already, under another path, was renamed in before
// the new folder was watched (`mkdir new; mv old new/` outruns it too; the
// kernel then reports only the IN_MOVED_FROM): it is reported as OP_RENAME
// (old, new) in the listing's place, and its contents are not listed.
// A file has no watch to tell it by: when a file moved into the new folder
// before its watch (`mkdir new; mv noted.txt new/`), the listing reports it
// as created and the kernel reports only its IN_MOVED_FROM, which then
// finds no partner. Such a move, when exactly one path of the same name was
// reported by a listing since the queue was last read empty and a file is
// still there once the wait runs out, is taken for a move to that path and
// becomes OP_RENAME (old, that path) instead of OP_DELETE. (A file of that
// name copied into a new folder while another of that name leaves the roots
// at the same moment would be taken for it too: its note then goes to the
// copy instead of being set aside.)
//
// Roots and ignored names. A root deleted or moved away, or renamed
// inside another root (which reports the rename), is waited for: when a
// folder of its name appears under its nearest existing ancestor it is
// watched again and what it holds is reported as created, as for a new
// folder. A folder renamed to a name ignored by the configuration loses
// the watches inside it; one renamed from such a name is watched.
//
// Order. Events come out in the order the kernel queued them. A move-out
// is only known when its partner fails to come, so an unpaired
// IN_MOVED_FROM holds back every event behind it until it is paired (it
// becomes OP_RENAME in its place) or its wait runs out (OP_DELETE in its
// place). Held events about paths inside a folder that turned out to have
// been renamed are rewritten to the new name; those inside a folder that
// turned out to have left the roots are dropped, for they happened outside.
//
// Invariants:
//   (1) only the front of `out` may be taken, and only when it is not
//       waiting;
//   (2) waiting slots' deadlines do not decrease from front to back.
//
// Time is passed in (milliseconds of a monotonic clock), so that tests can
// drive the pairing wait without sleeping.
//
// Callers: the reader thread (one thread; no locking).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>

#include "driver/driver_event.h"
#include "driver/inotify_watch.h"

struct inotify_event;

// How long an IN_MOVED_FROM waits for its IN_MOVED_TO.
constexpr int64_t kPairWaitMs = 50;

struct EventMapper {
  struct Slot {
    FileEvent event;
    bool waiting = false;  // an IN_MOVED_FROM whose partner has not come yet
    bool folder = false;   // the moved entry is a folder
    std::string listed;    // a file's move: the listed path of the same name, if one
    uint32_t cookie = 0;
    int64_t deadline = 0;
  };
  WatchTree* tree = nullptr;
  std::deque<Slot> out;
  std::set<std::string> scanned;  // reported by a listing; their IN_CREATE may still be queued
  uint64_t overflows = 0;
};

void em_init(EventMapper* m, WatchTree* tree);

// One event at `now`.
void em_feed(EventMapper* m, const inotify_event* ev, int64_t now);
// Every event of one read() of the inotify descriptor.
void em_feed_buffer(EventMapper* m, const char* buffer, size_t length, int64_t now);
// The inotify queue was read empty: every event queued before the last
// listing has been seen.
void em_queue_drained(EventMapper* m);

// Unpaired moves whose wait ran out by `now` become OP_DELETE.
void em_expire(EventMapper* m, int64_t now);
// The earliest deadline of a waiting move; -1 when none waits.
int64_t em_next_deadline(const EventMapper& m);

// The next event ready to go out, in order; false when none is ready.
bool em_take(EventMapper* m, FileEvent* out);
