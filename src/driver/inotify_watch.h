// Recursive inotify watches: one watch on every folder under the watch
// roots, and the map between watch descriptors and folder paths that turns
// an event's (wd, name) into a full path.
//
// Paths are canonical by construction: each root is resolved through its
// links once (realpath), and every path below it is a root joined with real
// folder names, symbolic links never followed (IN_DONT_FOLLOW, lstat). So a
// path built here is the form qb_canonical_path gives the same file, the key
// the notes are stored under.
//
// The excluded folder (the state folder) and everything below it are never
// watched, even inside a root: the Monitor writes its own tables and
// registry there, and reporting those writes back to it would be noise at
// best and a feedback loop at worst.
//
// Invariants:
//   (1) `paths` and `by_path` are inverse maps: paths[wd] == p exactly when
//       by_path[p] == wd;
//   (2) no watched path is the excluded folder or lies below it;
//   (3) every watched path is a root or lies below one.
//
// Not watched either, though inside a root: a folder ignored by name
// (platform/watch_config.h; the folder itself is reported by its parent's
// watch, nothing inside it), and a mount point of another file system
// unless the configuration crosses them (the mount set is read, never the
// mount point). At the watch limit (ENOSPC) a walk goes on listing without
// watching, to count the folders left unwatched.
//
// Roots waited for: a root not there at start, deleted or moved away is
// kept in `waiting` with one watch on its nearest existing ancestor, so
// that the root's name appearing is heard (iw_retry_waiting).
//
// A folder renamed inside the tree keeps its watches (the kernel's watch is
// on the inode); only the map changes, for the folder and every folder
// below it (iw_move_tree). A watch the kernel drops (folder deleted, file
// system unmounted) reports IN_IGNORED, and iw_forget takes it out.
//
// Callers: the event mapper and the reader thread, which owns the tree; one
// thread at a time, no locking here.
#pragma once

#include <map>
#include <set>
#include <string>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "event/identity_probe.h"
#include "platform/watch_config.h"

struct WatchTree {
  int fd = -1;                              // the inotify instance
  std::vector<std::string> roots;           // resolved, as added by iw_add_root
  std::string excluded;                     // resolved; "" excludes nothing
  std::unordered_map<int, std::string> paths;  // wd -> folder path
  std::map<std::string, int> by_path;          // folder path -> wd; ordered for subtree ranges
  bool limit_warned = false;                // the watch limit was reported once
  IdentityProbe* probe = nullptr;           // while set, listings feed it (event/identity_probe.h)
  WatchConfig config;                       // ignore names, cross_mounts, home; its roots are not used here
  std::set<std::string> mounts;             // mount points, refreshed by each walk from a root or new folder
  std::map<std::string, int> waiting;       // root waited for -> watch on its nearest existing ancestor (-1: none)
  // Counts since the last rescan: folders not watched for their name, mount
  // points not crossed, folders left unwatched at the watch limit (and the
  // roots they are under).
  size_t ignored = 0, mounts_skipped = 0, unwatched = 0;
  std::set<std::string> limit_roots;
  // Seams for tests: where mount points come from, and the kernel call.
  std::set<std::string> (*read_mounts)() = qb_mount_points;
  int (*add_watch)(int fd, const char* path, uint32_t mask) = nullptr;  // null: inotify_add_watch
};

// The events each folder's watch asks for.
extern const unsigned kWatchMask;

// Opens the inotify instance (close-on-exec, non-blocking). 1, or -1 with
// errno set.
int iw_open(WatchTree* t, const std::string& excluded);
// Closes the instance; every watch goes with it.
void iw_close(WatchTree* t);

// Whether `path` is the excluded folder or below it.
bool iw_excluded(const WatchTree& t, const std::string& path);

// Resolves `root` and watches it and every folder below it. 1, or -1 with
// errno set when the root cannot be resolved or watched (ENOTDIR for a
// file, EPERM for a root inside the excluded folder).
int iw_add_root(WatchTree* t, const std::string& root);

// Watches `dir` and every folder below it. When `found` is not null, the
// path of every entry below `dir` (files and folders, depth first, a folder
// before its contents) is appended: what was created in a new folder before
// its watch existed. A folder below `dir` that is watched already under
// another path was moved in before `dir` was watched (`mkdir new; mv old
// new/`, faster than the watcher): its watches are re-filed as iw_move_tree
// does, it is appended to `found` but its contents are not, and when
// `moved` is not null, moved[new path] = old path. 1 when `dir` itself is
// watched, else -1 with errno.
int iw_add_tree(WatchTree* t, const std::string& dir, std::vector<std::string>* found,
                std::map<std::string, std::string>* moved = nullptr);

// Once, when folders were left unwatched at the watch limit: a warning
// naming how many and under which roots.
void iw_report_limit(WatchTree* t);

// `root` (resolved, or absolute when it does not exist) is waited for: out
// of `roots`, into `waiting`, its nearest existing ancestor watched (one
// watch, not recursive). The root's own watches are left as they are.
void iw_wait_root(WatchTree* t, const std::string& root);
// Whether `wd` is the ancestor watch of a root waited for.
bool iw_waiting_watch(const WatchTree& t, int wd);
// Every root waited for that exists again as a folder is watched and back
// in `roots`; what it holds is appended to `found` (and `moved`) as
// iw_add_tree gives it, unless it was watched already inside another root.
// The others' ancestor watches are placed again. Gives the roots back.
std::vector<std::string> iw_retry_waiting(WatchTree* t, std::vector<std::string>* found,
                                          std::map<std::string, std::string>* moved);

// The folder watched by `wd`; null when `wd` is not (or no longer) known.
const std::string* iw_path(const WatchTree& t, int wd);
// The watch on `path`; -1 when it has none.
int iw_wd(const WatchTree& t, const std::string& path);

// The folder `from` was renamed to `to`: every watched path equal to `from`
// or below it now starts with `to`.
void iw_move_tree(WatchTree* t, const std::string& from, const std::string& to);
// The folder `dir` left the roots: its watches and those below it are
// removed.
void iw_remove_tree(WatchTree* t, const std::string& dir);
// The kernel dropped `wd` (IN_IGNORED).
void iw_forget(WatchTree* t, int wd);

// After lost events: walks every root again, watches folders that have no
// watch, sets each watch's path to where its folder is now, and removes the
// watches of folders no longer found under a root. Returns the number of
// folders watched.
size_t iw_rescan(WatchTree* t);
