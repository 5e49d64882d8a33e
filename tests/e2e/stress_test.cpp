// Many qbnote processes on one notes table while the real Monitor follows a
// tree that changes under it, for QB_STRESS_SECONDS (default 8) from seed
// QB_STRESS_SEED (default 1): four writers set and remove notes on files of
// their own folder, on paths that never exist (ghosts) and on one path all
// share (record-lock contention); two readers list, search and read; the
// mover (the test thread) renames, deletes, saves, creates, copies, makes and
// deletes files and folders under m/, with a model of where its notes must
// be. After a folder rename it waits for the folder's note to follow, so the
// model need not know how far behind the Monitor is. At the end every note is
// where the models say, `ls --missing` lists exactly the ghosts, `check` is
// clean before and after the stop's compaction, and every run ended as its
// model expected (4, a lock held past the retries, too: nothing here holds one long).
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

bool under(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

class Stress : public E2eTest {
 protected:
  static constexpr int kWriters = 4, kReaders = 2, kFiles = 8, kGhosts = 4, kMaxDepth = 3;

  // qbnote from any thread; a status not in `expected` is a surprise.
  ProgramRun run(const std::vector<std::string>& args, std::vector<int> expected = {0}) {
    ProgramRun r = qbnote(args);
    if (std::find(expected.begin(), expected.end(), r.status) == expected.end()) {
      std::string line = "qbnote";
      for (const std::string& a : args) line += " " + a;
      surprise(line + " -> " + std::to_string(r.status) + ", " + r.err);
    }
    return r;
  }
  void surprise(const std::string& what) {
    std::lock_guard<std::mutex> hold(mutex_);
    surprises_.push_back(what);
  }

  void write_step(int id, std::mt19937& rng, Notes& model, std::set<std::string>& contended_texts, int op) {
    const int dice = static_cast<int>(rng() % 100);
    const std::string w = "w" + std::to_string(id), text = w + " n" + std::to_string(op);
    if (dice < 20) {
      if (run({"set", contended_, text}).status == 0) contended_texts.insert(text);
      return;
    }
    const std::string path =
        at(w + (dice < 35 ? "/ghost" + std::to_string(rng() % kGhosts) : "/f" + std::to_string(rng() % kFiles)));
    if (dice < 75 && run({"set", path, text}).status == 0) model[path] = text;
    if (dice >= 75 && run({"rm", path}, {model.count(path) != 0 ? 0 : 1}).status == 0) model.erase(path);
  }

  // Readers know nothing of the outcome: every answer is "found" or "not
  // found", and listings are lines of "/path<TAB>first line".
  void read_step(int id, std::mt19937& rng, const std::vector<std::string>& readable) {
    const int dice = static_cast<int>(rng() % 100);
    using Args = std::vector<std::string>;
    const Args args = id == 0 ? (dice < 50   ? Args{"ls"}
                                 : dice < 75 ? Args{"ls", "--missing"}
                                             : Args{"find", "w" + std::to_string(rng() % kWriters)})
                              : (dice < 80 ? Args{"get", readable[rng() % readable.size()]} : Args{"ls", area_});
    const ProgramRun r = run(args, {0, 1});
    bool well_formed = args[0] != "get" || r.status != 0 || (!r.out.empty() && r.out.back() == '\n');
    std::istringstream lines(args[0] == "get" ? "" : r.out);
    for (std::string line; std::getline(lines, line);)
      well_formed = well_formed && !line.empty() && line[0] == '/' && line.find('\t') != std::string::npos;
    if (!well_formed) surprise("malformed answer to " + args[0] + ": " + r.out.substr(0, 200));
  }

  void mover_set(const std::string& path) {
    const std::string text = "m " + path.substr(area_.size()) + " #" + std::to_string(++fresh_);
    if (run({"set", path, text}).status == 0) notes_[path] = text;
  }

  template <class Map>
  static void rekey(Map& m, const std::string& from, const std::string& to) {
    Map moved;
    for (auto it = m.begin(); it != m.end();)
      if (it->first == from || under(it->first, from)) {
        moved[to + it->first.substr(from.size())] = it->second;
        it = m.erase(it);
      } else {
        ++it;
      }
    m.insert(moved.begin(), moved.end());
  }
  int depth(const std::string& p) const { return static_cast<int>(std::count(p.begin() + area_.size(), p.end(), '/')); }

  // One step of the mover; false when its model can no longer be trusted.
  bool mover_step(std::mt19937& rng) {
    std::vector<std::string> files, folders;
    for (const auto& [path, is_folder] : tree_) (is_folder ? folders : files).push_back(path);
    const int dice = static_cast<int>(rng() % 100);
    const std::string file = files.empty() ? "" : files[rng() % files.size()];
    const std::string folder = folders[rng() % folders.size()], fresh = std::to_string(++fresh_);
    std::string step;
    bool ok = true;
    if (dice < 30 && !file.empty()) {  // renamed or moved, under a fresh name
      const std::string to = folder + "/r" + fresh;
      step = "mv " + file + " " + to;
      if ((ok = ::rename(file.c_str(), to.c_str()) == 0)) rekey(tree_, file, to), rekey(notes_, file, to);
    } else if (dice < 38 && files.size() > 16) {
      step = "rm " + file;
      if ((ok = ::unlink(file.c_str()) == 0)) tree_.erase(file), notes_.erase(file);
    } else if (dice < 48 && !file.empty()) {  // saved as some editors save: deleted, written anew
      step = "save " + file;
      ok = ::unlink(file.c_str()) == 0 && write_whole_file(file, "saved\n");
    } else if (dice < 64) {
      step = "write " + folder + "/n" + fresh;
      ok = write_whole_file(folder + "/n" + fresh, "new\n");
      tree_[folder + "/n" + fresh] = false;
      if (rng() % 3 != 0) mover_set(folder + "/n" + fresh);
    } else if (dice < 74 && !file.empty()) {
      const std::string to = folder + "/c" + fresh;
      step = "cp " + file + " " + to;
      if (run({"cp", file, to}).status == 0) {
        tree_[to] = false;
        if (notes_.count(file) != 0) notes_[to] = notes_[file];
      }
    } else if (dice < 86) {  // a folder renamed in place or moved into another
      std::string parent = folder.substr(0, folder.rfind('/'));
      const std::string other = folders[rng() % folders.size()];
      int height = 0;
      for (const std::string& f : folders) height = std::max(height, under(f, folder) ? depth(f) - depth(folder) : 0);
      if (rng() % 3 == 0 && other != folder && !under(other, folder) && depth(other) + 1 + height <= kMaxDepth)
        parent = other;
      const std::string to = parent + "/d" + fresh;
      step = "mv " + folder + " " + to;
      if ((ok = ::rename(folder.c_str(), to.c_str()) == 0)) rekey(tree_, folder, to), rekey(notes_, folder, to);
      if (ok && !wait_until([&] { return run({"get", to}, {0, 1}).out == notes_[to] + "\n"; })) {
        surprise("the note of " + folder + " never followed it to " + to);
        return false;
      }
    } else if (dice < 95 && folders.size() < 12) {
      const std::string made = (depth(folder) < kMaxDepth ? folder : area_) + "/d" + fresh;
      step = "mkdir " + made;
      if ((ok = ::mkdir(made.c_str(), 0700) == 0)) tree_[made] = true, mover_set(made);
    } else if (folders.size() >= 6 + static_cast<size_t>(std::count_if(folders.begin(), folders.end(), [&](auto& f) {
                 return f == folder || under(f, folder);
               }))) {
      step = "rm -r " + folder;
      std::error_code ec;
      ok = std::filesystem::remove_all(folder, ec) > 0 && !ec;
      const auto inside = [&](const auto& entry) { return entry.first == folder || under(entry.first, folder); };
      std::erase_if(tree_, inside);
      std::erase_if(notes_, inside);
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
  area_ = make_folder("m");
  contended_ = make_file("shared/contended.txt");
  std::vector<std::string> readable = {contended_};
  for (int d = 0; d < 4; ++d) {  // four folders of six files; each folder and two files in three noted
    tree_[make_folder("m/d" + std::to_string(d))] = true;
    mover_set(at("m/d" + std::to_string(d)));
    for (int f = 0; f < 6; ++f) {
      readable.push_back(make_file("m/d" + std::to_string(d) + "/f" + std::to_string(f)));
      tree_[readable.back()] = false;
      if (f % 3 != 2) mover_set(readable.back());
    }
  }
  for (int w = 0; w < kWriters; ++w)
    for (int f = 0; f < kFiles + kGhosts; ++f)
      readable.push_back(f < kFiles ? make_file("w" + std::to_string(w) + "/f" + std::to_string(f))
                                    : at("w" + std::to_string(w) + "/ghost" + std::to_string(f - kFiles)));
  ASSERT_TRUE(surprises_.empty()) << surprises_[0];

  Notes writer_notes[kWriters];
  std::set<std::string> contended_texts[kWriters];
  int runs[kWriters + kReaders] = {};
  std::atomic<bool> finish{false};
  std::vector<std::thread> threads;
  for (int id = 0; id < kWriters + kReaders; ++id)
    threads.emplace_back([&, id] {
      std::mt19937 rng(seed * 101 + static_cast<unsigned>(id));
      for (; !finish.load(); ++runs[id])
        if (id < kWriters) write_step(id, rng, writer_notes[id], contended_texts[id], runs[id]);
        else read_step(id - kWriters, rng, readable);
    });
  std::mt19937 rng(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end && mover_step(rng)) {
  }
  finish = true;
  for (std::thread& t : threads) t.join();
  std::printf("stress %d s, seed %u: %zu mover steps; runs of the writers and readers:", seconds, seed, journal_.size());
  for (int n : runs) std::printf(" %d", n);
  std::printf("\n");
  std::string journal;
  for (size_t i = journal_.size() > 40 ? journal_.size() - 40 : 0; i < journal_.size(); ++i) journal += journal_[i] + "\n";
  ASSERT_TRUE(surprises_.empty()) << ::testing::PrintToString(surprises_) << "\nthe mover's last steps:\n" << journal;

  barrier();  // everything the Monitor was told has been handled
  Notes expected = notes_, ghosts;
  std::set<std::string> texts;
  for (int w = 0; w < kWriters; ++w) {
    texts.insert(contended_texts[w].begin(), contended_texts[w].end());
    for (const auto& [path, text] : writer_notes[w]) {
      expected[path] = text;
      if (path.find("/ghost") != std::string::npos) ghosts[path] = text;
    }
  }
  if (!texts.empty()) expected[contended_] = "";
  for (int pass = 0; pass < 2; ++pass) {  // then again after the stop's compaction
    Notes found = notes_under();
    EXPECT_TRUE(texts.empty() || texts.count(found[contended_]) == 1) << found[contended_] << " was never set";
    if (!texts.empty()) found[contended_] = "";
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
