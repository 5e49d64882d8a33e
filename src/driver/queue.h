// The queue between the driver's reader thread, which finds file events,
// and the Monitor's event thread, which handles them one at a time.
//
// The consumer takes one event at a time. Taking the next event is the
// acknowledgement of the one before: from then on it counts as handled.
// An event is "out" from its take until the next take (or eq_done).
//
// Invariants:
//   (1) at most one event is out;
//   (2) the queue holds at most kEventQueueMax events; past that, events
//       are lost, with one warning (drv_warn) until it has room again;
//   (3) after eq_stop the consumer's next take gives one OP_STOP event and
//       nothing follows it: queued events are dropped and new ones refused
//       until eq_open.
//
// Threads: the reader thread pushes; the event thread takes; the main
// thread stops and drains. One mutex and one condition variable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "event/file_event.h"

constexpr size_t kEventQueueMax = 65536;

// Empties the queue and forgets a stop: events are taken from now on.
void eq_open();
// Drops every event and refuses new ones until eq_open; a consumer waiting
// in eq_take gets OP_STOP.
void eq_close();

// The reader's side: queues `event` (moved from). Refused while the queue
// is closed or stopped; lost, with the warning of invariant (2), when full.
void eq_push(FileEvent* event);

// The consumer's side. Waits for the next event, at most `timeout_ms`
// (-1: no limit), and moves it into *out: true. The event taken before
// counts as handled from the call on, whether one comes or not.
bool eq_take(FileEvent* out, int timeout_ms = -1);
// The consumer will take nothing more: the event out counts as handled.
void eq_done();

// How many events are queued behind the one out.
size_t eq_waiting();

// Since eq_open: events queued, and events handled (acknowledged by the
// next take or eq_done; OP_STOP counts too).
void eq_counts(uint64_t* queued, uint64_t* handled);

// OP_STOP is the consumer's next event (invariant 3).
void eq_stop();

// Waits until every queued event has been taken and handled, or `bound_ms`
// has passed, or nobody takes events (no consumer has begun, or it is
// done, or the queue is stopped or closed). Gives how many are still
// queued or out.
size_t eq_drain(int bound_ms);
