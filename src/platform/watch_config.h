// What the Monitor watches, as both qbmon and qbnote read it: the registry
// values under the Configuration key, the mount points of the system, and
// the one decision whether a folder below a root is watched.
//
//   "WatchRoots"   string, folders separated by ':'; the home folder when
//                  missing or empty
//   "IgnoreNames"  string, folder names separated by ':'; when missing,
//                  kDefaultIgnoreNames; an empty string ignores nothing by
//                  name. A folder so named is reported itself (created,
//                  renamed, deleted) but nothing inside it is watched. The
//                  name ".cache" counts only directly under the home folder.
//   "CrossMounts"  number; 1: the walk goes down into other file systems
//                  mounted below a root; else (and when missing) it stops at
//                  their mount points. A root that is a mount point itself is
//                  watched all the same.
//
// Mount points come from /proc/self/mountinfo, never from a stat of the
// mount point itself: a hung network mount would block the caller there.
//
// Callers: any thread (no state of its own); the registry is read on each
// qb_read_watch_config.
#pragma once

#include <set>
#include <string>
#include <vector>

extern const char kWatchConfigKey[];
extern const char kDefaultIgnoreNames[];

struct WatchConfig {
  std::vector<std::string> roots;   // as written (not resolved)
  std::vector<std::string> ignore;  // folder names
  bool cross_mounts = false;
  std::string home;                 // resolved; for the ".cache" rule and the default root
};

// Reads the three values; missing ones take their defaults.
WatchConfig qb_read_watch_config();

// Whether the folder `name` in the folder `parent` is ignored by name.
bool qb_ignored_name(const WatchConfig& c, const std::string& parent, const char* name);

// Every mount point of the calling process's view, decoded (\040 and the
// like); empty when /proc/self/mountinfo cannot be read.
std::set<std::string> qb_mount_points();

// Why a canonical path would not be followed by a Monitor with this
// configuration: kFollowed, or the first reason met walking down from the
// root it lies under. `roots` are resolved; `excluded` is the state folder.
enum class WatchVerdict { kFollowed, kOutsideRoots, kIgnored, kOtherFileSystem, kStateFolder };
WatchVerdict qb_watch_verdict(const WatchConfig& c, const std::vector<std::string>& roots,
                              const std::set<std::string>& mounts, const std::string& excluded,
                              const std::string& path);
