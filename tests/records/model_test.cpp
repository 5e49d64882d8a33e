// Randomized model test of the record operations: a long seeded run of adds,
// updates, deletes, finds and walks on a table with a unique case-insensitive
// path index, a case-sensitive name index with a length part and a second
// numeric key field, and a numeric size index. Every step is checked against
// an in-memory reference that orders each index as the key comparison does
// (text folded A-Z for plain text, bytes for exact text, signed 32-bit for
// numbers; equal keys by record address). Whole scans in every order, the
// table verifier after every batch, a close and reopen midway, and small
// pages with few cache frames so that pages are evicted all the time.
//
// The run is repeatable: the seed is fixed unless QB_SEED is set, and it is
// printed with any failure.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "records_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define QB_MODEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define QB_MODEL_SANITIZED 1
#endif
#endif

namespace {

#ifdef QB_MODEL_SANITIZED
constexpr int kScale = 4;  // instrumented builds run a quarter of the steps
#else
constexpr int kScale = 1;
#endif


constexpr uint64_t kDefaultSeed = 0x5eed'2b0c'71a4'9e03ULL;

uint64_t seed_from_env() {
  const char* s = std::getenv("QB_SEED");
  if (s == nullptr || *s == 0) return kDefaultSeed;
  return std::strtoull(s, nullptr, 0);
}

// splitmix64: the same sequence on every compiler and library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t next() {
    uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  int between(int lo, int hi) { return lo + below(hi - lo + 1); }
  bool percent(int p) { return below(100) < p; }

 private:
  uint64_t s_;
};

// --- the reference -------------------------------------------------------------------------

std::string fold(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

constexpr size_t kNameKeyChars = 6;  // the length part of the name index
std::string name_part(const std::string& name) { return name.substr(0, kNameKeyChars); }

struct Rec {
  std::string path, name;
  int32_t size = 0;
  std::string remark;
  bool operator==(const Rec& o) const {
    return path == o.path && name == o.name && size == o.size && remark == o.remark;
  }
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
  return os << "{" << r.path << " | " << r.name << " | " << r.size << " | remark of " << r.remark.size() << "}";
}

// std::string orders by unsigned bytes with a prefix first, as the engine's
// text comparison does; folding first gives the case-insensitive order.
using PathEntry = std::pair<std::string, int32_t>;               // folded path, address
using NameEntry = std::tuple<std::string, int32_t, int32_t>;     // name part, size, address
using SizeEntry = std::pair<int32_t, int32_t>;                   // size, address

struct Model {
  std::map<int32_t, Rec> records;  // by address: record order
  std::map<std::string, int32_t> owner;  // folded path -> address
  std::set<PathEntry> by_path;
  std::set<NameEntry> by_name;
  std::set<SizeEntry> by_size;

  void insert(int32_t at, const Rec& r) {
    records[at] = r;
    owner[fold(r.path)] = at;
    by_path.insert({fold(r.path), at});
    by_name.insert({name_part(r.name), r.size, at});
    by_size.insert({r.size, at});
  }
  void erase(int32_t at) {
    const Rec& r = records.at(at);
    owner.erase(fold(r.path));
    by_path.erase({fold(r.path), at});
    by_name.erase({name_part(r.name), r.size, at});
    by_size.erase({r.size, at});
    records.erase(at);
  }
  // The record's addresses in the order of index `which` (0 path, 1 name,
  // 2 size, 3 record order).
  std::vector<int32_t> order(int which) const {
    std::vector<int32_t> out;
    switch (which) {
      case 0: for (const auto& e : by_path) out.push_back(e.second); break;
      case 1: for (const auto& e : by_name) out.push_back(std::get<2>(e)); break;
      case 2: for (const auto& e : by_size) out.push_back(e.second); break;
      default: for (const auto& e : records) out.push_back(e.first); break;
    }
    return out;
  }
};

void collect_finding(void* ctx, const char* finding) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(finding);
}

// --- the run -------------------------------------------------------------------------------

struct Counts {
  long adds = 0, refused_adds = 0, updates = 0, refused_updates = 0, moved = 0;
  long deletes = 0, finds = 0, partial_finds = 0, walks = 0, walk_steps = 0, idle = 0;
  long scans = 0, verifies = 0;
  long total() const { return adds + refused_adds + updates + refused_updates + deletes + finds + walks + idle; }
};

struct RunShape {
  int page_size;
  int frames;
  int batches;
  int ops_per_batch;
  int target_records;  // the table's size hovers around this
};

class ModelTest : public RecordsTest {
 protected:
  void TearDown() override {
    for (void*& b : buffers_) std::free(b);
    RecordsTest::TearDown();
  }

  // Starts the engine with the run's cache shape and creates the table.
  void Begin(const RunShape& shape) {
    ASSERT_EQ(tb_shutdown(), 1);
    ASSERT_EQ(tb_startup(shape.frames, shape.page_size), 1);
    const char* fields[] = {"Path", "Name,C", "Size,L", "Remark", nullptr};
    t_ = tb_create(base("model").c_str(), shape.page_size, fields);
    ASSERT_NE(t_, nullptr) << tb_error;
    ASSERT_EQ(create_index(t_, "INDX_Path,U", {"Path"}), 1) << tb_error;
    ASSERT_EQ(create_index(t_, "ByName", {"Name,C:6", "Size,L"}), 1) << tb_error;
    ASSERT_EQ(create_index(t_, "BySize", {"Size,L"}), 1) << tb_error;
    FindIndexes();
    for (int i = 0; i < 4; ++i) {
      buffers_[i] = std::malloc(4);
      sizes_[i] = 4;
    }
  }

  void FindIndexes() {
    ix_[0] = tb_find_index(t_, "indx_path,u");
    ix_[1] = tb_find_index(t_, "ByName");
    ix_[2] = tb_find_index(t_, "BySize");
    ix_[3] = tb_physical_index(t_);
    for (TableIndex* ix : ix_) ASSERT_NE(ix, nullptr);
    ASSERT_NE(ix_[0]->unique_marks, 0);
    ASSERT_EQ(ix_[1]->unique_marks, 0);
  }

  void Reopen() {
    ASSERT_EQ(tb_close(t_), 1) << tb_error;
    t_ = tb_open(base("model").c_str(), 0, 0);
    ASSERT_NE(t_, nullptr) << tb_error;
    ASSERT_EQ(t_->index_count, 4);
    FindIndexes();
  }

  void Run(const RunShape& shape) {
    const uint64_t seed = seed_from_env();
    char seed_text[64];
    std::snprintf(seed_text, sizeof seed_text, "QB_SEED=0x%" PRIx64, seed);
    SCOPED_TRACE(seed_text);
    rng_ = Rng(seed);
    target_ = shape.target_records;
    ASSERT_NO_FATAL_FAILURE(Begin(shape));

    for (int batch = 0; batch < shape.batches; ++batch) {
      for (int i = 0; i < shape.ops_per_batch; ++i) {
        ++op_;
        ASSERT_NO_FATAL_FAILURE(Step());
      }
      ASSERT_NO_FATAL_FAILURE(Verify());
      if (batch % 5 == 4) {
        ASSERT_NO_FATAL_FAILURE(ScanAll());
      }
      if (batch == shape.batches / 2) {
        ASSERT_NO_FATAL_FAILURE(Reopen());
        ASSERT_NO_FATAL_FAILURE(ScanAll());
      }
      if (batch % 7 == 3) {
        ASSERT_EQ(tb_flush_table(t_), 1);
      }
    }
    ASSERT_NO_FATAL_FAILURE(ScanAll());
    ASSERT_NO_FATAL_FAILURE(Reopen());
    ASSERT_NO_FATAL_FAILURE(ScanAll());
    ASSERT_NO_FATAL_FAILURE(Verify());
    ASSERT_EQ(tb_close(t_), 1);
    t_ = nullptr;
    std::printf(
        "[ model    ] %s page %d frames %d: %ld steps (%ld adds, %ld refused adds, %ld updates of which %ld moved,"
        " %ld refused updates, %ld deletes, %ld finds of which %ld partial, %ld walks of %ld steps,"
        " %ld reads of no record), %ld full scans, %ld verifies, %zu records at the end\n",
        seed_text, shape.page_size, shape.frames, n_.total(), n_.adds, n_.refused_adds, n_.updates, n_.moved,
        n_.refused_updates, n_.deletes, n_.finds, n_.partial_finds, n_.walks, n_.walk_steps, n_.idle, n_.scans,
        n_.verifies, m_.records.size());
  }

  // --- generators --------------------------------------------------------------------------

  std::string random_text(int min_len, int max_len, const char* alphabet) {
    int n = rng_.between(min_len, max_len);
    std::string s;
    const int a = static_cast<int>(std::strlen(alphabet));
    for (int i = 0; i < n; ++i) s.push_back(alphabet[rng_.below(a)]);
    return s;
  }

  // Paths mix cases and include bytes above 0x7F, which must sort after
  // every ASCII byte.
  std::string random_path() {
    static const char kAlphabet[] = "abcdeXYZQW/._-0179\xE9\xC3";
    return "/" + random_text(0, 36, kAlphabet);
  }

  // Few distinct six-character prefixes, so that the name index holds many
  // equal first parts, and case variants, which that index keeps apart.
  std::string random_name() {
    static const char* const kStems[] = {"report", "Report", "reporter", "repo", "notes",
                                         "NOTES", "note", "a", "", "zeta\xC3\xA9x"};
    std::string s = kStems[rng_.below(10)];
    if (rng_.percent(40)) s += random_text(1, 8, "abcXYZ09");
    return s;
  }

  int32_t random_size() {
    switch (rng_.below(6)) {
      case 0: return INT32_MIN + rng_.below(3);
      case 1: return INT32_MAX - rng_.below(3);
      case 2: case 3: return rng_.between(-3, 12);
      default: return static_cast<int32_t>(static_cast<uint32_t>(rng_.next()));
    }
  }

  std::string random_remark() {
    int p = rng_.below(100);
    if (p < 50) return random_text(0, 20, "remark ");
    if (p < 92) return random_text(20, 200, "remark ");
    return random_text(200, 1500, "remark ");
  }

  Rec random_rec() { return Rec{random_path(), random_name(), random_size(), random_remark()}; }

  std::string recase(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
      if (c >= 'a' && c <= 'z' && rng_.percent(50)) c = static_cast<char>(c - 'a' + 'A');
      else if (c >= 'A' && c <= 'Z' && rng_.percent(50)) c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }

  int32_t random_address() {
    auto it = m_.records.begin();
    std::advance(it, rng_.below(static_cast<int>(m_.records.size())));
    return it->first;
  }

  // --- engine helpers ----------------------------------------------------------------------

  struct Values {
    const void* v[4];
    explicit Values(const Rec& r) : v{r.path.c_str(), r.name.c_str(), &r.size, r.remark.c_str()} {}
  };

  // Reads the current record of `ix`; the engine's result.
  int Read(TableIndex* ix, Rec* out) {
    int rc = tb_read_record(t_, ix, buffers_, sizes_);
    if (rc != 1) return rc;
    out->path = static_cast<const char*>(buffers_[0]);
    out->name = static_cast<const char*>(buffers_[1]);
    std::memcpy(&out->size, buffers_[2], 4);
    out->remark = static_cast<const char*>(buffers_[3]);
    return 1;
  }

  // The address under a keyed index's cursor, or the physical cursor.
  int32_t CurrentAddress(TableIndex* ix) {
    if (ix->number == 0) return t_->physical_cursor;
    int32_t ref = 0;
    EXPECT_EQ(ix_current(ix->handle, &ref), 1) << "op " << op_;
    return ref;
  }

  // `ix` stands on the record at `at`, and that record reads as the model says.
  void ExpectOn(TableIndex* ix, int32_t at) {
    ASSERT_EQ(ix->state, 1) << "op " << op_ << " index " << ix->name;
    ASSERT_EQ(CurrentAddress(ix), at) << "op " << op_ << " index " << ix->name;
    Rec got;
    ASSERT_EQ(Read(ix, &got), 1) << "op " << op_ << " tb_error " << tb_error;
    ASSERT_EQ(got, m_.records.at(at)) << "op " << op_ << " at " << at;
  }

  // The address of the record with `path`, looked up through the unique
  // index; it also leaves that index on the record.
  int32_t AddressOf(const std::string& path) {
    const void* key[] = {path.c_str()};
    int rc = tb_find_key(t_, ix_[0], key);
    EXPECT_EQ(rc, 2) << "op " << op_ << " path " << path;
    return rc == 2 ? CurrentAddress(ix_[0]) : 0;
  }

  // Key values of `r` for index `which` (not the physical index).
  static std::vector<const void*> KeyOf(int which, const Rec& r) {
    if (which == 0) return {r.path.c_str()};
    if (which == 1) return {r.name.c_str(), &r.size};
    return {&r.size};
  }

  // The entry of `which` that a search for `r`'s full key lands on: the
  // first of the equal keys, which is the one with the lowest address.
  int32_t FirstWithKey(int which, const Rec& r) {
    if (which == 0) return m_.owner.at(fold(r.path));
    if (which == 1) return std::get<2>(*m_.by_name.lower_bound({name_part(r.name), r.size, INT32_MIN}));
    return m_.by_size.lower_bound({r.size, INT32_MIN})->second;
  }

  // Puts index `which` on the record at `at` (keyed: on the first record
  // with the same key) and returns the address it stands on.
  int32_t Position(int which, int32_t at) {
    const Rec& r = m_.records.at(at);
    TableIndex* ix = ix_[which];
    if (which == 3) {
      std::vector<int32_t> order = m_.order(3);
      int rc = tb_first_record(t_, ix);
      for (int32_t expect : order) {
        EXPECT_EQ(rc, 1) << "op " << op_;
        EXPECT_EQ(t_->physical_cursor, expect) << "op " << op_;
        if (rc != 1 || t_->physical_cursor != expect || expect == at) break;
        rc = tb_next_record(t_, ix);
      }
      return t_->physical_cursor;
    }
    std::vector<const void*> key = KeyOf(which, r);
    EXPECT_EQ(tb_find_key(t_, ix, key.data()), 2) << "op " << op_ << " index " << ix->name << " " << r;
    int32_t expect = FirstWithKey(which, r);
    EXPECT_EQ(CurrentAddress(ix), expect) << "op " << op_ << " index " << ix->name;
    return expect;
  }

  // --- steps -------------------------------------------------------------------------------

  void Step() {
    const int n = static_cast<int>(m_.records.size());
    int add_weight = n < target_ ? 40 : 20;
    int p = rng_.below(100);
    if (n == 0 || p < add_weight) return Add();
    p -= add_weight;
    if (p < 28) return Update();
    if (p < 28 + (n > target_ ? 30 : 15)) return Delete();
    if (rng_.percent(75)) return Find();
    if (rng_.percent(92)) return Walk();
    return NoCurrentRecord();
  }

  void Add() {
    Rec r = random_rec();
    if (!m_.records.empty() && rng_.percent(15)) r.path = recase(m_.records.at(random_address()).path);
    auto clash = m_.owner.find(fold(r.path));
    const int which = rng_.below(5);  // 4: no index
    TableIndex* ix = which < 4 ? ix_[which] : nullptr;
    Values v(r);
    int rc = tb_add_record(t_, ix, v.v);
    if (clash != m_.owner.end()) {
      ++n_.refused_adds;
      ASSERT_EQ(rc, -1) << "op " << op_ << " duplicate path " << r.path;
      ASSERT_EQ(tb_error, kTbIndexLayer);
      ASSERT_EQ(ix_error, kIxDuplicateKey);
      // The record already there is untouched and still found by its path.
      ASSERT_EQ(AddressOf(r.path), clash->second);
      ASSERT_NO_FATAL_FAILURE(ExpectOn(ix_[0], clash->second));
      return;
    }
    ++n_.adds;
    ASSERT_EQ(rc, 1) << "op " << op_ << " tb_error " << tb_error << " ix_error " << ix_error << " " << r;
    int32_t at = ix != nullptr ? CurrentAddress(ix) : 0;
    if (ix != nullptr) {
      ASSERT_EQ(ix->state, 1);
    }
    int32_t found = AddressOf(r.path);
    if (ix != nullptr) {
      ASSERT_EQ(at, found) << "op " << op_;
    }
    ASSERT_GE(found, t_->first_record);
    ASSERT_EQ(m_.records.count(found), 0u) << "op " << op_ << " address " << found << " already holds a record";
    m_.insert(found, r);
    if (ix != nullptr) {
      ASSERT_NO_FATAL_FAILURE(ExpectOn(ix, found));
    }
  }

  void Update() {
    const int which = rng_.below(4);
    int32_t at = Position(which, random_address());
    if (HasFatalFailure() || HasFailure()) return;
    const Rec old = m_.records.at(at);
    Rec r = old;
    int kind = rng_.below(100);
    if (kind < 20) r.path = random_path();
    else if (kind < 30) r.path = recase(old.path);
    else if (kind < 42 && m_.records.size() > 1) r.path = recase(m_.records.at(random_address()).path);
    if (rng_.percent(30)) r.name = random_name();
    if (rng_.percent(30)) r.size = random_size();
    int grow = rng_.below(100);
    if (grow < 40) r.remark += random_text(1, rng_.percent(10) ? 600 : 60, "grown ");
    else if (grow < 80 && !r.remark.empty()) r.remark.resize(static_cast<size_t>(rng_.below(static_cast<int>(r.remark.size()))));
    else r.remark = random_text(static_cast<int>(r.remark.size()), static_cast<int>(r.remark.size()), "same");

    auto clash = m_.owner.find(fold(r.path));
    const bool refused = clash != m_.owner.end() && clash->second != at;
    Values v(r);
    int rc = tb_update_record(t_, ix_[which], v.v);
    if (refused) {
      ++n_.refused_updates;
      ASSERT_EQ(rc, -1) << "op " << op_ << " path " << r.path << " belongs to another record";
      ASSERT_EQ(tb_error, kTbIndexLayer) << "op " << op_ << " index " << ix_[which]->name << " at " << at << " old " << old << " new " << r;
      ASSERT_EQ(ix_error, kIxDuplicateKey);
      // The old record is back, perhaps at a new address, under every index.
      int32_t back = AddressOf(old.path);
      m_.erase(at);
      ASSERT_EQ(m_.records.count(back), 0u) << "op " << op_;
      m_.insert(back, old);
      ASSERT_NO_FATAL_FAILURE(ExpectOn(ix_[0], back));
      return;
    }
    ++n_.updates;
    ASSERT_EQ(rc, 1) << "op " << op_ << " tb_error " << tb_error << " ix_error " << ix_error << " " << r;
    m_.erase(at);
    if (which == 3) {
      // The physical cursor moved on past the updated record's old place.
      int32_t moved_to = t_->physical_cursor;
      int32_t now = AddressOf(r.path);
      m_.insert(now, r);
      auto next = m_.records.upper_bound(at);
      if (next == m_.records.end()) {
        ASSERT_EQ(moved_to, 0) << "op " << op_;
        ASSERT_EQ(ix_[3]->state, -3);
      } else {
        ASSERT_EQ(moved_to, next->first) << "op " << op_;
        ASSERT_EQ(ix_[3]->state, 1);
      }
      if (now != at) ++n_.moved;
    } else {
      int32_t now = AddressOf(r.path);
      ASSERT_EQ(m_.records.count(now), 0u) << "op " << op_;
      m_.insert(now, r);
      if (now != at) ++n_.moved;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectOn(ix_[0], m_.owner.at(fold(r.path))));
  }

  void Delete() {
    const int which = rng_.below(4);
    int32_t at = Position(which, random_address());
    if (HasFatalFailure() || HasFailure()) return;
    ++n_.deletes;
    // The entry after the deleted one in this index's order.
    std::vector<int32_t> order = m_.order(which);
    auto pos = std::find(order.begin(), order.end(), at);
    ASSERT_NE(pos, order.end());
    int32_t after = pos + 1 == order.end() ? 0 : *(pos + 1);
    ASSERT_EQ(tb_delete_record(t_, ix_[which]), 1) << "op " << op_ << " tb_error " << tb_error;
    m_.erase(at);
    if (after == 0) {
      ASSERT_EQ(ix_[which]->state, -3) << "op " << op_ << " index " << ix_[which]->name;
      if (which == 3) {
        ASSERT_EQ(t_->physical_cursor, 0);
      }
      ASSERT_EQ(tb_next_record(t_, ix_[which]), -3);
    } else {
      ASSERT_NO_FATAL_FAILURE(ExpectOn(ix_[which], after));
    }
  }

  // Searches one keyed index for a key from a record, a case variant of
  // one, a leading part of one, or anything at all, and follows the result
  // for a few records.
  void Find() {
    ++n_.finds;
    const int which = rng_.below(3);
    TableIndex* ix = ix_[which];
    Rec r = m_.records.empty() || rng_.percent(40) ? random_rec() : m_.records.at(random_address());
    if (rng_.percent(20)) r.path = recase(r.path), r.name = recase(r.name);
    const bool partial = which == 1 && rng_.percent(30);
    std::vector<const void*> key = KeyOf(which, r);
    if (partial) {
      key.back() = nullptr;  // the search key ends at the first absent value
      ++n_.partial_finds;
    }
    int rc = tb_find_key(t_, ix, key.data());

    // Where the model says the search lands, and whether the key is there.
    std::vector<int32_t> order = m_.order(which);
    size_t first = order.size();
    bool exact = false;
    if (which == 0) {
      auto it = m_.by_path.lower_bound({fold(r.path), INT32_MIN});
      if (it != m_.by_path.end()) {
        first = static_cast<size_t>(std::distance(m_.by_path.begin(), it));
        exact = it->first == fold(r.path);
      }
    } else if (which == 1) {
      // A key without its last part comes before every full key it begins.
      auto it = partial ? m_.by_name.lower_bound({name_part(r.name), INT32_MIN, INT32_MIN})
                        : m_.by_name.lower_bound({name_part(r.name), r.size, INT32_MIN});
      if (it != m_.by_name.end()) {
        first = static_cast<size_t>(std::distance(m_.by_name.begin(), it));
        exact = !partial && std::get<0>(*it) == name_part(r.name) && std::get<1>(*it) == r.size;
      }
    } else {
      auto it = m_.by_size.lower_bound({r.size, INT32_MIN});
      if (it != m_.by_size.end()) {
        first = static_cast<size_t>(std::distance(m_.by_size.begin(), it));
        exact = it->first == r.size;
      }
    }
    ASSERT_EQ(rc, exact ? 2 : 3) << "op " << op_ << " index " << ix->name << " key " << r << (partial ? " (partial)" : "");
    if (first == order.size()) {
      ASSERT_EQ(ix->state, -3) << "op " << op_ << " index " << ix->name;
      Rec ignored;
      ASSERT_EQ(Read(ix, &ignored), -3);
      ASSERT_EQ(tb_next_record(t_, ix), -3);
      return;
    }
    int steps = rng_.between(0, 4);
    for (size_t i = first; i < order.size() && steps >= 0; ++i, --steps) {
      if (i > first) {
        ASSERT_EQ(tb_next_record(t_, ix), 1) << "op " << op_;
      }
      ASSERT_NO_FATAL_FAILURE(ExpectOn(ix, order[i]));
    }
  }

  // First and a few nexts on any index, the physical one included.
  void Walk() {
    ++n_.walks;
    const int which = rng_.below(4);
    TableIndex* ix = ix_[which];
    std::vector<int32_t> order = m_.order(which);
    int steps = rng_.between(1, 25);
    int rc = tb_first_record(t_, ix);
    for (size_t i = 0; i < order.size() && steps > 0; ++i, --steps) {
      if (i > 0) rc = tb_next_record(t_, ix);
      ++n_.walk_steps;
      ASSERT_EQ(rc, 1) << "op " << op_ << " index " << ix->name << " step " << i;
      ASSERT_NO_FATAL_FAILURE(ExpectOn(ix, order[i]));
    }
    if (steps > 0) {
      ASSERT_EQ(order.empty() ? rc : tb_next_record(t_, ix), -3) << "op " << op_ << " index " << ix->name;
      ASSERT_EQ(ix->state, -3);
    }
  }

  // An index past its last record: read and update report it, delete
  // refuses with error 4, and nothing changes.
  void NoCurrentRecord() {
    ++n_.idle;
    const void* key[] = {"\xFF\xFF\xFF"};  // above every path
    ASSERT_EQ(tb_find_key(t_, ix_[0], key), 3);
    ASSERT_EQ(ix_[0]->state, -3);
    Rec ignored;
    ASSERT_EQ(Read(ix_[0], &ignored), -3);
    Rec r = random_rec();
    Values v(r);
    ASSERT_EQ(tb_update_record(t_, ix_[0], v.v), -3);
    ASSERT_EQ(tb_delete_record(t_, ix_[0]), -1);
    ASSERT_EQ(tb_error, kTbNoCurrent);
  }

  // --- whole-table checks ------------------------------------------------------------------

  // Every index, walked from its first record to its end, holds exactly the
  // model's records in the model's order.
  void ScanAll() {
    ++n_.scans;
    for (int which = 0; which < 4; ++which) {
      TableIndex* ix = ix_[which];
      std::vector<int32_t> order = m_.order(which);
      int rc = tb_first_record(t_, ix);
      for (size_t i = 0; i < order.size(); ++i) {
        if (i > 0) rc = tb_next_record(t_, ix);
        ASSERT_EQ(rc, 1) << "scan of " << ix->name << " ends after " << i << " of " << order.size();
        ASSERT_NO_FATAL_FAILURE(ExpectOn(ix, order[i]));
      }
      ASSERT_EQ(order.empty() ? rc : tb_next_record(t_, ix), -3) << "scan of " << ix->name << " has more records";
    }
  }

  void Verify() {
    ++n_.verifies;
    std::vector<std::string> findings;
    int rc = tb_verify(t_, collect_finding, &findings, 20);
    std::string all;
    for (const auto& f : findings) all += "\n  " + f;
    ASSERT_EQ(rc, 0) << "after op " << op_ << ": tb_error " << tb_error << all;
  }

  Table* t_ = nullptr;
  TableIndex* ix_[4] = {};  // path, name, size, physical
  void* buffers_[4] = {};
  int32_t sizes_[4] = {};
  Model m_;
  Rng rng_{0};
  Counts n_;
  long op_ = 0;
  int target_ = 0;
};

// A refused duplicate leaves the table as it was, header counts included, so
// the verifier finds it sound.
TEST_F(RecordsTest, RefusedDuplicateLeavesAVerifiedTable) {
  Table* t = make_notes("dup");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
  ASSERT_NE(add(t, "/a", "first"), 0);
  const void* dup[] = {"/A", "second"};
  ASSERT_EQ(tb_add_record(t, nullptr, dup), -1);
  ASSERT_EQ(ix_error, kIxDuplicateKey);
  std::vector<std::string> findings;
  EXPECT_EQ(tb_verify(t, collect_finding, &findings, 10), 0) << (findings.empty() ? "" : findings[0]);
  EXPECT_EQ(tb_close(t), 1);
}

// An update refused by the unique index while the physical cursor stands on
// the record: the undo frees the updated block and stores the old values
// anew, here at the start of the free block in front, which now covers the
// old address; moving the physical cursor on from that address afterwards
// reads record text as a length word. The update must fail with error 9 and
// leave the old record, the cursor on the record after it, and a sound table.
TEST_F(RecordsTest, RefusedUpdateUnderThePhysicalCursor) {
  Table* t = make_notes("undo");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1);
  TableIndex* phys = tb_physical_index(t);
  int32_t front = add(t, "/a", "");
  int32_t at = add(t, "/b", text_of(100));
  int32_t after = add(t, "/c", "");
  ASSERT_EQ(delete_at(t, front), 1);  // a small free block right in front of "/b"
  ASSERT_TRUE(go_to(t, at));
  const void* clash[] = {"/C", "x"};  // shrinks in place, then the path is refused
  EXPECT_EQ(tb_update_record(t, phys, clash), -1);
  EXPECT_EQ(tb_error, kTbIndexLayer);
  EXPECT_EQ(ix_error, kIxDuplicateKey);
  EXPECT_EQ(t->physical_cursor, after);
  TableIndex* path = tb_find_index(t, "INDX_Path,U");
  const void* key[] = {"/b"};
  ASSERT_EQ(tb_find_key(t, path, key), 2);
  EXPECT_EQ(read_texts(t, path), (std::vector<std::string>{"/b", text_of(100)}));
  std::vector<std::string> findings;
  EXPECT_EQ(tb_verify(t, collect_finding, &findings, 10), 0) << (findings.empty() ? "" : findings[0]);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(ModelTest, SmallPagesAndFewFramesAgreeWithTheReference) {
  Run(RunShape{512, 16, 100, 1000 / kScale, 400});
}

TEST_F(ModelTest, LargePagesAgreeWithTheReference) {
  Run(RunShape{4096, 16, 100, 1000 / kScale, 600});
}

}  // namespace
