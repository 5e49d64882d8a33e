#include "driver/queue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "driver/driver_event.h"

namespace {

struct Queue {
  std::mutex lock;
  std::condition_variable changed;  // an event came, one was handled, or the state changed
  std::deque<FileEvent> events;
  bool open = false;
  bool stop_pending = false;
  bool stopped = false;    // OP_STOP went out; nothing follows it
  bool consuming = false;  // a consumer has taken and is not done
  bool out = false;        // invariant (1)
  bool full_warned = false;
  uint64_t queued = 0;   // events accepted since eq_open
  uint64_t handled = 0;  // takes that acknowledged an event out
};

// Never destroyed: the reader may push while the process ends.
Queue& queue() {
  static Queue* q = new Queue;
  return *q;
}

// Lock held: whether the consumer's next event is OP_STOP (invariant 3; a
// closed queue stops its consumer too).
bool stop_next(const Queue& q) { return !q.stopped && (q.stop_pending || (!q.open && q.consuming)); }

// Lock held: moves the next event into *out, when there is one.
bool take_locked(Queue& q, FileEvent* out) {
  if (stop_next(q)) {
    *out = FileEvent{};
    out->operation = OP_STOP;
    q.stop_pending = false;
    q.stopped = true;
    q.events.clear();
  } else if (q.stopped || q.events.empty()) {
    return false;
  } else {
    *out = std::move(q.events.front());
    q.events.pop_front();
    if (q.events.empty()) q.full_warned = false;
  }
  q.out = true;
  return true;
}

}  // namespace

void eq_open() {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  q.events.clear();
  q.open = true;
  q.stop_pending = q.stopped = q.consuming = q.out = q.full_warned = false;
  q.queued = q.handled = 0;
}

void eq_close() {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  q.open = false;
  q.events.clear();
  q.changed.notify_all();
}

void eq_push(FileEvent* event) {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  if (!q.open || q.stopped || q.stop_pending) return;
  if (q.events.size() >= kEventQueueMax) {
    if (!q.full_warned) {
      q.full_warned = true;
      drv_warn("the Monitor is %zu events behind: file events are being lost, so some notes may no longer follow "
               "their files; `qbnote ls --missing` lists notes whose files are gone",
               q.events.size());
    }
    return;
  }
  q.events.push_back(std::move(*event));
  ++q.queued;
  q.changed.notify_all();
}

bool eq_take(FileEvent* out, int timeout_ms) {
  Queue& q = queue();
  std::unique_lock<std::mutex> g(q.lock);
  if (q.out) ++q.handled;
  q.out = false;
  q.consuming = true;
  q.changed.notify_all();  // a drain may be waiting for this acknowledgement
  auto ready = [&] { return take_locked(q, out); };
  if (timeout_ms < 0) {
    q.changed.wait(g, ready);
    return true;
  }
  return q.changed.wait_for(g, std::chrono::milliseconds(timeout_ms), ready);
}

void eq_done() {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  if (q.out) ++q.handled;
  q.out = false;
  q.consuming = false;
  q.changed.notify_all();
}

size_t eq_waiting() {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  return q.events.size();
}

void eq_stop() {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  q.stop_pending = true;
  q.events.clear();
  q.changed.notify_all();
}

size_t eq_drain(int bound_ms) {
  Queue& q = queue();
  std::unique_lock<std::mutex> g(q.lock);
  (void)q.changed.wait_for(g, std::chrono::milliseconds(bound_ms), [&q] {
    return (!q.out && q.events.empty()) || !q.consuming || q.stopped || q.stop_pending || !q.open;
  });
  return q.events.size() + (q.out ? 1u : 0u);
}

void eq_counts(uint64_t* queued, uint64_t* handled) {
  Queue& q = queue();
  std::lock_guard<std::mutex> g(q.lock);
  *queued = q.queued;
  *handled = q.handled;
}
