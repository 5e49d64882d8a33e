// The commands that change notes: set, rm and edit.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "notes/notes.h"
#include "notes/notes_table.h"

int cmd_set(int argc, char** argv) {
  Args a;
  int rc = parse_args("set", argc, argv, kTextFollows, 1, 2, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("set");
    return rc;
  }
  std::string path;
  if ((rc = note_path(a.operands[0].c_str(), &path)) != kExitDone) return rc;

  std::string note;
  if (a.operands.size() == 2 && a.operands[1] != "-") {
    note = a.operands[1];
  } else {
    if (::isatty(0)) say("reading the note from standard input; end it with Ctrl-D");
    if (read_input("-", &note) != 1) return kExitUsage;
    drop_final_newline(&note);
  }
  if ((rc = check_note(path, note)) != kExitDone) return rc;

  NotesTable table;
  if ((rc = table.open(NotesTable::kWriting)) != kExitDone) return rc;
  rc = table.put(path, note);
  if (rc == kExitDone) warn_if_not_followed(path);
  return rc;
}

int cmd_rm(int argc, char** argv) {
  Args a;
  int rc = parse_args("rm", argc, argv, 0, 1, 1, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("rm");
    return rc;
  }
  std::string path;
  if ((rc = note_path(a.operands[0].c_str(), &path)) != kExitDone) return rc;
  NotesTable table;
  rc = table.open(NotesTable::kChanging);
  if (rc == kExitDone) rc = table.remove(path);
  if (rc == kExitNotFound) say("%s has no note", path.c_str());
  return rc;
}

// ---------------------------------------------------------------------------
// edit

namespace {

std::string editor_command() {
  for (const char* name : {"VISUAL", "EDITOR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "vi";
}

// Runs the editor on `file` through the shell, so that an editor given with
// its own arguments ("code --wait") works. Its exit status, or -1.
int run_editor(const std::string& editor, const std::string& file) {
  const std::string script = editor + " \"$1\"";
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), "sh", file.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole of `path`, without a message: true when it could be read.
bool read_whole(const std::string& path, std::string* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

// A fresh file "qbnote-XXXXXX.txt" in $TMPDIR (else /tmp) holding `text`.
int write_temp(const std::string& text, std::string* name) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/qbnote-XXXXXX.txt";
  int fd = ::mkstemps(pattern.data(), 4);
  if (fd < 0) {
    say("cannot make a temporary file in %s: %s", dir != nullptr ? dir : "/tmp", std::strerror(errno));
    return -1;
  }
  *name = pattern;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      say("cannot write %s: %s", name->c_str(), std::strerror(errno));
      ::close(fd);
      ::unlink(name->c_str());
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    say("cannot write %s: %s", name->c_str(), std::strerror(errno));
    ::unlink(name->c_str());
    return -1;
  }
  return 1;
}

}  // namespace

int cmd_edit(int argc, char** argv) {
  Args a;
  int rc = parse_args("edit", argc, argv, 0, 1, 1, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("edit");
    return rc;
  }
  std::string path;
  if ((rc = note_path(a.operands[0].c_str(), &path)) != kExitDone) return rc;

  // The note as it is now; the table is closed again while the editor runs,
  // so that nothing is held for the minutes a person may take.
  ExpectedNote before;
  {
    NotesTable table;
    if ((rc = table.open(NotesTable::kWriting)) != kExitDone) return rc;
    bool found = false;
    if ((rc = table.lookup(path, &found)) != kExitDone) return rc;
    if (found) {
      std::string stored;
      rc = table.read(&stored, &before.note);
      if (rc != kExitDone && rc != kExitNotFound) return rc;
      before.present = rc == kExitDone;
    }
  }

  std::string file;
  const std::string given = before.present && !before.note.empty() ? before.note + "\n" : "";
  if (write_temp(given, &file) != 1) return kExitUsage;
  const std::string editor = editor_command();
  const int status = run_editor(editor, file);
  if (status != 0) {
    // The file goes unless it holds text the person wrote: that is kept.
    std::string left;
    const bool untouched = read_whole(file, &left) && left == given;
    if (untouched) ::unlink(file.c_str());
    say("the editor (%s) failed (exit status %d); the note is unchanged%s%s", editor.c_str(), status,
        untouched ? "" : "; your text is in ", untouched ? "" : file.c_str());
    return kExitUsage;
  }
  std::string edited;
  if (read_input(file.c_str(), &edited) != 1) return kExitUsage;
  drop_final_newline(&edited);

  if (edited.empty() || (before.present && edited == before.note)) {
    say(edited.empty() ? "the note is empty: nothing was stored (qbnote rm deletes a note)"
                       : "the note is unchanged");
    ::unlink(file.c_str());
    return kExitDone;
  }
  if ((rc = check_note(path, edited)) != kExitDone) {
    say("your text is kept in %s", file.c_str());
    return rc;
  }

  NotesTable table;
  rc = table.open(NotesTable::kWriting);
  if (rc == kExitDone) rc = table.put(path, edited, &before);
  if (rc == kNoteChanged) {
    say("the note of %s was changed by another program while you edited it; nothing was stored; your text is "
        "in %s",
        path.c_str(), file.c_str());
    return kExitHeld;
  }
  if (rc != kExitDone) {
    say("your text is kept in %s", file.c_str());
    return rc;
  }
  ::unlink(file.c_str());
  return kExitDone;
}
