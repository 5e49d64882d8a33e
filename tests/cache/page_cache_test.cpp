// The POSIX FileIo slots: positioned transfers, open sharing, working folder,
// boot id, byte-range locks between opens and processes. The page cache: a
// randomized model of the pool (every frame in LRU order with its page, pins,
// dirty flag and bytes, and a shadow copy of each file) checked after every
// step, with writes, reads or flushes failing now and then.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "cache/bytes.h"
#include "cache/page_cache.h"
#include "support/expect_error.h"
#include "support/fault_io.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

#define EXPECT_PC(call, result, error) EXPECT_LEAVES(call, result, pc_error, error)

namespace {

// `pages` pages of `page_size` bytes, byte i of page p = (p * 37 + i) mod 251, the first two the page size.
std::string pattern_file(int page_size, int pages) {
  std::string s(static_cast<size_t>(page_size * pages), '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i / page_size * 37 + i % page_size) % 251);
  put_i16(reinterpret_cast<uint8_t*>(s.data()), page_size);
  return s;
}

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(write_whole_file(path_, pattern_file(512, 8))); }
  void TearDown() override {
    g_file_io = io_default_table();
    if (child_.pid > 0 && ::kill(child_.pid, SIGKILL) == 0) wait_child(child_);
  }
  TempDir dir_;
  std::string path_ = dir_.file("p.dat");
  Child child_;
};

TEST_F(FileIoTest, PositionedReadsAndWrites) {
  int h = io_open(path_.c_str(), 1, 1);
  ASSERT_GE(h, 0);
  uint8_t buf[512] = {};
  // Reads running past the end fail with 30; negative offsets or lengths with EINVAL.
  for (auto [offset, length, rc, error] : std::vector<std::array<int, 4>>{
           {4096 - 512, 512, 1, 0}, {4000, 512, -1, kIoShortTransfer}, {4096, 1, -1, kIoShortTransfer},
           {0, 0, 1, 0}, {-1, 1, -1, EINVAL}, {0, -1, -1, EINVAL}}) {
    io_os_error = 0;
    ASSERT_EQ(io_read_at(h, offset, length, buf), rc) << offset << "+" << length;  // stops before a read that could spin at the end
    EXPECT_EQ(io_os_error, error) << offset << "+" << length;
    EXPECT_EQ(error == EINVAL ? io_write_at(h, offset, length, buf) : -1, -1);
  }
  ASSERT_EQ(io_write_page(h, 70, 64, buf), 1);  // bytes 4480..4543, past the end
  int32_t size = 0;
  ASSERT_EQ(io_file_size(h, &size), 1);
  EXPECT_EQ(size, 4544);
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(io_close(h), -1);
  EXPECT_EQ(io_os_error, EBADF);
  EXPECT_EQ(io_file_size(h, &size), -1);
  EXPECT_EQ(size, -1);
}

TEST_F(FileIoTest, CreateOpenAndDelete) {
  const std::string path = dir_.file("new.dat");
  int h = io_create(path.c_str());
  ASSERT_GE(h, 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(io_open(path.c_str(), 0, 1), -1);  // created not shared
  EXPECT_EQ(io_close(h), 0);
  EXPECT_EQ(io_create(path.c_str()), -1);
  EXPECT_EQ(io_os_error, EEXIST);
  // An unshared open excludes every other open; shared ones exclude an unshared one.
  for (auto [first, second] : std::vector<std::array<int, 2>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}}) {
    int x = io_open(path.c_str(), 1, first), y = io_open(path.c_str(), 0, second);
    ASSERT_GE(x, 0);
    EXPECT_EQ(y >= 0, first && second) << first << second;
    EXPECT_EQ(y >= 0 ? io_write_at(y, 0, 1, "z") : -1, -1);  // read-only
    EXPECT_EQ(io_close(x) + (y >= 0 ? io_close(y) : 0), 0);
  }
  EXPECT_EQ(io_delete(path.c_str()), 1);
  EXPECT_EQ(io_delete(path.c_str()), -1);
  EXPECT_EQ(io_os_error, ENOENT);
}

TEST_F(FileIoTest, WorkingFolderAndBootId) {
  char cwd[4096], got[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(io_current_dir(got, sizeof got), 1);
  EXPECT_STREQ(got, cwd);
  EXPECT_EQ(io_current_dir(got, 0), -1);
  EXPECT_EQ(io_os_error, ERANGE);
  // The kernel's boot id, a UUID in text, as 16 bytes.
  std::string text = read_whole_file("/proc/sys/kernel/random/boot_id");
  if (text.size() < 36) GTEST_SKIP() << "no boot id here";
  uint8_t id[16] = {};
  ASSERT_EQ(io_boot_id(id), 1);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", id[i]);
  text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
  EXPECT_EQ(text.substr(0, 32), hex);
}

int g_sleeps = 0;
Child* g_holder = nullptr;

// Byte-range locks belong to the open: a child holds [100, 110) until killed;
// a lock overlapping it gives up after the given tries, one up front and a
// sleep before each further one. Two opens in one process conflict, a
// read-only one locks too, closing one keeps the other's locks.
TEST_F(FileIoTest, ByteRangeLocks) {
  child_ = fork_child([this](int in, int out) {
    int h = io_open(path_.c_str(), 1, 1);
    char c = 0;
    if (h < 0 || io_lock(h, 100, 10, 1, 0, 0) != 1 || send_byte(out, 'L') != 1) return 2;
    return recv_byte(in, &c);
  });
  char c = 0;
  ASSERT_EQ(recv_byte(child_.from_child, &c), 1);
  int a = io_open(path_.c_str(), 1, 1), ro = io_open(path_.c_str(), 0, 1);
  ASSERT_TRUE(a >= 0 && ro >= 0);
  g_file_io.sleep = [](int) { return ++g_sleeps, 1; };
  EXPECT_EQ(io_lock(a, 105, 20, 3, 50, 10000), -1);
  EXPECT_EQ(g_sleeps, 2);
  EXPECT_EQ(io_lock(a, 110, 10, 3, 50, 10000), 1);  // just past it
  EXPECT_EQ(g_sleeps, 2);
  // The holder is killed inside the first sleep: the next try succeeds.
  g_holder = &child_;
  g_file_io.sleep = [](int) {
    if (++g_sleeps == 1) ::kill(g_holder->pid, SIGKILL), wait_child(*g_holder);
    return 1;
  };
  g_sleeps = 0;
  EXPECT_EQ(io_lock(a, 100, 10, 25, 50, 10000), 1);
  EXPECT_EQ(g_sleeps, 1);
  EXPECT_EQ(io_lock(ro, 300, 8, 1, 0, 0), 1);
  EXPECT_EQ(io_lock(a, 300, 8, 1, 0, 0), -1);
  EXPECT_EQ(io_unlock(ro, 300, 8), 1);
  ASSERT_EQ(io_lock(a, 300, 8, 1, 0, 0), 1);
  EXPECT_EQ(io_lock(a, 302, 2, 1, 0, 0), 1);  // the holder may lock again
  EXPECT_EQ(io_close(ro), 0);
  Child probe = fork_child([this](int, int) {
    int h = io_open(path_.c_str(), 1, 1);
    return h >= 0 && io_lock(h, 300, 8, 1, 0, 0) == -1 ? 0 : 1;
  });
  EXPECT_EQ(wait_child(probe), 0) << "another process sees the range held";
  EXPECT_EQ(io_close(a), 0);
}

int g_flushes = 0;

struct MFrame {
  PageFrame* f;
  int file = -1, page = -1, pins = 0, dirty = 0;
  std::string data = {};
};

class PageCacheModel {
 public:
  PageCacheModel(const TempDir& dir, int frames, uint32_t seed, int destroy_fault)
      : rng_(seed), destroy_fault_(destroy_fault) {
    pool_ = pc_pool_create(512, frames);
    // A refused open closes what it opened: the file opens exclusively after it.
    const std::string big = dir.file("big");
    EXPECT_TRUE(write_whole_file(big, pattern_file(1024, 2)));
    EXPECT_PC(pc_open(big.c_str(), pool_, 1, 0), nullptr, kPcPageTooLarge);
    EXPECT_PC(pc_open(dir.file("missing").c_str(), pool_, 1, 0), nullptr, kPcIoFailed);
    EXPECT_EQ(pc_files.head, nullptr);
    const int h = io_open(big.c_str(), 1, 0);
    EXPECT_EQ(h >= 0 ? io_close(h) : h, 0);
    const int sizes[2] = {512, 128}, pages[2] = {40, 90};
    for (int i = 0; i < 2; ++i) {
      path_[i] = dir.file("f" + std::to_string(i));
      ps_[i] = sizes[i];
      disk_[i] = pattern_file(sizes[i], pages[i]);
      EXPECT_TRUE(write_whole_file(path_[i], disk_[i]));
    }
    // A read-only open reads; its writes fail.
    PagedFile* ro = pc_open(path_[0].c_str(), pool_, 1, 1);
    uint8_t* p = ro != nullptr ? pc_get_page(ro, 1) : nullptr;
    EXPECT_PC(p != nullptr ? pc_release_page(ro, p, 1) : 0, -1, kPcIoFailed);
    EXPECT_EQ(ro != nullptr ? pc_close(ro) : 0, 1);
    for (PageFrame* f = pool_->lru_head; f != nullptr; f = f->lru_next) lru_.push_back(MFrame{f});
    for (int i = 0; i < 2; ++i) Open(i);
  }
  // Destroying the pool writes every dirty frame, pinned or not, in LRU
  // order; a failed write-back is reported after the rest were tried.
  ~PageCacheModel() {
    FaultIo fault;
    fault.arm(kind_ = IoKind::Write, fault_at_ = destroy_fault_);
    calls_ = 0;
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
    EXPECT_PC(pc_pool_destroy(pool_), -1, kPcNoPool);
    EXPECT_PC(pc_add_frames(pool_, 2), 0, kPcNoPool);
    EXPECT_PC(pc_remove_frames(pool_, 2), 0, kPcNoPool);
  }

  void Run(int steps) {
    const IoKind kinds[3] = {IoKind::Write, IoKind::Read, IoKind::Flush};
    for (step_ = 0; step_ < steps && !::testing::Test::HasFailure(); ++step_) {
      const int i = Pick(2), r = Pick(100);
      FaultIo fault;  // the n-th write, read or flush fails now and then; flushes counted
      fault_ = &fault;
      kind_ = kinds[Pick(3)];
      fault.arm(kind_, fault_at_ = r % 3 == 0 ? (kind_ == IoKind::Write ? 1 + Pick(3) : 1) : 0);
      fault.plan().observe = [](IoKind kind) { g_flushes += kind == IoKind::Flush; };
      calls_ = g_flushes = 0;
      if (r < 40) Get(i);
      else if (r < 48) New(i);
      else if (r < 85) Release(r < 75 ? 1 + r % 2 : 0);
      else if (r < 90) Flush(i);
      else if (r < 92) Drop(i);
      else if (r < 94) CloseAndOpen(i);
      else Resize(Pick(2) == 0 ? -1 - Pick(3) : 1 + Pick(3));
      EXPECT_EQ(fault.plan().failures, fault_at_ > 0 && calls_ >= fault_at_ ? 1 : 0) << Where();
      Check();
    }
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % n); }
  std::string Where() const { return "step " + std::to_string(step_); }
  int Page(int i) { return Pick(static_cast<int>(disk_[i].size()) / ps_[i] + 2); }  // a few past the end
  // The model's count of calls of the armed kind; true for the one to fail.
  bool Fails(IoKind kind) { return kind == kind_ && ++calls_ == fault_at_; }
  void Open(int i) {
    file_[i] = pc_open(path_[i].c_str(), pool_, 1, 0);
    ASSERT_NE(file_[i], nullptr);
    synced_[i] = written_[i] = false;
    counted_[i] = flushed_[i] = 0;
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
    ++counted_[i];  // counted even when it fails
    if (Fails(IoKind::Write)) return false;
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
    } else if ((m = Take()) != nullptr && !Fails(IoKind::Read) &&
               static_cast<size_t>((page + 1) * ps_[i]) <= disk_[i].size()) {
      *m = MFrame{m->f, i, page, 1, 0, disk_[i].substr(page * ps_[i], ps_[i])};
      Touch(m);
    } else {  // no frame, or the frame is freed and the read fails
      ASSERT_EQ(p, nullptr) << Where();
      EXPECT_EQ(pc_error, m == nullptr ? kPcNoFrame : kPcIoFailed) << Where();
      return;
    }
    ASSERT_EQ(p, lru_.back().f->data) << Where() << ", pc_error " << pc_error;
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
  // Gives back the pin of a pinned page: unchanged (`how` 0), or changed and
  // left dirty (1) or written at once (2).
  void Release(int how) {
    std::vector<MFrame*> pinned;
    for (MFrame& m : lru_)
      if (m.pins > 0) pinned.push_back(&m);
    if (pinned.empty()) return;
    MFrame* m = pinned[Pick(static_cast<int>(pinned.size()))];
    --m->pins;
    if (how == 0) {
      EXPECT_EQ(pc_unpin_page(file_[m->file], m->f->data), 1);
      return Touch(m);
    }
    const int write_now = how == 2, at = 2 + Pick(ps_[m->file] - 2);  // page 0's page size stays
    m->data[at] = static_cast<char>(rng_());
    m->f->data[at] = static_cast<uint8_t>(m->data[at]);
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
  // Writes the file's dirty frames in ascending page order.
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
  // The flush to disk follows a failed write or anything written since the
  // last one (a write-back on reuse, a write told by the owner); a failed one
  // is reported and tried again next time.
  int Synced(int i, int rc) {
    const bool sync = rc != 1 || !synced_[i] || counted_[i] != flushed_[i];
    EXPECT_EQ(g_flushes, sync ? 1 : 0) << Where();
    if (!sync) return rc;
    if (Fails(IoKind::Flush)) return -1;
    synced_[i] = true, flushed_[i] = counted_[i];
    return rc;
  }
  void Flush(int i) {
    if (Pick(8) == 0) pc_note_write(file_[i]), ++counted_[i];
    const int rc = pc_flush(file_[i]), written = WriteDirty(i);
    EXPECT_EQ(rc, Synced(i, written)) << Where();
    EXPECT_EQ(pc_has_dirty(file_[i]), written == 1 ? 0 : 1) << Where();
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
    fault_->disarm();  // the reopen's read of the page size does not fail
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
      ASSERT_EQ(std::tie(f->page, f->pins, f->dirty), std::tie(m.page, m.pins, m.dirty)) << Where();
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
    for (int i = 0; i < 2; ++i) ASSERT_EQ(file_[i]->write_count, counted_[i]) << "writes counted, file " << i << ", " << Where();
  }

  std::mt19937 rng_;
  const int destroy_fault_;  // the write-back that fails when the pool is destroyed; 0 none
  PagePool* pool_;
  std::vector<MFrame> lru_;  // least recently used first
  std::string path_[2], disk_[2];
  int ps_[2];
  PagedFile* file_[2] = {};
  bool synced_[2] = {}, written_[2] = {};
  uint32_t counted_[2] = {}, flushed_[2] = {};  // writes counted in all, and as of the last flush
  int step_ = 0, fault_at_ = 0, calls_ = 0;
  IoKind kind_ = IoKind::Write;
  FaultIo* fault_ = nullptr;
};

TEST(PageCache, ModelSmallPool) {
  TempDir dir;
  PageCacheModel(dir, 7, 11, 0).Run(4000);
}
TEST(PageCache, ModelPoolOfMoreThanSixtyFourFramesAndAFailedWriteBackAtTheEnd) {  // 128 chains
  TempDir dir;
  PageCacheModel(dir, 90, 12, 1).Run(4000);
}

}  // namespace
