// Many qbnote processes on one notes table while the real Monitor follows a
// tree changing under it, for QB_STRESS_SECONDS (8) from seed QB_STRESS_SEED
// (1): four writers set and remove notes on their own files, on paths that
// never exist (ghosts) and on one path all share (lock contention); two
// readers list, search and read; the mover (the test thread) changes files
// and folders under m/ with a model of where its notes must end. After a
// folder rename it waits for the folder's note, so the model need not know how
// far behind the Monitor is. Every run must end as its model expects (4, a
// lock held past the retries, too: nothing here holds one long).
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

int env_number(const char* name, int fallback) {
  const char* s = std::getenv(name);
  return s != nullptr && std::atoi(s) > 0 ? std::atoi(s) : fallback;
}

bool at_or_under(const std::string& path, const std::string& folder) {
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

class Stress : public E2eTest {
 protected:
  static constexpr int kWriters = 4, kReaders = 2, kFiles = 8, kGhosts = 4, kMaxDepth = 3;

  // qbnote from any thread; a status not in `expected` is a surprise.
  ProgramRun run(const std::vector<std::string>& args, std::vector<int> expected = {0}) {
    ProgramRun r = qbnote(args);
    if (std::find(expected.begin(), expected.end(), r.status) == expected.end())
      surprise(args[0] + " " + args.back() + " -> " + std::to_string(r.status) + ", " + r.err);
    return r;
  }
  void surprise(const std::string& what) {
    std::lock_guard<std::mutex> hold(mutex_);
    surprises_.push_back(what);
  }

  void write_step(int id, std::mt19937& rng, Notes& model, std::set<std::string>& contended, int op) {
    const int dice = static_cast<int>(rng() % 100);
    const std::string w = "w" + std::to_string(id), text = w + " n" + std::to_string(op);
    const std::string path =
        at(w + (dice < 35 ? "/ghost" + std::to_string(rng() % kGhosts) : "/f" + std::to_string(rng() % kFiles)));
    if (dice < 20 && run({"set", contended_, text}).status == 0) contended.insert(text);
    if (dice >= 20 && dice < 75 && run({"set", path, text}).status == 0) model[path] = text;
    if (dice >= 75 && run({"rm", path}, {model.count(path) != 0 ? 0 : 1}).status == 0) model.erase(path);
  }

  // Readers know nothing of the outcome: every answer is "found" or "not
  // found", listings are lines of "/path<TAB>first line", a note ends its line.
  void read_step(int id, std::mt19937& rng, const std::vector<std::string>& readable) {
    const int dice = static_cast<int>(rng() % 100);
    using Args = std::vector<std::string>;
    const Args args = id == 0 ? (dice < 50   ? Args{"ls"}
                                 : dice < 75 ? Args{"ls", "--missing"}
                                             : Args{"find", "w" + std::to_string(rng() % kWriters)})
                              : (dice < 80 ? Args{"get", readable[rng() % readable.size()]} : Args{"ls", area_});
    const ProgramRun r = run(args, {0, 1});
    bool well_formed = args[0] != "get" || r.status != 0 || r.out.ends_with('\n');
    std::istringstream lines(args[0] == "get" ? "" : r.out);
    for (std::string line; std::getline(lines, line);)
      well_formed = well_formed && line.starts_with('/') && line.find('\t') != std::string::npos;
    if (!well_formed) surprise("malformed answer to " + args[0] + ": " + r.out.substr(0, 200));
  }

  void mover_set(const std::string& path) {
    const std::string text = "m " + path.substr(area_.size()) + " #" + std::to_string(++fresh_);
    if (run({"set", path, text}).status == 0) notes_[path] = text;
  }

  // The model after `from` (and all below it) became `to`; `to` nothing: deleted.
  void rekey(const std::string& from, const std::optional<std::string>& to) {
    const auto move_in = [&](auto& map) {
      std::remove_reference_t<decltype(map)> moved;
      for (auto it = map.begin(); it != map.end();)
        if (at_or_under(it->first, from)) {
          if (to) moved[*to + it->first.substr(from.size())] = it->second;
          it = map.erase(it);
        } else {
          ++it;
        }
      map.insert(moved.begin(), moved.end());
    };
    move_in(tree_);
    move_in(notes_);
  }
  int depth(const std::string& p) const { return static_cast<int>(std::count(p.begin() + area_.size(), p.end(), '/')); }

  // One step of the mover; false when its model can no longer be trusted.
  bool mover_step(std::mt19937& rng) {
    std::vector<std::string> files, folders;
    for (const auto& [path, is_folder] : tree_) (is_folder ? folders : files).push_back(path);
    const int dice = static_cast<int>(rng() % 100);
    const std::string file = files.empty() ? "" : files[rng() % files.size()];
    const std::string folder = folders[rng() % folders.size()], other = folders[rng() % folders.size()];
    const std::string fresh = std::to_string(++fresh_);
    std::string step;
    bool ok = true;
    if (dice < 30 && !file.empty()) {  // renamed or moved, under a fresh name
      step = "mv " + file + " " + folder + "/r" + fresh;
      if ((ok = ::rename(file.c_str(), (folder + "/r" + fresh).c_str()) == 0)) rekey(file, folder + "/r" + fresh);
    } else if (dice < 38 && files.size() > 16) {
      step = "rm " + file;
      if ((ok = ::unlink(file.c_str()) == 0)) rekey(file, std::nullopt);
    } else if (dice < 48 && !file.empty()) {  // saved as some editors save: deleted, written anew
      step = "save " + file;
      ok = ::unlink(file.c_str()) == 0 && write_whole_file(file, "saved\n");
    } else if (dice < 64) {
      step = "write " + folder + "/n" + fresh;
      ok = write_whole_file(folder + "/n" + fresh, "new\n");
      tree_[folder + "/n" + fresh] = false;
      if (rng() % 3 != 0) mover_set(folder + "/n" + fresh);
    } else if (dice < 74 && !file.empty()) {
      step = "cp " + file + " " + folder + "/c" + fresh;
      if (run({"cp", file, folder + "/c" + fresh}).status == 0) tree_[folder + "/c" + fresh] = false;
      if (notes_.count(file) != 0 && tree_.count(folder + "/c" + fresh) != 0) notes_[folder + "/c" + fresh] = notes_[file];
    } else if (dice < 86) {  // a folder renamed in place, or moved into another within kMaxDepth
      int height = 0;
      for (const std::string& f : folders) height = std::max(height, at_or_under(f, folder) ? depth(f) - depth(folder) : 0);
      const bool into = rng() % 3 == 0 && !at_or_under(other, folder) && depth(other) + 1 + height <= kMaxDepth;
      const std::string to = (into ? other : folder.substr(0, folder.rfind('/'))) + "/d" + fresh;
      step = "mv " + folder + " " + to;
      if ((ok = ::rename(folder.c_str(), to.c_str()) == 0)) rekey(folder, to);
      if (ok && !wait_until([&] { return run({"get", to}, {0, 1}).out == notes_[to] + "\n"; })) {
        surprise("the note of " + folder + " never followed it to " + to);
        return false;
      }
    } else if (dice < 95 && folders.size() < 12) {
      const std::string made = (depth(folder) < kMaxDepth ? folder : area_) + "/d" + fresh;
      step = "mkdir " + made;
      if ((ok = ::mkdir(made.c_str(), 0700) == 0)) tree_[made] = true, mover_set(made);
    } else if (std::count_if(folders.begin(), folders.end(), [&](auto& f) { return !at_or_under(f, folder); }) >= 6) {
      step = "rm -r " + folder;
      std::error_code ec;
      ok = std::filesystem::remove_all(folder, ec) > 0 && !ec;
      rekey(folder, std::nullopt);
    }
    if (!step.empty()) journal_.push_back(step);
    if (!ok) surprise(step + ": " + std::strerror(errno));
    return ok;
  }

  std::string contended_, area_;
  std::map<std::string, bool> tree_;  // the mover's files and folders under m/: path -> is a folder
  Notes notes_;                       // where the mover's notes must be
  std::vector<std::string> journal_, surprises_;
  std::mutex mutex_;
  int fresh_ = 0;
};

TEST_F(Stress, WritersReadersAndAChangingTreeLoseNoNote) {
  const int seconds = env_number("QB_STRESS_SECONDS", 8);
  const unsigned seed = static_cast<unsigned>(env_number("QB_STRESS_SEED", 1));
  size_t monitor = 0;
  ASSERT_TRUE(start_ready(&monitor));
  area_ = make("m/");
  contended_ = make("shared/contended.txt");
  std::vector<std::string> readable = {contended_};
  for (int i = 0; i < 24; ++i) {  // four folders of six files; each folder and two files in three noted
    const std::string folder = at("m/d" + std::to_string(i / 6));
    if (tree_.emplace(make("m/d" + std::to_string(i / 6) + "/"), true).second) mover_set(folder);
    readable.push_back(make("m/d" + std::to_string(i / 6) + "/f" + std::to_string(i % 6)));
    tree_[readable.back()] = false;
    if (i % 3 != 2) mover_set(readable.back());
  }
  for (int w = 0; w < kWriters; ++w)
    for (int f = 0; f < kFiles + kGhosts; ++f)
      readable.push_back(f < kFiles ? make("w" + std::to_string(w) + "/f" + std::to_string(f))
                                    : at("w" + std::to_string(w) + "/ghost" + std::to_string(f - kFiles)));
  ASSERT_TRUE(surprises_.empty()) << surprises_[0];

  Notes writer_notes[kWriters];
  std::set<std::string> contended[kWriters];
  int runs[kWriters + kReaders] = {};
  std::atomic<bool> finish{false};
  std::vector<std::thread> threads;
  for (int id = 0; id < kWriters + kReaders; ++id)
    threads.emplace_back([&, id] {
      std::mt19937 rng(seed * 101 + static_cast<unsigned>(id));
      for (; !finish.load(); ++runs[id])
        if (id < kWriters) write_step(id, rng, writer_notes[id], contended[id], runs[id]);
        else read_step(id - kWriters, rng, readable);
    });
  std::mt19937 rng(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end && mover_step(rng)) {
  }
  finish = true;
  for (std::thread& t : threads) t.join();
  std::string journal;
  for (size_t i = journal_.size() > 40 ? journal_.size() - 40 : 0; i < journal_.size(); ++i) journal += journal_[i] + "\n";
  std::printf("stress %d s, seed %u: %zu mover steps, %d %d %d %d writer and %d %d reader runs\n", seconds, seed,
              journal_.size(), runs[0], runs[1], runs[2], runs[3], runs[4], runs[5]);
  ASSERT_TRUE(surprises_.empty()) << ::testing::PrintToString(surprises_) << "\nthe mover's last steps:\n" << journal;

  // At the end every note is where the models say, `ls --missing` lists
  // exactly the ghosts, `check` is clean, and so after the stop's compaction.
  barrier();
  Notes expected = notes_, ghosts;
  std::set<std::string> texts;
  for (int w = 0; w < kWriters; ++w) {
    texts.insert(contended[w].begin(), contended[w].end());
    for (const auto& [path, text] : writer_notes[w]) (path.find("/ghost") != std::string::npos ? ghosts : expected)[path] = text;
  }
  expected.insert(ghosts.begin(), ghosts.end());
  for (int pass = 0; pass < 2; ++pass) {
    Notes found = notes_under();
    EXPECT_TRUE(texts.empty() ? found.count(contended_) == 0 : texts.count(found[contended_]) == 1) << found[contended_];
    found.erase(contended_);
    EXPECT_EQ(found, expected) << journal;
    const ProgramRun check = qbnote({"check"});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    if (pass == 0) {
      EXPECT_EQ(notes_under({"ls", "--missing"}), ghosts);
      stop(monitor);
    }
  }
}

}  // namespace
}  // namespace e2e
