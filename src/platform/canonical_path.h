// The one form in which a path names a note: every program that writes a
// path into the notes table (the notes program, the Linux stand-in for the
// driver) turns the path it was given into this form first, so that a note
// set by hand and an event reported for the same file meet on one key.
//
// Canonical form of `path`:
//   1. made absolute against the current folder;
//   2. trailing slashes dropped ("/" itself stays "/");
//   3. the folder part (everything before the last component) resolved
//      through symbolic links, "." and ".." as realpath does, and the last
//      component kept as given: a symbolic link's note is the link's own,
//      not its target's;
//   4. a last component "." or ".." names a folder, and the whole path is
//      resolved;
//   5. when the folder part cannot be resolved (it no longer exists: the
//      note of something already gone, or cannot be searched), the absolute
//      path normalized by its text alone: empty and "." components dropped,
//      ".." taking away the component before it (never above "/"), no link
//      resolved.
// The result never ends in "/" unless it is "/", never holds "//", and has
// no "." or ".." component.
//
// Nothing here limits the length: callers that store the path check it
// against their own limit.
//
// Callers: any thread (realpath and getcwd only; no state of its own).
#pragma once

#include <string>

// The canonical form of `path`; "" with errno set when `path` is null or
// empty (EINVAL) or the current folder cannot be had for a relative path.
std::string qb_canonical_path(const char* path);

// Rule 5 alone, for a path that must be taken as written (a path restored
// from an export, whose links may have changed since): the absolute path
// `path` normalized by its text, no link resolved. "" with errno EINVAL
// when `path` is null or not absolute.
std::string qb_normalized_path(const char* path);
