// Randomized model test of the record operations against an in-memory
// reference: adds, updates (some refused by the unique case-insensitive path
// index) and deletes through each index, on text, length-part and number
// keys; scans, the verifier after every batch, reopens; small pages and few
// frames keep pages evicted. QB_SEED picks the seed.
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "records_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kOps = 250;  // instrumented builds run a quarter of the steps
#else
constexpr int kOps = 1000;
#endif

// Each keyed index's order as a set of (text part, number part, address):
// std::string orders unsigned bytes, prefix first, as the engine's keys do.
using Key = std::tuple<std::string, int64_t, int32_t>;
Key key_of(int which, const Note& r, int32_t at) {
  if (which == 0) return {fold(r.path), 0, at};
  return {which == 1 ? r.name.substr(0, 6) : "", r.size, at};  // "Name,C:6", "Size,L"
}

struct Model {
  std::map<int32_t, Note> records;
  std::map<std::string, int32_t> owner;  // folded path -> address
  std::set<Key> keys[3];                 // path, name, size

  void insert(int32_t at, const Note& r) {
    records[at] = r;
    owner[fold(r.path)] = at;
    for (int w = 0; w < 3; ++w) keys[w].insert(key_of(w, r, at));
  }
  void erase(int32_t at) {
    const Note r = records.at(at);
    owner.erase(fold(r.path));
    for (int w = 0; w < 3; ++w) keys[w].erase(key_of(w, r, at));
    records.erase(at);
  }
  std::vector<int32_t> order(int which) const {  // addresses in the order of index 0 path, 1 name, 2 size, 3 physical
    std::vector<int32_t> out;
    if (which == 3) for (const auto& e : records) out.push_back(e.first);
    else for (const Key& k : keys[which]) out.push_back(std::get<2>(k));
    return out;
  }
  // The address of the first record in index `which` with `r`'s key.
  int32_t first_with(int which, const Note& r) const { return std::get<2>(*keys[which].lower_bound(key_of(which, r, INT32_MIN))); }
};

class ModelTest : public RecordsTest {
 protected:
  void Run(int page_size, int frames, int batches, int ops, int target) {
    const char* env = std::getenv("QB_SEED");
    const uint64_t seed = env != nullptr && *env != 0 ? std::strtoull(env, nullptr, 0) : 0x5eed2b0c71a49e03ULL;
    SCOPED_TRACE(testing::Message() << "QB_SEED=0x" << std::hex << seed);
    rng_.seed(seed);
    target_ = target;
    ASSERT_TRUE(tb_shutdown() == 1 && tb_startup(frames, page_size) == 1);
    const char* fields[] = {"Path", "Name,C", "Size,L", "Remark", nullptr};
    ASSERT_NE(t_ = tb_create(base("model").c_str(), page_size, fields), nullptr) << tb_error;
    ASSERT_EQ(create_index(t_, "INDX_Path,U", {"Path"}), 1) << tb_error;
    ASSERT_EQ(create_index(t_, "ByName", {"Name,C:6", "Size,L"}), 1) << tb_error;
    ASSERT_EQ(create_index(t_, "BySize", {"Size,L"}), 1) << tb_error;
    ASSERT_NO_FATAL_FAILURE(FindIndexes());
    for (int batch = 0; batch < batches; ++batch) {
      for (int i = 0; i < ops; ++i, ++op_) ASSERT_NO_FATAL_FAILURE(Step());
      ASSERT_NO_FATAL_FAILURE(Verify());
      if (batch % 5 == 4) { ASSERT_NO_FATAL_FAILURE(ScanAll()); }
      if (batch % 7 == 3) { ASSERT_EQ(tb_flush_table(t_), 1); }
      if (batch == batches / 2 || batch == batches - 1) {
        ASSERT_EQ(tb_close(t_), 1) << tb_error;
        ASSERT_NE(t_ = tb_open(base("model").c_str(), 0, 0), nullptr) << tb_error;
        ASSERT_NO_FATAL_FAILURE(FindIndexes());
        ASSERT_NO_FATAL_FAILURE(ScanAll());
      }
    }
    ASSERT_NO_FATAL_FAILURE(Verify());
    ASSERT_EQ(tb_close(t_), 1);
  }

  void FindIndexes() {
    const char* names[] = {"indx_path,u", "ByName", "BySize"};
    for (int i = 0; i < 3; ++i) ASSERT_NE(ix_[i] = tb_find_index(t_, names[i]), nullptr);
    ix_[3] = tb_physical_index(t_);
  }

  int below(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
  int between(int lo, int hi) { return lo + below(hi - lo + 1); }
  bool percent(int p) { return below(100) < p; }
  std::string text(int lo, int hi, const char* alphabet) {
    std::string s(static_cast<size_t>(between(lo, hi)), ' ');
    for (char& c : s) c = alphabet[below(static_cast<int>(std::strlen(alphabet)))];
    return s;
  }
  // Paths mix cases and bytes above 0x7F (which sort after ASCII); names have
  // few distinct six-byte prefixes, case variants kept apart; sizes reach
  // both ends of the 32-bit range.
  Note random_rec() {
    static const char* const kStems[] = {"report", "Report", "reporter", "repo", "notes", "NOTES", "note", "a", "", "zeta\xC3\xA9x"};
    Note r;
    r.path = "/" + text(0, 36, "abcdeXYZQW/._-0179\xE9\xC3");
    r.name = kStems[below(10)] + (percent(40) ? text(1, 8, "abcXYZ09") : "");
    const int s = below(6);
    r.size = s == 0 ? INT32_MIN + below(3) : s == 1 ? INT32_MAX - below(3)
           : s < 4  ? between(-3, 12) : static_cast<int32_t>(static_cast<uint32_t>(rng_()));
    const int p = below(100);
    r.remark = text(p < 50 ? 0 : p < 92 ? 20 : 200, p < 50 ? 20 : p < 92 ? 200 : 1500, "remark ");
    r.absent = r.remark.empty() && percent(50);
    return r;
  }
  std::string recase(std::string s) {
    for (char& c : s)
      if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z' && percent(50)) c ^= 0x20;
    return s;
  }
  int32_t random_address() { return std::next(m_.records.begin(), below(static_cast<int>(m_.records.size())))->first; }

  int32_t Current(TableIndex* ix) {  // the address under a keyed index's cursor, or the physical cursor
    int32_t ref = t_->physical_cursor;
    if (ix->number != 0) { EXPECT_EQ(ix_current(ix->handle, &ref), 1) << "op " << op_; }
    return ref;
  }
  void ExpectOn(TableIndex* ix, int32_t at) {  // `ix` stands on the record at `at`, which reads as the model says
    ASSERT_TRUE(ix->state == 1 && Current(ix) == at) << "op " << op_ << " index " << ix->name;
    Note got;
    ASSERT_EQ(read_note(t_, ix, &got), 1) << "op " << op_ << " tb_error " << tb_error;
    ASSERT_EQ(got, m_.records.at(at)) << "op " << op_ << " at " << at;
  }
  int32_t AddressOf(const std::string& path) {  // through the unique index
    const void* key[] = {path.c_str()};
    int rc = tb_find_key(t_, ix_[0], key);
    EXPECT_EQ(rc, 2) << "op " << op_ << " path " << path;
    return rc == 2 ? Current(ix_[0]) : 0;
  }
  std::vector<const void*> KeyOf(int which, const Note& r) {
    if (which == 0) return {r.path.c_str()};
    if (which == 1) return {r.name.c_str(), &r.size};
    return {&r.size};
  }
  // Puts index `which` on the record at `at`, a keyed one on the first with that key; the address it stands on.
  int32_t Position(int which, int32_t at) {
    if (which == 3) {
      EXPECT_TRUE(go_to(t_, at)) << "op " << op_;
      return t_->physical_cursor;
    }
    const Note& r = m_.records.at(at);
    EXPECT_EQ(tb_find_key(t_, ix_[which], KeyOf(which, r).data()), 2) << "op " << op_ << " " << r.path;
    const int32_t first = m_.first_with(which, r);
    EXPECT_EQ(Current(ix_[which]), first) << "op " << op_ << " index " << ix_[which]->name;
    return first;
  }

  void Step() {
    const int n = static_cast<int>(m_.records.size()), p = below(100), add = n < target_ ? 40 : 20;
    if (n == 0 || p < add) return Add();
    if (p < add + (n > target_ ? 30 : 15)) return Delete();
    return Update();
  }

  void Add() {
    Note r = random_rec();
    if (!m_.records.empty() && percent(15)) r.path = recase(m_.records.at(random_address()).path);
    auto clash = m_.owner.find(fold(r.path));
    const int which = below(5);  // 4: no index
    TableIndex* ix = which < 4 ? ix_[which] : nullptr;
    int rc = tb_add_record(t_, ix, r.values().data());
    if (clash != m_.owner.end()) {
      ASSERT_TRUE(rc == -1 && tb_error == kTbIndexLayer && ix_error == kIxDuplicateKey) << "op " << op_ << " " << r.path;
      ASSERT_EQ(AddressOf(r.path), clash->second);  // the record there is untouched
      return ExpectOn(ix_[0], clash->second);
    }
    ASSERT_EQ(rc, 1) << "op " << op_ << " tb_error " << tb_error << " ix_error " << ix_error << " " << r.path;
    const int32_t at = ix != nullptr ? Current(ix) : 0, found = AddressOf(r.path);
    ASSERT_EQ(m_.records.count(found), 0u) << "op " << op_ << " address " << found << " already holds a record";
    m_.insert(found, r);
    if (ix != nullptr) { ASSERT_EQ(at, found) << "op " << op_; }
    if (ix != nullptr) ExpectOn(ix, found);
  }

  void Update() {
    const int which = below(4);
    const int32_t at = Position(which, random_address());
    if (HasFailure()) return;
    const Note old = m_.records.at(at);
    Note r = old;
    const int kind = below(100);
    if (kind < 20) r.path = random_rec().path;
    else if (kind < 30) r.path = recase(old.path);
    else if (kind < 42 && m_.records.size() > 1) r.path = recase(m_.records.at(random_address()).path);
    if (percent(30)) r.name = random_rec().name;
    if (percent(30)) r.size = random_rec().size;
    const int grow = below(100);
    if (grow < 40) r.remark += text(1, percent(10) ? 600 : 60, "grown ");
    else if (grow < 80 && !r.remark.empty()) r.remark.resize(static_cast<size_t>(below(static_cast<int>(r.remark.size()))));
    else r.remark = text(static_cast<int>(r.remark.size()), static_cast<int>(r.remark.size()), "same");
    r.absent = r.remark.empty() && percent(50);

    auto clash = m_.owner.find(fold(r.path));
    const bool refused = clash != m_.owner.end() && clash->second != at;
    int rc = tb_update_record(t_, ix_[which], r.values().data());
    const int32_t cursor = t_->physical_cursor;
    m_.erase(at);
    ASSERT_TRUE(refused ? rc == -1 && tb_error == kTbIndexLayer && ix_error == kIxDuplicateKey : rc == 1)
        << "op " << op_ << " tb_error " << tb_error << " ix_error " << ix_error << " " << r.path;
    if (refused) r = old;  // the old record is back, perhaps at a new address
    const int32_t now = AddressOf(r.path);
    ASSERT_EQ(m_.records.count(now), 0u) << "op " << op_;
    m_.insert(now, r);
    const auto next = m_.records.upper_bound(at);  // through the physical index, the cursor moves on past the old place
    const bool last = next == m_.records.end();
    if (which == 3 && !refused) { ASSERT_TRUE(cursor == (last ? 0 : next->first) && ix_[3]->state == (last ? -3 : 1)) << "op " << op_; }
    ExpectOn(ix_[0], now);
  }

  void Delete() {
    const int which = below(4);
    const int32_t at = Position(which, random_address());
    if (HasFailure()) return;
    const std::vector<int32_t> order = m_.order(which);
    auto pos = std::find(order.begin(), order.end(), at);
    ASSERT_NE(pos, order.end());
    ASSERT_EQ(tb_delete_record(t_, ix_[which]), 1) << "op " << op_ << " tb_error " << tb_error;
    m_.erase(at);
    if (pos + 1 != order.end()) return ExpectOn(ix_[which], *(pos + 1));
    ASSERT_TRUE(ix_[which]->state == -3 && (which != 3 || t_->physical_cursor == 0) && tb_next_record(t_, ix_[which]) == -3) << "op " << op_;
  }

  // Every index, walked from its first record to its end, holds the model's records in its order.
  void ScanAll() {
    for (int which = 0; which < 4; ++which) {
      const std::vector<int32_t> order = m_.order(which);
      int rc = tb_first_record(t_, ix_[which]);
      for (size_t i = 0; i < order.size(); ++i, rc = tb_next_record(t_, ix_[which])) {
        ASSERT_EQ(rc, 1) << "scan of " << ix_[which]->name << " ends after " << i << " of " << order.size();
        ASSERT_NO_FATAL_FAILURE(ExpectOn(ix_[which], order[i]));
      }
      ASSERT_EQ(rc, -3) << "scan of " << ix_[which]->name << " has more records";
    }
  }

  void Verify() { ASSERT_EQ(findings(t_), "") << "after op " << op_ << ": tb_error " << tb_error; }

  Table* t_ = nullptr;
  TableIndex* ix_[4] = {};  // path, name, size, physical
  Model m_;
  std::mt19937_64 rng_;  // the same sequence on every library
  long op_ = 0;
  int target_ = 0;
};

TEST_F(ModelTest, SmallPagesAndFewFramesAgreeWithTheReference) { Run(512, 16, 100, kOps, 400); }
TEST_F(ModelTest, LargePagesAgreeWithTheReference) { Run(4096, 16, 100, kOps, 600); }

}  // namespace
