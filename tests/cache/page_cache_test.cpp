// Page cache: a randomized model of the pool (every frame in LRU order with
// its page, pins, dirty flag and bytes, and a shadow copy of each file)
// checked after every step: gets, new pages, changes released at once or
// later, unpins, flushes, drops, closes, frames added and removed, the pool
// destroyed, with writes and reads failing now and then. Then refused opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cache/bytes.h"
#include "cache/page_cache.h"
#include "support/expect_error.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"

#define EXPECT_PC(call, result, error) EXPECT_LEAVES(call, result, pc_error, error)

namespace {

// A file of `pages` pages of `page_size` bytes, byte i of page p = (p * 37 + i) mod 251;
// page 0 starts with the page size.
std::string pattern_file(int page_size, int pages) {
  std::string s(static_cast<size_t>(page_size * pages), '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i / page_size * 37 + i % page_size) % 251);
  put_i16(reinterpret_cast<uint8_t*>(s.data()), page_size);
  return s;
}

int g_flushes = 0;
void count_flushes(IoKind kind) { g_flushes += kind == IoKind::Flush; }

struct MFrame {
  PageFrame* f;
  int file = -1, page = -1, pins = 0, dirty = 0;
  std::string data = {};
};

class PageCacheModel {
 public:
  PageCacheModel(const TempDir& dir, int frames, uint32_t seed) : rng_(seed) {
    pool_ = pc_pool_create(512, frames);
    for (PageFrame* f = pool_->lru_head; f != nullptr; f = f->lru_next) lru_.push_back(MFrame{f});
    const int sizes[2] = {512, 128}, pages[2] = {40, 90};
    for (int i = 0; i < 2; ++i) {
      path_[i] = dir.file("f" + std::to_string(i));
      ps_[i] = sizes[i];
      disk_[i] = pattern_file(sizes[i], pages[i]);
      EXPECT_TRUE(write_whole_file(path_[i], disk_[i]));
      Open(i);
    }
  }
  // Destroying the pool writes every dirty frame, pinned or not, in LRU
  // order; a failed write-back is reported after the rest were tried.
  ~PageCacheModel() {
    FaultIo fault;
    fault.arm(IoKind::Write, fault_at_ = destroy_fault_);
    writes_ = 0;
    int rc = 1;
    for (MFrame& m : lru_)
      if (m.dirty && !Write(m.file, m.page, m.data)) rc = -1;
    EXPECT_PC(pc_pool_destroy(pool_), rc, rc == 1 ? kPcOk : kPcIoFailed);
    EXPECT_EQ(fault.plan().failures, rc == 1 ? 0 : 1);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(read_whole_file(path_[i]), disk_[i]);
      io_close(file_[i]->handle);  // the files outlived their pool: taken down by hand
      pc_files.remove(file_[i]);
      delete file_[i];
    }
  }
  int destroy_fault_ = 0;

  void Run(int steps) {
    for (step_ = 0; step_ < steps && !::testing::Test::HasFailure(); ++step_) {
      const int i = Pick(2), r = Pick(100);
      FaultIo fault;  // writes fail now and then; flushes counted
      fault_ = &fault;
      fault_at_ = r % 7 == 0 ? 1 + Pick(3) : 0;
      fault.arm(IoKind::Write, fault_at_);
      fault.plan().observe = count_flushes;
      writes_ = 0;
      g_flushes = 0;
      read_failed_ = false;
      if (r < 40) Get(i);
      else if (r < 48) New(i);
      else if (r < 75) Release(r % 2);
      else if (r < 85) Unpin();
      else if (r < 90) Flush(i);
      else if (r < 92) Drop(i);
      else if (r < 94) CloseAndOpen(i);
      else if (r < 97) Resize(Pick(2) == 0 ? -1 - Pick(3) : 1 + Pick(3));
      else ReadFails(i);
      EXPECT_EQ(fault.plan().failures, read_failed_ || (fault_at_ > 0 && writes_ >= fault_at_) ? 1 : 0) << Where();
      Check();
    }
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % n); }
  std::string Where() const { return "step " + std::to_string(step_); }
  int Page(int i) { return Pick(static_cast<int>(disk_[i].size()) / ps_[i] + 2); }  // a few past the end
  void Open(int i) {
    file_[i] = pc_open(path_[i].c_str(), pool_, 1, 0);
    ASSERT_NE(file_[i], nullptr);
    synced_[i] = changed_[i] = written_[i] = false;
  }
  MFrame* Find(int i, int page) {
    for (MFrame& m : lru_)
      if (m.file == i && m.page == page) return &m;
    return nullptr;
  }
  void Touch(MFrame* m) {
    MFrame copy = *m;
    lru_.erase(lru_.begin() + (m - lru_.data()));
    lru_.push_back(copy);
  }
  // One write the model makes; false when the armed fault takes it.
  bool Write(int i, int page, const std::string& data) {
    changed_[i] = true;  // counted even when it fails
    if (++writes_ == fault_at_) return false;
    const size_t at = static_cast<size_t>(page * ps_[i]);
    if (disk_[i].size() < at + ps_[i]) disk_[i].resize(at + ps_[i], '\0');
    disk_[i].replace(at, ps_[i], data, 0, ps_[i]);
    return true;
  }
  // The reuse walk: the least recently used unpinned frame, written back when
  // dirty; one whose write-back fails stays dirty and the walk goes on.
  MFrame* Take() {
    for (MFrame& m : lru_) {
      if (m.pins > 0) continue;
      if (m.dirty && !Write(m.file, m.page, m.data)) continue;
      m = MFrame{m.f};
      return &m;
    }
    return nullptr;
  }
  void Get(int i) {
    const int page = Page(i);
    MFrame* m = Find(i, page);
    uint8_t* p = pc_get_page(file_[i], page);
    if (m != nullptr) {
      ++m->pins;
      Touch(m);
    } else if ((m = Take()) != nullptr && static_cast<size_t>((page + 1) * ps_[i]) <= disk_[i].size()) {
      *m = MFrame{m->f, i, page, 1, 0, disk_[i].substr(page * ps_[i], ps_[i])};
      Touch(m);
    } else {
      ASSERT_EQ(p, nullptr) << Where();
      EXPECT_EQ(pc_error, m == nullptr ? kPcNoFrame : kPcIoFailed) << Where();
      return;
    }
    ASSERT_NE(p, nullptr) << Where() << ", pc_error " << pc_error;
    ASSERT_EQ(p, lru_.back().f->data) << Where();
  }
  void New(int i) {
    const int page = static_cast<int>(disk_[i].size()) / ps_[i] + Pick(2);
    MFrame* m = Find(i, page);
    if (m == nullptr && (m = Take()) == nullptr) {
      EXPECT_PC(pc_new_page(file_[i], page), nullptr, kPcNoFrame);
      return;
    }
    *m = MFrame{m->f, i, page, 1, 0, std::string(ps_[i], '\0')};
    Touch(m);
    ASSERT_EQ(pc_new_page(file_[i], page), lru_.back().f->data) << Where();
  }
  // Changes a pinned page and releases it, written at once or left dirty.
  void Release(int write_now) {
    std::vector<int> pinned;
    for (size_t k = 0; k < lru_.size(); ++k)
      if (lru_[k].pins > 0) pinned.push_back(static_cast<int>(k));
    if (pinned.empty()) return;
    MFrame* m = &lru_[pinned[Pick(static_cast<int>(pinned.size()))]];
    const int at = 2 + Pick(ps_[m->file] - 2);  // page 0's page size stays
    m->data[at] = static_cast<char>(rng_());
    m->f->data[at] = static_cast<uint8_t>(m->data[at]);
    --m->pins;
    int rc = pc_release_page(file_[m->file], m->f->data, write_now);
    // Page 0 holds the owner's header: written at once only after another write of the file.
    const bool skip = write_now && m->page == 0 && !written_[m->file];
    if (write_now && !skip && !Write(m->file, m->page, m->data)) {
      EXPECT_PC(rc, -1, kPcIoFailed);  // pin given back, dirty flag and place kept
      return;
    }
    EXPECT_EQ(rc, 1) << Where();
    written_[m->file] |= !skip;
    m->dirty = !write_now;
    Touch(m);
  }
  void Unpin() {
    for (MFrame& m : lru_)
      if (m.pins > 0) {
        --m.pins;
        EXPECT_EQ(pc_unpin_page(file_[m.file], m.f->data), 1);
        return Touch(&m);
      }
  }
  // Writes the file's dirty frames in ascending page order; the flush to disk
  // follows when anything was written since the last one. `then_sync` false:
  // the caller handles the flush result.
  int WriteDirty(int i) {
    std::vector<MFrame*> dirty;
    for (MFrame& m : lru_)
      if (m.file == i && m.dirty) dirty.push_back(&m);
    std::sort(dirty.begin(), dirty.end(), [](MFrame* a, MFrame* b) { return a->page < b->page; });
    int rc = 1;
    for (MFrame* m : dirty)
      if (Write(i, m->page, m->data)) m->dirty = 0;
      else rc = -1;
    return rc;
  }
  int Synced(int i, int rc) {
    const bool sync = rc != 1 || !synced_[i] || changed_[i];
    EXPECT_EQ(g_flushes, sync ? 1 : 0) << Where();
    if (sync) synced_[i] = true, changed_[i] = false;
    return rc;
  }
  void Flush(int i) {
    int rc = pc_flush(file_[i]);
    EXPECT_EQ(rc, Synced(i, WriteDirty(i))) << Where();
    EXPECT_EQ(pc_has_dirty(file_[i]), rc == 1 ? 0 : 1) << Where();
  }
  // Every frame of the file is let go; a dirty or pinned one fails the drop.
  int DropModel(int i) {
    int rc = 1;
    for (MFrame& m : lru_)
      if (m.file == i) {
        if (m.dirty || m.pins > 0) rc = -1;
        m = MFrame{m.f};
      }
    return rc;
  }
  void Drop(int i) { EXPECT_EQ(pc_drop_pages(file_[i]), DropModel(i)) << Where(); }
  void CloseAndOpen(int i) {
    int rc = pc_close(file_[i]);
    int want = Synced(i, WriteDirty(i));
    EXPECT_EQ(rc, DropModel(i) == 1 ? want : -1) << Where();
    EXPECT_FALSE(pc_files.contains(file_[i]));
    Open(i);
  }
  void Resize(int n) {
    if (n > 0) {
      ASSERT_EQ(pc_add_frames(pool_, n), n);  // each new frame at the head
      std::vector<MFrame> added;
      for (PageFrame* f = pool_->lru_head; n-- > 0; f = f->lru_next) added.push_back(MFrame{f});
      lru_.insert(lru_.begin(), added.begin(), added.end());
      return;
    }
    if (lru_.size() < 7) return;
    int removed = 0;
    for (MFrame* m; removed < -n && (m = Take()) != nullptr; ++removed) lru_.erase(lru_.begin() + (m - lru_.data()));
    EXPECT_EQ(pc_remove_frames(pool_, -n), removed) << Where();
  }
  void ReadFails(int i) {
    const int page = Page(i);
    if (Find(i, page) != nullptr) return;
    fault_->arm(IoKind::Read, 1, true);
    fault_at_ = 0;
    MFrame* m = Take();  // the frame is freed, then the read fails
    read_failed_ = m != nullptr;
    EXPECT_EQ(pc_get_page(file_[i], page), nullptr) << Where();
    EXPECT_EQ(pc_error, m == nullptr ? kPcNoFrame : kPcIoFailed) << Where();
  }

  // The pool against the model: LRU order, each frame's fields, bytes and
  // hash chain (bucket (handle + page) mod count), the dirty list; the files' bytes.
  void Check() {
    size_t k = 0;
    int dirty = 0, cached = 0;
    for (PageFrame* f = pool_->lru_head; f != nullptr; f = f->lru_next, ++k) {
      ASSERT_LT(k, lru_.size()) << Where();
      const MFrame& m = lru_[k];
      ASSERT_EQ(f, m.f) << "LRU place " << k << ", " << Where();
      ASSERT_EQ(f->handle, m.file < 0 ? -1 : file_[m.file]->handle) << Where();
      ASSERT_EQ(f->page, m.page) << Where();
      ASSERT_EQ(f->pins, m.pins) << Where();
      ASSERT_EQ(f->dirty, m.dirty) << Where();
      if (m.file < 0) continue;
      ++cached;
      dirty += m.dirty;
      ASSERT_EQ(std::string(reinterpret_cast<char*>(f->data), ps_[m.file]), m.data) << "page " << m.page << ", " << Where();
    }
    ASSERT_EQ(k, lru_.size()) << Where();
    for (int b = 0; b < pool_->bucket_count; ++b)
      for (PageFrame* f = pool_->buckets[b]; f != nullptr; f = f->hash_next, --cached)
        ASSERT_EQ(static_cast<uint32_t>(f->handle + f->page) & (pool_->bucket_count - 1), static_cast<uint32_t>(b));
    ASSERT_EQ(cached, 0) << "frames on no chain or on two, " << Where();
    for (PageFrame* f = pool_->dirty_head; f != nullptr; f = f->dirty_next) --dirty;
    ASSERT_EQ(dirty, 0) << "dirty list against the flags, " << Where();
    for (int i = 0; i < 2; ++i) ASSERT_EQ(read_whole_file(path_[i]), disk_[i]) << "file " << i << ", " << Where();
  }

  std::mt19937 rng_;
  PagePool* pool_;
  std::vector<MFrame> lru_;  // least recently used first
  std::string path_[2], disk_[2];
  int ps_[2];
  PagedFile* file_[2] = {};
  bool synced_[2] = {}, changed_[2] = {}, written_[2] = {};
  int step_ = 0, fault_at_ = 0, writes_ = 0;
  FaultIo* fault_ = nullptr;
  bool read_failed_ = false;
};

TEST(PageCache, ModelSmallPool) {
  TempDir dir;
  PageCacheModel(dir, 7, 11).Run(4000);
}
TEST(PageCache, ModelPoolOfMoreThanSixtyFourFramesAndAFailedWriteBackAtTheEnd) {  // 128 chains
  TempDir dir;
  PageCacheModel model(dir, 90, 12);
  model.destroy_fault_ = 1;
  model.Run(4000);
}


// A flush reaches the disk only when something was written since the last
// one, a write-back on reuse included; a failed one is reported and tried again.
TEST(PageCache, FlushGoesToDiskAfterWritesAndAgainAfterAFailure) {
  TempDir dir;
  const std::string path = dir.file("a");
  ASSERT_TRUE(write_whole_file(path, pattern_file(512, 8)));
  PagePool* pool = pc_pool_create(512, 3);
  PagedFile* f = pc_open(path.c_str(), pool, 1, 0);
  ASSERT_NE(f, nullptr);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1000000);  // counts, never fails
  ASSERT_EQ(pc_flush(f), 1);
  uint8_t* p = pc_get_page(f, 1);
  ASSERT_EQ(pc_release_page(f, p, 0), 1);  // dirty
  for (int32_t page = 2; page <= 4; ++page) ASSERT_EQ(pc_unpin_page(f, pc_get_page(f, page)), 1);
  EXPECT_EQ(pc_has_dirty(f), 0) << "page 1 was written back on reuse";
  ASSERT_EQ(pc_flush(f), 1);
  EXPECT_EQ(fault.plan().calls, 2);
  ASSERT_EQ(pc_flush(f), 1);
  EXPECT_EQ(fault.plan().calls, 2) << "nothing written since";
  pc_note_write(f);
  fault.arm(IoKind::Flush, 1);
  EXPECT_PC(pc_flush(f), -1, kPcIoFailed);
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(fault.plan().calls, 2);
  EXPECT_EQ(pc_close(f), 1);
  EXPECT_EQ(pc_pool_destroy(pool), 1);
}

// A refused open closes what it opened; a read-only file reads and its writes
// fail; a pool no longer registered is refused.
TEST(PageCache, RefusedOpensAndStrayPools) {
  TempDir dir;
  PagePool* pool = pc_pool_create(512, 6);
  const std::string big = dir.file("big"), ok = dir.file("ok");
  ASSERT_TRUE(write_whole_file(big, pattern_file(1024, 2)) && write_whole_file(ok, pattern_file(512, 2)));
  EXPECT_PC(pc_open(big.c_str(), pool, 1, 0), nullptr, kPcPageTooLarge);
  EXPECT_PC(pc_open(dir.file("missing").c_str(), pool, 1, 0), nullptr, kPcIoFailed);
  EXPECT_EQ(pc_files.head, nullptr);
  int h = io_open(big.c_str(), 1, 0);  // exclusive: nothing left open
  EXPECT_EQ(h >= 0 ? io_close(h) : h, 0);
  PagedFile* f = pc_open(ok.c_str(), pool, 1, 1);
  uint8_t* p = f != nullptr ? pc_get_page(f, 1) : nullptr;
  ASSERT_NE(p, nullptr);
  EXPECT_PC(pc_release_page(f, p, 1), -1, kPcIoFailed);
  EXPECT_EQ(pc_close(f), 1);
  EXPECT_EQ(pc_pool_destroy(pool), 1);
  EXPECT_PC(pc_pool_destroy(pool), -1, kPcNoPool);
  EXPECT_PC(pc_add_frames(pool, 2), 0, kPcNoPool);
  EXPECT_PC(pc_remove_frames(pool, 2), 0, kPcNoPool);
}

}  // namespace
