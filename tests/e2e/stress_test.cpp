// Many processes on one notes table at once, with the real Monitor
// following a tree that changes under it.
//
// For QB_STRESS_SECONDS (default 8; 60 or more by hand) these run side by
// side, each started as its own series of qbnote processes:
//   - four writers, each setting and removing notes on files of its own
//     folder w<i>/, on paths of that folder that never exist ("ghosts"),
//     and on one path all four share (the record-lock contention);
//   - two readers listing, searching and reading notes;
//   - the mover (the test thread): renames, moves, deletes and re-creates
//     files and folders under m/, copies files with `qbnote cp`, and sets
//     notes on what it creates, keeping a model of where every note of m/
//     must end up.
// The areas are disjoint, so every writer knows what its notes are at the
// end, and the mover's model is exact once the Monitor has caught up.
//
// The mover waits after a folder rename until the folder's note has
// followed before it changes anything again, so that its model need not
// know how far behind the Monitor is. Every folder of m/ has a note.
//
// At the end: every note is where the models say; `qbnote ls --missing`
// shows exactly the ghosts (a deleted file's note is set aside, not left
// stale); `qbnote check` is clean, before and after the compaction that
// the stop makes; and every qbnote run ended with the status its model
// expects. Nothing in this workload holds a lock for long, so status 4 (a
// lock still held after the retries) is a failure wherever it appears.
#include <spawn.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <set>

#include "e2e/e2e_support.h"

extern char** environ;

namespace e2e {
namespace {

int stress_seconds() {
  const char* s = std::getenv("QB_STRESS_SECONDS");
  const int n = s != nullptr ? std::atoi(s) : 0;
  return n > 0 ? n : 8;
}

unsigned stress_seed() {
  const char* s = std::getenv("QB_STRESS_SEED");
  return s != nullptr && *s != '\0' ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : 1u;
}

bool under(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Runs qbnote for one worker thread. posix_spawn, not fork: the other
// threads of this process keep running meanwhile. Output goes to the
// worker's own files.
class QbnoteRunner {
 public:
  QbnoteRunner(std::string out, std::string err) : out_(std::move(out)), err_(std::move(err)) {}

  ProgramRun run(const std::vector<std::string>& args) {
    ProgramRun r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv = {const_cast<char*>(qbnote_bin())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, qbnote_bin(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      r.err = std::string("posix_spawn: ") + std::strerror(rc);
      return r;
    }
    const auto deadline = deadline_in(kDeadlineMs);
    int status = 0;
    for (;;) {
      const pid_t got = ::waitpid(pid, &status, WNOHANG);
      if (got == pid) {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (got < 0 && errno != EINTR) break;
      if (Clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.status = -2;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    r.out = read_whole_file(out_);
    r.err = read_whole_file(err_);
    ++runs_;
    return r;
  }

  int runs() const { return runs_; }

 private:
  std::string out_;
  std::string err_;
  int runs_ = 0;
};

// What one worker saw that its model did not expect.
struct Surprises {
  std::vector<std::string> lines;
  void add(const std::string& what, const std::vector<std::string>& args, const ProgramRun& r) {
    std::string line = what + ": qbnote";
    for (const std::string& a : args) line += " " + a;
    line += " -> status " + std::to_string(r.status) + ", " + r.err;
    lines.push_back(line);
  }
};

// Each line of `qbnote ls` is "<path>\t<first line>".
std::map<std::string, std::string> parse_listing(const std::string& out, bool* well_formed) {
  std::map<std::string, std::string> notes;
  std::istringstream lines(out);
  std::string line;
  *well_formed = true;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.empty() || line[0] != '/') {
      *well_formed = false;
      continue;
    }
    notes[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return notes;
}

// A writer: notes on its own files and ghosts, and the shared path.
struct Writer {
  int id = 0;
  std::vector<std::string> files;
  std::vector<std::string> ghosts;
  std::string contended;
  std::map<std::string, std::string> model;
  std::vector<std::string> contended_texts;  // every text its sets stored there
  Surprises surprises;
  int ops = 0;

  void work(QbnoteRunner& q, std::mt19937& rng, const std::atomic<bool>& stop) {
    while (!stop.load()) {
      const int dice = static_cast<int>(rng() % 100);
      const std::string text = "w" + std::to_string(id) + " n" + std::to_string(ops);
      if (dice < 20) {
        const std::string contended_text = "w" + std::to_string(id) + " c" + std::to_string(ops);
        const std::vector<std::string> args = {"set", contended, contended_text};
        ProgramRun r = q.run(args);
        if (r.status == 0)
          contended_texts.push_back(contended_text);
        else
          surprises.add("contended set", args, r);
      } else {
        const bool ghost = dice < 35;
        const std::vector<std::string>& pool = ghost ? ghosts : files;
        const std::string path = pool[rng() % pool.size()];
        if (dice < 75) {
          const std::vector<std::string> args = {"set", path, text};
          ProgramRun r = q.run(args);
          if (r.status == 0)
            model[path] = text;
          else
            surprises.add("set", args, r);
        } else {
          const std::vector<std::string> args = {"rm", path};
          ProgramRun r = q.run(args);
          const int expected = model.count(path) != 0 ? 0 : 1;
          if (r.status != expected) surprises.add("rm (expected " + std::to_string(expected) + ")", args, r);
          if (r.status == 0) model.erase(path);
        }
      }
      ++ops;
    }
  }
};

// A reader: listings, searches and single notes; it knows nothing of the
// outcome, only that every answer is "found" or "not found" and readable.
struct Reader {
  int id = 0;
  std::string root;
  std::vector<std::string> paths;
  Surprises surprises;
  int ops = 0;

  void work(QbnoteRunner& q, std::mt19937& rng, const std::atomic<bool>& stop) {
    while (!stop.load()) {
      std::vector<std::string> args;
      const int dice = static_cast<int>(rng() % 100);
      if (id == 0)
        args = dice < 50 ? std::vector<std::string>{"ls"}
               : dice < 75 ? std::vector<std::string>{"ls", "--missing"}
                           : std::vector<std::string>{"find", "w" + std::to_string(rng() % 4)};
      else
        args = dice < 80 ? std::vector<std::string>{"get", paths[rng() % paths.size()]}
                         : std::vector<std::string>{"ls", root + "/m"};
      ProgramRun r = q.run(args);
      if (r.status != 0 && r.status != 1) surprises.add("read", args, r);
      if (r.status == 0 && args[0] != "get") {
        bool well_formed = false;
        parse_listing(r.out, &well_formed);
        if (!well_formed) surprises.add("malformed listing " + r.out.substr(0, 200), args, r);
      }
      if (r.status == 0 && args[0] == "get" && (r.out.empty() || r.out.back() != '\n'))
        surprises.add("malformed note \"" + r.out + "\"", args, r);
      ++ops;
    }
  }
};

// The mover's tree under m/ and where its notes must be.
struct MoverModel {
  std::set<std::string> folders;  // every folder under m/ (m/ itself not)
  std::set<std::string> files;
  std::map<std::string, std::string> notes;
  int fresh = 0;
  // What was done, for the summary.
  int file_renames = 0, folder_renames = 0, deletes = 0, saves = 0, creates = 0, copies = 0, folder_deletes = 0,
      folder_creates = 0;

  std::vector<std::string> journal;  // every step, for the report of a failure

  std::string fresh_name(const char* stem) { return stem + std::to_string(++fresh); }
  void log(const std::string& step) { journal.push_back(step); }

  template <class Set>
  static std::string pick(const Set& s, std::mt19937& rng) {
    auto it = s.begin();
    std::advance(it, static_cast<long>(rng() % s.size()));
    return *it;
  }

  static int depth(const std::string& folder, const std::string& area) {
    int n = 0;
    for (size_t i = area.size(); i < folder.size(); ++i) n += folder[i] == '/';
    return n;
  }

  // Re-keys everything at `from` or below it to `to`.
  void rekey(const std::string& from, const std::string& to) {
    auto move_keys = [&](auto& container) {
      std::vector<std::string> old;
      for (const auto& entry : container) {
        const std::string& key = key_of(entry);
        if (key == from || under(key, from)) old.push_back(key);
      }
      for (const std::string& key : old) {
        const std::string now = to + key.substr(from.size());
        move_one(container, key, now);
      }
    };
    move_keys(folders);
    move_keys(files);
    move_keys(notes);
  }

  void forget_below(const std::string& folder) {
    for (auto it = files.begin(); it != files.end();) it = under(*it, folder) ? files.erase(it) : std::next(it);
    for (auto it = folders.begin(); it != folders.end();)
      it = *it == folder || under(*it, folder) ? folders.erase(it) : std::next(it);
    for (auto it = notes.begin(); it != notes.end();)
      it = it->first == folder || under(it->first, folder) ? notes.erase(it) : std::next(it);
  }

 private:
  static const std::string& key_of(const std::string& s) { return s; }
  static const std::string& key_of(const std::pair<const std::string, std::string>& p) { return p.first; }
  static void move_one(std::set<std::string>& s, const std::string& from, const std::string& to) {
    s.erase(from);
    s.insert(to);
  }
  static void move_one(std::map<std::string, std::string>& m, const std::string& from, const std::string& to) {
    std::string text = m[from];
    m.erase(from);
    m[to] = text;
  }
};

class Stress : public E2eTest {
 protected:
  static constexpr int kWriters = 4;
  static constexpr int kReaders = 2;
  static constexpr int kWriterFiles = 8;
  static constexpr int kGhosts = 4;
  static constexpr int kMaxDepth = 3;

  void SetUp() override {
    E2eTest::SetUp();
    area_ = at("m");
    monitor_ = start_monitor();
    ASSERT_TRUE(wait_ready(monitor_));
  }

  // The mover's first tree: four folders of six files, every folder and
  // two files in three noted.
  void build_area(QbnoteRunner& q) {
    ::mkdir(area_.c_str(), 0700);
    for (int d = 0; d < 4; ++d) {
      const std::string folder = make_folder("m/d" + std::to_string(d));
      model_.folders.insert(folder);
      set_mover_note(q, folder);
      for (int f = 0; f < 6; ++f) {
        const std::string file = make_file("m/d" + std::to_string(d) + "/f" + std::to_string(f));
        model_.files.insert(file);
        if (f % 3 != 2) set_mover_note(q, file);
      }
    }
  }

  void set_mover_note(QbnoteRunner& q, const std::string& path) {
    const std::string text = "m " + path.substr(area_.size() + 1) + " #" + std::to_string(++mover_sets_);
    const std::vector<std::string> args = {"set", path, text};
    ProgramRun r = q.run(args);
    model_.log("set " + path + " " + text);
    if (r.status == 0)
      model_.notes[path] = text;
    else
      mover_surprises_.add("mover set", args, r);
  }

  // Waits until `path` has `text`, through the mover's runner.
  bool wait_for_note(QbnoteRunner& q, const std::string& path, const std::string& text) {
    const auto deadline = deadline_in(kDeadlineMs);
    for (;;) {
      ProgramRun r = q.run({"get", path});
      if (r.status == 0 && r.out == text + "\n") return true;
      if (r.status != 0 && r.status != 1) mover_surprises_.add("mover wait", {"get", path}, r);
      if (Clock::now() > deadline) return false;
      pause_briefly();
    }
  }

  // One step of the mover's workload. False when the model can no longer
  // be trusted (the run stops there): the Monitor did not follow a folder
  // rename in time, or the file system refused a step.
  bool mover_step(QbnoteRunner& q, std::mt19937& rng) {
    MoverModel& m = model_;
    const int dice = static_cast<int>(rng() % 100);
    if (dice < 30 && !m.files.empty()) {
      // A file renamed, or moved to another folder, under a fresh name.
      const std::string from = MoverModel::pick(m.files, rng);
      const std::string to = MoverModel::pick(m.folders, rng) + "/" + m.fresh_name("r");
      if (::rename(from.c_str(), to.c_str()) != 0) return record_os_failure("rename", from);
      m.rekey(from, to);
      m.log("mv " + from + " " + to);
      ++m.file_renames;
    } else if (dice < 38 && m.files.size() > 16) {
      const std::string victim = MoverModel::pick(m.files, rng);
      if (::unlink(victim.c_str()) != 0) return record_os_failure("unlink", victim);
      m.files.erase(victim);
      m.notes.erase(victim);
      m.log("rm " + victim);
      ++m.deletes;
    } else if (dice < 48 && !m.files.empty()) {
      // Saved the way some editors save: deleted, then written anew.
      const std::string file = MoverModel::pick(m.files, rng);
      if (::unlink(file.c_str()) != 0) return record_os_failure("unlink", file);
      if (!write_whole_file(file, "saved\n")) return record_os_failure("write", file);
      m.log("save " + file);
      ++m.saves;
    } else if (dice < 64) {
      const std::string file = MoverModel::pick(m.folders, rng) + "/" + m.fresh_name("n");
      if (!write_whole_file(file, "new\n")) return record_os_failure("write", file);
      m.files.insert(file);
      m.log("write " + file);
      if (rng() % 3 != 0) set_mover_note(q, file);
      ++m.creates;
    } else if (dice < 74 && !m.files.empty()) {
      const std::string from = MoverModel::pick(m.files, rng);
      const std::string to = MoverModel::pick(m.folders, rng) + "/" + m.fresh_name("c");
      const std::vector<std::string> args = {"cp", from, to};
      ProgramRun r = q.run(args);
      m.log("cp " + from + " " + to);
      if (r.status != 0) {
        mover_surprises_.add("cp", args, r);
      } else {
        m.files.insert(to);
        if (m.notes.count(from) != 0) m.notes[to] = m.notes[from];
      }
      ++m.copies;
    } else if (dice < 86) {
      return rename_folder(q, rng);
    } else if (dice < 95 && m.folders.size() < 12) {
      const std::string parent = MoverModel::pick(m.folders, rng);
      const std::string folder =
          (MoverModel::depth(parent, area_) < kMaxDepth ? parent : area_) + "/" + m.fresh_name("d");
      if (::mkdir(folder.c_str(), 0700) != 0) return record_os_failure("mkdir", folder);
      m.folders.insert(folder);
      m.log("mkdir " + folder);
      set_mover_note(q, folder);
      ++m.folder_creates;
    } else {
      // A folder and everything in it, as long as six folders remain.
      const std::string folder = MoverModel::pick(m.folders, rng);
      size_t going = 0;
      for (const std::string& f : m.folders) going += f == folder || under(f, folder);
      if (m.folders.size() >= going + 6) delete_folder(folder);
    }
    return true;
  }

  // A folder renamed in place or moved into another; then the wait for its
  // note (see the top of this file).
  bool rename_folder(QbnoteRunner& q, std::mt19937& rng) {
    MoverModel& m = model_;
    const std::string from = MoverModel::pick(m.folders, rng);
    std::string parent = from.substr(0, from.rfind('/'));
    if (rng() % 3 == 0) {
      const std::string other = MoverModel::pick(m.folders, rng);
      int height = 0;  // levels below `from`
      for (const std::string& f : m.folders)
        if (under(f, from)) height = std::max(height, MoverModel::depth(f, from));
      if (other != from && !under(other, from) && MoverModel::depth(other, area_) + 1 + height <= kMaxDepth)
        parent = other;
    }
    const std::string to = parent + "/" + m.fresh_name("d");
    if (::rename(from.c_str(), to.c_str()) != 0) return record_os_failure("rename", from);
    m.rekey(from, to);
    m.log("mv folder " + from + " " + to);
    ++m.folder_renames;
    if (wait_for_note(q, to, m.notes[to])) return true;
    mover_surprises_.lines.push_back("the note of the folder " + from + " never followed it to " + to);
    return false;
  }

  void delete_folder(const std::string& folder) {
    std::vector<std::string> inside;
    for (const std::string& f : model_.files)
      if (under(f, folder) && ::unlink(f.c_str()) != 0) record_os_failure("unlink", f);
    for (const std::string& f : model_.folders)
      if (f == folder || under(f, folder)) inside.push_back(f);
    // Deepest first: longer paths of one tree are below shorter ones.
    std::sort(inside.begin(), inside.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& f : inside)
      if (::rmdir(f.c_str()) != 0) record_os_failure("rmdir", f);
    model_.forget_below(folder);
    model_.log("rm -r " + folder);
    ++model_.folder_deletes;
  }

  bool record_os_failure(const char* what, const std::string& path) {
    mover_surprises_.lines.push_back(std::string(what) + " " + path + ": " + std::strerror(errno));
    return false;
  }

  static std::string surprises_text(const std::string& who, const Surprises& s) {
    std::string text;
    for (size_t i = 0; i < s.lines.size() && i < 10; ++i) text += who + ": " + s.lines[i] + "\n";
    if (s.lines.size() > 10) text += who + ": ... " + std::to_string(s.lines.size() - 10) + " more\n";
    return text;
  }

  // The mover's last steps, oldest first.
  std::string journal_tail(size_t n = 40) const {
    const std::vector<std::string>& j = model_.journal;
    std::string text = "mover's last steps:\n";
    for (size_t i = j.size() > n ? j.size() - n : 0; i < j.size(); ++i) text += "  " + j[i] + "\n";
    return text;
  }

  std::map<std::string, std::string> missing_notes() {
    ProgramRun r = qbnote({"ls", "--missing"});
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;
    bool well_formed = false;
    std::map<std::string, std::string> out = parse_listing(r.out, &well_formed);
    EXPECT_TRUE(well_formed) << r.out;
    // A readiness probe renamed before the driver listened keeps its note.
    for (auto it = out.begin(); it != out.end();) it = under(it->first, probes_) ? out.erase(it) : std::next(it);
    return out;
  }

  size_t monitor_ = 0;
  std::string area_;
  MoverModel model_;
  Surprises mover_surprises_;
  int mover_sets_ = 0;
  int mover_ops_ = 0;
};

TEST_F(Stress, WritersReadersAndAChangingTreeLoseNoNote) {
  const int seconds = stress_seconds();
  const unsigned seed = stress_seed();
  QbnoteRunner mover_q(tmp_.file("mover.out"), tmp_.file("mover.err"));
  build_area(mover_q);

  Writer writers[kWriters];
  const std::string contended = make_file("shared/contended.txt");
  for (int i = 0; i < kWriters; ++i) {
    writers[i].id = i;
    writers[i].contended = contended;
    for (int f = 0; f < kWriterFiles; ++f)
      writers[i].files.push_back(make_file("w" + std::to_string(i) + "/f" + std::to_string(f)));
    for (int g = 0; g < kGhosts; ++g)
      writers[i].ghosts.push_back(at("w" + std::to_string(i) + "/ghost" + std::to_string(g)));
  }
  Reader readers[kReaders];
  for (int j = 0; j < kReaders; ++j) {
    readers[j].id = j;
    readers[j].root = root_;
    readers[j].paths = {contended};
    for (const Writer& w : writers) {
      readers[j].paths.insert(readers[j].paths.end(), w.files.begin(), w.files.end());
      readers[j].paths.insert(readers[j].paths.end(), w.ghosts.begin(), w.ghosts.end());
    }
    readers[j].paths.insert(readers[j].paths.end(), model_.files.begin(), model_.files.end());
  }
  ASSERT_TRUE(mover_surprises_.lines.empty()) << surprises_text("mover", mover_surprises_);

  std::atomic<bool> finish{false};
  std::vector<std::thread> threads;
  std::vector<std::unique_ptr<QbnoteRunner>> runners;
  for (int i = 0; i < kWriters + kReaders; ++i)
    runners.push_back(std::make_unique<QbnoteRunner>(tmp_.file("worker" + std::to_string(i) + ".out"),
                                                     tmp_.file("worker" + std::to_string(i) + ".err")));
  {
    // Joined however the block is left.
    struct Joiner {
      std::atomic<bool>& finish;
      std::vector<std::thread>& threads;
      ~Joiner() {
        finish.store(true);
        for (std::thread& t : threads)
          if (t.joinable()) t.join();
      }
    } joiner{finish, threads};
    for (int i = 0; i < kWriters; ++i)
      threads.emplace_back([&, i] {
        std::mt19937 rng(seed * 101 + static_cast<unsigned>(i));
        writers[i].work(*runners[i], rng, finish);
      });
    for (int j = 0; j < kReaders; ++j)
      threads.emplace_back([&, j] {
        std::mt19937 rng(seed * 101 + 50 + static_cast<unsigned>(j));
        readers[j].work(*runners[kWriters + j], rng, finish);
      });

    std::mt19937 rng(seed);
    const auto end = deadline_in(seconds * 1000);
    int mover_ops = 0;
    while (Clock::now() < end && mover_step(mover_q, rng)) ++mover_ops;
    mover_ops_ = mover_ops;
  }
  const MoverModel& m = model_;
  std::set<std::string> contended_texts;
  for (const Writer& w : writers) contended_texts.insert(w.contended_texts.begin(), w.contended_texts.end());
  std::string unexpected;
  size_t held = 0;  // runs that ended with status 4
  auto tally = [&](const std::string& who, const Surprises& s) {
    unexpected += surprises_text(who, s);
    for (const std::string& line : s.lines) held += line.find("-> status 4,") != std::string::npos;
  };
  for (const Writer& w : writers) tally("writer " + std::to_string(w.id), w.surprises);
  for (const Reader& r : readers) tally("reader " + std::to_string(r.id), r.surprises);
  tally("mover", mover_surprises_);
  std::printf(
      "stress %d s, seed %u: writers %d/%d/%d/%d runs (%zu contended sets), readers %d/%d runs, mover %d steps "
      "(%d file renames, %d folder renames, %d deletes, %d saves, %d creates, %d copies, %d folders made, %d "
      "folders deleted) and %d qbnote runs; %zu runs held by a lock (status 4)\n",
      seconds, seed, writers[0].ops, writers[1].ops, writers[2].ops, writers[3].ops, contended_texts.size(),
      readers[0].ops, readers[1].ops, mover_ops_, m.file_renames, m.folder_renames, m.deletes, m.saves, m.creates,
      m.copies, m.folder_creates, m.folder_deletes, mover_q.runs(), held);
  EXPECT_EQ(unexpected, "");
  // A folder whose note did not follow leaves the model behind the tree.
  ASSERT_TRUE(mover_surprises_.lines.empty()) << journal_tail();

  // Everything the Monitor was told has been handled after this.
  barrier();
  std::map<std::string, std::string> expected = model_.notes;
  std::map<std::string, std::string> ghosts;
  for (const Writer& w : writers)
    for (const auto& [path, text] : w.model) {
      expected[path] = text;
      if (path.find("/ghost") != std::string::npos) ghosts[path] = text;
    }
  std::map<std::string, std::string> found = notes_under();
  if (!contended_texts.empty()) {
    ASSERT_EQ(found.count(contended), 1u);
    EXPECT_EQ(contended_texts.count(found[contended]), 1u) << "\"" << found[contended] << "\" was never set there";
    found.erase(contended);
  }
  EXPECT_EQ(found, expected) << journal_tail(model_.journal.size());
  EXPECT_EQ(missing_notes(), ghosts);
  ProgramRun check = qbnote({"check"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  const std::string log = monitor_log(monitor_);
  size_t events = 0;
  for (size_t at = log.find("DoResponse with"); at != std::string::npos; at = log.find("DoResponse with", at + 1))
    ++events;

  // The stop compacts the table (notes were deleted); the same notes come
  // out of it.
  stop(monitor_);
  found = notes_under();
  found.erase(contended);
  EXPECT_EQ(found, expected);
  check = qbnote({"check"});
  EXPECT_EQ(check.status, 0) << check.out << check.err;

  std::printf("stress checked: Monitor handled %zu events; %zu notes where the models say (%zu ghosts)\n", events,
              expected.size() + (contended_texts.empty() ? 0 : 1), ghosts.size());
}

}  // namespace
}  // namespace e2e
