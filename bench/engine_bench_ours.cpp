// Our engine as a benchmark subject: the notes table ("Path", "Remark") with
// the unique, case-folding path index "INDX_Path,U"; every operation goes
// through that index.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine_bench.h"
#include "records/records.h"

namespace bench {
namespace {

constexpr const char* kPathIndex = "INDX_Path,U";
constexpr int kPageSize = 512;
// qbnote's slices of a scan and the gaps between them.
constexpr int kSliceMs = 100;
constexpr int kGapMs = 55;

class Ours final : public Subject {
 public:
  Ours(std::string base, int shared) : base_(std::move(base)), shared_(shared) {
    // tb_read_record grows these (malloc'd) buffers when a value is longer.
    for (int i = 0; i < 2; ++i) {
      buffers_[i] = std::malloc(64);
      sizes_[i] = 64;
    }
  }
  ~Ours() override {
    if (t_ != nullptr) (void)tb_close(t_);
    for (void* b : buffers_) std::free(b);
  }

  const char* label() const override { return shared_ ? "ours shared" : "ours exclusive"; }

  bool create() override {
    const char* fields[] = {"Path", "Remark", nullptr};
    const char* specs[] = {"Path", nullptr};
    t_ = tb_create(base_.c_str(), kPageSize, fields);
    if (t_ == nullptr) return failed("tb_create");
    if (tb_create_index(t_, kPathIndex, specs) != 1) return failed("tb_create_index");
    if (shared_) {
      // Indexes are defined in exclusive mode only; reopen shared for work.
      if (tb_close(t_) != 1) return failed("tb_close");
      t_ = nullptr;
      return open();
    }
    return find_index();
  }

  bool open() override {
    t_ = tb_open(base_.c_str(), shared_, 0);
    if (t_ == nullptr || tb_error != 0) return failed("tb_open");
    return find_index();
  }

  bool add(const std::string& path, const std::string& remark) override {
    const void* values[] = {path.c_str(), remark.c_str()};
    return tb_add_record(t_, nullptr, values) == 1 || failed("tb_add_record");
  }

  bool find_read(const std::string& path, const std::string& remark) override {
    const void* key[] = {path.c_str()};
    if (tb_find_key(t_, ix_, key) != 2) return failed("tb_find_key (present)");
    if (tb_read_record(t_, ix_, buffers_, sizes_) != 1) return failed("tb_read_record");
    if (std::strcmp(static_cast<const char*>(buffers_[1]), remark.c_str()) != 0) return wrong("remark read back");
    return true;
  }

  bool find_absent(const std::string& path) override {
    const void* key[] = {path.c_str()};
    return tb_find_key(t_, ix_, key) == 3 || failed("tb_find_key (absent)");
  }

  bool rename(const std::string& path, const std::string& new_path) override {
    const void* key[] = {path.c_str()};
    if (tb_find_key(t_, ix_, key) != 2) return failed("tb_find_key (rename)");
    if (tb_read_record(t_, ix_, buffers_, sizes_) != 1) return failed("tb_read_record (rename)");
    const void* values[] = {new_path.c_str(), buffers_[1]};
    return tb_update_record(t_, ix_, values) == 1 || failed("tb_update_record");
  }

  bool remove(const std::string& path) override {
    const void* key[] = {path.c_str()};
    if (tb_find_key(t_, ix_, key) != 2) return failed("tb_find_key (delete)");
    return tb_delete_record(t_, ix_) == 1 || failed("tb_delete_record");
  }

  // Without `as_one_read` a shared table is read as qbnote reads it: under
  // the table read lock in slices of at most kSliceMs, the table left free
  // for kGapMs between them, each slice going on after the last path read.
  int64_t scan(bool as_one_read) override {
    int64_t rows = 0;
    std::string previous;
    for (int rc = 0; rc == 0;) {
      if (shared_ && tb_lock_table(t_, 1) != 1) return failed("tb_lock_table"), -1;
      rc = slice(as_one_read || !shared_, &rows, &previous);
      if (shared_ && tb_unlock_table(t_, 1) != 1) return failed("tb_unlock_table"), -1;
      if (rc == -1) return -1;
      if (rc == 0) std::this_thread::sleep_for(std::chrono::milliseconds(kGapMs));
    }
    return rows;
  }

  // Reads on from the first record, or after `previous` once rows were
  // read: 1 at the end, 0 when the slice's time ran out, -1.
  int slice(bool whole, int64_t* rows, std::string* previous) {
    const auto began = std::chrono::steady_clock::now();
    int rc;
    if (*rows == 0) {
      rc = tb_first_record(t_, ix_);
    } else {
      const void* key[] = {previous->c_str()};
      rc = tb_find_key(t_, ix_, key);
      if (rc == 2) rc = tb_next_record(t_, ix_);
      else if (rc == 3) rc = ix_->state == 1 ? 1 : -3;
    }
    while (rc == 1) {
      if (tb_read_record(t_, ix_, buffers_, sizes_) != 1) return failed("tb_read_record (scan)"), -1;
      const char* p = static_cast<const char*>(buffers_[0]);
      size_t len = std::strlen(p);
      if (*rows > 0 && compare_folded(previous->data(), previous->size(), p, len) >= 0) return wrong("scan order"), -1;
      previous->assign(p, len);
      ++*rows;
      if (!whole && std::chrono::steady_clock::now() - began >= std::chrono::milliseconds(kSliceMs)) return 0;
      rc = tb_next_record(t_, ix_);
    }
    if (rc != -3) return failed("tb_next_record"), -1;
    return 1;
  }

  bool close() override {
    Table* t = t_;
    t_ = nullptr;
    return tb_close(t) == 1 || failed("tb_close");
  }

  int64_t compact() override {
    // The copy in path order is the engine's compaction; the copy then
    // takes the table's place.
    std::string target = base_ + "_compact";
    auto start = std::chrono::steady_clock::now();
    int rc = tb_copy(base_.c_str(), target.c_str(), kPathIndex, kPageSize, shared_);
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    if (rc != 1) {
      failed("tb_copy");
      return -1;
    }
    std::error_code ec;
    for (const char* ext : {".db", ".idx"}) {
      std::filesystem::rename(target + ext, base_ + ext, ec);
      if (ec) {
        wrong("renaming the compacted files");
        return -1;
      }
    }
    return ns;
  }

  std::vector<std::string> files() const override { return {base_ + ".db", base_ + ".idx"}; }

 private:
  bool find_index() {
    ix_ = tb_find_index(t_, kPathIndex);
    return ix_ != nullptr || failed("tb_find_index");
  }

  bool failed(const char* what) const {
    std::fprintf(stderr, "%s: %s failed: tb_error %d, ix_error %d (site %d, operation %d)\n", label(), what,
                 tb_error, ix_error, ix_error_site, ix_operation);
    return false;
  }
  bool wrong(const char* what) const {
    std::fprintf(stderr, "%s: wrong %s\n", label(), what);
    return false;
  }

  std::string base_;
  int shared_;
  Table* t_ = nullptr;
  TableIndex* ix_ = nullptr;
  void* buffers_[2];
  int32_t sizes_[2];
};

}  // namespace

Subject* make_ours(const std::string& base, int shared) { return new Ours(base, shared); }

}  // namespace bench
