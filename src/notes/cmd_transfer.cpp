// export and import: every note as JSON lines and back (format in json.h),
// or, with --xattr, as the extended attribute user.xdg.comment that file
// managers show as a file's comment.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "platform/canonical_path.h"

namespace {

// An import holds the table's write lock for at most this long at a time,
// then lets other programs in: the Monitor's lock retries last longer.
constexpr int64_t kHoldMs = 50;

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool blank(const std::string& line) {
  for (char c : line)
    if (c != ' ' && c != '\t' && c != '\r') return false;
  return true;
}

// The path of an imported line: absolute, normalized by its text alone and
// short enough. 1, or 0 with *why.
int import_path(const std::string& given, std::string* path, std::string* why) {
  if (given.find('\0') != std::string::npos) {
    *why = "the path holds a NUL byte";
    return 0;
  }
  *path = qb_normalized_path(given.c_str());
  if (path->empty()) {
    *why = "the path is not absolute";
    return 0;
  }
  if (path->size() > kMaxPathBytes) {
    *why = "the path is " + std::to_string(path->size()) +
           " bytes long; the Monitor cannot follow paths longer than 255 bytes";
    return 0;
  }
  return 1;
}

constexpr char kCommentAttribute[] = "user.xdg.comment";

// The comment of `path` itself (a link is not followed): true with *text.
bool read_comment(const std::string& path, std::string* text) {
  for (;;) {
    const ssize_t size = ::lgetxattr(path.c_str(), kCommentAttribute, nullptr, 0);
    if (size <= 0) return false;
    text->assign(static_cast<size_t>(size), '\0');
    const ssize_t n = ::lgetxattr(path.c_str(), kCommentAttribute, text->data(), text->size());
    if (n >= 0) {
      text->resize(static_cast<size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;  // grew meanwhile: again
  }
}

// Every path below `dir` (links not followed), depth first.
void walk(const std::string& dir, std::vector<std::string>* out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    out->push_back(path);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) walk(path, out);
  }
  ::closedir(d);
}

// import --xattr DIR: the comment of every file and folder under DIR (and of
// DIR) becomes its note. A path that has a note of its own keeps it: nothing
// a person wrote is replaced by a comment.
int import_comments(const std::string& given) {
  std::string top;
  int rc = note_path(given.c_str(), &top);
  if (rc != kExitDone) return rc;
  std::vector<std::string> paths{top};
  walk(top, &paths);
  NotesTable table;
  if ((rc = table.open(NotesTable::kWriting)) != kExitDone || (rc = table.holdBegin()) != kExitDone) return rc;
  long taken = 0, kept = 0, skipped = 0;
  for (const std::string& path : paths) {
    std::string comment, why;
    if (!read_comment(path, &comment) || comment.empty()) continue;
    bool found = false;
    if ((rc = table.lookup(path, &found)) != kExitDone) break;
    if (found) {
      std::string stored, note;
      if ((rc = table.read(&stored, &note)) != kExitDone) break;
      if (note != comment) ++kept;
      continue;
    }
    if (path.size() > kMaxPathBytes || !note_fits(path, comment, &why)) {
      say("import: %s: %s; skipped", path.c_str(), why.empty() ? "the path is too long" : why.c_str());
      ++skipped;
      continue;
    }
    if ((rc = table.put(path, comment)) != kExitDone) break;
    ++taken;
  }
  const int end = table.holdEnd();
  if (rc == kExitDone) rc = end;
  say("import: %ld comments taken as notes, %ld paths kept their own notes, %ld skipped", taken, kept, skipped);
  table.endIfInterrupted();
  return rc != kExitDone ? rc : skipped > 0 ? kExitUsage : kExitDone;
}

// export --xattr: every note written as its file's comment, where the file
// is there and its file system takes the attribute.
int export_comments(NotesTable& table) {
  long written = 0, gone = 0, refused = 0;
  const int rc = table.scan("", [&](const std::string& path, const std::string& note) {
    if (::lsetxattr(path.c_str(), kCommentAttribute, note.data(), note.size(), 0) == 0) {
      ++written;
    } else if (errno == ENOENT || errno == ENOTDIR) {
      ++gone;
    } else {
      ++refused;
      say("export: %s: the comment cannot be written: %s", path.c_str(), std::strerror(errno));
    }
  });
  say("export: %ld notes written as %s, %ld files gone, %ld refused by their file system", written,
      kCommentAttribute, gone, refused);
  return rc;
}

}  // namespace

int cmd_export(int argc, char** argv) {
  Args a;
  int rc = parse_args("export", argc, argv, kOptXattr, 0, 0, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("export");
    return rc;
  }
  NotesTable table;
  rc = table.open(NotesTable::kReading);
  if (rc == kExitNotFound) say("export: there is no notes table yet");
  if (rc != kExitDone) return rc;
  if (a.xattr) return export_comments(table);
  return table.scan("", [](const std::string& path, const std::string& note) {
    std::string line = json_note(path, note);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  });
}

int cmd_import(int argc, char** argv) {
  Args a;
  int rc = parse_args("import", argc, argv, kOptXattr, 1, 1, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("import");
    return rc;
  }
  if (a.xattr) return import_comments(a.operands[0]);
  const char* name = a.operands[0].c_str();
  const bool standard = std::strcmp(name, "-") == 0;
  std::FILE* in = standard ? stdin : std::fopen(name, "rb");
  if (in == nullptr) {
    say("import: cannot open %s: %s", name, std::strerror(errno));
    return kExitUsage;
  }

  NotesTable table;
  rc = table.open(NotesTable::kWriting);
  if (rc == kExitDone) rc = table.holdBegin();
  if (rc != kExitDone) {
    if (!standard) std::fclose(in);
    return rc;
  }
  int64_t held_since = now_ms();
  // A note counts as stored once its hold's changes were written out; a
  // failure to write them out makes every note of that hold a failed one.
  long line_no = 0, stored = 0, pending = 0, skipped = 0, locked = 0, failed = 0;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t n;
  while (!NotesTable::interrupted() && (n = ::getline(&buffer, &capacity, in)) >= 0) {
    ++line_no;
    std::string line(buffer, static_cast<size_t>(n));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (blank(line)) continue;

    std::string given, note, path, why;
    if (json_read_note(line, &given, &note, &why) != 1 || import_path(given, &path, &why) != 1 ||
        !note_fits(path, note, &why)) {
      say("import: line %ld: %s; skipped", line_no, why.c_str());
      ++skipped;
      continue;
    }
    rc = table.put(path, note);
    if (rc == kExitHeld) {
      say("import: line %ld skipped", line_no);
      ++locked;
      rc = kExitDone;
    } else if (rc != kExitDone) {
      ++failed;
      break;  // the table cannot be used: stop here
    } else {
      ++pending;
    }
    if (now_ms() - held_since >= kHoldMs && !NotesTable::interrupted()) {
      rc = table.holdEnd();
      (rc == kExitDone ? stored : failed) += pending;
      pending = 0;
      if (rc != kExitDone || (rc = table.holdBegin()) != kExitDone) break;
      held_since = now_ms();
    }
  }
  std::free(buffer);
  const bool read_failed = std::ferror(in) != 0 && !NotesTable::interrupted();
  // The write lock is given up even after a failure; what was stored stays.
  int end = table.holdEnd();
  (end == kExitDone ? stored : failed) += pending;
  if (rc == kExitDone) rc = end;
  const bool stopped = rc != kExitDone && !std::feof(in);
  if (read_failed) say("import: reading %s failed after line %ld", standard ? "standard input" : name, line_no);
  if (NotesTable::interrupted()) say("import: interrupted after line %ld", line_no);
  say("import: %ld notes stored, %ld lines skipped, %ld failed", stored, skipped + locked, failed);
  if (stopped) say("import: stopped at line %ld; the lines after it were not read", line_no);
  if (!standard) std::fclose(in);
  table.endIfInterrupted();
  if (rc != kExitDone) return rc;
  if (locked > 0) return kExitHeld;
  if (skipped > 0 || read_failed) return kExitUsage;
  return kExitDone;
}
