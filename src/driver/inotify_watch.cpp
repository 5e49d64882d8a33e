#include "driver/inotify_watch.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <unordered_set>

#include "driver/driver_event.h"

const unsigned kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                            IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

namespace {

// `path` is `dir` or lies below it.
bool under(const std::string& path, const std::string& dir) {
  if (dir.empty() || path.compare(0, dir.size(), dir) != 0) return false;
  return path.size() == dir.size() || dir == "/" || path[dir.size()] == '/';
}

std::string join(const std::string& dir, const char* name) {
  return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

// Records `wd` as watching `path`, keeping invariant (1). A different watch
// still filed under `path` belonged to a folder that is gone from there
// unnoticed; it is removed so that it cannot report under a wrong path.
void set_watch(WatchTree* t, int wd, const std::string& path) {
  auto old = t->paths.find(wd);
  if (old != t->paths.end()) {
    if (old->second == path) return;
    t->by_path.erase(old->second);
  }
  auto other = t->by_path.find(path);
  if (other != t->by_path.end() && other->second != wd) {
    inotify_rm_watch(t->fd, other->second);
    t->paths.erase(other->second);
  }
  t->paths[wd] = path;
  t->by_path[path] = wd;
}

bool is_folder(int dir_fd, const dirent* e) {
  if (e->d_type == DT_DIR) return true;
  if (e->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

int add(WatchTree* t, const std::string& dir) {
  return t->add_watch != nullptr ? t->add_watch(t->fd, dir.c_str(), kWatchMask)
                                 : inotify_add_watch(t->fd, dir.c_str(), kWatchMask);
}

// The root `path` lies under (the longest); `path` itself when none.
std::string root_of(const WatchTree& t, const std::string& path) {
  const std::string* best = nullptr;
  for (const std::string& r : t.roots)
    if (under(path, r) && (best == nullptr || r.size() > best->size())) best = &r;
  return best != nullptr ? *best : path;
}

// Watches `top` and the folders below it, listing each folder only after
// its watch exists, so that whatever appears in it later is reported by
// the kernel and whatever was there before is in the listing. Folders that
// vanish meanwhile are skipped quietly. Folders ignored by name and mount
// points not crossed are listed as entries of their parent but not entered.
// At the watch limit a folder is still listed, unwatched, so that the
// folders left unwatched can be counted.
//
// The kernel gives a folder that is watched already its existing watch
// back. A folder below `top` whose watch is filed under another path was
// moved here before `top` was watched, so that the kernel reported only
// the half of the rename that left: its watches are re-filed under the new
// path, its old path goes into `moved`, and its contents, which came along
// with it, are not listed as found.
int walk(WatchTree* t, const std::string& top, std::vector<std::string>* found, std::unordered_set<int>* seen,
         std::map<std::string, std::string>* moved) {
  struct Pending {
    std::string dir;
    bool list;  // its entries go into `found`
  };
  std::vector<Pending> pending{{top, true}};
  int top_error = 0;
  while (!pending.empty()) {
    std::string dir = std::move(pending.back().dir);
    bool list = pending.back().list;
    pending.pop_back();
    assert(!iw_excluded(*t, dir));  // invariant (2)
    int wd = add(t, dir);
    if (wd < 0) {
      int e = errno;
      if (dir == top) top_error = e;
      if (e != ENOSPC) {
        if (dir == top) break;
        continue;
      }
      ++t->unwatched;
      t->limit_roots.insert(root_of(*t, top));
    } else {
      const std::string* was = iw_path(*t, wd);
      if (was != nullptr && *was != dir && dir != top) {
        const std::string from = *was;
        iw_move_tree(t, from, dir);
        if (moved != nullptr) (*moved)[dir] = from;
        list = false;
      } else {
        set_watch(t, wd, dir);
      }
      if (seen != nullptr) seen->insert(wd);
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
      if (fd >= 0) close(fd);
      continue;
    }
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) continue;
      std::string path = join(dir, e->d_name);
      if (iw_excluded(*t, path)) continue;
      if (t->probe != nullptr && t->probe->inodes.count(e->d_ino) != 0) t->probe->found.emplace_back(path, e->d_ino);
      if (found != nullptr && list) found->push_back(path);
      if (!t->config.cross_mounts && t->mounts.count(path) != 0) {  // before any stat: it may hang
        ++t->mounts_skipped;
        continue;
      }
      if (!is_folder(dirfd(d), e)) continue;
      if (qb_ignored_name(t->config, dir, e->d_name)) {
        ++t->ignored;
        continue;
      }
      pending.push_back({std::move(path), list});
    }
    closedir(d);
  }
  if (top_error != 0) {
    errno = top_error;
    return -1;
  }
  return 1;
}

std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// One watch on the nearest existing ancestor of `root`; -1 when none can
// be had.
int watch_ancestor(WatchTree* t, const std::string& root) {
  std::string dir = root;
  while (dir != "/") {
    dir = parent_of(dir);
    int wd = add(t, dir);
    if (wd >= 0) return wd;
    if (errno != ENOENT && errno != ENOTDIR) return -1;
  }
  return -1;
}

// Removes an ancestor watch nothing needs any more; the kernel's watch is
// one per folder, so one that is also a folder's own watch stays.
void drop_ancestor(WatchTree* t, int wd) {
  if (wd < 0 || t->paths.count(wd) != 0) return;
  for (const auto& [root, w] : t->waiting)
    if (w == wd) return;
  inotify_rm_watch(t->fd, wd);
}

// Every watched path equal to `dir` or below it. Such keys are contiguous in
// by_path: they all begin with `dir`, and keys that begin with it form one
// run of the sorted map.
std::vector<std::pair<std::string, int>> subtree(const WatchTree& t, const std::string& dir) {
  std::vector<std::pair<std::string, int>> out;
  for (auto it = t.by_path.lower_bound(dir); it != t.by_path.end(); ++it) {
    if (it->first.compare(0, dir.size(), dir) != 0) break;
    if (under(it->first, dir)) out.emplace_back(it->first, it->second);
  }
  return out;
}

}  // namespace

int iw_open(WatchTree* t, const std::string& excluded) {
  t->fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (t->fd < 0) return -1;
  t->excluded = excluded;
  return 1;
}

void iw_report_limit(WatchTree* t) {
  if (t->unwatched == 0 || t->limit_warned) return;
  t->limit_warned = true;
  std::string roots;
  for (const std::string& r : t->limit_roots) roots += (roots.empty() ? "" : ", ") + r;
  drv_warn("the limit of inotify watches is reached: %zu folders under %s are not watched, and notes there do "
           "not follow their files. Raise fs.inotify.max_user_watches (sysctl; see "
           "/proc/sys/fs/inotify/max_user_watches) and restart qbmon",
           t->unwatched, roots.c_str());
}

void iw_wait_root(WatchTree* t, const std::string& root) {
  t->roots.erase(std::remove(t->roots.begin(), t->roots.end(), root), t->roots.end());
  if (t->waiting.count(root) == 0) t->waiting[root] = watch_ancestor(t, root);
}

bool iw_waiting_watch(const WatchTree& t, int wd) {
  for (const auto& [root, w] : t.waiting)
    if (w == wd) return true;
  return false;
}

std::vector<std::string> iw_retry_waiting(WatchTree* t, std::vector<std::string>* found,
                                          std::map<std::string, std::string>* moved) {
  std::vector<std::string> back;
  for (auto it = t->waiting.begin(); it != t->waiting.end();) {
    const std::string root = it->first;
    const int old = it->second;
    struct stat st;
    char resolved[PATH_MAX];
    const bool there =
        stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && realpath(root.c_str(), resolved) != nullptr;
    if (!there) {
      it->second = watch_ancestor(t, root);
      ++it;
      if (old != t->waiting[root]) drop_ancestor(t, old);
      continue;
    }
    it = t->waiting.erase(it);
    drop_ancestor(t, old);
    const std::string r = resolved;
    if (iw_wd(*t, r) < 0) {  // not watched already inside another root
      if (t->read_mounts != nullptr) t->mounts = t->read_mounts();
      if (iw_excluded(*t, r) || walk(t, r, found, nullptr, moved) != 1) {
        t->waiting[root] = watch_ancestor(t, root);
        continue;
      }
    }
    if (std::find(t->roots.begin(), t->roots.end(), r) == t->roots.end()) t->roots.push_back(r);
    back.push_back(r);
  }
  return back;
}

void iw_close(WatchTree* t) {
  if (t->fd >= 0) close(t->fd);
  t->fd = -1;
  t->paths.clear();
  t->by_path.clear();
  t->roots.clear();
  t->waiting.clear();
}

bool iw_excluded(const WatchTree& t, const std::string& path) { return under(path, t.excluded); }

int iw_add_root(WatchTree* t, const std::string& root) {
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) == nullptr) return -1;
  std::string r = resolved;
  if (iw_excluded(*t, r)) {
    errno = EPERM;
    return -1;
  }
  if (t->read_mounts != nullptr) t->mounts = t->read_mounts();
  if (walk(t, r, nullptr, nullptr, nullptr) != 1) return -1;
  for (const std::string& have : t->roots)
    if (have == r) return 1;
  t->roots.push_back(r);
  return 1;
}

int iw_add_tree(WatchTree* t, const std::string& dir, std::vector<std::string>* found,
                std::map<std::string, std::string>* moved) {
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos && qb_ignored_name(t->config, parent_of(dir), dir.c_str() + slash + 1)) {
    ++t->ignored;  // a new folder of an ignored name: itself reported, nothing inside watched
    errno = EPERM;
    return -1;
  }
  if (iw_excluded(*t, dir)) {
    errno = EPERM;
    return -1;
  }
  return walk(t, dir, found, nullptr, moved);
}

const std::string* iw_path(const WatchTree& t, int wd) {
  auto it = t.paths.find(wd);
  return it == t.paths.end() ? nullptr : &it->second;
}

int iw_wd(const WatchTree& t, const std::string& path) {
  auto it = t.by_path.find(path);
  return it == t.by_path.end() ? -1 : it->second;
}

void iw_move_tree(WatchTree* t, const std::string& from, const std::string& to) {
  std::vector<std::pair<std::string, int>> moved = subtree(*t, from);
  for (const auto& [path, wd] : moved) {
    t->by_path.erase(path);
    t->paths.erase(wd);
  }
  for (const auto& [path, wd] : moved) set_watch(t, wd, to + path.substr(from.size()));
}

void iw_remove_tree(WatchTree* t, const std::string& dir) {
  for (const auto& [path, wd] : subtree(*t, dir)) {
    inotify_rm_watch(t->fd, wd);
    t->by_path.erase(path);
    t->paths.erase(wd);
  }
}

void iw_forget(WatchTree* t, int wd) {
  auto it = t->paths.find(wd);
  if (it == t->paths.end()) return;
  auto back = t->by_path.find(it->second);
  if (back != t->by_path.end() && back->second == wd) t->by_path.erase(back);
  t->paths.erase(it);
}

size_t iw_rescan(WatchTree* t) {
  std::unordered_set<int> seen;
  if (t->read_mounts != nullptr) t->mounts = t->read_mounts();
  t->ignored = t->mounts_skipped = t->unwatched = 0;
  t->limit_roots.clear();
  for (const std::string& r : t->roots) walk(t, r, nullptr, &seen, nullptr);
  std::vector<int> stale;
  for (const auto& [wd, path] : t->paths)
    if (seen.count(wd) == 0) stale.push_back(wd);
  for (int wd : stale) {
    if (!iw_waiting_watch(*t, wd)) inotify_rm_watch(t->fd, wd);
    iw_forget(t, wd);
  }
  return t->paths.size();
}
