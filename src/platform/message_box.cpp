#include "platform/message_box.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

namespace {

struct Boxes {
  std::mutex asking;  // held through one whole box: one box at a time
  std::mutex lock;    // guards the script and the log, held briefly
  std::function<int(const char*, const char*, UINT)> script;
  std::vector<QbMessageBoxShown> log;
  bool syslog_open = false;
};

Boxes& boxes() {
  static Boxes* b = new Boxes;
  return *b;
}

struct Choice {
  char letter;
  int answer;
};

// The buttons of `type`, in order; their number.
int buttons_of(UINT type, Choice out[3]) {
  switch (type & 0xF) {
    case MB_OKCANCEL:
      out[0] = {'o', IDOK};
      out[1] = {'c', IDCANCEL};
      return 2;
    case MB_YESNOCANCEL:
      out[0] = {'y', IDYES};
      out[1] = {'n', IDNO};
      out[2] = {'c', IDCANCEL};
      return 3;
    case MB_YESNO:
      out[0] = {'y', IDYES};
      out[1] = {'n', IDNO};
      return 2;
    default:
      out[0] = {'o', IDOK};
      return 1;
  }
}

int default_index(UINT type, int count) {
  int i = static_cast<int>((type >> 8) & 0xF);
  return i < count ? i : 0;
}

int ask_terminal(const Choice* choices, int count, int def) {
  std::string prompt = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) prompt += '/';
    char c = choices[i].letter;
    prompt += i == def ? static_cast<char>(c - 'a' + 'A') : c;
  }
  prompt += "] ";
  for (;;) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    char line[128];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return choices[def].answer;
    char c = line[0];
    if (c == '\n' || c == '\0') return choices[def].answer;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (int i = 0; i < count; ++i)
      if (choices[i].letter == c) return choices[i].answer;
  }
}

void to_syslog(Boxes& b, const std::string& caption, const std::string& text, UINT type) {
  if (!b.syslog_open) {
    ::openlog("qbmon", LOG_PID, LOG_USER);
    b.syslog_open = true;
  }
  std::string flat = text;
  for (char& c : flat)
    if (c == '\n' || c == '\r') c = ' ';
  int level = LOG_NOTICE;
  if ((type & 0xF0) == MB_ICONWARNING) level = LOG_WARNING;
  if ((type & 0xF0) == MB_ICONERROR) level = LOG_ERR;
  ::syslog(level, "%s: %s", caption.c_str(), flat.c_str());
}

}  // namespace

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  std::string t = text != nullptr ? text : "";
  std::string c = caption != nullptr ? caption : "Error";
  Boxes& b = boxes();
  std::lock_guard<std::mutex> one_at_a_time(b.asking);
  std::function<int(const char*, const char*, UINT)> script;
  {
    std::lock_guard<std::mutex> g(b.lock);
    script = b.script;
  }
  std::fprintf(stderr, "%s: %s\n", c.c_str(), t.c_str());
  std::fflush(stderr);
  to_syslog(b, c, t, type);
  Choice choices[3];
  int count = buttons_of(type, choices);
  int def = default_index(type, count);
  int answer;
  if (script)
    answer = script(t.c_str(), c.c_str(), type);
  else if (count == 1)
    answer = choices[0].answer;
  else if (::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1)
    answer = ask_terminal(choices, count, def);
  else
    answer = choices[def].answer;
  std::lock_guard<std::mutex> g(b.lock);
  b.log.push_back(QbMessageBoxShown{t, c, type, answer});
  return answer;
}

void qb_message_box_script(std::function<int(const char*, const char*, UINT)> answer) {
  Boxes& b = boxes();
  std::lock_guard<std::mutex> g(b.lock);
  b.script = std::move(answer);
}

std::vector<QbMessageBoxShown> qb_message_box_log() {
  Boxes& b = boxes();
  std::lock_guard<std::mutex> g(b.lock);
  return b.log;
}

void qb_message_box_log_clear() {
  Boxes& b = boxes();
  std::lock_guard<std::mutex> g(b.lock);
  b.log.clear();
}
