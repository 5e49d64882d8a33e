#include "platform/debug_output.h"

#include <deque>
#include <mutex>

#include "platform/report.h"

namespace {

struct Sink {
  std::mutex lock;
  std::deque<std::string> lines;
};

Sink& sink() {
  static Sink* s = new Sink;
  return *s;
}

}  // namespace

void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  qb_trace(text);  // standard error under QB_TRACE, and the log sink
  Sink& s = sink();
  std::lock_guard<std::mutex> g(s.lock);
  s.lines.emplace_back(text);
  if (s.lines.size() > kDebugLogKeep) s.lines.pop_front();
}

std::vector<std::string> qb_debug_log() {
  Sink& s = sink();
  std::lock_guard<std::mutex> g(s.lock);
  return std::vector<std::string>(s.lines.begin(), s.lines.end());
}

void qb_debug_log_clear() {
  Sink& s = sink();
  std::lock_guard<std::mutex> g(s.lock);
  s.lines.clear();
}
