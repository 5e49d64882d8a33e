// Keeps the floors of the house plan true: a folder of src/ may include only
// folders on its own floor or below, and a few pairs on one floor are kept
// apart as well. The test reads every #include "..." line under src/.
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
      {"cache", 0},      {"btree", 0},    {"platform", 0},     {"resources", 0},
      {"engine", 1.5},   {"records", 1},  {"table_handle", 2}, {"upkeep", 3},
      {"tracking", 4},   {"driver_link", 5}, {"driver", 5},    {"monitor", 6},
      {"notes", 6},
  };
  return f;
}

// Pairs (from, to) that are forbidden although the floors would allow them.
bool forbidden_pair(const std::string& from, const std::string& to) {
  static const std::set<std::pair<std::string, std::string>> pairs = {
      {"cache", "btree"},    {"cache", "platform"},  {"cache", "resources"},
      {"btree", "platform"}, {"btree", "resources"}, {"platform", "cache"},
      {"platform", "btree"}, {"platform", "resources"}, {"notes", "monitor"},
      {"notes", "tracking"}, {"notes", "driver_link"}, {"driver", "tracking"},
      {"driver", "upkeep"},  {"driver", "table_handle"}, {"driver", "engine"},
      {"driver", "records"}, {"records", "engine"},
  };
  return pairs.count({from, to}) != 0;
}

struct Violation {
  std::string file;
  std::string include;
};

std::vector<Violation> scan(const fs::path& src) {
  std::vector<Violation> found;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    if (!entry.is_regular_file()) continue;
    auto ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".cpp") continue;
    std::string from = fs::relative(entry.path(), src).begin()->string();
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      auto pos = line.find("#include \"");
      if (pos == std::string::npos) continue;
      auto start = pos + 10;
      auto end = line.find('"', start);
      std::string inc = line.substr(start, end - start);
      auto slash = inc.find('/');
      if (slash == std::string::npos) continue;  // same-folder include
      std::string to = inc.substr(0, slash);
      auto ff = floors().find(from);
      auto tf = floors().find(to);
      if (ff == floors().end() || tf == floors().end()) continue;
      if (tf->second > ff->second || (from != to && forbidden_pair(from, to)))
        found.push_back({entry.path().string(), inc});
    }
  }
  return found;
}

}  // namespace

TEST(Layering, NoFolderIncludesOneAboveIt) {
  auto found = scan(fs::path(QB_SOURCE_DIR) / "src");
  for (const auto& v : found) ADD_FAILURE() << v.file << " includes " << v.include;
  EXPECT_TRUE(found.empty());
}

TEST(Layering, TheCheckSeesAViolation) {
  // A scratch tree with cache/ including btree/: the scan must report it.
  fs::path tmp = fs::temp_directory_path() / ("qb_layering_" + std::to_string(::getpid()));
  fs::create_directories(tmp / "cache");
  fs::create_directories(tmp / "btree");
  std::ofstream(tmp / "cache" / "bad.cpp") << "#include \"btree/index_file.h\"\n";
  std::ofstream(tmp / "btree" / "good.cpp") << "#include \"cache/page_cache.h\"\n";
  auto found = scan(tmp);
  fs::remove_all(tmp);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].include, "btree/index_file.h");
}
