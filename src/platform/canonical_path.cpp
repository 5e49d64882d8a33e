// The canonical form of a path (see canonical_path.h).
#include "platform/canonical_path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The path's components with "." and empty ones dropped and ".." applied to
// the one before it; `absolute` must start with '/'.
std::string normalize_text(const std::string& absolute) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= absolute.size()) {
    size_t slash = absolute.find('/', at);
    if (slash == std::string::npos) slash = absolute.size();
    std::string part = absolute.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return "/";
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out;
}

// realpath of `path`, or "" when it cannot be resolved.
std::string resolve(const std::string& path) {
  char* r = ::realpath(path.c_str(), nullptr);
  if (r == nullptr) return "";
  std::string out(r);
  std::free(r);
  return out;
}

std::string current_folder() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return "";
  return buffer;
}

}  // namespace

std::string qb_canonical_path(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    errno = EINVAL;
    return "";
  }
  std::string absolute;
  if (path[0] == '/') {
    absolute = path;
  } else {
    std::string here = current_folder();
    if (here.empty()) return "";
    absolute = here + "/" + path;
  }
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  if (absolute == "/") return absolute;

  const size_t slash = absolute.rfind('/');
  const std::string last = absolute.substr(slash + 1);
  if (last == "." || last == "..") {
    std::string whole = resolve(absolute);
    return whole.empty() ? normalize_text(absolute) : whole;
  }
  const std::string folder = slash == 0 ? "/" : absolute.substr(0, slash);
  std::string resolved = resolve(folder);
  if (resolved.empty()) return normalize_text(absolute);
  if (resolved != "/") resolved += "/";
  return resolved + last;
}

std::string qb_normalized_path(const char* path) {
  if (path == nullptr || path[0] != '/') {
    errno = EINVAL;
    return "";
  }
  return normalize_text(path);
}
