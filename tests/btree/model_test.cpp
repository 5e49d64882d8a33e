// Randomized model test of the index layer: inserts, deletes, replaces, finds,
// seeks and cursor steps through several handles on one file against a
// std::set of (key, ref), the verifier after every batch, scans both ways, a
// reopen midway; small pages and 16 frames force splits, merges and
// evictions. QB_SEED replays a run. The fault loop fails every I/O in turn.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>

#include "btree/tree_test_support.h"
#include "support/fault_io.h"

namespace {

using namespace tree_test;

constexpr int kHandles = 3, kBatch = 500, kScanEvery = 4;  // verify every batch, scan every 4th
constexpr int kGrowOps = 30000, kShrinkOps = 15000;         // phase lengths

struct Entry {
  std::string key;
  int32_t ref;
};
struct EntryLess {
  bool operator()(const Entry& a, const Entry& b) const {
    return key_compare(a.key, b.key) != 0 ? key_compare(a.key, b.key) < 0 : a.ref < b.ref;
  }
};
using Model = std::set<Entry, EntryLess>;
bool same(const Entry& a, const Entry& b) { return !EntryLess()(a, b) && !EntryLess()(b, a); }

std::string show(const Entry& e) {
  return "(\"" + e.key.substr(0, 24) + "\"/" + std::to_string(e.key.size()) + ", " + std::to_string(e.ref) + ")";
}

// One handle's cursor: 1 on `pos`, -2 before the first, -3 after the last;
// `moved`: its entry was removed, the cursor repaired forward.
struct CursorModel {
  int state = -2;
  Entry pos;
  bool moved = false;
};

class ModelTest : public TreeTest {
 protected:
  void RunModel(int page_size, int ops) {
    const char* env = getenv("QB_SEED");
    const uint32_t base = env != nullptr && *env != '\0' ? strtoul(env, nullptr, 10) : 20240611u;
    SCOPED_TRACE("QB_SEED=" + std::to_string(base) + ", page size " + std::to_string(page_size));
    rng_.seed(base + static_cast<uint32_t>(page_size));
    max_key_ = std::min(ix_max_key_length(), page_size - kIxKeyOverhead);
    for (int i = 0; i < 24; ++i) long_pool_.push_back(RandomString(LongLength(), "abcdefgh"));
    ASSERT_EQ(ix_close(Create(page_size, "model.idx")), 1);
    OpenAll();
    for (int batches = 0; op_ < ops && !HasFailure(); ++op_) {
      if (op_ == ops / 2) CloseAll(), OpenAll(), Scan();
      if (op_ == (ops * 3) / 4) Drain();
      if (HasFailure()) return;
      OneOp();
      if ((op_ + 1) % kBatch == 0) {
        Verify();
        if (++batches % kScanEvery == 0) Scan();
      }
    }
    if (HasFailure()) return;
    Verify();
    Scan();
    CloseAll();
    EXPECT_GT(inserted, ops / 5);  // the run really changed the tree
    EXPECT_GT(deleted, ops / 5);
  }

  std::string Where() const { return "op " + std::to_string(op_) + ", entries " + std::to_string(model_.size()); }
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  int LongLength() { return Uniform(std::min(13, max_key_), max_key_); }
  std::string RandomString(int length, const char* alphabet) {
    std::string s(length, ' ');
    for (char& c : s) c = alphabet[Uniform(0, static_cast<int>(strlen(alphabet)) - 1)];
    return s;
  }
  // Mostly short keys of two letters in mixed case (equal keys are common),
  // some medium, some long ones up to the page's limit from a pool.
  std::string RandomKey() {
    int kind = Uniform(0, 99);
    if (kind < 50) return RandomString(Uniform(1, 4), "aAbB");
    if (kind < 88) return RandomString(Uniform(4, std::min(12, max_key_)), "aAbBcC");
    std::string s = Uniform(0, 3) == 0 ? RandomString(LongLength(), "abcdefgh") : long_pool_[Uniform(0, 23)];
    for (char& c : s)
      if (Uniform(0, 1)) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (Uniform(0, 9) == 0) s.back() = 'z';  // a near neighbour of a pool key
    return s;
  }
  Entry RandomEntry() { return Entry{RandomKey(), Uniform(-20, 20)}; }
  Entry SomePresentEntry() {  // the model must not be empty
    auto it = model_.lower_bound(RandomEntry());
    return it == model_.end() ? *model_.begin() : *it;
  }
  bool KeyPresent(const std::string& key) const {
    auto it = model_.lower_bound(Entry{key, INT32_MIN});
    return it != model_.end() && key_compare(it->key, key) == 0;
  }
  IndexHandle* AnyHandle() { return h_[Uniform(0, kHandles - 1)]; }
  void OpenAll() {
    for (int i = 0; i < kHandles; ++i) ASSERT_NE(h_[i] = ix_open(path_.c_str(), nullptr, 0, 0), nullptr);
    for (CursorModel& c : cursor_) c = CursorModel{};
  }
  void CloseAll() { for (IndexHandle*& h : h_) EXPECT_EQ(ix_close(h), 1) << "ix_error " << ix_error; }
  // A pair left the tree: cursors standing on it were repaired forward.
  void Removed(const Entry& e) {
    for (CursorModel& c : cursor_)
      if (c.state == 1 && same(c.pos, e)) c.moved = true;
  }
  // rc and ix_error against the expected error (0: success).
  void Expect(int rc, int error, const std::string& what) {
    ASSERT_TRUE(rc == (error == 0 ? 1 : -1) && (error == 0 || ix_error == error))
        << what << " gave " << rc << ", ix_error " << ix_error << ", " << Where();
  }

  void OneOp() {
    bool growing = (op_ % (kGrowOps + kShrinkOps)) < kGrowOps;
    int r = Uniform(0, 99);
    if ((r -= growing ? 45 : 15) < 0) return Insert();
    if ((r -= growing ? 15 : 45) < 0) return Delete();
    if ((r -= 10) < 0) return Replace();
    if ((r -= 9) < 0) return Find(false);
    if ((r -= 6) < 0) return Find(true);
    if ((r -= 8) < 0) return Step(true);
    if ((r -= 5) < 0) return Step(false);
    if (r == 0) return TooLong();
    return Last();
  }

  void Insert() {
    Entry e = model_.empty() || Uniform(0, 9) ? RandomEntry() : SomePresentEntry();
    int dup = Uniform(0, 2) != 0;
    int error = model_.count(e) ? kIxDuplicatePair : !dup && KeyPresent(e.key) ? kIxDuplicateKey : 0;
    Expect(put(AnyHandle(), e.key, e.ref, dup), error, "insert " + show(e) + " dup " + std::to_string(dup));
    if (error == 0 && model_.insert(e).second) ++inserted;
  }

  void Delete() {
    Entry e = !model_.empty() && Uniform(0, 9) < 7 ? SomePresentEntry() : RandomEntry();
    int error = model_.empty() ? kIxEmptyTree : (model_.count(e) ? 0 : kIxNotFound);
    Expect(del(AnyHandle(), e.key, e.ref), error, "delete " + show(e));
    if (error == 0 && model_.erase(e) == 1) {
      Removed(e);
      ++deleted;
      RootCollapsed();
    }
  }
  // A root internal node left with one child after a delete has given way to it.
  void RootCollapsed() {
    const IndexHeader& hd = h_[0]->file->header;
    if (hd.height < 2) return;
    uint8_t* root = pc_get_page(h_[0]->file->paged, hd.root_page);
    ASSERT_NE(root, nullptr);
    EXPECT_GE(node_entry_count(root), 1) << "root of height " << hd.height << ", " << Where();
    pc_unpin_page(h_[0]->file->paged, root);
  }

  void Replace() {
    Entry o = !model_.empty() && Uniform(0, 9) < 8 ? SomePresentEntry() : RandomEntry();
    Entry n;
    switch (Uniform(0, 3)) {
      case 0: n = Entry{o.key, Uniform(-20, 20)}; break;  // same key, other ref
      case 1: n = model_.empty() ? RandomEntry() : SomePresentEntry(); break;
      default: n = RandomEntry(); break;
    }
    int dup = Uniform(0, 1);
    bool equal = same(o, n);
    if (equal && !model_.count(o)) return;  // a no-op on an absent pair: nothing to check
    const int error = equal             ? 0
                      : model_.empty()    ? kIxEmptyTree
                      : model_.count(n)   ? kIxDuplicatePair
                      : key_compare(o.key, n.key) != 0 && !dup && KeyPresent(n.key) ? kIxDuplicateKey
                      : model_.count(o) ? 0 : kIxNotFound;
    Expect(replace(AnyHandle(), o.key, o.ref, n.key, n.ref, dup), error, "replace " + show(o) + " by " + show(n));
    if (error == 0) {
      Removed(o);
      model_.erase(o);
      model_.insert(n);
    }
  }

  // A key one byte longer than the page allows is refused before anything,
  // as an insert and as a replace's new key, with no error number.
  void TooLong() {
    const std::string key = RandomString(max_key_ + 1, "ab");
    const int32_t changes = h_[0]->file->header.change_count;
    const Entry o = model_.empty() ? Entry{"a", 0} : SomePresentEntry();
    ix_error = 0;
    EXPECT_EQ(put(AnyHandle(), key, 1), -1) << Where();
    EXPECT_EQ(replace(AnyHandle(), o.key, o.ref, key, 1), -1) << Where();
    EXPECT_EQ(ix_error, 0) << Where();
    EXPECT_EQ(h_[0]->file->header.change_count, changes) << Where();
  }

  // The cursor of handle i, which gave `ref`, stands on `e`: key, length and ref read back.
  void StandOn(int i, const Entry& e, int32_t ref, const char* what) {
    cursor_[i] = CursorModel{1, e, false};
    ASSERT_EQ(ref, e.ref) << what << ", " << Where();
    ASSERT_EQ(ix_current(h_[i], &ref), 1) << what << ", " << Where();
    ASSERT_EQ(ref, e.ref) << what << ", " << Where();
    ASSERT_EQ(key_compare(current_key(h_[i]), e.key), 0) << what << ": expected " << show(e) << ", " << Where();
  }
  void Off(int i, int state) { cursor_[i] = CursorModel{state, {}, false}; }

  // ix_find (by key) or ix_seek (by pair): 2 on an equal, 3 on the next, -3 past the end.
  void Find(bool pair) {
    int i = Uniform(0, kHandles - 1);
    Entry e = model_.empty() || Uniform(0, 1) ? RandomEntry() : SomePresentEntry();
    if (!pair) e.ref = 0;  // a find lands as a seek of (key, 0) does
    auto it = model_.lower_bound(e);
    int expect = it == model_.end() ? -3 : (pair ? same(e, *it) : key_compare(it->key, e.key) == 0) ? 2 : 3;
    int32_t ref = e.ref;
    int rc = pair ? ix_seek(h_[i], bytes(e.key), (int)e.key.size(), &ref) : find(h_[i], e.key, &ref);
    ASSERT_EQ(rc, expect) << (pair ? "seek " : "find ") << show(e) << ", " << Where();
    if (rc == -3) return Off(i, -3);
    StandOn(i, *it, ref, "positioned cursor");
  }

  void Last() {
    int i = Uniform(0, kHandles - 1);
    int32_t ref = 0;
    const int rc = ix_last(h_[i], &ref);
    ASSERT_EQ(rc, model_.empty() ? -2 : 1) << "last, ix_error " << ix_error << ", " << Where();
    if (rc == -2) return Off(i, -2);
    StandOn(i, *model_.rbegin(), ref, "last");
  }

  // A step forward or back. Unless the cursor was repaired since it last
  // moved, the result is exactly the model's neighbour; after a repair the
  // entry given is in the tree and, going forward, above the old position.
  void Step(bool forward) {
    int i = Uniform(0, kHandles - 1);
    CursorModel c = cursor_[i];
    const int end = forward ? -3 : -2;
    int32_t ref = 0;
    int rc = forward ? ix_next(h_[i], &ref) : ix_prev(h_[i], &ref);
    ASSERT_TRUE(rc == 1 || rc == end) << "step gave " << rc << ", ix_error " << ix_error << ", " << Where();
    if (c.moved) {
      if (rc == end) return Off(i, end);
      Entry got{current_key(h_[i]), ref};
      ASSERT_EQ(model_.count(got), 1u) << "step after repair gave " << show(got) << ", " << Where();
      ASSERT_TRUE(!forward || c.state != 1 || EntryLess()(c.pos, got)) << "went back to " << show(got) << Where();
      return StandOn(i, got, ref, "step after repair");
    }
    auto it = model_.end();
    if (forward) {
      it = c.state == -2 ? model_.begin() : c.state == -3 ? model_.end() : model_.upper_bound(c.pos);
    } else if (c.state == -3 && !model_.empty()) {
      it = std::prev(model_.end());
    } else if (c.state == 1 && model_.lower_bound(c.pos) != model_.begin()) {
      it = std::prev(model_.lower_bound(c.pos));
    }
    if (it == model_.end()) {
      ASSERT_EQ(rc, end) << "step, " << Where();
      return Off(i, end);
    }
    ASSERT_EQ(rc, 1) << "step, expected " << show(*it) << ", " << Where();
    StandOn(i, *it, ref, "step");
  }

  // Deletes every entry, in random order, through random handles.
  void Drain() {
    std::vector<Entry> all(model_.begin(), model_.end());
    std::shuffle(all.begin(), all.end(), rng_);
    for (const Entry& e : all) {
      ASSERT_EQ(del(AnyHandle(), e.key, e.ref), 1) << "drain " << show(e) << ", ix_error " << ix_error;
      model_.erase(e);
      Removed(e);
      ++deleted;
    }
    EXPECT_EQ(h_[0]->file->header.root_page + h_[0]->file->header.height, 0) << Where();
    Verify();
  }

  void Verify() {
    ASSERT_EQ(h_[0]->file->header.entry_total, static_cast<int64_t>(model_.size())) << "entry_total, " << Where();
    std::string findings;
    ASSERT_EQ(ix_verify(h_[0], collect_finding, &findings, 20), 0) << Where() << "\n" << findings;
  }

  // Forward and backward over a fresh read-only handle, which refuses writes.
  void Scan() {
    IndexHandle* s = ix_open(path_.c_str(), nullptr, 0, 1);
    ASSERT_NE(s, nullptr) << "ix_error " << ix_error;
    EXPECT_EQ(put(s, "ro", 1), -1);
    EXPECT_EQ(ix_error, kIxReadOnly);
    int32_t ref = 0;
    for (const Entry& e : model_) {
      ASSERT_EQ(ix_next(s, &ref), 1) << "forward scan ends before " << show(e) << ", " << Where();
      ASSERT_EQ(ref, e.ref) << "forward scan at " << show(e) << ", " << Where();
      ASSERT_EQ(key_compare(current_key(s), e.key), 0) << "forward scan at " << show(e) << ", " << Where();
    }
    ASSERT_EQ(ix_next(s, &ref), -3) << "forward scan runs past the model, " << Where();
    for (auto it = model_.rbegin(); it != model_.rend(); ++it)
      ASSERT_TRUE(ix_prev(s, &ref) == 1 && ref == it->ref) << "backward scan at " << show(*it) << ", " << Where();
    ASSERT_EQ(ix_prev(s, &ref), -2) << "backward scan runs past the model, " << Where();
    ASSERT_EQ(ix_close(s), 1);
  }

  int max_key_ = 0, op_ = 0, inserted = 0, deleted = 0;
  std::mt19937 rng_;
  std::vector<std::string> long_pool_;
  Model model_;
  IndexHandle* h_[kHandles] = {};
  CursorModel cursor_[kHandles];
};

// 3 x 100,000 operations; the sanitizer build runs the same number.
TEST_F(ModelTest, SmallestPages) { RunModel(92, 100000); }
TEST_F(ModelTest, DefaultPages) { RunModel(512, 100000); }
TEST_F(ModelTest, LargePages) { RunModel(4096, 100000); }

// Regression: a node pushed left, then right in one fix-up, and its parent dropped another child's separator.
TEST_F(ModelTest, LongKeysInSmallPagesKeepEverySubtree) {
  IndexHandle* h = Create(92);
  std::mt19937 rng(154);
  for (int i = 0; i < 900; ++i) {
    std::string key(rng() % 4 == 0 ? 20 + rng() % 45 : 1 + rng() % 8, ' ');
    for (char& c : key) c = static_cast<char>('a' + rng() % 3);
    ASSERT_EQ(put(h, key, i), 1) << "insert " << i << ", ix_error " << ix_error;
    ASSERT_NO_FATAL_FAILURE(ExpectSound(h)) << "after insert " << i;
  }
  EXPECT_EQ(h->file->header.entry_total, 900);  // and, by the verifier, as many entries reached
}

// The kind of the call the armed plan fails (told before the plan counts it).
IoKind g_failed_kind = IoKind::Any;
const FaultPlan* g_plan = nullptr;
void note_kind(IoKind kind) {
  if (g_plan->calls + 1 == g_plan->fail_at) g_failed_kind = kind;
}

// Every insert, delete and replace of a tree grown to height 4 in 92-byte
// pages, through a cache of 6 frames, runs with its first, second, ... I/O
// failing (a write as a full disk fails it, half written) until it goes
// through. A failed change, at any depth of its splits, pushes and fix-ups,
// leaves the tree whole and as it was; a change whose read failed has failed.
TEST_F(ModelTest, FailuresAtEveryDepthLeaveTheTreeAsItWas) {
  Restart(6, 4096);
  IndexHandle* h = Create(92, "faults.idx");
  Model model;
  std::mt19937 rng(31);
  FaultIo fault;
  int failed = 0;
  for (int i = 0; i < 480 && !HasFailure(); ++i) {
    std::string key(4 + rng() % 20, ' ');
    for (char& c : key) c = static_cast<char>('a' + rng() % 6);
    const int kind = i % 8 == 7 ? 2 : i % 5 == 4 ? 1 : 0;  // insert, delete, replace
    const Entry old = kind == 0 ? Entry{key, i} : *std::next(model.begin(), rng() % model.size());
    for (int at = 1;; ++at) {
      fault.arm(IoKind::Any, at, false, at % 2 == 0);
      fault.plan().observe = note_kind;
      g_plan = &fault.plan(), g_failed_kind = IoKind::Any;
      int rc = kind == 0 ? put(h, key, i) : kind == 1 ? del(h, old.key, old.ref) : replace(h, old.key, old.ref, key, i);
      const bool hit = fault.plan().failures > 0;
      fault.disarm();
      ASSERT_FALSE(rc == 1 && hit && g_failed_kind == IoKind::Read) << "op " << i << ": a failed read, and success";
      if (rc == 1) break;
      ASSERT_TRUE(hit) << "op " << i << " failed unprovoked, ix_error " << ix_error;
      ++failed;
      ASSERT_NO_FATAL_FAILURE(ExpectSound(h)) << "op " << i << ", I/O " << at;
      ASSERT_EQ(h->file->header.entry_total, (int32_t)model.size()) << "op " << i << ", I/O " << at;
    }
    if (kind != 0) model.erase(old);
    if (kind != 1) model.insert(Entry{key, i});
  }
  EXPECT_GE(h->file->header.height, 4);
  EXPECT_GT(failed, 1000);
  int32_t ref = 0;
  for (const Entry& e : model) {
    ASSERT_EQ(ix_next(h, &ref), 1);
    EXPECT_EQ(ref, e.ref);
  }
  EXPECT_EQ(ix_next(h, &ref), -3);
}

}  // namespace
