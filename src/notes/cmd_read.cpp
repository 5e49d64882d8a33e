// The commands that read notes: get, ls and find.
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <string>

#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"

namespace {

unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

// Where `needle` starts in `text`, A to Z folded; npos when nowhere.
size_t find_folded(const std::string& text, const std::string& needle) {
  if (needle.size() > text.size()) return std::string::npos;
  for (size_t at = 0; at + needle.size() <= text.size(); ++at) {
    size_t i = 0;
    while (i < needle.size() &&
           fold(static_cast<unsigned char>(text[at + i])) == fold(static_cast<unsigned char>(needle[i])))
      ++i;
    if (i == needle.size()) return at;
  }
  return std::string::npos;
}

// The line of `text` that holds byte `at`.
std::string line_at(const std::string& text, size_t at) {
  size_t start = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = text.find('\n', at);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void put_bytes(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// One listed note: JSON line, or path, a tab and one line of the note.
void emit(bool json, const std::string& path, const std::string& note, const std::string& line) {
  if (json) {
    put_bytes(json_note(path, note));
  } else {
    put_bytes(path);
    std::fputc('\t', stdout);
    put_bytes(line);
  }
  std::fputc('\n', stdout);
}

// Whether the file or folder a note names is gone. Only a clear "no such
// file" counts: a path that cannot be looked at is not stale.
bool gone(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

int cmd_get(int argc, char** argv) {
  Args a;
  int rc = parse_args("get", argc, argv, kOptJson, 1, 1, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("get");
    return rc;
  }
  std::string path;
  if ((rc = note_path(a.operands[0].c_str(), &path)) != kExitDone) return rc;
  NotesTable table;
  rc = table.open(NotesTable::kReading);
  bool found = false;
  if (rc == kExitDone) rc = table.lookup(path, &found);
  std::string stored, note;
  if (rc == kExitDone) rc = found ? table.read(&stored, &note) : kExitNotFound;
  if (rc == kExitNotFound) say("%s has no note", path.c_str());
  if (rc != kExitDone) return rc;
  if (a.json) put_bytes(json_note(stored, note));
  else put_bytes(note);
  std::fputc('\n', stdout);
  return kExitDone;
}

int cmd_ls(int argc, char** argv) {
  Args a;
  int rc = parse_args("ls", argc, argv, kOptJson | kOptMissing | kOptSetAside, 0, 1, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("ls");
    return rc;
  }
  std::string folder;
  if (!a.operands.empty() && (rc = note_path(a.operands[0].c_str(), &folder)) != kExitDone) return rc;
  if (a.set_aside) return list_set_aside(a, folder == "/" ? "" : folder);

  NotesTable table;
  rc = table.open(NotesTable::kReading);
  if (rc != kExitDone) return rc;  // kExitNotFound: no table, no notes

  // As find: nothing listed is exit status 1.
  long listed = 0;
  auto show = [&](const std::string& path, const std::string& note) {
    if (a.missing && !gone(path)) return;
    emit(a.json, path, note, note.substr(0, note.find('\n')));
    ++listed;
  };
  auto ended = [&](int status) { return status == kExitDone && listed == 0 ? kExitNotFound : status; };

  if (folder.empty() || folder == "/") return ended(table.scan("", show));

  // The folder's own note, then the notes whose paths start with
  // "<folder>/": in index order they follow one another from the first key
  // not less than that prefix.
  bool found = false;
  if ((rc = table.lookup(folder, &found)) != kExitDone) return rc;
  if (found) {
    std::string path, note;
    rc = table.read(&path, &note);
    if (rc == kExitDone) show(path, note);
    else if (rc != kExitNotFound) return rc;
  }
  return ended(table.scan(folder + "/", show));
}

int cmd_find(int argc, char** argv) {
  Args a;
  int rc = parse_args("find", argc, argv, kOptJson, 1, 1, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("find");
    return rc;
  }
  const std::string& text = a.operands[0];
  NotesTable table;
  rc = table.open(NotesTable::kReading);
  if (rc == kExitNotFound) return kExitNotFound;
  if (rc != kExitDone) return rc;

  int matches = 0;
  rc = table.scan("", [&](const std::string& path, const std::string& note) {
    size_t at = find_folded(note, text);
    if (at != std::string::npos) {
      ++matches;
      emit(a.json, path, note, line_at(note, at));
    }
  });
  if (rc != kExitDone) return rc;
  return matches > 0 ? kExitDone : kExitNotFound;
}
