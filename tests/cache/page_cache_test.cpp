// Page cache: pinning, write-back rules, reuse order, dropping, failures.
//
// Every test builds its own pool and paged files over real files in a fresh
// folder. Page n of a test file holds a pattern that depends on n, so a page
// read from the wrong offset or written to the wrong place shows up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cache/bytes.h"
#include "cache/file_io.h"
#include "cache/page_cache.h"
#include "support/expect_error.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"

#define EXPECT_PC(call, result, error) EXPECT_LEAVES(call, result, pc_error, error)

namespace {

// Page `page` of a test file: byte i is (page * 37 + i) mod 251; page 0
// starts with the file's page size.
std::string page_pattern(int page, int page_size) {
  std::string s(static_cast<size_t>(page_size), '\0');
  for (int i = 0; i < page_size; ++i) s[static_cast<size_t>(i)] = static_cast<char>((page * 37 + i) % 251);
  if (page == 0) put_i16(reinterpret_cast<uint8_t*>(s.data()), page_size);
  return s;
}

int frames_in_lru(const PagePool* pool) {
  int n = 0;
  for (const PageFrame* f = pool->lru_head; f != nullptr; f = f->lru_next) ++n;
  return n;
}

// True when no handle of the file is left open: an exclusive open succeeds.
bool opens_exclusively(const std::string& path) {
  int h = io_open(path.c_str(), 1, 0);
  if (h >= 0) io_close(h);
  return h >= 0;
}

std::string bytes_at(const uint8_t* p, int n) { return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)); }

class PageCache : public ::testing::Test {
 protected:
  void TearDown() override {
    for (PagedFile* f : files_)
      if (pc_files.contains(f)) pc_close(f);
    if (pool_ != nullptr && pc_pools.contains(pool_)) pc_pool_destroy(pool_);
    EXPECT_EQ(pc_files.head, nullptr);
    EXPECT_EQ(pc_pools.head, nullptr);
  }

  PagePool* make_pool(int page_size, int frames) {
    pool_ = pc_pool_create(page_size, frames);
    return pool_;
  }

  std::string make_file(const std::string& name, int page_size, int pages) {
    std::string path = dir_.file(name);
    std::string all;
    for (int p = 0; p < pages; ++p) all += page_pattern(p, page_size);
    EXPECT_TRUE(write_whole_file(path, all));
    return path;
  }

  PagedFile* open_file(const std::string& name, int page_size = 512, int pages = 8, int read_only = 0) {
    PagedFile* f = pc_open(make_file(name, page_size, pages).c_str(), pool_, 1, read_only);
    if (f != nullptr) files_.push_back(f);
    return f;
  }

  // The usual start: a pool of `frames` 512-byte frames and f_, the paged
  // file a.ix of `pages` pages.
  void start(int pages = 8, int frames = 6) {
    ASSERT_NE(make_pool(512, frames), nullptr);
    f_ = open_file("a.ix", 512, pages);
    ASSERT_NE(f_, nullptr);
  }

  // Gets and unpins a page: afterwards it is cached and most recently used.
  // Returns its bytes, null (and a failure) when it could not be had.
  uint8_t* touch(PagedFile* f, int32_t page) {
    uint8_t* p = pc_get_page(f, page);
    EXPECT_NE(p, nullptr) << "page " << page << ", pc_error " << pc_error;
    if (p != nullptr) pc_unpin_page(f, p);
    return p;
  }

  // The same for a new page.
  void touch_new(PagedFile* f, int32_t page) {
    uint8_t* p = pc_new_page(f, page);
    ASSERT_NE(p, nullptr) << "page " << page << ", pc_error " << pc_error;
    pc_unpin_page(f, p);
  }

  // Gets a page, sets its byte `at` to `value` and releases it as changed,
  // written at once when `write_now`. Returns its bytes, null after a failure.
  uint8_t* change(PagedFile* f, int32_t page, int at, uint8_t value, int write_now = 0) {
    uint8_t* p = pc_get_page(f, page);
    EXPECT_NE(p, nullptr) << "page " << page << ", pc_error " << pc_error;
    if (p == nullptr) return nullptr;
    p[at] = value;
    EXPECT_EQ(pc_release_page(f, p, write_now), 1) << "page " << page;
    return p;
  }

  std::string file_bytes(const std::string& name, int offset, int length) {
    std::string all = read_whole_file(dir_.file(name));
    if (static_cast<size_t>(offset + length) > all.size()) return "";
    return all.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
  }

  // Byte `offset` of a.ix on disk, -1 past its end.
  int disk_byte(int offset) {
    std::string all = read_whole_file(dir_.file("a.ix"));
    return static_cast<size_t>(offset) < all.size() ? static_cast<uint8_t>(all[static_cast<size_t>(offset)]) : -1;
  }

  // After its pool was destroyed f_ is taken down by hand.
  void close_orphaned_file() {
    io_close(f_->handle);
    pc_files.remove(f_);
    delete f_;
    files_.clear();
    pool_ = nullptr;
  }

  TempDir dir_;
  PagePool* pool_ = nullptr;
  PagedFile* f_ = nullptr;
  std::vector<PagedFile*> files_;
};

// --- pinning ---------------------------------------------------------------

TEST_F(PageCache, AllFramesPinnedRefusesUncachedPagesButServesCachedOnes) {
  ASSERT_NO_FATAL_FAILURE(start(10));
  std::vector<uint8_t*> held;
  for (int p = 1; p <= 6; ++p) ASSERT_NE(held.emplace_back(pc_get_page(f_, p)), nullptr);
  EXPECT_PC(pc_get_page(f_, 7), nullptr, kPcNoFrame);
  EXPECT_PC(pc_new_page(f_, 12), nullptr, kPcNoFrame);

  uint8_t* again = pc_get_page(f_, 3);
  EXPECT_PC(again, held[2], kPcOk);
  EXPECT_EQ(pc_frame_of(again)->pins, 2);
  pc_unpin_page(f_, again);
  for (uint8_t* p : held) pc_unpin_page(f_, p);
  EXPECT_EQ(pc_pinned_count(f_), 0);
  EXPECT_NE(pc_get_page(f_, 7), nullptr);
}

TEST_F(PageCache, SecondGetReturnsSamePointerAndNeedsTwoReleases) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = pc_get_page(f_, 2);
  uint8_t* b = pc_get_page(f_, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(pc_frame_of(a)->pins, 2);
  EXPECT_EQ(pc_release_page(f_, a, 0), 1);
  EXPECT_EQ(pc_frame_of(a)->pins, 1);
  EXPECT_EQ(pc_pinned_count(f_), 1);
  EXPECT_EQ(pc_unpin_page(f_, a), 1);
  EXPECT_EQ(pc_pinned_count(f_), 0);
}

TEST_F(PageCache, ReleasingAnUnpinnedFrameKeepsPinCountAtZero) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = touch(f_, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(pc_unpin_page(f_, a), 1);
  EXPECT_EQ(pc_frame_of(a)->pins, 0);
  EXPECT_EQ(pc_release_page(f_, a, 0), 1);
  EXPECT_EQ(pc_frame_of(a)->pins, 0);
}

// --- reading and writing ---------------------------------------------------

TEST_F(PageCache, PageThreeOfA512ByteFileIsReadFromByte1536) {
  ASSERT_NO_FATAL_FAILURE(start(5));
  EXPECT_EQ(f_->page_size, 512);
  uint8_t* p = touch(f_, 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes_at(p, 512), file_bytes("a.ix", 1536, 512));
}

TEST_F(PageCache, SmallerFilePagesUseTheFilesOwnPageSize) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("small.ix", 128, 6);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->page_size, 128);
  uint8_t* p = pc_get_page(f, 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes_at(p, 128), page_pattern(3, 128));
  p[0] = 0xEE;
  ASSERT_EQ(pc_release_page(f, p, 1), 1);
  // Exactly 128 bytes went back, at 3 * 128; the page after it is intact.
  std::string on_disk = read_whole_file(dir_.file("small.ix"));
  ASSERT_EQ(on_disk.size(), 6u * 128);
  EXPECT_EQ(static_cast<uint8_t>(on_disk[384]), 0xEE);
  EXPECT_EQ(on_disk.substr(512, 128), page_pattern(4, 128));

  // A dirty small page written back on reuse also moves 128 bytes only.
  p = change(f, 1, 127, 0xDD);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 6; ++i) touch_new(f, 100 + i);
  EXPECT_NE(pc_frame_of(p)->page, 1);  // the frame was reused
  on_disk = read_whole_file(dir_.file("small.ix"));
  ASSERT_EQ(on_disk.size(), 6u * 128);
  EXPECT_EQ(static_cast<uint8_t>(on_disk[255]), 0xDD);
  EXPECT_EQ(on_disk.substr(256, 128), page_pattern(2, 128));
}

TEST_F(PageCache, ReadPastTheEndFailsAndLeavesThePageUncached) {
  ASSERT_NO_FATAL_FAILURE(start(4));
  EXPECT_PC(pc_get_page(f_, 9), nullptr, kPcIoFailed);
  EXPECT_EQ(pc_pinned_count(f_), 0);
  // Extending the file makes the page readable: nothing stale was cached.
  std::string path = dir_.file("a.ix");
  std::string all = read_whole_file(path);
  for (int p = 4; p < 10; ++p) all += page_pattern(p, 512);
  ASSERT_TRUE(write_whole_file(path, all));
  uint8_t* p9 = touch(f_, 9);
  ASSERT_NE(p9, nullptr);
  EXPECT_EQ(bytes_at(p9, 512), page_pattern(9, 512));
}

TEST_F(PageCache, WriteNowOfPageZeroBeforeAnyWriteWritesNothing) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::string before = read_whole_file(dir_.file("a.ix"));
  uint8_t* p0 = change(f_, 0, 100, 100 ^ 0xFF, 1);  // byte 100 held 100
  ASSERT_NE(p0, nullptr);
  EXPECT_EQ(read_whole_file(dir_.file("a.ix")), before);
  EXPECT_EQ(pc_frame_of(p0)->dirty, 0);
  EXPECT_EQ(pc_has_dirty(f_), 0);
}

TEST_F(PageCache, WriteNowOfPageZeroAfterAWriteIsWritten) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NE(change(f_, 2, 7, 0x42, 1), nullptr);
  EXPECT_EQ(disk_byte(1024 + 7), 0x42);
  ASSERT_NE(change(f_, 0, 100, 0x99, 1), nullptr);
  EXPECT_EQ(disk_byte(100), 0x99);
}

TEST_F(PageCache, MarkingAPageDirtyAlsoEnablesPageZeroWrites) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NE(change(f_, 1, 0, 0x01), nullptr);  // dirty, not written
  ASSERT_NE(change(f_, 0, 50, 0x5A, 1), nullptr);
  EXPECT_EQ(disk_byte(50), 0x5A);
}

TEST_F(PageCache, FailedWriteNowReleasesThePinAndKeepsTheDirtyFlag) {
  ASSERT_NO_FATAL_FAILURE(start());
  FaultIo fault;
  uint8_t* p = change(f_, 2, 3, 0x11);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(pc_get_page(f_, 2), p);
  fault.arm(IoKind::Write, 1);
  EXPECT_PC(pc_release_page(f_, p, 1), -1, kPcIoFailed);
  EXPECT_EQ(pc_frame_of(p)->pins, 0);
  EXPECT_EQ(pc_frame_of(p)->dirty, 1);
  fault.disarm();
  EXPECT_EQ(pc_flush(f_), 1);
  EXPECT_EQ(disk_byte(1024 + 3), 0x11);
}

TEST_F(PageCache, NewPageIsZeroFilledCleanAndReachesTheFileOnlyWhenReleased) {
  ASSERT_NO_FATAL_FAILURE(start(3));
  // Fill every frame with file data first so the new page lands on a used one.
  for (int round = 0; round < 2; ++round)
    for (int p = 0; p < 3; ++p) touch(f_, p);
  for (int p = 3; p < 9; ++p) {
    uint8_t* q = pc_new_page(f_, p);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(bytes_at(q, 512), std::string(512, '\0'));
    EXPECT_EQ(pc_frame_of(q)->dirty, 0);
    pc_unpin_page(f_, q);
  }
  EXPECT_EQ(read_whole_file(dir_.file("a.ix")).size(), 3u * 512);
  EXPECT_EQ(pc_has_dirty(f_), 0);

  uint8_t* q = pc_new_page(f_, 3);
  ASSERT_NE(q, nullptr);
  q[0] = 0x77;
  ASSERT_EQ(pc_release_page(f_, q, 0), 1);
  EXPECT_EQ(pc_has_dirty(f_), 1);
  ASSERT_EQ(pc_flush(f_), 1);
  EXPECT_EQ(pc_has_dirty(f_), 0);
  EXPECT_EQ(disk_byte(1536), 0x77);
}

class PageCacheBuckets : public PageCache {
 protected:
  // Caches each page as a new page and expects it in exactly the chain of
  // bucket (handle + page) mod `buckets`.
  void ExpectPlacement(PagedFile* f, const std::vector<int32_t>& pages, int buckets) {
    ASSERT_EQ(pool_->bucket_count, buckets);
    const int h = f->handle;
    for (int32_t page : pages) ASSERT_NO_FATAL_FAILURE(touch_new(f, page));
    for (int32_t page : pages) {
      int bucket = static_cast<int>((static_cast<uint32_t>(h) + static_cast<uint32_t>(page)) &
                                    static_cast<uint32_t>(buckets - 1));
      int found = 0;
      for (int b = 0; b < pool_->bucket_count; ++b)
        for (PageFrame* fr = pool_->buckets[b]; fr != nullptr; fr = fr->hash_next)
          if (fr->handle == h && fr->page == page) {
            EXPECT_EQ(b, bucket) << "page " << page;
            ++found;
          }
      EXPECT_EQ(found, 1) << "page " << page;
    }
  }
};

TEST_F(PageCacheBuckets, SmallPoolUsesSixtyFourChainsOfHandlePlusPage) {
  ASSERT_NO_FATAL_FAILURE(start(8, 8));
  const int h = f_->handle;
  ExpectPlacement(f_, {0, 5, 63 - h, 64 - h, 1000, -h - 1, -h - 1000, -h - 64}, 64);
}

TEST_F(PageCacheBuckets, SixtyFourFramesStillUseSixtyFourChains) {
  ASSERT_NO_FATAL_FAILURE(start(8, 64));
  ExpectPlacement(f_, {1, 2, 64, 65, 130}, 64);
}

TEST_F(PageCacheBuckets, LargePoolHasAChainPerFrameRoundedUpToAPowerOfTwo) {
  ASSERT_NE(make_pool(256, 600), nullptr);  // 1024 chains
  PagedFile* f = open_file("a.ix", 256, 8);
  ASSERT_NE(f, nullptr);
  const int h = f->handle;
  // Pages 64 apart (one chain with 64 buckets) now lie apart, pages 1024
  // apart share one, and a negative sum still lands in a valid chain.
  std::vector<int32_t> pages;
  for (int32_t p = 0; p < 597; ++p) pages.push_back(p * 3 + 64);
  pages.push_back(20 * 1024 - h);  // beyond the others, both in chain 0
  pages.push_back(21 * 1024 - h);
  pages.push_back(-h - 5);
  ExpectPlacement(f, pages, 1024);
  // One page per frame: every page is still cached and found through its
  // chain (the file holds 8 pages, so a miss could not be read).
  for (int32_t page : pages) {
    uint8_t* d = touch(f, page);
    ASSERT_NE(d, nullptr) << "page " << page;
    EXPECT_EQ(pc_frame_of(d)->page, page);
  }
}

TEST_F(PageCache, PagesOfTwoFilesInOneBucketStayApart) {
  ASSERT_NE(make_pool(512, 8), nullptr);
  PagedFile* a = open_file("a.ix", 512, 80);
  PagedFile* b = open_file("b.ix", 256, 80);
  for (PagedFile* g : {a, b}) ASSERT_NE(g, nullptr);
  // Same bucket: a's page 10 and b's page 10 + (a.handle - b.handle) (+64).
  int pb = 10 + a->handle - b->handle + 64;
  ASSERT_GE(pb, 0);
  ASSERT_LT(pb, 80);
  uint8_t* x = pc_get_page(a, 10);
  uint8_t* y = pc_get_page(b, pb);
  uint8_t* z = pc_get_page(b, 10);
  for (uint8_t* p : {x, y, z}) ASSERT_NE(p, nullptr);
  EXPECT_NE(x, y);
  EXPECT_EQ(pc_get_page(a, 10), x);
  EXPECT_EQ(pc_get_page(b, pb), y);
  EXPECT_EQ(bytes_at(x, 512), page_pattern(10, 512));
  EXPECT_EQ(bytes_at(y, 256), page_pattern(pb, 256));
  EXPECT_EQ(bytes_at(z, 256), page_pattern(10, 256));
  for (uint8_t* p : {x, x, y, y, z}) pc_unpin_page(p == x ? a : b, p);
  EXPECT_EQ(pc_pinned_count(a) + pc_pinned_count(b), 0);
}

// --- reuse -----------------------------------------------------------------

TEST_F(PageCache, ReuseTakesTheLeastRecentlyUsedUnpinnedFrame) {
  ASSERT_NO_FATAL_FAILURE(start(12));
  uint8_t* p[7] = {};
  for (int i = 1; i <= 6; ++i) ASSERT_NE(p[i] = touch(f_, i), nullptr);
  // Recency now 1 < 2 < ... < 6. Touch 1, pin 2: the next victims are 3, then 4.
  ASSERT_EQ(pc_get_page(f_, 1), p[1]);
  pc_unpin_page(f_, p[1]);
  ASSERT_EQ(pc_get_page(f_, 2), p[2]);

  uint8_t* q7 = pc_get_page(f_, 7);
  ASSERT_EQ(q7, p[3]);
  EXPECT_EQ(pc_frame_of(p[3])->page, 7);
  uint8_t* q8 = pc_get_page(f_, 8);
  ASSERT_EQ(q8, p[4]);
  for (uint8_t* q : {q7, q8}) pc_unpin_page(f_, q);
  // 1 was touched after 5 and 6, so after 5 and 6 it is the next one.
  for (int32_t page : {9, 10}) touch(f_, page);
  EXPECT_EQ(pc_frame_of(p[5])->page, 9);
  EXPECT_EQ(pc_frame_of(p[6])->page, 10);
  EXPECT_EQ(pc_frame_of(p[1])->page, 1);
  EXPECT_EQ(pc_frame_of(p[2])->page, 2);  // pinned the whole time
  pc_unpin_page(f_, p[2]);
}

TEST_F(PageCache, EveryAccessMakesTheFrameMostRecentlyUsed) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = pc_get_page(f_, 1);  // miss
  uint8_t* b = pc_get_page(f_, 2);
  for (uint8_t* p : {a, b}) ASSERT_NE(p, nullptr);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(b));
  ASSERT_EQ(pc_get_page(f_, 1), a);  // hit
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(a));
  pc_unpin_page(f_, b);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(b));
  pc_release_page(f_, a, 0);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(a));
  pc_release_page(f_, b, 1);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(b));
  uint8_t* c = pc_new_page(f_, 9);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(c));
  // Unpinning in the opposite order of pinning decides the victim order.
  pc_unpin_page(f_, c);
  pc_unpin_page(f_, a);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(a));
  EXPECT_EQ(pool_->lru_tail->lru_prev, pc_frame_of(c));
  EXPECT_EQ(pool_->lru_tail->lru_prev->lru_prev, pc_frame_of(b));
  EXPECT_EQ(pool_->lru_head->handle, -1);  // the three untouched frames lead
}

TEST_F(PageCache, FailedWriteBackDuringReuseKeepsTheFrameDirtyAndMovesOn) {
  ASSERT_NO_FATAL_FAILURE(start(12));
  uint8_t* p[7] = {};
  for (int i = 1; i <= 6; ++i) ASSERT_NE(p[i] = change(f_, i, 0, static_cast<uint8_t>(0xC0 + i)), nullptr);
  FaultIo fault;
  fault.arm(IoKind::Write, 1);  // the write-back of page 1 fails
  uint8_t* q = pc_get_page(f_, 7);
  ASSERT_EQ(q, p[2]);
  EXPECT_EQ(pc_error, kPcIoFailed);  // warns that a write-back failed on the way
  EXPECT_EQ(fault.plan().failures, 1);
  EXPECT_EQ(pc_frame_of(p[1])->page, 1);
  EXPECT_EQ(pc_frame_of(p[1])->dirty, 1);
  EXPECT_EQ(file_bytes("a.ix", 512, 1), page_pattern(1, 512).substr(0, 1));
  EXPECT_EQ(disk_byte(1024), 0xC2);
  pc_unpin_page(f_, q);

  // Frame 1 kept its place at the head: it is the next victim, and this
  // time its write-back goes through.
  fault.disarm();
  uint8_t* r = pc_get_page(f_, 8);
  ASSERT_EQ(r, p[1]);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(disk_byte(512), 0xC1);
  pc_unpin_page(f_, r);
}

TEST_F(PageCache, WhenEveryWriteBackFailsNoFrameIsTaken) {
  ASSERT_NO_FATAL_FAILURE(start(12));
  std::string before = read_whole_file(dir_.file("a.ix"));
  for (int i = 1; i <= 6; ++i) ASSERT_NE(change(f_, i, 1, 0x3C), nullptr);
  FaultIo fault;
  fault.arm(IoKind::Write, 1, /*persistent=*/true);
  EXPECT_PC(pc_get_page(f_, 7), nullptr, kPcNoFrame);
  EXPECT_EQ(fault.plan().failures, 6);
  EXPECT_PC(pc_new_page(f_, 20), nullptr, kPcNoFrame);
  EXPECT_EQ(read_whole_file(dir_.file("a.ix")), before);
  for (int i = 1; i <= 6; ++i) {
    uint8_t* q = touch(f_, i);  // every page still cached, still dirty
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[1], 0x3C);
    EXPECT_EQ(pc_frame_of(q)->dirty, 1);
  }
  fault.disarm();
  EXPECT_EQ(pc_close(f_), 1);
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(disk_byte(512 * i + 1), 0x3C);
}

// --- flush, drop, close ----------------------------------------------------

TEST_F(PageCache, FlushWriteFailureKeepsThatFrameDirtyAndWritesTheRest) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = change(f_, 1, 0, 0x01);  // a is less recently used: flushed first
  uint8_t* b = change(f_, 2, 0, 0x02);
  for (uint8_t* p : {a, b}) ASSERT_NE(p, nullptr);
  FaultIo fault;
  fault.arm(IoKind::Write, 1);
  EXPECT_PC(pc_flush(f_), -1, kPcIoFailed);
  EXPECT_EQ(pc_frame_of(a)->dirty, 1);
  EXPECT_EQ(pc_frame_of(b)->dirty, 0);
  EXPECT_EQ(disk_byte(1024), 0x02);
  EXPECT_EQ(pc_has_dirty(f_), 1);
  fault.disarm();
  EXPECT_PC(pc_flush(f_), 1, kPcOk);
  EXPECT_EQ(disk_byte(512), 0x01);
}

TEST_F(PageCache, FlushReportsAFailedSyncAfterWritingEverything) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NE(change(f_, 4, 0, 0x44), nullptr);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1);
  EXPECT_PC(pc_flush(f_), -1, kPcIoFailed);
  EXPECT_EQ(pc_has_dirty(f_), 0);
  EXPECT_EQ(disk_byte(2048), 0x44);
  EXPECT_EQ(pc_flush(f_), 1);
}

// A flush to disk costs the same with nothing to write: after the first one
// since open, pc_flush leaves it out until something was written again.
TEST_F(PageCache, FlushGoesToDiskOnlyAfterWritesSinceTheLastOne) {
  ASSERT_NO_FATAL_FAILURE(start(12));
  FaultIo fault;
  fault.arm(IoKind::Flush, 1000000);  // counts, never fails
  // Flushes f_ and says how many flushes to disk there were so far.
  auto flush = [&] {
    EXPECT_EQ(pc_flush(f_), 1);
    return fault.plan().calls;
  };
  EXPECT_EQ(flush(), 1) << "the first flush after open always reaches the disk";
  EXPECT_EQ(flush(), 1);

  ASSERT_NE(change(f_, 4, 0, 0x44), nullptr);
  EXPECT_EQ(flush(), 2) << "a dirty page went out";

  pc_note_write(f_);  // the owner wrote to the handle itself
  EXPECT_EQ(flush(), 3);

  ASSERT_NE(change(f_, 5, 0, 0x55), nullptr);
  for (int32_t page = 6; page < 12; ++page) touch(f_, page);  // page 5 is written back on reuse
  EXPECT_EQ(disk_byte(5 * 512), 0x55);
  EXPECT_EQ(flush(), 4) << "a write-back on reuse counts as well";

  ASSERT_NE(change(f_, 6, 0, 0x66, 1), nullptr);  // written at once
  EXPECT_EQ(pc_sync(f_), 1);
  EXPECT_EQ(fault.plan().calls, 5);
  EXPECT_EQ(flush(), 5) << "pc_sync counts as the last flush";
}

// The dirty list holds exactly the frames whose dirty flag is set, through
// marking, writing at once, write-back on reuse, flush and drop.
TEST_F(PageCache, DirtyListFollowsTheDirtyFlags) {
  ASSERT_NO_FATAL_FAILURE(start(12));
  auto expect_list_matches_flags = [&](const char* when) {
    int flagged = 0;
    for (const PageFrame* fr = pool_->lru_head; fr != nullptr; fr = fr->lru_next) flagged += fr->dirty;
    int listed = 0;
    const PageFrame* prev = nullptr;
    for (const PageFrame* fr = pool_->dirty_head; fr != nullptr; fr = fr->dirty_next) {
      EXPECT_EQ(fr->dirty, 1) << when;
      EXPECT_EQ(fr->dirty_prev, prev) << when;
      prev = fr;
      ASSERT_LE(++listed, 6) << when;
    }
    EXPECT_EQ(listed, flagged) << when;
  };
  // Byte 7 of each changed page holds its number; page 2 is changed twice
  // and listed once, page 3 is written at once.
  for (int32_t page : {1, 2, 2}) ASSERT_NE(change(f_, page, 7, static_cast<uint8_t>(page)), nullptr);
  ASSERT_NE(change(f_, 3, 7, 3, 1), nullptr);
  expect_list_matches_flags("after marking");
  EXPECT_EQ(pc_has_dirty(f_), 1);
  for (int32_t page = 4; page < 12; ++page) touch(f_, page);  // 1 and 2 written back on reuse
  expect_list_matches_flags("after reuse");
  EXPECT_EQ(pc_has_dirty(f_), 0);
  EXPECT_EQ(disk_byte(2 * 512 + 7), 0x02);
  for (int32_t page : {5, 6, 7}) ASSERT_NE(change(f_, page, 7, static_cast<uint8_t>(page)), nullptr);
  ASSERT_EQ(pc_flush(f_), 1);
  expect_list_matches_flags("after flush");
  ASSERT_NE(change(f_, 8, 7, 8), nullptr);
  EXPECT_EQ(pc_drop_pages(f_), -1);  // a dirty frame dropped: 9
  expect_list_matches_flags("after drop");
  EXPECT_EQ(pool_->dirty_head, nullptr);
}

TEST_F(PageCache, AFailedFlushToDiskIsTriedAgainByTheNextFlush) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_EQ(pc_flush(f_), 1);
  pc_note_write(f_);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1);
  EXPECT_PC(pc_flush(f_), -1, kPcIoFailed);
  EXPECT_EQ(pc_flush(f_), 1);
  EXPECT_EQ(fault.plan().calls, 2);
}

TEST_F(PageCache, DropWithADirtyFrameFailsWith9AndDiscardsTheChange) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = change(f_, 1, 0, 37 ^ 0xFF);  // byte 0 of page 1 held 37
  ASSERT_NE(a, nullptr);
  EXPECT_PC(pc_drop_pages(f_), -1, kPcDirtyDrop);
  EXPECT_EQ(pc_has_dirty(f_), 0);
  EXPECT_EQ(pc_frame_of(a)->handle, -1);
  uint8_t* again = touch(f_, 1);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(bytes_at(again, 512), page_pattern(1, 512));
  EXPECT_EQ(file_bytes("a.ix", 512, 512), page_pattern(1, 512));
}

TEST_F(PageCache, DropWithAPinnedFrameFailsWith6AndUnpinsIt) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NE(pc_get_page(f_, 2), nullptr);
  EXPECT_PC(pc_drop_pages(f_), -1, kPcPinnedDrop);
  EXPECT_EQ(pc_pinned_count(f_), 0);
  EXPECT_PC(pc_drop_pages(f_), 1, kPcOk);
}

TEST_F(PageCache, DropSeesChangesMadeBehindTheCache) {
  ASSERT_NO_FATAL_FAILURE(start());
  PagedFile* g = open_file("b.ix");
  ASSERT_NE(g, nullptr);
  uint8_t* gp = touch(g, 1);
  ASSERT_NE(gp, nullptr);
  touch(f_, 1);
  // Another writer changes page 1 of a.ix on disk.
  std::string path = dir_.file("a.ix");
  std::string all = read_whole_file(path);
  all[512] = '\x5F';
  ASSERT_TRUE(write_whole_file(path, all));
  EXPECT_EQ(pc_drop_pages(f_), 1);
  uint8_t* p = touch(f_, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0x5F);
  EXPECT_EQ(pc_frame_of(gp)->handle, g->handle);  // the other file's page stays
  EXPECT_EQ(pc_frame_of(gp)->page, 1);
}

TEST_F(PageCache, CloseWritesDirtyPagesAndUnregisters) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NE(change(f_, 5, 9, 0x66), nullptr);
  EXPECT_EQ(pc_close(f_), 1);
  EXPECT_EQ(pc_files.contains(f_), 0);
  EXPECT_EQ(disk_byte(5 * 512 + 9), 0x66);
  // The handle is closed: an exclusive open of the file succeeds.
  EXPECT_TRUE(opens_exclusively(dir_.file("a.ix")));
}

TEST_F(PageCache, CloseReportsAFailedSyncEvenThoughTheDropSucceeds) {
  ASSERT_NO_FATAL_FAILURE(start());
  FaultIo fault;
  fault.arm(IoKind::Flush, 1);
  EXPECT_PC(pc_close(f_), -1, kPcIoFailed);
  EXPECT_EQ(pc_files.contains(f_), 0);
}

TEST_F(PageCache, CloseWithAPinnedPageFails) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = pc_get_page(f_, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_PC(pc_close(f_), -1, kPcPinnedDrop);
  EXPECT_EQ(pc_frame_of(a)->handle, -1);
  EXPECT_EQ(pc_frame_of(a)->pins, 0);
}

// --- opening ---------------------------------------------------------------

TEST_F(PageCache, FileWithLargerPagesThanThePoolIsRefused) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* before = pc_files.head;
  EXPECT_PC(open_file("big.ix", 1024, 2), nullptr, kPcPageTooLarge);
  EXPECT_EQ(pc_files.head, before);
  EXPECT_TRUE(opens_exclusively(dir_.file("big.ix")));  // the refused open was closed
  EXPECT_NE(open_file("fits.ix", 512, 2), nullptr);
}

TEST_F(PageCache, FailedOpensLeaveNothingOpen) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  EXPECT_PC(pc_open(dir_.file("missing.ix").c_str(), pool_, 1, 0), nullptr, kPcIoFailed);
  EXPECT_EQ(pc_files.head, nullptr);

  std::string empty = dir_.file("empty.ix");
  ASSERT_TRUE(write_whole_file(empty, ""));
  EXPECT_PC(pc_open(empty.c_str(), pool_, 0, 0), nullptr, kPcIoFailed);
  EXPECT_EQ(pc_files.head, nullptr);
  EXPECT_TRUE(opens_exclusively(empty));

  make_file("ok.ix", 512, 2);
  {
    FaultIo fault;
    fault.arm(IoKind::Open, 1);
    EXPECT_PC(pc_open(dir_.file("ok.ix").c_str(), pool_, 1, 0), nullptr, kPcIoFailed);
  }
  EXPECT_EQ(pc_files.head, nullptr);
}

TEST_F(PageCache, ReadOnlyOpenReadsButItsWritesFail) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("ro.ix", 512, 4, /*read_only=*/1);
  ASSERT_NE(f, nullptr);
  uint8_t* p = pc_get_page(f, 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes_at(p, 512), page_pattern(2, 512));
  p[0] ^= 1;
  EXPECT_PC(pc_release_page(f, p, 1), -1, kPcIoFailed);
  ASSERT_EQ(pc_get_page(f, 2), p);
  EXPECT_EQ(pc_release_page(f, p, 0), 1);
  EXPECT_PC(pc_flush(f), -1, kPcIoFailed);
  EXPECT_EQ(pc_drop_pages(f), -1);
  EXPECT_EQ(read_whole_file(dir_.file("ro.ix")).substr(1024, 512), page_pattern(2, 512));
}

// --- pools -----------------------------------------------------------------

TEST_F(PageCache, PoolDestroyWritesDirtyFramesEvenWhenPinned) {
  ASSERT_NO_FATAL_FAILURE(start());
  uint8_t* a = change(f_, 3, 0, 0x33);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(pc_get_page(f_, 3), a);  // pinned and dirty
  EXPECT_PC(pc_pool_destroy(pool_), 1, kPcOk);
  EXPECT_EQ(pc_pools.contains(pool_), 0);
  EXPECT_EQ(disk_byte(1536), 0x33);
  close_orphaned_file();
}

TEST_F(PageCache, PoolDestroyReportsAFailedWriteBack) {
  ASSERT_NO_FATAL_FAILURE(start());
  for (int i = 1; i <= 2; ++i) ASSERT_NE(change(f_, i, 0, 0x10), nullptr);
  FaultIo fault;
  fault.arm(IoKind::Write, 1);
  EXPECT_PC(pc_pool_destroy(pool_), -1, kPcIoFailed);
  EXPECT_EQ(fault.plan().calls, 2);  // the walk went on after the failure
  EXPECT_EQ(pc_pools.contains(pool_), 0);
  close_orphaned_file();
}

TEST_F(PageCache, AddAndRemoveFrames) {
  ASSERT_NE(make_pool(512, 4), nullptr);
  EXPECT_EQ(frames_in_lru(pool_), 4);
  EXPECT_PC(pc_add_frames(pool_, 3), 3, kPcOk);
  EXPECT_EQ(frames_in_lru(pool_), 7);

  PagedFile* f = open_file("a.ix", 512, 10);
  ASSERT_NE(f, nullptr);
  uint8_t* pinned1 = pc_get_page(f, 1);
  uint8_t* pinned2 = pc_get_page(f, 2);
  ASSERT_NE(change(f, 3, 0, 0x7E), nullptr);

  // Only the five unpinned frames can go; the dirty one is written first.
  EXPECT_PC(pc_remove_frames(pool_, 100), 5, kPcOk);
  EXPECT_EQ(frames_in_lru(pool_), 2);
  EXPECT_EQ(disk_byte(1536), 0x7E);
  EXPECT_EQ(pc_frame_of(pinned1)->page, 1);
  EXPECT_EQ(pc_frame_of(pinned2)->page, 2);
  EXPECT_PC(pc_get_page(f, 4), nullptr, kPcNoFrame);

  EXPECT_EQ(pc_add_frames(pool_, 1), 1);
  uint8_t* p4 = pc_get_page(f, 4);
  ASSERT_NE(p4, nullptr);
  EXPECT_EQ(bytes_at(p4, 512), page_pattern(4, 512));
  for (uint8_t* p : {pinned1, pinned2, p4}) pc_unpin_page(f, p);
  EXPECT_EQ(pc_remove_frames(pool_, 2), 2);
  EXPECT_EQ(frames_in_lru(pool_), 1);
}

TEST_F(PageCache, AddedFramesAreReusedBeforeCachedPages) {
  ASSERT_NO_FATAL_FAILURE(start(8, 3));
  uint8_t* p[4] = {};
  for (int i = 1; i <= 3; ++i) ASSERT_NE(p[i] = touch(f_, i), nullptr);
  ASSERT_EQ(pc_add_frames(pool_, 2), 2);
  for (int32_t page : {4, 5}) touch(f_, page);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(pc_frame_of(p[i])->page, i);
  touch(f_, 6);
  EXPECT_EQ(pc_frame_of(p[1])->page, 6);
}

TEST_F(PageCache, UnregisteredPoolIsRefused) {
  PagePool stray{};
  EXPECT_PC(pc_add_frames(&stray, 2), 0, kPcNoPool);
  EXPECT_EQ(stray.lru_head, nullptr);
  EXPECT_PC(pc_remove_frames(&stray, 2), 0, kPcNoPool);
  EXPECT_PC(pc_pool_destroy(&stray), -1, kPcNoPool);

  ASSERT_NE(make_pool(512, 2), nullptr);
  ASSERT_EQ(pc_pool_destroy(pool_), 1);
  EXPECT_PC(pc_pool_destroy(pool_), -1, kPcNoPool);  // already gone
  pool_ = nullptr;
}

}  // namespace
