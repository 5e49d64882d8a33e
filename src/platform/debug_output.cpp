#include "platform/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

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
  const char* trace = std::getenv("QB_TRACE");
  if (trace != nullptr && trace[0] != '\0') {
    std::fputs(text, stderr);  // one locked write of the stream per call
    std::fflush(stderr);
  }
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
