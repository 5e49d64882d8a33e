// cp and mv: a file copied or moved with its note.
//
// cp copies a file as cp(1) does, keeping its mode and times, and tells the
// running Monitor, which then gives the copy the source's note. The kernel
// reports a copy only as a new file; the copier has to say where it came
// from (driver/report_client.h). With no Monitor running, cp gives the copy
// the note itself.
//
// mv renames a file or folder. A running Monitor sees the rename and moves
// the notes; with none, mv moves them itself, the folder's and those of
// everything inside it, under one hold of the table.
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/report_client.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "platform/canonical_path.h"

namespace {

std::string base_name(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the bytes of `in` (described by `st`) into `target`, then its
// permission bits and times. 1, or -1 with errno set.
int copy_file(int in, const struct stat& st, const char* target) {
  int out = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) return -1;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !write_all(out, buffer, static_cast<size_t>(n)))) {
      int e = errno;
      close(out);
      errno = e;
      return -1;
    }
    if (n == 0) break;
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (fchmod(out, st.st_mode & 07777) != 0 || futimens(out, times) != 0) {
    int e = errno;
    close(out);
    errno = e;
    return -1;
  }
  return close(out) == 0 ? 1 : -1;
}

// No Monitor runs: the copy at `target` gets the note of `source` here.
int give_copy_its_note(const std::string& source, const std::string& target) {
  NotesTable table;
  int rc = table.open(NotesTable::kWriting);
  bool found = false;
  if (rc == kExitDone) rc = table.lookup(source, &found);
  if (rc != kExitDone || !found) return rc;
  std::string path, note;
  if ((rc = table.read(&path, &note)) != kExitDone) return rc;
  return table.put(target, note);
}

// Copies the tree `from` to `to` (not there yet): folders with their
// permission bits, files as copy_file does, symbolic links as links. 1, or
// -1 after a message naming what could not be copied.
int copy_tree(const std::string& from, const std::string& to) {
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) {
    say("cp: cannot read %s: %s", from.c_str(), std::strerror(errno));
    return -1;
  }
  if (S_ISLNK(st.st_mode)) {
    std::string link(PATH_MAX, '\0');
    const ssize_t n = readlink(from.c_str(), link.data(), link.size());
    if (n >= 0 && symlink(link.substr(0, static_cast<size_t>(n)).c_str(), to.c_str()) == 0) return 1;
  } else if (S_ISREG(st.st_mode)) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int r = in >= 0 ? copy_file(in, st, to.c_str()) : -1;
    const int e = errno;
    if (in >= 0) close(in);
    errno = e;
    if (r == 1) return 1;
  } else if (S_ISDIR(st.st_mode)) {
    if (mkdir(to.c_str(), 0700) != 0) {
      say("cp: cannot make %s: %s", to.c_str(), std::strerror(errno));
      return -1;
    }
    DIR* d = opendir(from.c_str());
    if (d == nullptr) {
      say("cp: cannot read %s: %s", from.c_str(), std::strerror(errno));
      return -1;
    }
    int r = 1;
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (copy_tree(from + "/" + name, to + "/" + name) != 1) r = -1;
    }
    closedir(d);
    (void)chmod(to.c_str(), st.st_mode & 07777);
    return r;
  } else {
    say("cp: %s is neither a file, a folder nor a link; not copied", from.c_str());
    return -1;
  }
  say("cp: cannot copy %s to %s: %s", from.c_str(), to.c_str(), std::strerror(errno));
  return -1;
}

// The notes of `from` and of everything below it, put under `to` (the
// copy, or the new place, of that tree); with `move`, taken from `from`
// too, each only once its new note is stored, so a cut never loses one. One
// hold of the table; collected first, since a scan must not see the notes
// it writes. A path too long for a note keeps its note where it is.
int carry_notes(const std::string& from, const std::string& to, bool move) {
  NotesTable table;
  int rc = table.open(NotesTable::kWriting);
  if (rc == kExitNotFound) return kExitDone;  // no notes at all
  if (rc != kExitDone) return rc;
  std::vector<std::pair<std::string, std::string>> carried;
  rc = table.scan(from, [&](const std::string& path, const std::string& note) {
    if (path.size() == from.size() || path[from.size()] == '/') carried.emplace_back(path, note);
  });
  if (rc != kExitDone || carried.empty()) return rc;
  if ((rc = table.holdBegin()) != kExitDone) return rc;
  for (const auto& [path, note] : carried) {
    const std::string now = to + path.substr(from.size());
    struct stat st;
    if (now.size() > kMaxPathBytes) {
      say("%s would be %zu bytes long, longer than a note's path may be; its note stays under %s", now.c_str(),
          now.size(), path.c_str());
      continue;
    }
    if (!move && lstat(now.c_str(), &st) != 0) continue;  // not copied
    if ((rc = table.put(now, note)) != kExitDone || (move && (rc = table.remove(path)) != kExitDone)) break;
  }
  const int ended = table.holdEnd();
  table.endIfInterrupted();
  return rc != kExitDone ? rc : ended;
}

// cp -r: the folder `source` and everything in it, with their notes.
int copy_folder(const std::string& source, std::string target) {
  std::string from;
  int rc = note_path(source.c_str(), &from);
  if (rc != kExitDone) return rc;
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) target += "/" + base_name(from);
  std::string to;
  if ((rc = note_path(target.c_str(), &to)) != kExitDone) return rc;
  if (lstat(to.c_str(), &st) == 0) {
    say("cp: %s exists; qbnote cp -r copies into a new folder only", to.c_str());
    return kExitUsage;
  }
  if (to.compare(0, from.size() + 1, from + "/") == 0) {
    say("cp: %s is inside %s; a folder cannot be copied into itself", to.c_str(), from.c_str());
    return kExitUsage;
  }
  const int copied = copy_tree(from, to);
  rc = carry_notes(from, to, false);
  return copied != 1 ? kExitUsage : rc;
}

}  // namespace

int cmd_mv(int argc, char** argv) {
  Args a;
  int rc = parse_args("mv", argc, argv, 0, 2, 2, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("mv");
    return rc;
  }
  std::string from, to;
  if ((rc = note_path(a.operands[0].c_str(), &from)) != kExitDone) return rc;
  std::string target = a.operands[1];
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) target += "/" + base_name(from);
  if ((rc = note_path(target.c_str(), &to)) != kExitDone) return rc;
  if (lstat(to.c_str(), &st) == 0) {
    say("mv: %s exists; qbnote mv does not replace a file (mv(1) does, and a running Monitor then sets its note "
        "aside)",
        to.c_str());
    return kExitUsage;
  }
  std::string status;
  const bool followed = qb_ask_status(&status) == 1;  // a running Monitor moves the notes itself
  if (rename(from.c_str(), to.c_str()) != 0) {
    say("mv: cannot move %s to %s: %s%s", from.c_str(), to.c_str(), std::strerror(errno),
        errno == EXDEV ? " (qbnote mv moves within one file system)" : "");
    return kExitUsage;
  }
  return followed ? kExitDone : carry_notes(from, to, true);
}

int cmd_cp(int argc, char** argv) {
  Args a;
  int rc = parse_args("cp", argc, argv, kOptRecursive, 2, 2, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("cp");
    return rc;
  }
  if (a.recursive) return copy_folder(a.operands[0], a.operands[1]);
  const char* source = a.operands[0].c_str();
  std::string target = a.operands[1];
  int in = open(source, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) {
    say("cp: cannot read %s: %s", source, std::strerror(errno));
    if (in >= 0) close(in);
    return kExitUsage;
  }
  if (!S_ISREG(st.st_mode)) {
    say("cp: %s is %s; qbnote cp copies files only", source, S_ISDIR(st.st_mode) ? "a folder" : "not a regular file");
    close(in);
    return kExitUsage;
  }
  struct stat dst;
  if (stat(target.c_str(), &dst) == 0) {
    if (S_ISDIR(dst.st_mode)) {
      target += "/" + base_name(source);
      if (stat(target.c_str(), &dst) != 0) dst.st_ino = 0;
    }
    if (dst.st_ino == st.st_ino && dst.st_dev == st.st_dev) {
      say("cp: %s and %s are the same file", source, target.c_str());
      close(in);
      return kExitUsage;
    }
  }
  if (copy_file(in, st, target.c_str()) != 1) {
    say("cp: cannot copy %s to %s: %s", source, target.c_str(), std::strerror(errno));
    close(in);
    return kExitUsage;
  }
  close(in);

  const std::string canonical = qb_canonical_path(target.c_str());
  if (canonical.size() > kMaxPathBytes) {
    say("cp: %s is %zu bytes long; the Monitor cannot follow paths longer than %zu bytes, so no note was carried",
        target.c_str(), canonical.size(), kMaxPathBytes);
    return kExitDone;
  }
  switch (qb_report_copy(source, target.c_str())) {
    case 1:
      return kExitDone;
    case 0:
      return give_copy_its_note(qb_canonical_path(source), canonical);
    default:
      say("cp: copied, but the Monitor could not be told: %s; the note of %s was not carried", std::strerror(errno),
          source);
      return kExitTable;
  }
}
