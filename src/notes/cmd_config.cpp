// config: the Monitor's settings, read and changed in registry.reg with the
// type each has, values that make no sense refused. Hand-editing the file
// keeps working: this is the same file, changed the safe way
// (platform/registry.h).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "driver/report_client.h"
#include "notes/notes.h"
#include "platform/registry.h"
#include "platform/watch_config.h"

namespace {

struct Setting {
  const char* name;
  bool number;          // a dword; else a string
  const char* initial;  // what the Monitor takes when the value is missing
  const char* meaning;
};

const Setting kSettings[] = {
    {"WatchRoots", false, "the home folder", "folders to watch, separated by ':'"},
    {"IgnoreNames", false, ".git:.hg:.svn:node_modules:__pycache__:.cache",
     "folder names whose contents are not watched, separated by ':'"},
    {"CrossMounts", true, "0", "1: also watch other file systems mounted below a root"},
    {"SetAsideDays", true, "30", "days a deleted file's note waits for its path (0: until the next start)"},
    {"RenameBackSeconds", true, "60", "seconds a renamed file's old name gives its note to a file made there"},
    {"NotesProgram", false, "none", "a command line started with the Monitor"},
    {"Integrate", true, "1", "0: never start NotesProgram"},
};

const Setting* find_setting(const std::string& name) {
  for (const Setting& s : kSettings)
    if (strcasecmp(s.name, name.c_str()) == 0) return &s;
  return nullptr;
}

// The value stored, as text: true; false when there is none (*error 0: the
// default holds) or it cannot be read (*error says why).
bool stored(const Setting& s, std::string* text, int* error) {
  int e;
  if (s.number) {
    uint32_t n = 0;
    e = reg_read_number(RegHive::kLocalMachine, kWatchConfigKey, s.name, &n);
    if (e == 0) *text = std::to_string(n);
  } else {
    e = reg_read_string(RegHive::kLocalMachine, kWatchConfigKey, s.name, text);
  }
  *error = e == ENOENT ? 0 : e;
  return e == 0;
}

// Why `value` makes no sense for `s`; "" when it does.
std::string refusal(const Setting& s, const std::string& value) {
  if (s.number) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 || n > UINT32_MAX)
      return "a whole number from 0 to 4294967295 is wanted";
    if ((std::strcmp(s.name, "CrossMounts") == 0 || std::strcmp(s.name, "Integrate") == 0) && n > 1)
      return "0 or 1 is wanted";
    return "";
  }
  if (std::strcmp(s.name, "WatchRoots") == 0) {
    size_t at = 0;
    while (at <= value.size()) {
      size_t colon = value.find(':', at);
      if (colon == std::string::npos) colon = value.size();
      const std::string root = value.substr(at, colon - at);
      struct stat st;
      if (root.empty() || root[0] != '/') return "every root must be an absolute path: \"" + root + "\" is not";
      if (::stat(root.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return root + " is not a folder";
      at = colon + 1;
    }
  }
  if (std::strcmp(s.name, "IgnoreNames") == 0 && value.find('/') != std::string::npos)
    return "folder names are wanted, without '/'";
  return "";
}

void print_setting(const Setting& s) {
  std::string text;
  int error = 0;
  if (!stored(s, &text, &error))
    text = error != 0 ? "(cannot be read: " + std::string(std::strerror(error)) + ")"
                      : "(not set: " + std::string(s.initial) + ")";
  std::printf("%-18s %-40s %s\n", s.name, text.c_str(), s.meaning);
}

void say_restart() {
  std::string status;
  if (qb_ask_status(&status) == 1)
    say("config: the running Monitor reads its settings at start: restart it (qbmon --stop, then qbmon; or "
        "systemctl --user restart qbmon)");
}

}  // namespace

int cmd_config(int argc, char** argv) {
  Args a;
  int rc = parse_args("config", argc, argv, kTextFollows, 0, 3, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("config");
    return rc;
  }
  const std::string verb = a.operands.empty() ? "list" : a.operands[0];
  const size_t operands = verb == "list" ? 1 : verb == "set" ? 3 : 2;
  if ((verb != "list" && verb != "get" && verb != "set" && verb != "unset") ||
      a.operands.size() > operands || (!a.operands.empty() && a.operands.size() < operands)) {
    say("config: list, get NAME, set NAME VALUE or unset NAME (see qbnote config --help)");
    return kExitUsage;
  }
  if (verb == "list") {
    for (const Setting& s : kSettings) print_setting(s);
    return kExitDone;
  }
  const Setting* s = find_setting(a.operands[1]);
  if (s == nullptr) {
    say("config: no setting is called %s (qbnote config list shows them)", a.operands[1].c_str());
    return kExitUsage;
  }
  int error = 0;
  if (verb == "get") {
    std::string text;
    if (!stored(*s, &text, &error)) {
      if (error != 0) say("config: cannot read registry.reg: %s", std::strerror(error));
      return error != 0 ? kExitTable : kExitNotFound;
    }
    std::printf("%s\n", text.c_str());
    return kExitDone;
  }
  if (verb == "set") {
    const std::string& value = a.operands[2];
    const std::string why = refusal(*s, value);
    if (!why.empty()) {
      say("config: %s: %s; nothing was changed", s->name, why.c_str());
      return kExitUsage;
    }
    error = s->number ? reg_write_number(RegHive::kLocalMachine, kWatchConfigKey, s->name,
                                         static_cast<uint32_t>(std::strtoull(value.c_str(), nullptr, 10)))
                      : reg_write_string(RegHive::kLocalMachine, kWatchConfigKey, s->name, value);
  } else {
    error = reg_delete_value(RegHive::kLocalMachine, kWatchConfigKey, s->name);
    if (error == ENOENT) error = 0;
  }
  if (error != 0) {
    say("config: cannot write registry.reg: %s", std::strerror(error));
    return kExitTable;
  }
  say_restart();
  return kExitDone;
}
