// status: whether notes are being followed. The running Monitor is asked
// over its socket (driver/report_client.h); the tables are counted here,
// read-only, whether a Monitor runs or not. Also the warning of `set` for
// a path the Monitor does not follow.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "driver/report_client.h"
#include "engine/engine.h"
#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "platform/atomic_file.h"
#include "platform/state_dir.h"
#include "platform/watch_config.h"
#include "upkeep/database.h"

namespace {

const char* const kTableFiles[] = {"qb.db",   "qb.idx",   "qbtmp.db", "qbtmp.idx",
                                   "qbbak.db", "qbbak.idx", "qbid.db",  "qbid.idx"};

// The answer's lines as (name, value) pairs, values unescaped.
std::vector<std::pair<std::string, std::string>> parse_status(const std::string& body) {
  std::vector<std::pair<std::string, std::string>> lines;
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find('\n', at);
    if (end == std::string::npos) end = body.size();
    const size_t blank = body.find(' ', at);
    if (blank != std::string::npos && blank < end) {
      std::string value;
      for (size_t i = blank + 1; i < end; ++i) {
        if (body[i] == '\\' && i + 1 < end) value += body[++i] == 'n' ? '\n' : body[i];
        else value += body[i];
      }
      lines.emplace_back(body.substr(at, blank - at), value);
    }
    at = end + 1;
  }
  return lines;
}

// Records of the table `base`, counted in record order without reading
// their fields; -1 when it cannot be opened or walked, -2 when it does not
// exist.
long count_records(const std::string& base) {
  struct stat st;
  if (::stat((base + ".db").c_str(), &st) != 0) return -2;
  Table* t;
  {
    CreationLock lock(false);
    t = tb_open(base.c_str(), 1, 1);
  }
  if (t == nullptr) return -1;
  TableIndex* physical = tb_physical_index(t);
  long n = 0;
  int rc = physical == nullptr ? -1 : tb_first_record(t, physical);
  while (rc == 1) {
    ++n;
    rc = tb_next_record(t, physical);
  }
  (void)tb_close(t);
  return rc == -3 ? n : -1;
}

std::string when_text(const std::string& seconds) {
  const std::time_t s = static_cast<std::time_t>(std::strtoll(seconds.c_str(), nullptr, 10));
  char text[64];
  std::tm local;
  if (localtime_r(&s, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return seconds;
  return text;
}

std::string count_text(long n) { return n == -2 ? "no table" : n < 0 ? "cannot be counted" : std::to_string(n); }

}  // namespace

int cmd_status(int argc, char** argv) {
  Args a;
  int rc = parse_args("status", argc, argv, kOptJson, 0, 0, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("status");
    return rc;
  }
  std::string state;
  if (qb_find_state_dir(&state) == 0) {  // asking the Monitor would make it
    say("no notes yet: %s does not exist, and no Monitor has run", state.c_str());
    return kExitNotFound;
  }
  std::string body;
  const int asked = qb_ask_status(&body);
  if (asked < 0) say("the Monitor's socket did not answer: %s", std::strerror(errno));
  const auto facts = parse_status(body);

  const std::string system = state.empty() ? "" : state + "/system";
  long notes = -1, set_aside = -1;
  if (!system.empty() && start_engine() == 1) {
    notes = count_records(system + "/qb");
    set_aside = count_records(system + "/qbtmp");
  }
  std::vector<std::pair<std::string, long long>> files;
  for (const char* name : kTableFiles) {
    struct stat st;
    if (!system.empty() && ::stat((system + "/" + name).c_str(), &st) == 0) files.emplace_back(name, st.st_size);
  }

  if (a.json) {
    std::string out = std::string("{\"monitor\": ") + (asked == 1 ? "true" : "false");
    std::string roots[2];  // "root" and "waiting" lines, as two arrays
    for (const auto& [name, value] : facts) {
      const bool number = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
      if (name == "root" || name == "waiting")
        roots[name == "root" ? 0 : 1] += (roots[name == "root" ? 0 : 1].empty() ? "" : ", ") + json_string(value);
      else
        out += ", " + json_string(name) + ": " + (number ? value : json_string(value));
    }
    if (asked == 1) out += ", \"roots\": [" + roots[0] + "], \"waiting\": [" + roots[1] + "]";
    out += ", \"notes\": " + std::to_string(notes) + ", \"set_aside\": " + std::to_string(set_aside) + ", \"files\": {";
    for (size_t i = 0; i < files.size(); ++i)
      out += (i == 0 ? "" : ", ") + json_string(files[i].first) + ": " + std::to_string(files[i].second);
    std::printf("%s}}\n", out.c_str());
  } else {
    std::string pid, started;
    for (const auto& [name, value] : facts) {
      if (name == "pid") pid = value;
      if (name == "started") started = value;
    }
    if (asked == 1)
      std::printf("Monitor: running (pid %s, watching since %s)\n", pid.c_str(), when_text(started).c_str());
    else
      std::printf("Monitor: none answers (not running, or still starting); notes do not follow their files "
                  "while no Monitor runs: start qbmon\n");
    const std::pair<const char*, const char*> labels[] = {
        {"root", "Root watched"},
        {"waiting", "Root waited for (not there)"},
        {"folders_watched", "Folders watched"},
        {"folders_ignored", "Folders ignored by name"},
        {"mounts_not_crossed", "Other file systems not entered"},
        {"folders_unwatched", "Folders unwatched (watch limit)"},
        {"events_queued", "Events queued"},
        {"events_handled", "Events handled"},
        {"overflows", "Kernel queue overflows"},
    };
    for (const auto& [key, label] : labels)
      for (const auto& [name, value] : facts)
        if (name == key) std::printf("%-32s %s\n", label, value.c_str());
    for (const auto& [name, value] : facts) {
      if (name != "last_report") continue;
      const size_t kind_end = value.find(' ');
      const size_t when_end = value.find(' ', kind_end + 1);
      if (kind_end == std::string::npos || when_end == std::string::npos) continue;
      std::printf("Last %s (%s): %s\n", value.substr(0, kind_end).c_str(),
                  when_text(value.substr(kind_end + 1, when_end - kind_end - 1)).c_str(),
                  value.substr(when_end + 1).c_str());
    }
    std::printf("%-32s %s\n", "Notes", count_text(notes).c_str());
    std::printf("%-32s %s\n", "Notes set aside", count_text(set_aside).c_str());
    for (const auto& [name, size] : files) std::printf("%-32s %lld bytes\n", (system + "/" + name).c_str(), size);
  }
  return asked == 1 ? kExitDone : kExitTable;
}

namespace {

std::string boot_id() {
  std::string id;
  std::FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "r");
  if (f == nullptr) return id;
  char line[64];
  if (std::fgets(line, sizeof line, f) != nullptr) id = line;
  std::fclose(f);
  return id;
}

// Once per boot of the system: told once, a person knows; told at every
// note, they stop reading.
void warn_once_no_monitor() {
  std::string body;
  if (qb_ask_status(&body) != 0) return;  // one answers, or cannot be asked
  const std::string mark = qb_state_path("no-monitor-told");
  const std::string now = boot_id();
  std::FILE* f = std::fopen(mark.c_str(), "r");
  char seen[64] = "";
  if (f != nullptr) {
    if (std::fgets(seen, sizeof seen, f) == nullptr) seen[0] = '\0';
    std::fclose(f);
  }
  if (!now.empty() && now == seen) return;
  say("no Monitor runs: notes follow their files only while qbmon runs; files renamed or moved meanwhile are found "
      "again when it starts, deleted ones are not. Start it with `qbmon` or `systemctl --user start qbmon`. "
      "(Said once per boot.)");
  // Mode 0600 whatever the umask: the state folder holds nothing others may write.
  (void)af_replace(mark, now);
}

}  // namespace

void warn_if_not_followed(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
    say("%s: no such file: the note is kept, and `qbnote ls --missing` lists it", path.c_str());
  warn_once_no_monitor();
  const WatchConfig c = qb_read_watch_config();
  std::vector<std::string> roots;
  char resolved[PATH_MAX];
  for (const std::string& r : c.roots) roots.push_back(realpath(r.c_str(), resolved) != nullptr ? resolved : r);
  const std::string state = qb_state_dir();
  const std::string excluded = realpath(state.c_str(), resolved) != nullptr ? resolved : state;
  const char* why = nullptr;
  switch (qb_watch_verdict(c, roots, qb_mount_points(), excluded, path)) {
    case WatchVerdict::kFollowed: return;
    case WatchVerdict::kOutsideRoots: why = "is outside the folders the Monitor watches (\"WatchRoots\")"; break;
    case WatchVerdict::kIgnored: why = "is inside a folder the Monitor ignores by name (\"IgnoreNames\")"; break;
    case WatchVerdict::kOtherFileSystem:
      why = "is on another file system mounted below a watched folder, which the Monitor does not enter "
            "(\"CrossMounts\")";
      break;
    case WatchVerdict::kStateFolder: why = "is inside Quibbet's state folder, which the Monitor never watches"; break;
  }
  say("%s %s: the note is stored, but will not follow the file when it is renamed, moved or deleted. The values "
      "are in registry.reg in %s",
      path.c_str(), why, state.c_str());
}
