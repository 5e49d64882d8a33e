// A file's identity: what stays the same when the file is renamed or moved
// within its file system, and tells it from a file made later in its place.
//
// Device and inode number alone are reused: a file deleted gives its inode
// number to the next one made. The birth time (statx's stx_btime) tells
// the two apart where the file system keeps one; where it does not, the
// identity says so, and whoever matches identities must ask for more (a
// single candidate) before trusting device and inode alone.
//
// Text form, as the identity table stores it: "<dev>:<ino>:<sec>.<nsec>",
// or "<dev>:<ino>:-" without a birth time; decimal numbers.
//
// Callers: any thread; no state.
#pragma once

#include <cstdint>
#include <string>

struct FileIdentity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool has_btime = false;
  int64_t btime_sec = 0;
  uint32_t btime_nsec = 0;
};

// The identity of `path` itself (a symbolic link is not followed): 0, or an
// errno value (ENOENT when nothing is there).
int qb_file_identity(const char* path, FileIdentity* out);

std::string qb_identity_text(const FileIdentity& id);
// false when `text` is not an identity's text form.
bool qb_parse_identity(const char* text, FileIdentity* out);

// Whether `found` is the file `wanted` names: device and inode equal, and
// the birth times equal when both have one. `sure` tells whether birth
// times were compared: without them a match may be a reused inode number.
bool qb_same_identity(const FileIdentity& wanted, const FileIdentity& found, bool* sure);
