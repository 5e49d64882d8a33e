// Collects what the log sink (platform/report.h) is given while an instance
// lives: every trace line and every report, with its kind, in order. One
// instance at a time in a process; the sink it replaced comes back when it
// goes. Lines may arrive from any thread; reading them is safe meanwhile.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/report.h"

class LogCapture {
 public:
  using Line = std::pair<LogKind, std::string>;

  LogCapture() {
    {
      std::lock_guard<std::mutex> g(lock());
      current() = this;
    }
    previous_ = qb_set_log_sink(&LogCapture::take);
  }
  ~LogCapture() {
    (void)qb_set_log_sink(previous_);
    std::lock_guard<std::mutex> g(lock());
    current() = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> g(lock());
    return lines_;
  }
  // The texts of one kind, in order.
  std::vector<std::string> texts(LogKind kind) const {
    std::vector<std::string> out;
    for (const Line& l : lines())
      if (l.first == kind) out.push_back(l.second);
    return out;
  }
  // How many lines of any kind contain `part`.
  int count(const std::string& part) const {
    int n = 0;
    for (const Line& l : lines()) n += l.second.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
  void clear() {
    std::lock_guard<std::mutex> g(lock());
    lines_.clear();
  }

 private:
  static std::mutex& lock() {
    static std::mutex m;
    return m;
  }
  static LogCapture*& current() {
    static LogCapture* c = nullptr;
    return c;
  }
  static void take(LogKind kind, const char* text) {
    std::lock_guard<std::mutex> g(lock());
    if (current() != nullptr) current()->lines_.emplace_back(kind, text);
  }

  LogSink previous_ = nullptr;
  std::vector<Line> lines_;
};
