#include "platform/watch_config.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "platform/state_dir.h"

const char kWatchConfigKey[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
const char kDefaultIgnoreNames[] = ".git:.hg:.svn:node_modules:__pycache__:.cache";

namespace {

std::vector<std::string> split(const std::string& value) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= value.size()) {
    size_t colon = value.find(':', at);
    if (colon == std::string::npos) colon = value.size();
    if (colon > at) parts.push_back(value.substr(at, colon - at));
    at = colon + 1;
  }
  return parts;
}

// mountinfo writes a blank, tab, line break and backslash as \ooo.
std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

bool under(const std::string& path, const std::string& dir) {
  if (dir.empty() || path.compare(0, dir.size(), dir) != 0) return false;
  return path.size() == dir.size() || dir == "/" || path[dir.size()] == '/';
}

}  // namespace

WatchConfig qb_read_watch_config() {
  WatchConfig c;
  std::string value;
  if (reg_read_string(RegHive::kLocalMachine, kWatchConfigKey, "WatchRoots", &value) == 0) c.roots = split(value);
  c.home = qb_home_dir();
  char resolved[PATH_MAX];  // the walk's paths are resolved; so must the home folder be, for ".cache"
  if (!c.home.empty() && realpath(c.home.c_str(), resolved) != nullptr) c.home = resolved;
  if (c.roots.empty()) c.roots.push_back(c.home);
  if (reg_read_string(RegHive::kLocalMachine, kWatchConfigKey, "IgnoreNames", &value) != 0)
    value = kDefaultIgnoreNames;
  c.ignore = split(value);
  uint32_t cross = 0;
  c.cross_mounts = reg_read_number(RegHive::kLocalMachine, kWatchConfigKey, "CrossMounts", &cross) == 0 && cross == 1;
  return c;
}

bool qb_ignored_name(const WatchConfig& c, const std::string& parent, const char* name) {
  for (const std::string& n : c.ignore) {
    if (n != name) continue;
    return n != ".cache" || (!c.home.empty() && parent == c.home);
  }
  return false;
}

std::set<std::string> qb_mount_points() {
  std::set<std::string> points;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point ...
    std::istringstream fields(line);
    std::string skip, point;
    if (fields >> skip >> skip >> skip >> skip >> point) points.insert(unescape(point));
  }
  return points;
}

WatchVerdict qb_watch_verdict(const WatchConfig& c, const std::vector<std::string>& roots,
                              const std::set<std::string>& mounts, const std::string& excluded,
                              const std::string& path) {
  if (under(path, excluded)) return WatchVerdict::kStateFolder;
  const std::string* root = nullptr;
  for (const std::string& r : roots)
    if (under(path, r) && (root == nullptr || r.size() > root->size())) root = &r;
  if (root == nullptr) return WatchVerdict::kOutsideRoots;
  // Each folder between the root and the path's own folder; the path itself
  // may be a folder, whose name is reported but whose inside is not watched.
  const size_t end = path.rfind('/');
  size_t at = root->size() == 1 ? 0 : root->size();
  while (at < end) {
    const size_t next = path.find('/', at + 1);
    const std::string parent = at == 0 ? "/" : path.substr(0, at);
    const std::string folder = path.substr(0, next);
    if (qb_ignored_name(c, parent, folder.c_str() + at + 1)) return WatchVerdict::kIgnored;
    if (!c.cross_mounts && mounts.count(folder) != 0) return WatchVerdict::kOtherFileSystem;
    at = next;
  }
  return WatchVerdict::kFollowed;
}
