// The safe way this system changes a small file that other programs read at
// the same time (registry.reg, win.ini) or that must never be left half
// written (a copied table file). Internal to platform/.
//
// A change is written to a temporary file in the target's own folder
// (".<name>.XXXXXX", so the rename never crosses a file system), flushed to
// disk, renamed over the target, and the folder is flushed so the rename
// itself survives a crash. A reader therefore sees the old file or the new
// one, never a mixture.
//
// Read-modify-write between processes is serialised by an exclusive flock on
// a separate lock file ("<name>.lock"), never on the data file itself: the
// data file is replaced by every write, so a lock on it would lock a file
// that is no longer there. flock belongs to the open file description, so it
// also serialises two threads of one process that each take it.
//
// Allocation failure inside std::string aborts the process; platform code
// accepts that (the files handled here are a few kilobytes).
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

// What identifies one version of a file: a rename gives a new inode, an edit
// in place a new size or modification time.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
};

inline bool same_stamp(const FileStamp& a, const FileStamp& b) {
  return a.exists == b.exists && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
         a.mtime_ns == b.mtime_ns;
}

// The stamp of `path` as it is now: 1 (exists), 0 (missing), -1 (errno set).
int af_stamp(const std::string& path, FileStamp* out);

// Reads the whole file and the stamp of exactly the version read.
// 1 read, 0 missing (out empty), -1 with errno set.
int af_read(const std::string& path, std::string* out, FileStamp* stamp);

// Takes the exclusive lock on `<path>.lock`, waiting for it. The descriptor
// to give to af_unlock, or -1 with errno set.
int af_lock(const std::string& path);
void af_unlock(int fd);

// Opens a fresh temporary file beside `target`, mode 0600. The descriptor,
// or -1 with errno set; its name goes to *temp.
int af_temp_beside(const std::string& target, std::string* temp);

// Flushes and closes `fd` (the temporary `temp`), then puts it in place of
// `target`: by rename, or when `keep_existing` by a link that fails with
// EEXIST if the target exists. Flushes the folder. On failure the temporary
// file is removed and -1 returned with errno set; else 1.
int af_commit(int fd, const std::string& temp, const std::string& target, bool keep_existing);

// Replaces `target` with `bytes` (mode 0600) the safe way above.
int af_replace(const std::string& target, const std::string& bytes);

// Writes all of `len` bytes, retrying short writes and EINTR. 1 or -1.
int af_write_all(int fd, const void* data, size_t len);

// Reports a line that could not be understood, on standard error, once per
// process for each (file, line text): a file re-read after every change would
// otherwise repeat the complaint on each read.
void af_report_malformed(const std::string& path, int line_no, const std::string& line);
