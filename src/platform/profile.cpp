#include "platform/profile.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/files.h"
#include "platform/state_dir.h"

namespace {

typedef std::vector<std::string> Lines;

// The file as last read by this process.
struct Cache {
  std::string file;
  FileStamp stamp;
  Lines lines;
  bool loaded = false;
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Cache* g_cache = nullptr;  // made on first use, kept for the process

class Guard {
 public:
  Guard() {
    pthread_mutex_lock(&g_mutex);
    if (g_cache == nullptr) g_cache = new Cache;
  }
  ~Guard() { pthread_mutex_unlock(&g_mutex); }
};

enum Kind { kBlank, kComment, kSection, kKey, kBad };

bool same_name(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Classifies one line; fills `name` (section or key) and `value`.
Kind classify(const std::string& line, std::string* name, std::string* value) {
  std::string t = trim(line);
  if (t.empty()) return kBlank;
  if (t[0] == ';') return kComment;
  if (t[0] == '[') {
    size_t close = t.find(']');
    if (close == std::string::npos) return kBad;
    *name = trim(t.substr(1, close - 1));
    return kSection;
  }
  size_t eq = t.find('=');
  if (eq == std::string::npos || eq == 0) return kBad;
  *name = trim(t.substr(0, eq));
  *value = trim(t.substr(eq + 1));
  return kKey;
}

Lines split(const std::string& text, const std::string& file) {
  Lines lines;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  bool in_section = false;
  std::string name, value;
  for (size_t i = 0; i < lines.size(); ++i) {
    Kind k = classify(lines[i], &name, &value);
    if (k == kSection) in_section = true;
    if (k == kBad || (k == kKey && !in_section)) af_report_malformed(file, static_cast<int>(i) + 1, lines[i]);
  }
  return lines;
}

std::string join(const Lines& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// Index of the first line of `key` in `section` (-1 when missing); with
// key null, of the first header of `section`.
long find(const Lines& lines, const char* section, const char* key) {
  bool in = false;
  std::string name, value;
  for (size_t i = 0; i < lines.size(); ++i) {
    Kind k = classify(lines[i], &name, &value);
    if (k == kSection) {
      in = same_name(name, section);
      if (in && key == nullptr) return static_cast<long>(i);
    } else if (k == kKey && in && key != nullptr && same_name(name, key)) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

// End of the block that starts at header `h`: the next header or the end.
size_t block_end(const Lines& lines, size_t h) {
  std::string name, value;
  size_t i = h + 1;
  while (i < lines.size() && classify(lines[i], &name, &value) != kSection) ++i;
  return i;
}

// Applies one change; true when the lines changed.
bool apply(Lines& lines, const char* section, const char* key, const char* value) {
  bool changed = false;
  if (key == nullptr) {
    for (long h; (h = find(lines, section, nullptr)) >= 0; changed = true)
      lines.erase(lines.begin() + h, lines.begin() + static_cast<long>(block_end(lines, static_cast<size_t>(h))));
    return changed;
  }
  if (value == nullptr) {
    for (long at; (at = find(lines, section, key)) >= 0; changed = true) lines.erase(lines.begin() + at);
    return changed;
  }
  std::string line = std::string(key) + "=" + value;
  long at = find(lines, section, key);
  if (at >= 0) {
    std::string name, old;
    classify(lines[static_cast<size_t>(at)], &name, &old);
    if (old == value) return false;
    lines[static_cast<size_t>(at)] = name + "=" + value;  // keeps the key's own spelling
    return true;
  }
  long h = find(lines, section, nullptr);
  if (h >= 0) {
    size_t end = block_end(lines, static_cast<size_t>(h));
    while (end > static_cast<size_t>(h) + 1 && trim(lines[end - 1]).empty()) --end;
    lines.insert(lines.begin() + static_cast<long>(end), line);
    return true;
  }
  if (!lines.empty() && !trim(lines.back()).empty()) lines.push_back("");
  lines.push_back("[" + std::string(section) + "]");
  lines.push_back(line);
  return true;
}

bool writable(const char* s, const char* forbidden) {
  return s == nullptr || std::strpbrk(s, forbidden) == nullptr;
}

}  // namespace

unsigned profile_read_number(const char* section, const char* key, unsigned default_value) {
  if (section == nullptr || key == nullptr) return default_value;
  // Names are compared as the file's lines give them: without blanks around.
  const std::string s = trim(section), k = trim(key);
  Guard g;
  std::string file = qb_state_path("win.ini");
  FileStamp now;
  if (file.empty() || af_stamp(file, &now) < 0) return default_value;
  if (!(g_cache->loaded && g_cache->file == file && same_stamp(now, g_cache->stamp))) {
    std::string text;
    if (af_read(file, &text, &now) < 0) return default_value;
    g_cache->lines = split(text, file);
    g_cache->file = file;
    g_cache->stamp = now;
    g_cache->loaded = true;
  }
  long at = find(g_cache->lines, s.c_str(), k.c_str());
  std::string name, value;
  if (at < 0) return default_value;
  classify(g_cache->lines[static_cast<size_t>(at)], &name, &value);
  if (value.empty()) return default_value;
  size_t i = 0;
  bool negative = value[0] == '-';
  if (value[0] == '-' || value[0] == '+') ++i;
  unsigned n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) n = n * 10 + static_cast<unsigned>(value[i] - '0');
  return negative ? 0 : n;
}

int profile_write(const char* section, const char* key, const char* value) {
  if (section == nullptr || !writable(section, "]\r\n") || !writable(key, "=\r\n") || !writable(value, "\r\n"))
    return EINVAL;
  // Blanks around a name are not part of it (a reader drops them), and a key
  // must read back as a key line: not empty, not a comment, not a header.
  const std::string s = trim(section), k = key != nullptr ? trim(key) : "";
  if (key != nullptr && (k.empty() || k[0] == ';' || k[0] == '[')) return EINVAL;
  Guard g;
  std::string file = qb_state_path("win.ini");
  int lock = file.empty() ? -1 : af_lock(file);
  if (lock < 0) return errno;
  std::string text;
  FileStamp stamp;
  int rc = 0;
  if (af_read(file, &text, &stamp) >= 0) {
    Lines lines = split(text, file);
    if (apply(lines, s.c_str(), key != nullptr ? k.c_str() : nullptr, value) && af_replace(file, join(lines)) != 1)
      rc = errno;
  } else {
    rc = errno;
  }
  af_unlock(lock);
  return rc;
}
