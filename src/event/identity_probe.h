// What the driver's listing of the watched folders and the reconciliation
// of notes share: inode numbers looked for, and the paths found with them.
//
// The reconciliation (tracking/reconcile.h) fills `inodes` with the inode
// numbers of files whose notes lost their paths; every folder listing the
// driver makes while the probe is set appends each entry whose inode number
// (readdir's d_ino: no stat) is one of them. The reconciliation then tells
// the true candidates from chance matches by device and birth time.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

struct IdentityProbe {
  std::unordered_set<uint64_t> inodes;
  std::vector<std::pair<std::string, uint64_t>> found;  // path, inode number
};
