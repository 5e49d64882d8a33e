// Keeps the floors of the house plan true: a folder of src/ may reach, by
// its #include "..." lines and those of what they include in turn, only
// folders on its own floor or below, and never a folder or header kept
// apart from it.
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

// records/ is a half floor below engine/.
const std::map<std::string, double> kFloors = {
    {"cache", 0},  {"btree", 0},   {"platform", 0}, {"event", 0},       {"engine", 1.5}, {"records", 1}, {"table_handle", 2},
    {"upkeep", 3}, {"tracking", 4}, {"driver", 5},  {"driver_link", 5}, {"monitor", 6},  {"notes", 6}};
// Never reached although the floors would allow it; notes opens tables of
// its own, not the Monitor's two table handles.
const std::multimap<std::string, std::string> kKeptApart = {
    {"cache", "btree"},    {"cache", "platform"},       {"btree", "platform"},     {"platform", "cache"},
    {"platform", "btree"}, {"records", "engine"},       {"driver", "tracking"},    {"driver", "upkeep"},
    {"driver", "engine"},  {"driver", "table_handle"},  {"driver", "records"},     {"notes", "monitor"},
    {"notes", "tracking"}, {"notes", "driver_link"},    {"notes", "upkeep/monitor_tables.h"}};

std::string folder_of(const std::string& path) { return path.substr(0, path.find('/')); }

// Every file reaching what it should not, with the header it reaches.
std::set<std::pair<std::string, std::string>> scan(const fs::path& src) {
  std::map<std::string, std::vector<std::string>> includes;  // each file's own, relative to src/
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const std::string ext = entry.path().extension().string(), file = fs::relative(entry.path(), src).string();
    if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find("#include \"");
      if (at == std::string::npos) continue;
      std::string inc = line.substr(at + 10, line.find('"', at + 10) - at - 10);
      includes[file].push_back(inc.find('/') == std::string::npos ? folder_of(file) + "/" + inc : inc);
    }
  }
  std::set<std::pair<std::string, std::string>> found;
  for (const auto& [file, direct] : includes) {
    const std::string from = folder_of(file);
    if (kFloors.count(from) == 0) continue;
    std::set<std::string> reached;
    for (std::vector<std::string> todo = direct; !todo.empty();) {
      const std::string next = todo.back();
      todo.pop_back();
      if (!reached.insert(next).second || includes.count(next) == 0) continue;
      todo.insert(todo.end(), includes[next].begin(), includes[next].end());
    }
    for (const std::string& header : reached) {
      const std::string to = folder_of(header);
      bool bad = kFloors.count(to) != 0 && kFloors.at(to) > kFloors.at(from);
      const auto [lo, hi] = kKeptApart.equal_range(from);
      for (auto it = lo; it != hi; ++it) bad = bad || (to != from && (it->second == to || it->second == header));
      if (bad) found.insert({file, header});
    }
  }
  return found;
}

TEST(Layering, NoFolderReachesOneAboveItOrOneKeptApart) {
  for (const auto& [file, header] : scan(fs::path(QB_SOURCE_DIR) / "src")) ADD_FAILURE() << file << " reaches " << header;
}

// A scratch tree where each fault is made through a header of an allowed
// folder: the scan must name the file that reaches it.
TEST(Layering, TheCheckFollowsIncludesOfIncludes) {
  const fs::path tmp = fs::temp_directory_path() / ("qb_layering_" + std::to_string(::getpid()));
  const std::pair<const char*, const char*> files[] = {
      {"btree/good.cpp", "cache/page_cache.h"},      {"cache/page_cache.h", ""},
      {"event/fine.h", "btree/index_file.h"},        {"btree/index_file.h", "platform/report.h"},  // kept apart
      {"platform/report.h", ""},                     {"driver/queue.cpp", "event/file_event.h"},
      {"event/file_event.h", "tracking/do_response.h"}, {"tracking/do_response.h", ""},             // above event
      {"notes/main.cpp", "upkeep/database.h"},       {"upkeep/database.h", "monitor_tables.h"},
      {"upkeep/monitor_tables.h", ""}};
  for (const auto& [file, include] : files) {
    fs::create_directories((tmp / file).parent_path());
    std::ofstream(tmp / file) << (*include ? std::string("#include \"") + include + "\"\n" : "\n");
  }
  const auto found = scan(tmp);
  fs::remove_all(tmp);
  EXPECT_EQ(found, (std::set<std::pair<std::string, std::string>>{
                       {"btree/index_file.h", "platform/report.h"}, {"event/file_event.h", "tracking/do_response.h"},
                       {"driver/queue.cpp", "tracking/do_response.h"}, {"notes/main.cpp", "upkeep/monitor_tables.h"}}));
}

}  // namespace
