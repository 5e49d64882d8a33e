// Keeps the floors of the house plan true: a folder of src/ may reach, by
// its #include "..." lines and those of what it includes in turn, only
// folders on its own floor or below, and a few folders (or headers) on its
// floor or below stay out of its reach as well.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Floor of each folder of src/. records/ is a half floor below engine/.
const std::map<std::string, double>& floors() {
  static const std::map<std::string, double> f = {
      {"cache", 0},        {"btree", 0},  {"platform", 0},     {"event", 0},       {"engine", 1.5},
      {"records", 1},      {"table_handle", 2}, {"upkeep", 3},  {"tracking", 4},    {"driver_link", 5},
      {"driver", 5},       {"monitor", 6}, {"notes", 6},
  };
  return f;
}

// What a folder must never reach although the floors would allow it: a
// folder, or one header ("folder/name.h").
const std::multimap<std::string, std::string>& kept_apart() {
  static const std::multimap<std::string, std::string> pairs = {
      {"cache", "btree"},      {"cache", "platform"},     {"btree", "platform"},      {"platform", "cache"},
      {"platform", "btree"},   {"records", "engine"},     {"driver", "tracking"},     {"driver", "upkeep"},
      {"driver", "table_handle"}, {"driver", "engine"},   {"driver", "records"},      {"notes", "monitor"},
      {"notes", "tracking"},   {"notes", "driver_link"},
      // The Monitor's two table handles: qbnote opens tables of its own.
      {"notes", "upkeep/monitor_tables.h"},
  };
  return pairs;
}

struct Violation {
  std::string file;     // relative to src/
  std::string reached;  // a header it reaches, relative to src/
};

std::string folder_of(const std::string& path) { return path.substr(0, path.find('/')); }

// Every file's own includes, as paths relative to src/.
std::map<std::string, std::vector<std::string>> read_includes(const fs::path& src) {
  std::map<std::string, std::vector<std::string>> includes;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    if (!entry.is_regular_file()) continue;
    const std::string ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".cpp") continue;
    const std::string file = fs::relative(entry.path(), src).string();
    std::vector<std::string>& mine = includes[file];
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      const size_t pos = line.find("#include \"");
      if (pos == std::string::npos) continue;
      const size_t start = pos + 10;
      std::string inc = line.substr(start, line.find('"', start) - start);
      if (inc.find('/') == std::string::npos) inc = folder_of(file) + "/" + inc;  // same-folder include
      mine.push_back(inc);
    }
  }
  return includes;
}

std::vector<Violation> scan(const fs::path& src) {
  const auto includes = read_includes(src);
  std::vector<Violation> found;
  for (const auto& [file, direct] : includes) {
    const std::string from = folder_of(file);
    const auto ff = floors().find(from);
    if (ff == floors().end()) continue;
    // Everything the file reaches, through headers of ours.
    std::set<std::string> reached;
    std::vector<std::string> todo = direct;
    while (!todo.empty()) {
      const std::string next = todo.back();
      todo.pop_back();
      if (!reached.insert(next).second) continue;
      const auto it = includes.find(next);
      if (it != includes.end()) todo.insert(todo.end(), it->second.begin(), it->second.end());
    }
    for (const std::string& header : reached) {
      const std::string to = folder_of(header);
      const auto tf = floors().find(to);
      bool bad = tf != floors().end() && tf->second > ff->second;
      const auto [lo, hi] = kept_apart().equal_range(from);
      for (auto it = lo; it != hi && !bad; ++it) bad = to != from && (it->second == to || it->second == header);
      if (bad) found.push_back({file, header});
    }
  }
  return found;
}

}  // namespace

TEST(Layering, NoFolderReachesOneAboveItOrOneKeptApart) {
  for (const auto& v : scan(fs::path(QB_SOURCE_DIR) / "src")) ADD_FAILURE() << v.file << " reaches " << v.reached;
}

// A scratch tree where each violation is made through a header of an
// allowed folder: the scan must report the file that reaches it.
TEST(Layering, TheCheckFollowsIncludesOfIncludes) {
  const fs::path tmp = fs::temp_directory_path() / ("qb_layering_" + std::to_string(::getpid()));
  for (const char* dir : {"cache", "btree", "event", "driver", "tracking", "notes", "upkeep", "platform"})
    fs::create_directories(tmp / dir);
  std::ofstream(tmp / "btree" / "good.cpp") << "#include \"cache/page_cache.h\"\n";
  std::ofstream(tmp / "cache" / "page_cache.h") << "\n";
  std::ofstream(tmp / "event" / "fine.h") << "#include \"btree/index_file.h\"\n";  // event may reach platform
  std::ofstream(tmp / "btree" / "index_file.h") << "#include \"platform/report.h\"\n";  // kept apart
  std::ofstream(tmp / "platform" / "report.h") << "\n";
  std::ofstream(tmp / "driver" / "queue.cpp") << "#include \"event/file_event.h\"\n";
  std::ofstream(tmp / "event" / "file_event.h") << "#include \"tracking/do_response.h\"\n";  // above event
  std::ofstream(tmp / "tracking" / "do_response.h") << "\n";
  std::ofstream(tmp / "notes" / "main.cpp") << "#include \"upkeep/database.h\"\n";
  std::ofstream(tmp / "upkeep" / "database.h") << "#include \"monitor_tables.h\"\n";
  std::ofstream(tmp / "upkeep" / "monitor_tables.h") << "\n";
  std::set<std::pair<std::string, std::string>> found;
  for (const Violation& v : scan(tmp)) found.insert({v.file, v.reached});
  fs::remove_all(tmp);
  const std::set<std::pair<std::string, std::string>> expected = {
      {"btree/index_file.h", "platform/report.h"},
      {"event/file_event.h", "tracking/do_response.h"},    {"driver/queue.cpp", "tracking/do_response.h"},
      {"notes/main.cpp", "upkeep/monitor_tables.h"},
  };
  EXPECT_EQ(found, expected);
}
