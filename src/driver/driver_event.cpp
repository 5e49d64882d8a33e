#include "driver/driver_event.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/report.h"

void drv_warn(const char* format, ...) {
  char text[1024];
  int n = std::snprintf(text, sizeof text, "driver: ");
  va_list args;
  va_start(args, format);
  std::vsnprintf(text + n, sizeof text - static_cast<size_t>(n), format, args);
  va_end(args);
  // The Monitor runs as a service whose standard error may go nowhere: what
  // the driver warns of (a root it cannot watch, lost events, the watch
  // limit) must reach the log the user reads too.
  qb_report(LogKind::kWarning, text);
}

bool drv_tracing() {
  static const bool on = [] {
    const char* v = std::getenv("QB_DRIVER_TRACE");
    return v != nullptr && v[0] != '\0';
  }();
  return on;
}

void drv_trace(const char* format, ...) {
  if (!drv_tracing()) return;
  std::fputs("driver trace: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

int64_t drv_now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
