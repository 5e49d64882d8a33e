// Randomized model test of the index layer: a seeded stream of inserts,
// deletes, replaces, finds, seeks and cursor steps through several handles on
// one file, each result checked against a std::set of (key, ref) kept in the
// tree's own order. The verifier runs after every batch, full scans in both
// directions every few batches, and the file is closed and reopened midway.
// Small pages and a 16-frame cache force splits, merges and evictions.
//
// entry_total in the header must equal the model's size after every
// operation, refused inserts (22, 23) and deletes (24, 26) included.
//
// Set QB_SEED to replay a run; the seed is printed with every failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"

namespace {

constexpr int kHandles = 3;
constexpr int kBatch = 500;       // verify after every batch
constexpr int kScanEvery = 4;     // full scans every this many batches
constexpr int kGrowOps = 30000;   // phase lengths: growing, then shrinking
constexpr int kShrinkOps = 15000;

struct Entry {
  std::string key;
  int32_t ref;
};

int key_compare(const std::string& a, const std::string& b) {
  return ix_default_compare(reinterpret_cast<const uint8_t*>(a.data()), (int)a.size(),
                            reinterpret_cast<const uint8_t*>(b.data()), (int)b.size());
}

struct EntryLess {
  bool operator()(const Entry& a, const Entry& b) const {
    int c = key_compare(a.key, b.key);
    if (c != 0) return c < 0;
    return a.ref < b.ref;
  }
};

using Model = std::set<Entry, EntryLess>;

// The pair for messages: the first 24 key bytes, the key length and the ref.
std::string show(const Entry& e) {
  return "(\"" + e.key.substr(0, 24) + "\"/" + std::to_string(e.key.size()) + ", " + std::to_string(e.ref) + ")";
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// What the test knows about one handle's cursor.
struct CursorModel {
  int state = -2;     // 1 on `pos`, -2 before the first, -3 after the last
  Entry pos;          // valid in state 1
  Entry loaded;       // the last entry the cursor stood on (its key copy)
  bool has_loaded = false;
  // The entry under the cursor (or its stale key copy) was removed since the
  // cursor last moved: the cursor was repaired forward, so only looser
  // expectations hold for its next step.
  bool moved = false;
};

uint32_t seed_from_env() {
  const char* s = getenv("QB_SEED");
  if (s != nullptr && *s != '\0') return static_cast<uint32_t>(strtoul(s, nullptr, 10));
  return 20240611u;
}

void collect(void* ctx, const char* text) { *static_cast<std::string*>(ctx) += std::string(text) + "\n"; }

class ModelRun {
 public:
  ModelRun(const std::string& path, int page_size, uint32_t seed)
      : path_(path), page_size_(page_size), rng_(seed) {
    max_key_ = std::min(ix_max_key_length(), page_size - 28);
    for (int i = 0; i < 24; ++i) long_pool_.push_back(RandomString(LongLength(), "abcdefgh"));
  }

  void Run(int ops) {
    IndexHandle* first = ix_create(path_.c_str(), nullptr, page_size_);
    ASSERT_NE(first, nullptr) << "ix_error " << ix_error;
    ASSERT_EQ(ix_close(first), 1);
    OpenAll();
    if (HasFailure()) return;
    int batches = 0;
    for (op_ = 0; op_ < ops; ++op_) {
      if (op_ == ops / 2) {
        CloseAll();
        OpenAll();
        if (HasFailure()) return;
        Scan();
      }
      if (op_ == (ops * 3) / 4) Drain();
      if (HasFailure()) return;
      OneOp();
      if (HasFailure()) return;
      max_entries_ = std::max(max_entries_, model_.size());
      max_height_ = std::max<int>(max_height_, h_[0]->file->header.height);
      if ((op_ + 1) % kBatch == 0) {
        Verify();
        if (++batches % kScanEvery == 0) Scan();
        if (HasFailure()) return;
      }
    }
    Verify();
    Scan();
    CloseAll();
  }

  int inserted() const { return inserted_; }
  size_t max_entries() const { return max_entries_; }
  int max_height() const { return max_height_; }
  int deleted() const { return deleted_; }

 private:
  static bool HasFailure() { return ::testing::Test::HasFailure(); }

  std::string Where() const { return "op " + std::to_string(op_) + ", entries " + std::to_string(model_.size()); }

  // ---- random material --------------------------------------------------

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  int LongLength() { return Uniform(std::min(13, max_key_), max_key_); }

  std::string RandomString(int length, const char* alphabet) {
    std::string s(length, ' ');
    int n = (int)strlen(alphabet);
    for (char& c : s) c = alphabet[Uniform(0, n - 1)];
    return s;
  }

  // Mostly very short keys over a two-letter alphabet in mixed case, so equal
  // keys (under case folding) are common; some medium keys; some long ones
  // taken from a pool in random case, up to the longest the page allows.
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

  int32_t RandomRef() { return Uniform(-20, 20); }

  Entry RandomEntry() { return Entry{RandomKey(), RandomRef()}; }

  // An entry of the model near a random probe (model must not be empty).
  Entry SomePresentEntry() {
    auto it = model_.lower_bound(RandomEntry());
    if (it == model_.end()) it = model_.begin();
    return *it;
  }

  bool KeyPresent(const std::string& key) const {
    auto it = model_.lower_bound(Entry{key, INT32_MIN});
    return it != model_.end() && key_compare(it->key, key) == 0;
  }

  // ---- handles ----------------------------------------------------------

  void OpenAll() {
    for (int i = 0; i < kHandles; ++i) {
      h_[i] = ix_open(path_.c_str(), nullptr, 0, 0);
      ASSERT_NE(h_[i], nullptr) << "ix_error " << ix_error;
      cursor_[i] = CursorModel{};
    }
  }

  void CloseAll() {
    for (int i = 0; i < kHandles; ++i) {
      EXPECT_EQ(ix_close(h_[i]), 1) << "ix_error " << ix_error;
      h_[i] = nullptr;
    }
  }

  // A pair left the tree: cursors standing on it (or holding it as their key
  // copy) were repaired forward.
  void Removed(const Entry& e) {
    EntryLess less;
    for (CursorModel& c : cursor_)
      if (c.has_loaded && !less(c.loaded, e) && !less(e, c.loaded)) c.moved = true;
  }

  // ---- operations -------------------------------------------------------

  void OneOp() {
    bool growing = (op_ % (kGrowOps + kShrinkOps)) < kGrowOps;
    int r = Uniform(0, 99);
    int insert_share = growing ? 45 : 15;
    int delete_share = growing ? 15 : 45;
    if ((r -= insert_share) < 0) return Insert();
    if ((r -= delete_share) < 0) return Delete();
    if ((r -= 10) < 0) return Replace();
    if ((r -= 9) < 0) return Find();
    if ((r -= 6) < 0) return Seek();
    if ((r -= 8) < 0) return Next();
    if ((r -= 5) < 0) return Prev();
    return Last();
  }

  void Insert() {
    IndexHandle* h = h_[Uniform(0, kHandles - 1)];
    Entry e = model_.empty() || Uniform(0, 9) ? RandomEntry() : SomePresentEntry();
    int dup = Uniform(0, 2) != 0;
    int expect_error = 0;
    if (model_.count(e)) expect_error = kIxDuplicatePair;
    else if (!dup && KeyPresent(e.key)) expect_error = kIxDuplicateKey;
    int rc = ix_insert(h, bytes(e.key), (int)e.key.size(), e.ref, dup);
    if (expect_error == 0) {
      ASSERT_EQ(rc, 1) << "insert " << show(e) << " dup " << dup << ", ix_error " << ix_error << ", " << Where();
      model_.insert(e);
      ++inserted_;
    } else {
      ASSERT_EQ(rc, -1) << "insert " << show(e) << " dup " << dup << ", " << Where();
      ASSERT_EQ(ix_error, expect_error) << "insert " << show(e) << ", " << Where();
    }
  }

  void Delete() {
    IndexHandle* h = h_[Uniform(0, kHandles - 1)];
    Entry e = !model_.empty() && Uniform(0, 9) < 7 ? SomePresentEntry() : RandomEntry();
    int expect_error = model_.empty() ? kIxEmptyTree : (model_.count(e) ? 0 : kIxNotFound);
    int rc = ix_delete(h, bytes(e.key), (int)e.key.size(), e.ref);
    if (expect_error == 0) {
      ASSERT_EQ(rc, 1) << "delete " << show(e) << ", ix_error " << ix_error << ", " << Where();
      model_.erase(e);
      Removed(e);
      ++deleted_;
    } else {
      ASSERT_EQ(rc, -1) << "delete " << show(e) << ", " << Where();
      ASSERT_EQ(ix_error, expect_error) << "delete " << show(e) << ", " << Where();
    }
  }

  void Replace() {
    IndexHandle* h = h_[Uniform(0, kHandles - 1)];
    Entry o = !model_.empty() && Uniform(0, 9) < 8 ? SomePresentEntry() : RandomEntry();
    Entry n;
    switch (Uniform(0, 3)) {
      case 0: n = Entry{o.key, RandomRef()}; break;  // same key, other ref
      case 1: n = model_.empty() ? RandomEntry() : SomePresentEntry(); break;
      default: n = RandomEntry(); break;
    }
    int dup = Uniform(0, 1);
    EntryLess less;
    bool same = !less(o, n) && !less(n, o);
    if (same && !model_.count(o)) return;  // a no-op on an absent pair: nothing to check
    int expect_error = 0;
    if (same) expect_error = 0;
    else if (model_.empty()) expect_error = kIxEmptyTree;
    else if (model_.count(n)) expect_error = kIxDuplicatePair;
    else if (key_compare(o.key, n.key) != 0 && !dup && KeyPresent(n.key)) expect_error = kIxDuplicateKey;
    else if (!model_.count(o)) expect_error = kIxNotFound;
    int rc = ix_replace(h, bytes(o.key), (int)o.key.size(), o.ref, bytes(n.key), (int)n.key.size(), n.ref, dup);
    if (expect_error == 0) {
      ASSERT_EQ(rc, 1) << "replace " << show(o) << " by " << show(n) << " dup " << dup << ", ix_error " << ix_error
                       << ", " << Where();
      Removed(o);
      if (!same) {
        model_.erase(o);
        model_.insert(n);
      }
    } else {
      ASSERT_EQ(rc, -1) << "replace " << show(o) << " by " << show(n) << ", " << Where();
      ASSERT_EQ(ix_error, expect_error) << "replace " << show(o) << " by " << show(n) << ", " << Where();
    }
  }

  // Checks that handle i's cursor stands on an entry equal to `e`.
  void ExpectCursorOn(int i, const Entry& e, const char* what) {
    int length = -1;
    ASSERT_EQ(ix_current_key_length(h_[i], &length), 1) << what << ", " << Where();
    std::string key(length, '\0');
    ASSERT_EQ(ix_current_key(h_[i], reinterpret_cast<uint8_t*>(key.data()), length), 1) << what << ", " << Where();
    int32_t ref = 0;
    ASSERT_EQ(ix_current(h_[i], &ref), 1) << what << ", " << Where();
    ASSERT_EQ(key_compare(key, e.key), 0) << what << ": cursor key \"" << key.substr(0, 24) << "\", expected "
                                          << show(e) << ", " << Where();
    ASSERT_EQ(ref, e.ref) << what << ", " << Where();
  }

  // The entry under handle i's cursor, read back and looked up in the model.
  bool CursorEntry(int i, Entry* out) {
    int length = -1;
    if (ix_current_key_length(h_[i], &length) != 1) return false;
    out->key.assign(length, '\0');
    if (ix_current_key(h_[i], reinterpret_cast<uint8_t*>(out->key.data()), length) != 1) return false;
    return ix_current(h_[i], &out->ref) == 1;
  }

  void StandOn(int i, const Entry& e) {
    CursorModel& c = cursor_[i];
    c.state = 1;
    c.pos = e;
    c.loaded = e;
    c.has_loaded = true;
    c.moved = false;
  }

  void Positioned(int i, int rc, Model::const_iterator it) {
    if (rc == -3) {
      cursor_[i].state = -3;
      cursor_[i].moved = false;
    } else {
      StandOn(i, *it);
      ExpectCursorOn(i, *it, "positioned cursor");
    }
  }

  void Find() {
    int i = Uniform(0, kHandles - 1);
    std::string key = model_.empty() || Uniform(0, 1) ? RandomKey() : SomePresentEntry().key;
    auto it = model_.lower_bound(Entry{key, 0});
    int expect = it == model_.end() ? -3 : (key_compare(it->key, key) == 0 ? 2 : 3);
    int32_t ref = 12345;
    int rc = ix_find(h_[i], bytes(key), (int)key.size(), &ref);
    ASSERT_EQ(rc, expect) << "find \"" << key.substr(0, 24) << "\", " << Where();
    if (expect != -3) {
      ASSERT_EQ(ref, it->ref) << "find \"" << key.substr(0, 24) << "\", " << Where();
    }
    Positioned(i, rc, it);
  }

  void Seek() {
    int i = Uniform(0, kHandles - 1);
    Entry e = model_.empty() || Uniform(0, 1) ? RandomEntry() : SomePresentEntry();
    auto it = model_.lower_bound(e);
    EntryLess less;
    int expect = it == model_.end() ? -3 : (!less(e, *it) ? 2 : 3);
    int32_t ref = e.ref;
    int rc = ix_seek(h_[i], bytes(e.key), (int)e.key.size(), &ref);
    ASSERT_EQ(rc, expect) << "seek " << show(e) << ", " << Where();
    if (expect != -3) {
      ASSERT_EQ(ref, it->ref) << "seek " << show(e) << ", " << Where();
    }
    Positioned(i, rc, it);
  }

  void Last() {
    int i = Uniform(0, kHandles - 1);
    int32_t ref = 0;
    int rc = ix_last(h_[i], &ref);
    if (model_.empty()) {
      ASSERT_EQ(rc, -2) << "last, " << Where();
      cursor_[i].state = -2;
      cursor_[i].moved = false;
      return;
    }
    ASSERT_EQ(rc, 1) << "last, ix_error " << ix_error << ", " << Where();
    ASSERT_EQ(ref, model_.rbegin()->ref) << "last, " << Where();
    StandOn(i, *model_.rbegin());
    ExpectCursorOn(i, *model_.rbegin(), "last");
  }

  // A step forward. Unless the cursor was repaired since it last moved, the
  // result is exactly the model's next entry; after a repair the cursor may
  // have moved on, but it never goes back: the entry given is in the tree and
  // above the old position.
  void Next() {
    int i = Uniform(0, kHandles - 1);
    CursorModel& c = cursor_[i];
    int32_t ref = 0;
    int rc = ix_next(h_[i], &ref);
    ASSERT_TRUE(rc == 1 || rc == -3) << "next gave " << rc << ", ix_error " << ix_error << ", " << Where();
    if (c.moved) {
      if (rc == 1) {
        Entry got;
        ASSERT_TRUE(CursorEntry(i, &got)) << Where();
        ASSERT_EQ(got.ref, ref) << Where();
        ASSERT_EQ(model_.count(got), 1u) << "next after repair gave " << show(got) << ", not in the tree, " << Where();
        if (c.state == 1) {
          ASSERT_TRUE(EntryLess()(c.pos, got)) << "next after repair went back from " << show(c.pos) << " to "
                                               << show(got) << ", " << Where();
        }
        StandOn(i, got);
      } else {
        c.state = -3;
        c.moved = false;
      }
      return;
    }
    Model::const_iterator it;
    if (c.state == -2) it = model_.begin();
    else if (c.state == -3) it = model_.end();
    else it = model_.upper_bound(c.pos);
    if (it == model_.end()) {
      ASSERT_EQ(rc, -3) << "next after " << (c.state == 1 ? show(c.pos) : std::to_string(c.state)) << ", "
                        << Where();
      c.state = -3;
      return;
    }
    ASSERT_EQ(rc, 1) << "next, expected " << show(*it) << ", " << Where();
    ASSERT_EQ(ref, it->ref) << "next, expected " << show(*it) << ", " << Where();
    StandOn(i, *it);
    ExpectCursorOn(i, *it, "next");
  }

  void Prev() {
    int i = Uniform(0, kHandles - 1);
    CursorModel& c = cursor_[i];
    int32_t ref = 0;
    int rc = ix_prev(h_[i], &ref);
    ASSERT_TRUE(rc == 1 || rc == -2) << "prev gave " << rc << ", ix_error " << ix_error << ", " << Where();
    if (c.moved) {
      if (rc == 1) {
        Entry got;
        ASSERT_TRUE(CursorEntry(i, &got)) << Where();
        ASSERT_EQ(model_.count(got), 1u) << "prev after repair gave " << show(got) << ", not in the tree, " << Where();
        StandOn(i, got);
      } else {
        c.state = -2;
        c.moved = false;
      }
      return;
    }
    Model::const_iterator it = model_.end();
    if (c.state == -3) {
      if (!model_.empty()) it = std::prev(model_.end());
    } else if (c.state == 1) {
      auto at = model_.lower_bound(c.pos);
      if (at != model_.begin()) it = std::prev(at);
    }
    if (it == model_.end()) {
      ASSERT_EQ(rc, -2) << "prev, " << Where();
      c.state = -2;
      return;
    }
    ASSERT_EQ(rc, 1) << "prev, expected " << show(*it) << ", " << Where();
    ASSERT_EQ(ref, it->ref) << "prev, expected " << show(*it) << ", " << Where();
    StandOn(i, *it);
    ExpectCursorOn(i, *it, "prev");
  }

  // Deletes every entry, in random order, through random handles.
  void Drain() {
    std::vector<Entry> all(model_.begin(), model_.end());
    std::shuffle(all.begin(), all.end(), rng_);
    for (const Entry& e : all) {
      ASSERT_EQ(ix_delete(h_[Uniform(0, kHandles - 1)], bytes(e.key), (int)e.key.size(), e.ref), 1)
          << "drain " << show(e) << ", ix_error " << ix_error << ", " << Where();
      model_.erase(e);
      Removed(e);
      ++deleted_;
    }
    IndexHeader& hd = h_[0]->file->header;
    EXPECT_EQ(hd.root_page, 0) << Where();
    EXPECT_EQ(hd.height, 0) << Where();
    Verify();
  }

  void Verify() {
    const int32_t header_total = h_[0]->file->header.entry_total;
    ASSERT_EQ(header_total, static_cast<int64_t>(model_.size())) << "entry_total, " << Where();
    std::string findings;
    int rc = ix_verify(h_[0], collect, &findings, 20);
    ASSERT_EQ(rc, 0) << "ix_verify, ix_error " << ix_error << ", " << Where() << "\n" << findings;
  }

  // Forward and backward over a fresh handle, entry by entry against the model.
  void Scan() {
    IndexHandle* s = ix_open(path_.c_str(), nullptr, 0, 1);
    ASSERT_NE(s, nullptr) << "ix_error " << ix_error;
    std::vector<Entry> got;
    int32_t ref = 0;
    int rc;
    while ((rc = ix_next(s, &ref)) == 1) {
      int length = 0;
      ASSERT_EQ(ix_current_key_length(s, &length), 1);
      std::string key(length, '\0');
      ASSERT_EQ(ix_current_key(s, reinterpret_cast<uint8_t*>(key.data()), length), 1);
      got.push_back(Entry{key, ref});
      ASSERT_LE(got.size(), model_.size()) << "forward scan runs past the model, " << Where();
    }
    ASSERT_EQ(rc, -3) << "forward scan, ix_error " << ix_error << ", " << Where();
    ASSERT_EQ(got.size(), model_.size()) << "forward scan, " << Where();
    size_t n = 0;
    for (const Entry& e : model_) {
      ASSERT_EQ(key_compare(got[n].key, e.key), 0) << "forward scan at " << n << ": " << show(got[n]) << " vs "
                                                   << show(e) << ", " << Where();
      ASSERT_EQ(got[n].ref, e.ref) << "forward scan at " << n << ", " << Where();
      ++n;
    }
    for (auto it = model_.rbegin(); it != model_.rend(); ++it) {
      ASSERT_EQ(ix_prev(s, &ref), 1) << "backward scan, ix_error " << ix_error << ", " << Where();
      ASSERT_EQ(ref, it->ref) << "backward scan at " << show(*it) << ", " << Where();
    }
    ASSERT_EQ(ix_prev(s, &ref), -2) << "backward scan runs past the model, " << Where();
    ASSERT_EQ(ix_close(s), 1);
  }

  std::string path_;
  int page_size_;
  int max_key_;
  std::mt19937 rng_;
  std::vector<std::string> long_pool_;
  Model model_;
  IndexHandle* h_[kHandles] = {};
  CursorModel cursor_[kHandles];
  int op_ = 0;
  int inserted_ = 0;
  int deleted_ = 0;
  size_t max_entries_ = 0;
  int max_height_ = 0;
};

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ix_startup(16, 4096), 1); }
  void TearDown() override { ix_shutdown(); }

  void RunModel(int page_size, int ops) {
    uint32_t seed = seed_from_env() + static_cast<uint32_t>(page_size);
    SCOPED_TRACE("QB_SEED=" + std::to_string(seed_from_env()) + " (run seed " + std::to_string(seed) +
                 ", page size " + std::to_string(page_size) + ")");
    ModelRun run(dir_.file("model.idx"), page_size, seed);
    run.Run(ops);
    printf("[ model    ] page size %d: %d ops, %d inserts, %d deletes, up to %zu entries, height up to %d\n",
           page_size, ops, run.inserted(), run.deleted(), run.max_entries(), run.max_height());
    // The run must really have changed the tree, not failed its way through.
    EXPECT_GT(run.inserted(), ops / 5);
    EXPECT_GT(run.deleted(), ops / 5);
  }

  TempDir dir_;
};

// Inserts alone, keys of 1 to 64 bytes into 92-byte pages, where a single
// long separator fills most of an internal node, so one insertion can push
// and split on several levels at once. A fixed sequence that once lost a
// whole subtree: a node that had pushed entries left (and so lost its own
// separator in the parent) overflowed again in the same separator fix-up and
// pushed right, and the parent then dropped the separator of an unrelated
// child. Every insert must leave the tree sound and every entry reachable.
TEST_F(ModelTest, LongKeysInSmallPagesKeepEverySubtree) {
  IndexHandle* h = ix_create(dir_.file("long.idx").c_str(), nullptr, 92);
  ASSERT_NE(h, nullptr);
  std::mt19937 rng(154);
  for (int i = 0; i < 900; ++i) {
    int length = rng() % 4 == 0 ? 20 + rng() % 45 : 1 + rng() % 8;
    std::string key(length, ' ');
    for (char& c : key) c = static_cast<char>('a' + rng() % 3);
    ASSERT_EQ(ix_insert(h, bytes(key), length, i, 1), 1) << "insert " << i << ", ix_error " << ix_error;
    std::string findings;
    ASSERT_EQ(ix_verify(h, collect, &findings, 10), 0) << "after insert " << i << ":\n" << findings;
  }
  int count = 0;
  int32_t ref = 0;
  while (ix_next(h, &ref) == 1) ++count;
  EXPECT_EQ(count, 900);
  EXPECT_EQ(ix_close(h), 1);
}

// Every insert of a tree grown to height 4 in 92-byte pages, through a cache
// of 6 frames, is run with its first, second, ... read or write failing (a
// write as a full disk fails it, half written), until it goes in. A failed
// insert, at any depth of its splits, pushes and separator fix-ups, leaves
// the tree whole and as it was; so does a failed delete.
TEST_F(ModelTest, FailuresAtEveryDepthLeaveTheTreeAsItWas) {
  ix_shutdown();
  ASSERT_EQ(ix_startup(6, 4096), 1);
  IndexHandle* h = ix_create(dir_.file("faults.idx").c_str(), nullptr, 92);
  ASSERT_NE(h, nullptr);
  Model model;
  std::mt19937 rng(31);
  FaultIo fault;
  int failed = 0;
  for (int i = 0; i < 420 && !HasFailure(); ++i) {
    std::string key(4 + rng() % 20, ' ');
    for (char& c : key) c = static_cast<char>('a' + rng() % 6);
    const bool remove = i % 5 == 4;
    const Entry e = remove ? *std::next(model.begin(), rng() % model.size()) : Entry{key, i};
    for (int at = 1;; ++at) {
      fault.arm(IoKind::Any, at, false, at % 2 == 0);
      int rc = remove ? ix_delete(h, bytes(e.key), (int)e.key.size(), e.ref)
                      : ix_insert(h, bytes(e.key), (int)e.key.size(), e.ref, 1);
      const bool hit = fault.plan().failures > 0;
      fault.disarm();
      if (rc == 1) break;
      ASSERT_TRUE(hit) << "op " << i << " failed unprovoked, ix_error " << ix_error;
      ++failed;
      std::string findings;
      ASSERT_EQ(ix_verify(h, collect, &findings, 10), 0) << "op " << i << ", I/O " << at << ":\n" << findings;
      ASSERT_EQ(h->file->header.entry_total, (int32_t)model.size()) << "op " << i << ", I/O " << at;
    }
    if (remove) model.erase(e);
    else model.insert(e);
  }
  EXPECT_GE(h->file->header.height, 4);
  EXPECT_GT(failed, 1000);
  int32_t ref = 0;
  for (const Entry& e : model) {
    ASSERT_EQ(ix_next(h, &ref), 1);
    EXPECT_EQ(ref, e.ref);
  }
  EXPECT_EQ(ix_next(h, &ref), -3);
  EXPECT_EQ(ix_close(h), 1);
}

// 3 x 100,000 operations. The sanitizer build runs them in a few seconds too,
// so both builds run the same number.
TEST_F(ModelTest, SmallestPages) { RunModel(92, 100000); }
TEST_F(ModelTest, DefaultPages) { RunModel(512, 100000); }
TEST_F(ModelTest, LargePages) { RunModel(4096, 100000); }

}  // namespace
