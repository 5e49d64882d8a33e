// The notes the Monitor set aside: `ls --set-aside` lists them with when and
// why each was set aside, and `restore` puts one back into the notes table.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"

namespace {

// "Since" (seconds since 1970) as a local "YYYY-MM-DD HH:MM", or, with
// `utc`, as "YYYY-MM-DDTHH:MM:SSZ"; "unknown" when it is no time.
std::string when(const std::string& since, bool utc) {
  char* end = nullptr;
  const long long seconds = std::strtoll(since.c_str(), &end, 10);
  const std::time_t at = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32];
  if (since.empty() || *end != '\0' || (utc ? gmtime_r(&at, &parts) : localtime_r(&at, &parts)) == nullptr ||
      std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M", &parts) == 0)
    return "unknown";
  return text;
}

void put_bytes(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

}  // namespace

int list_set_aside(const Args& a, const std::string& folder) {
  if (a.missing) {
    say("ls: --missing and --set-aside do not go together: set-aside notes are of paths that went away");
    return kExitUsage;
  }
  NotesTable aside;
  int rc = aside.open(NotesTable::kReading, NotesTable::kSetAside);
  if (rc != kExitDone) return rc;  // kExitNotFound: no Monitor has run yet, nothing set aside
  long listed = 0;
  rc = aside.scanNotes(folder, [&](const ListedNote& n) {
    if (!folder.empty() && n.path.size() > folder.size() && n.path[folder.size()] != '/') return;
    ++listed;
    const std::string kind = n.kind.empty() ? "unknown" : n.kind;
    if (a.json) {
      const std::string object = json_note(n.path, n.note);
      put_bytes(object.substr(0, object.size() - 1) + ", \"set_aside\": " + json_string(when(n.since, true)) +
                ", \"kind\": " + json_string(kind) + "}");
    } else {
      const bool tty = stdout_is_terminal();
      const std::string line = n.note.substr(0, n.note.find('\n'));
      put_bytes((tty ? term_text(n.path, false) : n.path) + "\t" + when(n.since, false) + "\t" + kind + "\t" +
                (tty ? term_text(line, false) : line));
    }
    std::fputc('\n', stdout);
  });
  return rc == kExitDone && listed == 0 ? kExitNotFound : rc;
}

int cmd_restore(int argc, char** argv) {
  Args a;
  int rc = parse_args("restore", argc, argv, 0, 1, 2, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("restore");
    return rc;
  }
  std::string old, target;
  if ((rc = note_path(a.operands[0].c_str(), &old)) != kExitDone) return rc;
  if ((rc = note_path(a.operands.back().c_str(), &target)) != kExitDone) return rc;

  NotesTable aside;
  rc = aside.open(NotesTable::kChanging, NotesTable::kSetAside);
  bool found = false;
  if (rc == kExitDone) rc = aside.lookup(old, &found);
  std::string stored, note;
  if (rc == kExitDone) rc = found ? aside.read(&stored, &note) : kExitNotFound;
  if (rc == kExitNotFound) say("%s has no set-aside note (see qbnote ls --set-aside)", old.c_str());
  if (rc != kExitDone || (rc = check_note(target, note)) != kExitDone) return rc;

  // Added only where there is no note: a note already there is never
  // replaced by an older one.
  NotesTable notes;
  if ((rc = notes.open(NotesTable::kWriting)) != kExitDone) return rc;
  const ExpectedNote none;
  rc = notes.put(target, note, &none);
  if (rc == kNoteChanged) {
    say("%s has a note already; nothing was restored (remove that note with qbnote rm first, or restore onto "
        "another path: qbnote restore %s NEW)",
        target.c_str(), old.c_str());
    return kExitUsage;
  }
  if (rc != kExitDone) return rc;
  rc = aside.remove(stored, &note);
  if (rc == kNoteChanged || rc == kExitNotFound) {
    say("restored onto %s; the set-aside note of %s was changed by the Monitor meanwhile and stays set aside",
        target.c_str(), old.c_str());
    return kExitDone;
  }
  return rc;
}
