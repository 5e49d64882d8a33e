// Delivery: the device's open, control and close, and the queue between the
// reader thread and the Monitor's event thread.
//
// Control calls (codes and record layout in tracking/event_record.h):
//   IOCTL_REGISTER_HANDLER  input: the handler's address, sizeof(void*)
//                           bytes. The calling thread becomes the thread
//                           events are queued to; delivery starts.
//   IOCTL_REGISTER_EVENT    input: 4 bytes, an event token (qb_event_token).
//                           Kept, and released at close; events are not
//                           signalled through it.
//   IOCTL_REGISTER_WINDOW   input: the window handle, 4 or 8 bytes. Kept;
//                           events are never posted to it.
//   IOCTL_ACKNOWLEDGE       input: the address of the record handed over, 4
//                           bytes (its low half) or 8. The next record may go.
//                           Output (when 4 bytes or more are given): how
//                           many events are queued or out after it, 4 bytes;
//                           the handler groups its work while this is not 0.
//   IOCTL_STOP              no input. An OP_STOP record goes next, once the
//                           record out (if any) is acknowledged; events not
//                           yet delivered are dropped, and none follows the
//                           OP_STOP until a handler registers again.
//   IOCTL_DRAIN             input: 4 bytes, a bound in milliseconds; output:
//                           4 bytes. Waits until every queued event has been
//                           handed over and acknowledged, or the bound has
//                           passed, or nobody takes events any more; writes
//                           how many are still queued or out.
// Other codes fail with ERROR_INVALID_FUNCTION; an input of the wrong size,
// or an acknowledgement of a record not out, with ERROR_INVALID_PARAMETER.
// Only IOCTL_ACKNOWLEDGE and IOCTL_DRAIN write an output buffer.
//
// Invariants:
//   (1) at most one record is out: `in_flight` is set when the handler is
//       queued and cleared only by its acknowledgement (or close);
//   (2) while a record is out its bytes do not change: the queue never
//       writes the record, only the hand-over does, and only when (1)
//       allows;
//   (3) no path longer than kEventPathSize - 1 bytes enters the queue; such
//       an event is reported with drv_warn, once, and not delivered.
//
// The queue holds at most kDeliveryQueueMax events; past that, events are
// lost, with one warning until it has room again.
//
// Threads: the reader thread adds events; control calls come from the
// Monitor's threads. One mutex guards the device; QueueUserAPC is called
// under it (the platform runs queued calls with its own lock released, so
// the handler's acknowledgement cannot deadlock against it).
#pragma once

#include <cstddef>

#include "driver/driver_event.h"

constexpr size_t kDeliveryQueueMax = 65536;

// The reader thread's sink: queues `event` for delivery.
void dv_enqueue(DriverEvent* event);
