#include "platform/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <syslog.h>
#include <ctime>

namespace {

// The sink and the one-time opening of the system log share a lock: the
// sink sees one line at a time, in the order the lines were made.
std::mutex& log_lock() {
  static std::mutex* m = new std::mutex;  // never destroyed: threads may log at exit
  return *m;
}
LogSink g_sink = nullptr;
bool g_syslog_open = false;
struct Last {
  LogKind kind = LogKind::kNotice;
  std::string text;
  int64_t when = 0;
} g_last;  // guarded by log_lock()

int level_of(LogKind kind) {
  switch (kind) {
    case LogKind::kError: return LOG_ERR;
    case LogKind::kWarning: return LOG_WARNING;
    default: return LOG_NOTICE;
  }
}

}  // namespace

void qb_trace(const char* text) {
  if (text == nullptr) return;
  const char* on = std::getenv("QB_TRACE");
  if (on != nullptr && on[0] != '\0') {
    std::fputs(text, stderr);  // one locked write of the stream per line
    std::fflush(stderr);
  }
  std::lock_guard<std::mutex> g(log_lock());
  if (g_sink != nullptr) g_sink(LogKind::kTrace, text);
}

void qb_report(LogKind kind, const char* text) {
  if (text == nullptr) return;
  std::fprintf(stderr, "qbmon: %s\n", text);
  std::fflush(stderr);
  // The system log takes one line: a report's line breaks become blanks.
  std::string flat = text;
  for (char& c : flat)
    if (c == '\n' || c == '\r') c = ' ';
  std::lock_guard<std::mutex> g(log_lock());
  if (!g_syslog_open) {
    ::openlog("qbmon", LOG_PID, LOG_USER);
    g_syslog_open = true;
  }
  ::syslog(level_of(kind), "%s", flat.c_str());
  if (kind == LogKind::kWarning || kind == LogKind::kError)
    g_last = {kind, flat, static_cast<int64_t>(std::time(nullptr))};
  if (g_sink != nullptr) g_sink(kind, text);
}

void qb_reportf(LogKind kind, const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  qb_report(kind, text.c_str());
}

LogSink qb_set_log_sink(LogSink sink) {
  std::lock_guard<std::mutex> g(log_lock());
  LogSink old = g_sink;
  g_sink = sink;
  return old;
}

bool qb_last_report(LogKind* kind, std::string* text, int64_t* when) {
  std::lock_guard<std::mutex> g(log_lock());
  if (g_last.text.empty()) return false;
  *kind = g_last.kind;
  *text = g_last.text;
  *when = g_last.when;
  return true;
}
