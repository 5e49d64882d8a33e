// An index file from arbitrary bytes under every B+-tree operation.
//
// Input:
//   byte 0       bit 0: open shared
//   bytes 1..2   F, the index file's length (least significant byte first)
//   F bytes      the index file
//   the rest     a script of operations (see run_op)
//
// Whatever the file holds, no operation may crash, hang or touch memory it
// does not own. When ix_verify finds the file sound at open, the tree's
// answers are also checked against a model (a sorted list of its entries
// read at open): every search, step, insert, delete and replace must give
// what the model gives, and at the end the tree must still be sound and
// hold exactly the model's entries.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "fuzz_support.h"

namespace {

constexpr int kCachePageSize = 1024;
constexpr int kMaxOps = 200;
constexpr int kMaxSteps = 16;     // steps of one next / prev operation
constexpr int kMaxModelKey = 48;  // longest key the model's script makes

struct Entry {
  std::string key;
  int32_t ref;
};

int cmp_keys(const std::string& a, const std::string& b) {
  return ix_default_compare(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size()),
                            reinterpret_cast<const uint8_t*>(b.data()), static_cast<int>(b.size()));
}

// Entry order of the tree: key by the comparison, then ref as signed.
bool before(const Entry& a, const Entry& b) {
  int c = cmp_keys(a.key, b.key);
  return c != 0 ? c < 0 : a.ref < b.ref;
}

void ignore_finding(void*, const char*) {}

class Run {
 public:
  Run(FzBytes& in, const std::string& path, bool shared) : in_(in), path_(path), shared_(shared) {}
  ~Run() {
    if (h_ != nullptr) (void)ix_close(h_);
  }

  void go() {
    h_ = ix_open(path_.c_str(), nullptr, shared_ ? 1 : 0, 0);
    if (h_ == nullptr) return;
    model_on_ = ix_verify(h_, ignore_finding, nullptr, 20) == 0;
    if (model_on_) load_model();
    for (int n = 0; n < kMaxOps && !in_.empty() && h_ != nullptr; ++n) run_op();
    if (model_on_ && h_ != nullptr) {
      fz_check(ix_verify(h_, ignore_finding, nullptr, 20) == 0, "operations left a sound tree unsound");
      std::vector<Entry> now;
      fz_check(scan(&now), "the tree cannot be read in full");
      fz_check(same(now, model_), "the tree does not hold the model's entries");
    }
  }

 private:
  // ---- the model -------------------------------------------------------------

  // Every entry of the tree in order, through ix_seek on the smallest pair
  // there can be and ix_next.
  bool scan(std::vector<Entry>* out) {
    int32_t ref = INT32_MIN;
    int rc = ix_seek(h_, nullptr, 0, &ref);
    if (rc == -3) return true;
    if (rc != 2 && rc != 3) return false;
    for (size_t guard = 0; guard < 1000000; ++guard) {
      Entry e;
      if (!current(&e)) return false;
      out->push_back(e);
      rc = ix_next(h_, &ref);
      if (rc == -3) return true;
      if (rc != 1) return false;
    }
    return false;
  }

  bool current(Entry* e) {
    int length = 0;
    if (ix_current_key_length(h_, &length) != 1 || length < 0) return false;
    e->key.assign(static_cast<size_t>(length), '\0');
    if (ix_current_key(h_, reinterpret_cast<uint8_t*>(e->key.data()), length) != 1) return false;
    return ix_current(h_, &e->ref) == 1;
  }

  static bool same(const std::vector<Entry>& a, const std::vector<Entry>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (cmp_keys(a[i].key, b[i].key) != 0 || a[i].ref != b[i].ref) return false;
    return true;
  }

  void load_model() {
    model_.clear();
    fz_check(scan(&model_), "a sound tree cannot be read in full");
    fz_check(std::is_sorted(model_.begin(), model_.end(), before), "a sound tree is out of order");
    const int page = h_->file->header.page_size;
    max_key_ = std::min({kMaxModelKey, page - kIxKeyOverhead, ix_max_key_length()});
    cursor_ = -1;
  }

  // Position of the first entry not before `e`.
  size_t lower(const Entry& e) const {
    return static_cast<size_t>(std::lower_bound(model_.begin(), model_.end(), e, before) - model_.begin());
  }
  bool has_pair(const Entry& e) const {
    size_t i = lower(e);
    return i < model_.size() && cmp_keys(model_[i].key, e.key) == 0 && model_[i].ref == e.ref;
  }
  bool has_key(const std::string& key) const {
    for (const Entry& m : model_)
      if (cmp_keys(m.key, key) == 0) return true;
    return false;
  }

  // A result is -1 with ix_error one of `errors`, or 1 when there are none.
  static bool expected(int rc, std::initializer_list<int> errors) {
    if (errors.size() == 0) return rc == 1;
    if (rc != -1) return false;
    return std::find(errors.begin(), errors.end(), ix_error) != errors.end();
  }

  // The cursor is known to stand on model_[cursor_]: its key and ref agree.
  void check_cursor() {
    Entry e;
    fz_check(current(&e), "the cursor's entry cannot be read");
    fz_check(cmp_keys(e.key, model_[static_cast<size_t>(cursor_)].key) == 0 &&
                 e.ref == model_[static_cast<size_t>(cursor_)].ref,
             "the cursor stands on another entry than the model's");
  }

  // ---- the script ------------------------------------------------------------

  Entry entry() {
    Entry e;
    int limit = model_on_ ? max_key_ : 255;
    e.key = in_.text(limit > 0 ? in_.u8() % (limit + 1) : 0);
    e.ref = static_cast<int8_t>(in_.u8());  // small refs meet each other often
    return e;
  }
  static const uint8_t* bytes(const Entry& e) { return reinterpret_cast<const uint8_t*>(e.key.data()); }
  static int length(const Entry& e) { return static_cast<int>(e.key.size()); }

  void run_op() {
    int32_t ref = 0;
    switch (in_.u8() % 12) {
      case 0: {
        Entry e = entry();
        int rc = ix_find(h_, bytes(e), length(e), &ref);
        if (!model_on_) return;
        // ix_find searches for (key, 0): among equal keys it stands on the
        // first whose ref is not negative, and when every equal key has a
        // negative ref, on the first greater key.
        size_t i = lower(Entry{e.key, 0});
        if (i == model_.size()) {
          fz_check(rc == -3, "find: the model has nothing greater or equal");
          cursor_ = -1;
          return;
        }
        fz_check(rc == (cmp_keys(model_[i].key, e.key) == 0 ? 2 : 3), "find: wrong result");
        fz_check(ref == model_[i].ref, "find: wrong ref");
        cursor_ = static_cast<long>(i);
        check_cursor();
        return;
      }
      case 1: {
        Entry e = entry();
        ref = e.ref;
        int rc = ix_seek(h_, bytes(e), length(e), &ref);
        if (!model_on_) return;
        size_t i = lower(e);
        if (i == model_.size()) {
          fz_check(rc == -3, "seek: the model has nothing greater or equal");
          cursor_ = -1;
          return;
        }
        bool equal = cmp_keys(model_[i].key, e.key) == 0 && model_[i].ref == e.ref;
        fz_check(rc == (equal ? 2 : 3), "seek: wrong result");
        fz_check(ref == model_[i].ref, "seek: wrong ref");
        cursor_ = static_cast<long>(i);
        check_cursor();
        return;
      }
      case 2:
      case 3: {
        const bool forward = (in_.u8() & 1) == 0;
        const int steps = 1 + in_.u8() % kMaxSteps;
        for (int s = 0; s < steps; ++s) {
          int rc = forward ? ix_next(h_, &ref) : ix_prev(h_, &ref);
          if (model_on_ && cursor_ >= 0) {
            long want = cursor_ + (forward ? 1 : -1);
            if (want < 0 || want >= static_cast<long>(model_.size())) {
              fz_check(rc == (forward ? -3 : -2), "step: the model has no entry there");
              cursor_ = -1;
            } else {
              fz_check(rc == 1 && ref == model_[static_cast<size_t>(want)].ref, "step: wrong entry");
              cursor_ = want;
              check_cursor();
            }
          }
          if (rc != 1) break;
        }
        return;
      }
      case 4: {
        int rc = ix_last(h_, &ref);
        if (!model_on_) return;
        if (model_.empty()) {
          fz_check(rc == -2, "last: the model is empty");
          cursor_ = -1;
          return;
        }
        fz_check(rc == 1 && ref == model_.back().ref, "last: wrong entry");
        cursor_ = static_cast<long>(model_.size()) - 1;
        check_cursor();
        return;
      }
      case 5: {
        uint8_t key[300];
        int key_length = 0;
        (void)ix_current(h_, &ref);
        (void)ix_current_key_length(h_, &key_length);
        (void)ix_current_key(h_, key, in_.u8() % (sizeof key + 1));
        if (model_on_ && cursor_ >= 0) check_cursor();
        return;
      }
      case 6: {
        Entry e = entry();
        const int dup = in_.u8() & 1;
        int rc = ix_insert(h_, bytes(e), length(e), e.ref, dup);
        if (!model_on_) return;
        cursor_ = -1;
        if (has_pair(e)) {
          fz_check(expected(rc, {kIxDuplicatePair, kIxDuplicateKey}), "insert: a present pair was not refused");
        } else if (!dup && has_key(e.key)) {
          fz_check(expected(rc, {kIxDuplicateKey}), "insert: an equal key was not refused");
        } else {
          fz_check(expected(rc, {}), "insert failed");
          model_.insert(model_.begin() + static_cast<long>(lower(e)), e);
        }
        return;
      }
      case 7: {
        Entry e = entry();
        int rc = ix_delete(h_, bytes(e), length(e), e.ref);
        if (!model_on_) return;
        cursor_ = -1;
        if (model_.empty()) {
          fz_check(expected(rc, {kIxEmptyTree}), "delete: an empty tree was not reported");
        } else if (!has_pair(e)) {
          fz_check(expected(rc, {kIxNotFound}), "delete: an absent pair was not reported");
        } else {
          fz_check(expected(rc, {}), "delete failed");
          model_.erase(model_.begin() + static_cast<long>(lower(e)));
        }
        return;
      }
      case 8: {
        // The old pair is usually one of the tree's own, so that replacing
        // gets done and not only refused.
        Entry old = entry();
        if (model_on_ && !model_.empty() && (in_.u8() & 3) != 0) old = model_[in_.u16() % model_.size()];
        Entry nu = entry();
        const int dup = in_.u8() & 1;
        int rc = ix_replace(h_, bytes(old), length(old), old.ref, bytes(nu), length(nu), nu.ref, dup);
        if (!model_on_) return;
        cursor_ = -1;
        check_replace(rc, old, nu, dup);
        return;
      }
      case 9: {
        int found = ix_verify(h_, ignore_finding, nullptr, 1 + in_.u8() % 20);
        if (model_on_) fz_check(found == 0, "a sound tree became unsound");
        cursor_ = -1;  // the verifier's walk need not leave the cursor where it was
        return;
      }
      case 10:
        (void)ix_flush(h_);
        return;
      default: {
        (void)ix_close(h_);
        h_ = ix_open(path_.c_str(), nullptr, shared_ ? 1 : 0, 0);
        if (model_on_) {
          fz_check(h_ != nullptr, "a sound tree cannot be opened again");
          std::vector<Entry> now;
          fz_check(scan(&now) && same(now, model_), "the entries changed across close and open");
          cursor_ = -1;
        }
        return;
      }
    }
  }

  void check_replace(int rc, const Entry& old, const Entry& nu, int dup) {
    const bool same_pair = cmp_keys(old.key, nu.key) == 0 && old.ref == nu.ref;
    if (same_pair) {
      // Nothing to exchange: the tree must stay as it is, whatever the result.
      return;
    }
    if (model_.empty()) {
      fz_check(expected(rc, {kIxEmptyTree}), "replace: an empty tree was not reported");
      return;
    }
    std::vector<int> why;
    if (has_pair(nu)) why.push_back(kIxDuplicatePair);
    if (!has_pair(old)) why.push_back(kIxNotFound);
    if (!dup && cmp_keys(old.key, nu.key) != 0 && has_key(nu.key)) why.push_back(kIxDuplicateKey);
    if (why.empty()) {
      fz_check(expected(rc, {}), "replace failed");
      model_.erase(model_.begin() + static_cast<long>(lower(old)));
      model_.insert(model_.begin() + static_cast<long>(lower(nu)), nu);
      return;
    }
    fz_check(rc == -1 && std::find(why.begin(), why.end(), ix_error) != why.end(),
             "replace: a refusal was not reported");
  }

  FzBytes& in_;
  const std::string& path_;
  const bool shared_;
  IndexHandle* h_ = nullptr;
  bool model_on_ = false;
  std::vector<Entry> model_;
  int max_key_ = 0;
  long cursor_ = -1;  // the model entry the cursor stands on; -1 unknown
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_check(ix_startup(16, kCachePageSize) == 1, "ix_startup failed");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fz_path("fuzz.idx");
  FzBytes in(data, size);
  const bool shared = (in.u8() & 1) != 0;
  size_t got = 0;
  const uint8_t* file = in.take(in.u16(), &got);
  fz_write(path, file, got);
  Run run(in, path, shared);
  run.go();
  return 0;
}
