// The commands that read notes: get, ls and find.
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <string>
#include <cstdlib>
#include <unistd.h>
#include <sys/ioctl.h>
#include <dirent.h>
#include <algorithm>
#include <vector>
#include <locale.h>
#include <wctype.h>
#include <cstdint>

#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"

namespace {

// The locale whose towlower folds every letter; null when the system has
// none, and then only A to Z are folded.
locale_t folding_locale() {
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return utf8;
}

// `text` with its letters lowered, UTF-8 character by character (bytes that
// are not UTF-8 stay as they are), and for each byte of the result the
// offset in `text` of the character it came from.
std::string fold_text(const std::string& text, std::vector<size_t>* from) {
  std::string out;
  const locale_t loc = folding_locale();
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    uint32_t cp = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    bool whole = length != 0 && at + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k) {
      const unsigned char d = static_cast<unsigned char>(text[at + k]);
      whole = (d & 0xC0) == 0x80;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (!whole) {  // not UTF-8: the byte as it is
      out += static_cast<char>(c);
      from->push_back(at++);
      continue;
    }
    if (loc != nullptr)
      cp = static_cast<uint32_t>(towlower_l(static_cast<wint_t>(cp), loc));
    else if (cp >= 'A' && cp <= 'Z')
      cp += 'a' - 'A';
    const size_t before = out.size();
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    from->insert(from->end(), out.size() - before, at);
    at += length;
  }
  return out;
}

// Where `needle` starts in `text`, letters of any alphabet folded; npos
// when nowhere.
size_t find_folded(const std::string& text, const std::string& needle) {
  std::vector<size_t> from, unused;
  const size_t at = fold_text(text, &from).find(fold_text(needle, &unused));
  return at == std::string::npos ? at : at < from.size() ? from[at] : text.size();
}

// The line of `text` that holds byte `at`.
std::string line_at(const std::string& text, size_t at) {
  size_t start = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = text.find('\n', at);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void put_bytes(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// One listed note: the path and a NUL (-0), a JSON line, or the path, a
// tab and one line of the note, escaped on a terminal.
void emit(const Args& a, const std::string& path, const std::string& note, const std::string& line) {
  if (a.null) {
    put_bytes(path);
    std::fputc('\0', stdout);
    return;
  }
  if (a.json) {
    put_bytes(json_note(path, note));
  } else if (stdout_is_terminal()) {
    put_bytes(term_text(path, false) + "\t" + term_text(line, false));
  } else {
    put_bytes(path + "\t" + line);
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
  else put_bytes(stdout_is_terminal() ? term_text(note, true) : note);
  std::fputc('\n', stdout);
  return kExitDone;
}

// ls FOLDER on a terminal: the folder as a person browses it. Its entries,
// sorted by name, folders marked with '/', each with the first line of its
// note beside it, cut to the terminal's width; the folder's own note first.
// Colour (folders, notes) only here, and never with NO_COLOR set.
int browse(NotesTable& table, const std::string& folder) {
  DIR* d = ::opendir(folder.c_str());
  if (d == nullptr) return -1;
  std::vector<std::pair<std::string, bool>> entries;  // name, is a folder
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    entries.emplace_back(name, ::lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  }
  ::closedir(d);
  std::sort(entries.begin(), entries.end());
  winsize ws{};
  const size_t width = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
  const char* no_colour = std::getenv("NO_COLOR");
  const bool colour = no_colour == nullptr || no_colour[0] == '\0';
  size_t column = 0;
  for (const auto& [name, is_folder] : entries) column = std::max(column, term_text(name, false).size() + is_folder);
  column = std::min<size_t>(column, 32) + 2;
  // Characters, not bytes, count toward the width.
  const auto cut = [](const std::string& text, size_t room) {
    size_t chars = 0, at = 0;
    for (; at < text.size(); ++at)
      if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && chars++ == room) break;
    return text.substr(0, at);
  };
  const auto note_of = [&](const std::string& path, std::string* line) {
    bool found = false;
    std::string stored, note;
    if (table.lookup(path, &found) != kExitDone || !found || table.read(&stored, &note) != kExitDone) return false;
    *line = term_text(note.substr(0, note.find('\n')), false);
    return true;
  };
  std::string line;
  if (note_of(folder, &line))
    put_bytes(term_text(folder, false) + ": " + cut(line, width > folder.size() + 2 ? width - folder.size() - 2 : 0) +
              "\n");
  for (const auto& [name, is_folder] : entries) {
    std::string shown = term_text(name, false) + (is_folder ? "/" : "");
    const size_t length = shown.size();
    if (colour && is_folder) shown = "\033[1;34m" + shown + "\033[0m";
    if (!note_of(folder + "/" + name, &line)) {
      put_bytes(shown + "\n");
      continue;
    }
    shown += std::string(length < column ? column - length : 1, ' ');
    line = cut(line, width > column + 1 ? width - column - 1 : 0);
    put_bytes(shown + (colour ? "\033[33m" + line + "\033[0m" : line) + "\n");
  }
  return kExitDone;
}

int cmd_ls(int argc, char** argv) {
  Args a;
  int rc = parse_args("ls", argc, argv, kOptJson | kOptMissing | kOptSetAside | kOptNull, 0, 1, &a);
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
  struct stat st;
  if (!folder.empty() && !a.json && !a.null && !a.missing && stdout_is_terminal() &&
      ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && browse(table, folder) == kExitDone)
    return kExitDone;

  // As find: nothing listed is exit status 1.
  long listed = 0;
  auto show = [&](const std::string& path, const std::string& note) {
    if (a.missing && !gone(path)) return;
    emit(a, path, note, note.substr(0, note.find('\n')));
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
  int rc = parse_args("find", argc, argv, kOptJson | kOptNull, 1, 1, &a);
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
      emit(a, path, note, line_at(note, at));
    }
  });
  if (rc != kExitDone) return rc;
  return matches > 0 ? kExitDone : kExitNotFound;
}
