// The benchmark's notes and operation script: realistic absolute paths with
// mixed case, free-text remarks, and the order of every operation, all from
// one fixed seed.
#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine_bench.h"

namespace bench {
namespace {

const char* const kUsers[] = {"Ada", "grace", "Linus", "ken", "Dennis", "Barbara", "edsger", "Alan",
                              "Margaret", "donald", "Niklaus", "Frances", "radia", "John", "Hedy", "Tim"};
const char* const kRoots[] = {"/home/%u", "/home/%u", "/home/%u", "/srv/Shared", "/mnt/Data/%u", "/opt/Tools",
                              "/var/lib/projects"};
const char* const kDirs[] = {"Projects", "Documents", "src", "include", "lib", "Build", "engine", "Tests",
                             "docs", "assets", "Images", "Reports", "2023", "2024", "Q3", "Notes",
                             "Archive", "tools", "scripts", "Config", "data", "Music", "Photos", "Drafts",
                             "Invoices", "Clients", "ACME Corp", "thesis", "chapter-2", "Old", "backup",
                             "WebSite", "css", "node_modules", "Vendor", "Experiments", "Results", "raw"};
const char* const kStems[] = {"Main", "readme", "PageCache", "index", "Report", "invoice", "Notes", "budget",
                              "Summary", "draft", "IMG", "DSC", "Makefile", "config", "Design", "todo",
                              "Letter", "minutes", "Plan", "results", "Slides", "test", "Chapter", "Photo"};
const char* const kExts[] = {".cpp", ".h", ".md", ".txt", ".PNG", ".jpg", ".pdf", ".docx",
                             ".json", ".yaml", ".py", ".log", ".csv", ".xlsx", ".JPG", ""};
const char* const kWords[] = {"check", "the", "figures", "before", "sending", "this", "to", "Ada", "draft",
                              "of", "chapter", "two", "needs", "a", "new", "intro", "keep", "until",
                              "March", "TODO:", "ask", "about", "licence", "old", "version", "moved",
                              "from", "backup", "disk", "see", "ticket", "#4821", "final", "copy", "signed",
                              "scanned", "receipt", "for", "taxes", "do", "not", "delete", "it", "works", "now"};

template <size_t N>
const char* pick(std::mt19937_64& rng, const char* const (&list)[N]) {
  return list[std::uniform_int_distribution<size_t>(0, N - 1)(rng)];
}

std::string make_path(std::mt19937_64& rng) {
  std::string root = pick(rng, kRoots);
  if (size_t at = root.find("%u"); at != std::string::npos) root.replace(at, 2, pick(rng, kUsers));
  std::string path = root;
  int depth = std::uniform_int_distribution<int>(1, 6)(rng);
  for (int i = 0; i < depth; ++i) {
    path += '/';
    path += pick(rng, kDirs);
  }
  path += '/';
  path += pick(rng, kStems);
  // Most file names carry a number or a second word, as real ones do.
  switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
    case 0: path += "_" + std::to_string(std::uniform_int_distribution<int>(1, 99999)(rng)); break;
    case 1: path += "-" + std::to_string(std::uniform_int_distribution<int>(1, 999)(rng)); break;
    case 2: path += pick(rng, kStems); path += std::to_string(std::uniform_int_distribution<int>(1, 9999)(rng)); break;
    default: break;
  }
  path += pick(rng, kExts);
  return path;
}

std::string make_remark(std::mt19937_64& rng) {
  size_t length = std::uniform_int_distribution<size_t>(20, 300)(rng);
  std::string remark;
  while (remark.size() < length) {
    if (!remark.empty()) remark += ' ';
    remark += pick(rng, kWords);
  }
  remark.resize(length);
  if (remark.back() == ' ') remark.back() = '.';
  return remark;
}

std::string folded(const std::string& s) {
  std::string f = s;
  for (char& c : f)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return f;
}

// The notes of the table as the script goes: per note its path and remark
// (pool indexes), and which notes are in the table.
class Builder {
 public:
  explicit Builder(uint32_t seed) : rng_(seed) {}

  int32_t intern(std::string s) {
    script_.pool.push_back(std::move(s));
    return static_cast<int32_t>(script_.pool.size() - 1);
  }
  // A path no note ever had (ignoring A-Z case), 30..120 bytes.
  int32_t fresh_path() {
    for (;;) {
      std::string p = make_path(rng_);
      if (p.size() < 30 || p.size() > 120) continue;
      if (!used_.insert(folded(p)).second) continue;
      return intern(std::move(p));
    }
  }
  int32_t new_note() {
    paths_.push_back(fresh_path());
    remarks_.push_back(intern(make_remark(rng_)));
    present_.push_back(0);
    return static_cast<int32_t>(paths_.size() - 1);
  }
  Op add_op(int32_t note) {
    present_[note] = 1;
    return Op{paths_[note], remarks_[note], -1};
  }
  std::vector<int32_t> present_notes() const {
    std::vector<int32_t> out;
    for (size_t i = 0; i < present_.size(); ++i)
      if (present_[i]) out.push_back(static_cast<int32_t>(i));
    return out;
  }
  // The rest of a phase after its adds: lookups, absent finds, renames,
  // deletes of `deletes` notes and their re-adds.
  void finish_phase(Phase* ph, int64_t lookups, int64_t renames, int64_t deletes) {
    std::vector<int32_t> live = present_notes();
    std::uniform_int_distribution<size_t> any(0, live.size() - 1);
    for (int64_t i = 0; i < lookups; ++i) {
      int32_t n = live[any(rng_)];
      ph->lookups.push_back(Op{paths_[n], remarks_[n], -1});
    }
    for (int64_t i = 0; i < lookups; ++i) ph->absent.push_back(Op{fresh_path(), -1, -1});
    std::shuffle(live.begin(), live.end(), rng_);
    for (int64_t i = 0; i < renames && i < static_cast<int64_t>(live.size()); ++i) {
      int32_t n = live[i];
      int32_t to = fresh_path();
      ph->renames.push_back(Op{paths_[n], remarks_[n], to});
      paths_[n] = to;
    }
    std::shuffle(live.begin(), live.end(), rng_);
    std::vector<int32_t> gone(live.begin(), live.begin() + std::min<int64_t>(deletes, live.size()));
    for (int32_t n : gone) {
      ph->deletes.push_back(Op{paths_[n], remarks_[n], -1});
      present_[n] = 0;
    }
    std::shuffle(gone.begin(), gone.end(), rng_);
    for (int32_t n : gone) ph->readds.push_back(add_op(n));
    ph->rows_at_scan = static_cast<int64_t>(present_notes().size());
  }

  std::mt19937_64& rng() { return rng_; }
  Script& script() { return script_; }

 private:
  std::mt19937_64 rng_;
  Script script_;
  std::unordered_set<std::string> used_;
  std::vector<int32_t> paths_, remarks_;
  std::vector<uint8_t> present_;
};

}  // namespace

Script make_script(const ScriptSizes& sizes) {
  Builder b(sizes.seed);
  const int64_t n = sizes.notes;
  const int64_t lookups = sizes.lookups > 0 ? sizes.lookups : std::min<int64_t>(n, 100000);
  const int64_t renames = sizes.bulk_renames > 0 ? sizes.bulk_renames : std::min<int64_t>(n / 2, 50000);

  std::vector<int32_t> order;
  for (int64_t i = 0; i < n; ++i) order.push_back(b.new_note());
  std::shuffle(order.begin(), order.end(), b.rng());
  for (int32_t note : order) b.script().bulk.adds.push_back(b.add_op(note));
  b.finish_phase(&b.script().bulk, lookups, renames, n / 2);

  const int64_t d = sizes.durable_ops / 4;  // adds, renames, deletes, re-adds
  for (int64_t i = 0; i < d; ++i) b.script().durable.adds.push_back(b.add_op(b.new_note()));
  b.finish_phase(&b.script().durable, lookups, d, d);

  b.script().notes = n;
  return std::move(b.script());
}

int compare_folded(const char* a, size_t a_len, const char* b, size_t b_len) {
  size_t n = std::min(a_len, b_len);
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return x < y ? -1 : 1;
  }
  return a_len < b_len ? -1 : a_len > b_len ? 1 : 0;
}

}  // namespace bench
