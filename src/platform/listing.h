// Listing a folder: FindFirstFileA, FindNextFileA, FindClose, with which the
// Monitor walks a renamed folder.
//
// The pattern is "<folder>/<name pattern>" or "<folder>\<name pattern>": the
// last '/' or '\' ends the folder (so a backslash inside an earlier folder
// name is kept as part of it), and a pattern without one names an entry of
// the current folder. The name pattern "*" or "*.*" matches every entry;
// otherwise '*' and '?' match as in shell patterns (fnmatch, a leading dot
// not special). Every entry the folder holds is listed, hidden ones
// (starting with '.') and "." and ".." included, in the order readdir gives.
//
// Attributes come from lstat, so a symbolic link is reported as what it is,
// a file, even when it points at a folder (a walk never follows a link out of
// the tree or round in a circle): FILE_ATTRIBUTE_DIRECTORY for a folder;
// for other entries FILE_ATTRIBUTE_READONLY (no write permission bit) and
// FILE_ATTRIBUTE_HIDDEN (a name starting with '.', "." and ".." aside), or
// FILE_ATTRIBUTE_NORMAL when neither applies; a hidden folder has both
// DIRECTORY and HIDDEN. An entry that vanishes while listed is skipped.
// The size and the three times (as FILETIME: 100-ns units since 1601) come
// from the same lstat; the creation time is the change time.
//
// Errors: FindFirstFileA gives INVALID_HANDLE_VALUE with GetLastError =
// errno when the folder cannot be listed (ENOENT is 2, ERROR_FILE_NOT_FOUND),
// or ERROR_FILE_NOT_FOUND when nothing matches; FindNextFileA gives FALSE
// with ERROR_NO_MORE_FILES at the end.
//
// Threads: any thread; one search handle is used by one thread at a time.
#pragma once

#include "platform/win_types.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];  // always empty: there are no short names
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE search);
