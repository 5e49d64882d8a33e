// Every trace line and report of this process, as the log sink sees them,
// for tests that check what the Monitor said. Install with
// qb_set_log_sink(log_lines_collect); clear between cases.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/report.h"

struct LogLines {
  std::mutex lock;
  std::vector<std::pair<LogKind, std::string>> lines;
};
inline LogLines g_log_lines;

inline void log_lines_collect(LogKind kind, const char* text) {
  std::lock_guard<std::mutex> g(g_log_lines.lock);
  g_log_lines.lines.emplace_back(kind, text);
}
inline void log_lines_clear() {
  std::lock_guard<std::mutex> g(g_log_lines.lock);
  g_log_lines.lines.clear();
}
// The trace lines (kind kTrace) or the reports (every other kind), oldest
// first.
inline std::vector<std::string> log_lines(bool traces) {
  std::lock_guard<std::mutex> g(g_log_lines.lock);
  std::vector<std::string> out;
  for (const auto& [kind, text] : g_log_lines.lines)
    if ((kind == LogKind::kTrace) == traces) out.push_back(text);
  return out;
}
