// The lock around the table handles (see table_guard.h).
#include "tracking/table_guard.h"

#include <new>

std::mutex& tracking_table_mutex() {
  // Built in static storage on first use and never destroyed, so that code
  // running at process exit, after static destruction, can still take it.
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* const mutex = new (storage) std::mutex;
  return *mutex;
}
