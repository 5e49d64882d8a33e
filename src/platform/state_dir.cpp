#include "platform/state_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

static const char* env_nonempty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

std::string qb_home_dir() {
  if (const char* h = env_nonempty("HOME")) return h;
  struct passwd* pw = ::getpwuid(::getuid());
  if (pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return "";
}

static std::string state_root() {
  if (const char* q = env_nonempty("QB_HOME")) return q;
  if (const char* x = env_nonempty("XDG_STATE_HOME")) return std::string(x) + "/quibbet";
  std::string home = qb_home_dir();
  if (home.empty()) return "";
  return home + "/.local/state/quibbet";
}

// One level: make `path` if missing. mkdir's mode is cut by the umask, so
// the mode is set again explicitly on a folder we made.
static int make_one(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return ::chmod(path.c_str(), 0700) == 0 ? 1 : -1;
  if (errno != EEXIST) return -1;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 1;
}

int qb_make_dirs(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 1;
    errno = ENOTDIR;
    return -1;
  }
  // Walk from the top, making each missing component in turn.
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    if (path[at - 1] == '/') continue;  // "a//b"
    if (make_one(path.substr(0, at)) != 1) return -1;
  }
  return make_one(path);
}

std::string qb_state_dir() {
  std::string root = state_root();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.empty()) {
    errno = ENOENT;
    return "";
  }
  if (qb_make_dirs(root) != 1) return "";
  return root;
}

std::string qb_state_path(const char* name) {
  std::string dir = qb_state_dir();
  if (dir.empty()) return "";
  return dir + "/" + name;
}

std::string qb_system_dir() {
  std::string dir = qb_state_path("system");
  if (dir.empty() || qb_make_dirs(dir) != 1) return "";
  return dir;
}
