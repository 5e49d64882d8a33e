// For QB_STRESS_SECONDS (8) from seed QB_STRESS_SEED (1), beside the real Monitor:
// four threads of qbnote runs set and remove notes on files of their own and on
// paths that never exist; the mover (the test thread) renames, moves, deletes,
// saves and creates files and renames folders, with a model of its notes. A run
// ends changing what its model says, or with 4 (the table stayed busy) and no change.
#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

int env_number(const char* name, int fallback) { return std::getenv(name) ? std::atoi(std::getenv(name)) : fallback; }

class Stress : public Running {
 protected:
  // The mover's notes after `from` (and all below it) became `to`; nothing: deleted.
  void rekey(const std::string& from, const std::optional<std::string>& to) {
    Notes moved;
    std::erase_if(notes_, [&](const auto& n) {
      const bool hit = n.first == from || n.first.starts_with(from + "/");
      if (hit && to) moved[*to + n.first.substr(from.size())] = n.second;
      return hit;
    });
    notes_.merge(moved);
  }

  void mover_note(const std::string& path) {
    const ProgramRun r = qbnote({"set", path, "m" + std::to_string(++fresh_) + " " + path.substr(area_.size())});
    if (r.status == 0) notes_[path] = "m" + std::to_string(fresh_) + " " + path.substr(area_.size());
    if (r.status != 0 && r.status != 4) ADD_FAILURE() << path << ": " << r.status << r.err;
  }

  // One step of the mover on the tree as it is; a step that fails ends the run.
  void mover_step(std::mt19937& rng) {
    std::vector<std::string> files, folders;
    for (const auto& e : std::filesystem::recursive_directory_iterator(area_))
      (e.is_directory() ? folders : files).push_back(e.path());
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    const int dice = static_cast<int>(rng() % 100);
    const std::string file = files.empty() ? "" : files[rng() % files.size()];
    const std::string folder = folders[rng() % folders.size()], to = folder + "/x" + std::to_string(++fresh_);
    if (dice < 35 && !file.empty()) step("mv " + file + " " + to), rekey(file, to);  // renamed, or moved
    if (dice >= 35 && dice < 45 && files.size() > 16) step("rm " + file), rekey(file, std::nullopt);
    if (dice >= 45 && dice < 55 && !file.empty()) step("rm " + file), step("f " + file);  // saved as some editors do
    if (dice >= 55 && dice < 80) step("f " + to);
    if (dice >= 55 && dice < 80 && rng() % 3 != 0) mover_note(to);
    if (dice >= 80) {  // a folder renamed in place; its note must follow before the next step
      const std::string renamed = folder.substr(0, folder.rfind('/')) + "/d" + std::to_string(fresh_);
      step("mv " + folder + " " + renamed);
      rekey(folder, renamed);
      step("w " + renamed + " " + notes_[renamed]);
    }
  }

  std::string area_;
  Notes notes_;  // where the mover's notes must be
  int fresh_ = 0;
};

TEST_F(Stress, WritersAndAChangingTreeLoseNoNote) {
  const int seconds = env_number("QB_STRESS_SECONDS", 8);
  const unsigned seed = static_cast<unsigned>(env_number("QB_STRESS_SEED", 1));
  constexpr int kWriters = 4;  // with eight files each, f0 to f7
  area_ = make("m/");
  for (int i = 0; i < 24; ++i) {  // four folders of six files; each folder and two files in three noted
    if (i % 6 == 0) mover_note(make("m/d" + std::to_string(i / 6) + "/"));
    const std::string f = make("m/d" + std::to_string(i / 6) + "/f" + std::to_string(i % 6));
    if (i % 3 != 2) mover_note(f);
  }
  for (int i = 0; i < kWriters * 8; ++i) make("w" + std::to_string(i / 8) + "/f" + std::to_string(i % 8));
  Notes writer_notes[kWriters];
  std::atomic<bool> finish{false};
  std::vector<std::thread> writers;
  for (int id = 0; id < kWriters; ++id)
    writers.emplace_back([&, id] {
      std::mt19937 rng(seed * 101 + static_cast<unsigned>(id));
      Notes& model = writer_notes[id];
      for (int op = 0; !finish.load(); ++op) {
        const int dice = static_cast<int>(rng() % 100);
        const std::string path = at("w" + std::to_string(id) + (dice < 20 ? "/g" : "/f") + std::to_string(rng() % 8));
        const std::string text = "w" + std::to_string(id) + " n" + std::to_string(op);
        const ProgramRun r = dice < 75 ? qbnote({"set", path, text}) : qbnote({"rm", path});
        if (r.status != 4 && r.status != (dice < 75 || model.count(path) ? 0 : 1)) ADD_FAILURE() << path << r.err;
        if (r.status == 0 && dice < 75) model[path] = text;
        if (r.status == 0 && dice >= 75) model.erase(path);
      }
    });
  std::mt19937 rng(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end && !HasFailure()) mover_step(rng);
  finish = true;
  for (std::thread& t : writers) t.join();
  std::printf("stress %d s, seed %u\n", seconds, seed);
  ASSERT_FALSE(HasFailure());

  // Every note is where the models say, `ls --missing` lists exactly the
  // ghosts (a deleted file's note is set aside, not left stale), `check` is
  // clean, and so after the stop's compaction.
  Notes expected = notes_, ghosts;
  for (const Notes& model : writer_notes)
    for (const auto& [path, text] : model) (path[path.rfind('/') + 1] == 'g' ? ghosts : expected)[path] = text;
  expected.insert(ghosts.begin(), ghosts.end());
  expect_notes(expected);
  EXPECT_EQ(notes_under({"ls", "--missing"}), ghosts);
  step("check");
  step("stop");
  EXPECT_EQ(notes_under(), expected);
  step("check");
}

}  // namespace
}  // namespace e2e
