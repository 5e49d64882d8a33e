#include "platform/state_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
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

// A relative value would name a different folder from every working
// folder: it counts as unset.
static const char* env_absolute(const char* name) {
  const char* v = env_nonempty(name);
  return v != nullptr && v[0] == '/' ? v : nullptr;
}

static std::string state_root() {
  if (const char* q = env_absolute("QB_HOME")) return q;
  if (const char* x = env_absolute("XDG_STATE_HOME")) return std::string(x) + "/quibbet";
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

static std::string user_name(uid_t uid) {
  struct passwd* pw = ::getpwuid(uid);
  return pw != nullptr && pw->pw_name != nullptr ? pw->pw_name : std::to_string(uid);
}

int qb_check_private(const std::string& path, std::string* why) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;  // a linked state folder: the folder it names
  const bool folder = S_ISDIR(st.st_mode);
  const char* what = folder ? "the state folder" : "the settings file";
  if (st.st_uid != ::geteuid()) {
    const std::string me = user_name(::geteuid());
    *why = std::string(what) + " " + path + " belongs to " + user_name(st.st_uid) + ", not to you (" + me +
           "), who then decides what the Monitor runs; if it is yours, take it back with: sudo chown " + me + " " +
           path + "; else set QB_HOME to a folder of your own";
    return 0;
  }
  if ((st.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = std::string(what) + " " + path + " can be changed by other users (mode " + mode +
           "), who then decide what the Monitor runs; make it yours alone with: chmod " + (folder ? "700 " : "600 ") +
           path;
    return 0;
  }
  return 1;
}

// The state folder's path, trailing slashes dropped; "" when no rule names one.
static std::string state_path() {
  std::string root = state_root();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

// 1 when `path` may be trusted; else -1 with errno EPERM.
static int private_or_refused(const std::string& path) {
  std::string why;
  const int r = qb_check_private(path, &why);
  if (r == 0) errno = EPERM;
  return r == 1 ? 1 : -1;
}

int qb_find_state_dir(std::string* dir) {
  *dir = state_path();
  struct stat st;
  if (dir->empty() || ::stat(dir->c_str(), &st) != 0) {
    if (dir->empty() || errno == ENOENT) {
      errno = ENOENT;
      return 0;
    }
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return private_or_refused(*dir);
}

std::string qb_state_refusal() {
  std::string dir, why;
  if (qb_find_state_dir(&dir) == -1 && errno == EPERM) {
    (void)qb_check_private(dir, &why);
  } else if (!dir.empty() && qb_check_private(dir + "/registry.reg", &why) != 0) {
    why.clear();  // private, or not there yet
  }
  return why;
}

std::string qb_state_dir() {
  std::string root = state_path();
  if (root.empty()) {
    errno = ENOENT;
    return "";
  }
  if (qb_make_dirs(root) != 1 || private_or_refused(root) != 1) return "";
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
