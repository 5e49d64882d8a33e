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
#include "support/fault_io.h"
#include "support/temp_dir.h"

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

  PagedFile* open_file(const std::string& name, int page_size = 512, int pages = 8) {
    PagedFile* f = pc_open(make_file(name, page_size, pages).c_str(), pool_, 1, 0);
    if (f != nullptr) files_.push_back(f);
    return f;
  }

  // Gets and unpins a page: afterwards it is cached and most recently used.
  void touch(PagedFile* f, int32_t page) {
    uint8_t* p = pc_get_page(f, page);
    ASSERT_NE(p, nullptr) << "page " << page << ", pc_error " << pc_error;
    pc_unpin_page(f, p);
  }

  std::string file_bytes(const std::string& name, int offset, int length) {
    std::string all = read_whole_file(dir_.file(name));
    if (static_cast<size_t>(offset + length) > all.size()) return "";
    return all.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
  }

  TempDir dir_;
  PagePool* pool_ = nullptr;
  std::vector<PagedFile*> files_;
};

// --- pinning ---------------------------------------------------------------

TEST_F(PageCache, AllFramesPinnedRefusesUncachedPagesButServesCachedOnes) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 10);
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t*> held;
  for (int p = 1; p <= 6; ++p) {
    held.push_back(pc_get_page(f, p));
    ASSERT_NE(held.back(), nullptr);
  }
  EXPECT_EQ(pc_get_page(f, 7), nullptr);
  EXPECT_EQ(pc_error, kPcNoFrame);
  EXPECT_EQ(pc_new_page(f, 12), nullptr);
  EXPECT_EQ(pc_error, kPcNoFrame);

  uint8_t* again = pc_get_page(f, 3);
  EXPECT_EQ(again, held[2]);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(pc_frame_of(again)->pins, 2);
  pc_unpin_page(f, again);
  for (uint8_t* p : held) pc_unpin_page(f, p);
  EXPECT_EQ(pc_pinned_count(f), 0);
  EXPECT_NE(pc_get_page(f, 7), nullptr);
}

TEST_F(PageCache, SecondGetReturnsSamePointerAndNeedsTwoReleases) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 2);
  uint8_t* b = pc_get_page(f, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(pc_frame_of(a)->pins, 2);
  EXPECT_EQ(pc_release_page(f, a, 0), 1);
  EXPECT_EQ(pc_frame_of(a)->pins, 1);
  EXPECT_EQ(pc_pinned_count(f), 1);
  EXPECT_EQ(pc_unpin_page(f, a), 1);
  EXPECT_EQ(pc_pinned_count(f), 0);
}

TEST_F(PageCache, ReleasingAnUnpinnedFrameKeepsPinCountAtZero) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 1);
  ASSERT_NE(a, nullptr);
  pc_unpin_page(f, a);
  EXPECT_EQ(pc_unpin_page(f, a), 1);
  EXPECT_EQ(pc_frame_of(a)->pins, 0);
  EXPECT_EQ(pc_release_page(f, a, 0), 1);
  EXPECT_EQ(pc_frame_of(a)->pins, 0);
}

// --- reading and writing ---------------------------------------------------

TEST_F(PageCache, PageThreeOfA512ByteFileIsReadFromByte1536) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 5);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->page_size, 512);
  uint8_t* p = pc_get_page(f, 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes_at(p, 512), file_bytes("a.ix", 1536, 512));
  pc_unpin_page(f, p);
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
  p = pc_get_page(f, 1);
  ASSERT_NE(p, nullptr);
  p[127] = 0xDD;
  ASSERT_EQ(pc_release_page(f, p, 0), 1);
  for (int i = 0; i < 6; ++i) {
    uint8_t* n = pc_new_page(f, 100 + i);
    ASSERT_NE(n, nullptr);
    pc_unpin_page(f, n);
  }
  EXPECT_NE(pc_frame_of(p)->page, 1);  // the frame was reused
  on_disk = read_whole_file(dir_.file("small.ix"));
  ASSERT_EQ(on_disk.size(), 6u * 128);
  EXPECT_EQ(static_cast<uint8_t>(on_disk[255]), 0xDD);
  EXPECT_EQ(on_disk.substr(256, 128), page_pattern(2, 128));
}

TEST_F(PageCache, ReadPastTheEndFailsAndLeavesThePageUncached) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 4);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(pc_get_page(f, 9), nullptr);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_pinned_count(f), 0);
  // Extending the file makes the page readable: nothing stale was cached.
  std::string path = dir_.file("a.ix");
  std::string all = read_whole_file(path);
  for (int p = 4; p < 10; ++p) all += page_pattern(p, 512);
  ASSERT_TRUE(write_whole_file(path, all));
  uint8_t* p9 = pc_get_page(f, 9);
  ASSERT_NE(p9, nullptr);
  EXPECT_EQ(bytes_at(p9, 512), page_pattern(9, 512));
  pc_unpin_page(f, p9);
}

TEST_F(PageCache, WriteNowOfPageZeroBeforeAnyWriteWritesNothing) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  std::string before = read_whole_file(dir_.file("a.ix"));
  uint8_t* p0 = pc_get_page(f, 0);
  ASSERT_NE(p0, nullptr);
  p0[100] ^= 0xFF;
  EXPECT_EQ(pc_release_page(f, p0, 1), 1);
  EXPECT_EQ(read_whole_file(dir_.file("a.ix")), before);
  EXPECT_EQ(pc_frame_of(p0)->dirty, 0);
  EXPECT_EQ(pc_has_dirty(f), 0);
}

TEST_F(PageCache, WriteNowOfPageZeroAfterAWriteIsWritten) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* p2 = pc_get_page(f, 2);
  ASSERT_NE(p2, nullptr);
  p2[7] = 0x42;
  ASSERT_EQ(pc_release_page(f, p2, 1), 1);
  EXPECT_EQ(file_bytes("a.ix", 1024 + 7, 1), std::string(1, '\x42'));

  uint8_t* p0 = pc_get_page(f, 0);
  ASSERT_NE(p0, nullptr);
  p0[100] = 0x99;
  ASSERT_EQ(pc_release_page(f, p0, 1), 1);
  EXPECT_EQ(file_bytes("a.ix", 100, 1), std::string(1, '\x99'));
}

TEST_F(PageCache, MarkingAPageDirtyAlsoEnablesPageZeroWrites) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* p1 = pc_get_page(f, 1);
  ASSERT_NE(p1, nullptr);
  ASSERT_EQ(pc_release_page(f, p1, 0), 1);  // dirty, not written
  uint8_t* p0 = pc_get_page(f, 0);
  ASSERT_NE(p0, nullptr);
  p0[50] = 0x5A;
  ASSERT_EQ(pc_release_page(f, p0, 1), 1);
  EXPECT_EQ(file_bytes("a.ix", 50, 1), std::string(1, '\x5A'));
}

TEST_F(PageCache, FailedWriteNowReleasesThePinAndKeepsTheDirtyFlag) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  FaultIo fault;
  uint8_t* p = pc_get_page(f, 2);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(pc_release_page(f, p, 0), 1);
  ASSERT_EQ(pc_get_page(f, 2), p);
  p[3] = 0x11;
  fault.arm(IoKind::Write, 1);
  EXPECT_EQ(pc_release_page(f, p, 1), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_frame_of(p)->pins, 0);
  EXPECT_EQ(pc_frame_of(p)->dirty, 1);
  fault.disarm();
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(file_bytes("a.ix", 1024 + 3, 1), std::string(1, '\x11'));
}

TEST_F(PageCache, NewPageIsZeroFilledCleanAndReachesTheFileOnlyWhenReleased) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 3);
  ASSERT_NE(f, nullptr);
  // Fill every frame with file data first so the new page lands on a used one.
  for (int round = 0; round < 2; ++round)
    for (int p = 0; p < 3; ++p) touch(f, p);
  for (int p = 3; p < 9; ++p) {
    uint8_t* q = pc_new_page(f, p);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(bytes_at(q, 512), std::string(512, '\0'));
    EXPECT_EQ(pc_frame_of(q)->dirty, 0);
    pc_unpin_page(f, q);
  }
  EXPECT_EQ(read_whole_file(dir_.file("a.ix")).size(), 3u * 512);
  EXPECT_EQ(pc_has_dirty(f), 0);

  uint8_t* q = pc_new_page(f, 3);
  ASSERT_NE(q, nullptr);
  q[0] = 0x77;
  ASSERT_EQ(pc_release_page(f, q, 0), 1);
  EXPECT_EQ(pc_has_dirty(f), 1);
  ASSERT_EQ(pc_flush(f), 1);
  EXPECT_EQ(pc_has_dirty(f), 0);
  EXPECT_EQ(file_bytes("a.ix", 1536, 1), std::string(1, '\x77'));
}

class PageCacheBuckets : public PageCache {
 protected:
  // Caches each page as a new page and expects it in exactly the chain of
  // bucket (handle + page) mod `buckets`.
  void ExpectPlacement(PagedFile* f, const std::vector<int32_t>& pages, int buckets) {
    ASSERT_EQ(pool_->bucket_count, buckets);
    const int h = f->handle;
    for (int32_t page : pages) {
      uint8_t* d = pc_new_page(f, page);
      ASSERT_NE(d, nullptr);
      pc_unpin_page(f, d);
    }
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
  ASSERT_NE(make_pool(512, 8), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  const int h = f->handle;
  ExpectPlacement(f, {0, 5, 63 - h, 64 - h, 1000, -h - 1, -h - 1000, -h - 64}, 64);
}

TEST_F(PageCacheBuckets, SixtyFourFramesStillUseSixtyFourChains) {
  ASSERT_NE(make_pool(512, 64), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  ExpectPlacement(f, {1, 2, 64, 65, 130}, 64);
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
    uint8_t* d = pc_get_page(f, page);
    ASSERT_NE(d, nullptr) << "page " << page;
    EXPECT_EQ(pc_frame_of(d)->page, page);
    pc_unpin_page(f, d);
  }
}

TEST_F(PageCache, PagesOfTwoFilesInOneBucketStayApart) {
  ASSERT_NE(make_pool(512, 8), nullptr);
  PagedFile* a = open_file("a.ix", 512, 80);
  PagedFile* b = open_file("b.ix", 256, 80);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  // Same bucket: a's page 10 and b's page 10 + (a.handle - b.handle) (+64).
  int pb = 10 + a->handle - b->handle + 64;
  ASSERT_GE(pb, 0);
  ASSERT_LT(pb, 80);
  uint8_t* x = pc_get_page(a, 10);
  uint8_t* y = pc_get_page(b, pb);
  uint8_t* z = pc_get_page(b, 10);
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  ASSERT_NE(z, nullptr);
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
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 12);
  ASSERT_NE(f, nullptr);
  uint8_t* p[7] = {};
  for (int i = 1; i <= 6; ++i) {
    p[i] = pc_get_page(f, i);
    ASSERT_NE(p[i], nullptr);
    pc_unpin_page(f, p[i]);
  }
  // Recency now 1 < 2 < ... < 6. Touch 1, pin 2: the next victims are 3, then 4.
  ASSERT_EQ(pc_get_page(f, 1), p[1]);
  pc_unpin_page(f, p[1]);
  ASSERT_EQ(pc_get_page(f, 2), p[2]);

  uint8_t* q7 = pc_get_page(f, 7);
  ASSERT_EQ(q7, p[3]);
  EXPECT_EQ(pc_frame_of(p[3])->page, 7);
  uint8_t* q8 = pc_get_page(f, 8);
  ASSERT_EQ(q8, p[4]);
  pc_unpin_page(f, q7);
  pc_unpin_page(f, q8);
  // 1 was touched after 5 and 6, so after 5 and 6 it is the next one.
  touch(f, 9);
  touch(f, 10);
  EXPECT_EQ(pc_frame_of(p[5])->page, 9);
  EXPECT_EQ(pc_frame_of(p[6])->page, 10);
  EXPECT_EQ(pc_frame_of(p[1])->page, 1);
  EXPECT_EQ(pc_frame_of(p[2])->page, 2);  // pinned the whole time
  pc_unpin_page(f, p[2]);
}

TEST_F(PageCache, EveryAccessMakesTheFrameMostRecentlyUsed) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 1);  // miss
  uint8_t* b = pc_get_page(f, 2);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(b));
  ASSERT_EQ(pc_get_page(f, 1), a);  // hit
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(a));
  pc_unpin_page(f, b);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(b));
  pc_release_page(f, a, 0);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(a));
  pc_release_page(f, b, 1);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(b));
  uint8_t* c = pc_new_page(f, 9);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(c));
  // Unpinning in the opposite order of pinning decides the victim order.
  pc_unpin_page(f, c);
  pc_unpin_page(f, a);
  EXPECT_EQ(pool_->lru_tail, pc_frame_of(a));
  EXPECT_EQ(pool_->lru_tail->lru_prev, pc_frame_of(c));
  EXPECT_EQ(pool_->lru_tail->lru_prev->lru_prev, pc_frame_of(b));
  EXPECT_EQ(pool_->lru_head->handle, -1);  // the three untouched frames lead
}

TEST_F(PageCache, FailedWriteBackDuringReuseKeepsTheFrameDirtyAndMovesOn) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 12);
  ASSERT_NE(f, nullptr);
  uint8_t* p[7] = {};
  for (int i = 1; i <= 6; ++i) {
    p[i] = pc_get_page(f, i);
    ASSERT_NE(p[i], nullptr);
    p[i][0] = static_cast<uint8_t>(0xC0 + i);
    ASSERT_EQ(pc_release_page(f, p[i], 0), 1);
  }
  FaultIo fault;
  fault.arm(IoKind::Write, 1);  // the write-back of page 1 fails
  uint8_t* q = pc_get_page(f, 7);
  ASSERT_EQ(q, p[2]);
  EXPECT_EQ(pc_error, kPcIoFailed);  // warns that a write-back failed on the way
  EXPECT_EQ(fault.plan().failures, 1);
  EXPECT_EQ(pc_frame_of(p[1])->page, 1);
  EXPECT_EQ(pc_frame_of(p[1])->dirty, 1);
  EXPECT_EQ(file_bytes("a.ix", 512, 1), page_pattern(1, 512).substr(0, 1));
  EXPECT_EQ(file_bytes("a.ix", 1024, 1), std::string(1, '\xC2'));
  pc_unpin_page(f, q);

  // Frame 1 kept its place at the head: it is the next victim, and this
  // time its write-back goes through.
  fault.disarm();
  uint8_t* r = pc_get_page(f, 8);
  ASSERT_EQ(r, p[1]);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(file_bytes("a.ix", 512, 1), std::string(1, '\xC1'));
  pc_unpin_page(f, r);
}

TEST_F(PageCache, WhenEveryWriteBackFailsNoFrameIsTaken) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 12);
  ASSERT_NE(f, nullptr);
  std::string before = read_whole_file(dir_.file("a.ix"));
  for (int i = 1; i <= 6; ++i) {
    uint8_t* q = pc_get_page(f, i);
    ASSERT_NE(q, nullptr);
    q[1] = 0x3C;
    ASSERT_EQ(pc_release_page(f, q, 0), 1);
  }
  FaultIo fault;
  fault.arm(IoKind::Write, 1, /*persistent=*/true);
  EXPECT_EQ(pc_get_page(f, 7), nullptr);
  EXPECT_EQ(pc_error, kPcNoFrame);
  EXPECT_EQ(fault.plan().failures, 6);
  EXPECT_EQ(pc_new_page(f, 20), nullptr);
  EXPECT_EQ(pc_error, kPcNoFrame);
  EXPECT_EQ(read_whole_file(dir_.file("a.ix")), before);
  for (int i = 1; i <= 6; ++i) {
    uint8_t* q = pc_get_page(f, i);  // every page still cached, still dirty
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[1], 0x3C);
    EXPECT_EQ(pc_frame_of(q)->dirty, 1);
    pc_unpin_page(f, q);
  }
  fault.disarm();
  EXPECT_EQ(pc_close(f), 1);
  std::string after = read_whole_file(dir_.file("a.ix"));
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(after[static_cast<size_t>(512 * i + 1)], '\x3C');
}

// --- flush, drop, close ----------------------------------------------------

TEST_F(PageCache, FlushWriteFailureKeepsThatFrameDirtyAndWritesTheRest) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 1);
  uint8_t* b = pc_get_page(f, 2);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a[0] = 0x01;
  b[0] = 0x02;
  pc_release_page(f, a, 0);  // a is less recently used: flushed first
  pc_release_page(f, b, 0);
  FaultIo fault;
  fault.arm(IoKind::Write, 1);
  EXPECT_EQ(pc_flush(f), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_frame_of(a)->dirty, 1);
  EXPECT_EQ(pc_frame_of(b)->dirty, 0);
  EXPECT_EQ(file_bytes("a.ix", 1024, 1), std::string(1, '\x02'));
  EXPECT_EQ(pc_has_dirty(f), 1);
  fault.disarm();
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(file_bytes("a.ix", 512, 1), std::string(1, '\x01'));
}

TEST_F(PageCache, FlushReportsAFailedSyncAfterWritingEverything) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 4);
  ASSERT_NE(a, nullptr);
  a[0] = 0x44;
  pc_release_page(f, a, 0);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1);
  EXPECT_EQ(pc_flush(f), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_has_dirty(f), 0);
  EXPECT_EQ(file_bytes("a.ix", 2048, 1), std::string(1, '\x44'));
  EXPECT_EQ(pc_flush(f), 1);
}

// A flush to disk costs the same with nothing to write: after the first one
// since open, pc_flush leaves it out until something was written again.
TEST_F(PageCache, FlushGoesToDiskOnlyAfterWritesSinceTheLastOne) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 12);
  ASSERT_NE(f, nullptr);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1000000);  // counts, never fails
  auto flushes = [&] { return fault.plan().calls; };
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(flushes(), 1) << "the first flush after open always reaches the disk";
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(flushes(), 1);

  uint8_t* a = pc_get_page(f, 4);
  ASSERT_NE(a, nullptr);
  a[0] = 0x44;
  pc_release_page(f, a, 0);
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(flushes(), 2) << "a dirty page went out";

  pc_note_write(f);  // the owner wrote to the handle itself
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(flushes(), 3);

  a = pc_get_page(f, 5);
  ASSERT_NE(a, nullptr);
  a[0] = 0x55;
  pc_release_page(f, a, 0);
  for (int32_t page = 6; page < 12; ++page) touch(f, page);  // page 5 is written back on reuse
  EXPECT_EQ(file_bytes("a.ix", 5 * 512, 1), std::string(1, '\x55'));
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(flushes(), 4) << "a write-back on reuse counts as well";

  a = pc_get_page(f, 6);
  ASSERT_NE(a, nullptr);
  pc_release_page(f, a, 1);  // written at once
  EXPECT_EQ(pc_sync(f), 1);
  EXPECT_EQ(flushes(), 5);
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(flushes(), 5) << "pc_sync counts as the last flush";
}

// The dirty list holds exactly the frames whose dirty flag is set, through
// marking, writing at once, write-back on reuse, flush and drop.
TEST_F(PageCache, DirtyListFollowsTheDirtyFlags) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix", 512, 12);
  ASSERT_NE(f, nullptr);
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
  auto release = [&](int32_t page, int write_now) {
    uint8_t* d = pc_get_page(f, page);
    ASSERT_NE(d, nullptr);
    d[7] = static_cast<uint8_t>(page);
    ASSERT_EQ(pc_release_page(f, d, write_now), 1);
  };
  release(1, 0);
  release(2, 0);
  release(2, 0);  // twice dirty, listed once
  release(3, 1);
  expect_list_matches_flags("after marking");
  EXPECT_EQ(pc_has_dirty(f), 1);
  for (int32_t page = 4; page < 12; ++page) touch(f, page);  // 1 and 2 written back on reuse
  expect_list_matches_flags("after reuse");
  EXPECT_EQ(pc_has_dirty(f), 0);
  EXPECT_EQ(file_bytes("a.ix", 2 * 512 + 7, 1), std::string(1, '\x02'));
  release(5, 0);
  release(6, 0);
  release(7, 0);
  ASSERT_EQ(pc_flush(f), 1);
  expect_list_matches_flags("after flush");
  release(8, 0);
  EXPECT_EQ(pc_drop_pages(f), -1);  // a dirty frame dropped: 9
  expect_list_matches_flags("after drop");
  EXPECT_EQ(pool_->dirty_head, nullptr);
}

TEST_F(PageCache, AFailedFlushToDiskIsTriedAgainByTheNextFlush) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(pc_flush(f), 1);
  pc_note_write(f);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1);
  EXPECT_EQ(pc_flush(f), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_flush(f), 1);
  EXPECT_EQ(fault.plan().calls, 2);
}

TEST_F(PageCache, DropWithADirtyFrameFailsWith9AndDiscardsTheChange) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 1);
  ASSERT_NE(a, nullptr);
  a[0] ^= 0xFF;
  pc_release_page(f, a, 0);
  EXPECT_EQ(pc_drop_pages(f), -1);
  EXPECT_EQ(pc_error, kPcDirtyDrop);
  EXPECT_EQ(pc_has_dirty(f), 0);
  EXPECT_EQ(pc_frame_of(a)->handle, -1);
  uint8_t* again = pc_get_page(f, 1);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(bytes_at(again, 512), page_pattern(1, 512));
  pc_unpin_page(f, again);
  EXPECT_EQ(file_bytes("a.ix", 512, 512), page_pattern(1, 512));
}

TEST_F(PageCache, DropWithAPinnedFrameFailsWith6AndUnpinsIt) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  ASSERT_NE(pc_get_page(f, 2), nullptr);
  EXPECT_EQ(pc_drop_pages(f), -1);
  EXPECT_EQ(pc_error, kPcPinnedDrop);
  EXPECT_EQ(pc_pinned_count(f), 0);
  EXPECT_EQ(pc_drop_pages(f), 1);
  EXPECT_EQ(pc_error, kPcOk);
}

TEST_F(PageCache, DropSeesChangesMadeBehindTheCache) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  PagedFile* g = open_file("b.ix");
  ASSERT_NE(f, nullptr);
  ASSERT_NE(g, nullptr);
  uint8_t* gp = pc_get_page(g, 1);
  ASSERT_NE(gp, nullptr);
  pc_unpin_page(g, gp);
  touch(f, 1);
  // Another writer changes page 1 of a.ix on disk.
  std::string path = dir_.file("a.ix");
  std::string all = read_whole_file(path);
  all[512] = '\x5F';
  ASSERT_TRUE(write_whole_file(path, all));
  EXPECT_EQ(pc_drop_pages(f), 1);
  uint8_t* p = pc_get_page(f, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0x5F);
  pc_unpin_page(f, p);
  EXPECT_EQ(pc_frame_of(gp)->handle, g->handle);  // the other file's page stays
  EXPECT_EQ(pc_frame_of(gp)->page, 1);
}

TEST_F(PageCache, CloseWritesDirtyPagesAndUnregisters) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 5);
  ASSERT_NE(a, nullptr);
  a[9] = 0x66;
  pc_release_page(f, a, 0);
  EXPECT_EQ(pc_close(f), 1);
  EXPECT_EQ(pc_files.contains(f), 0);
  EXPECT_EQ(file_bytes("a.ix", 5 * 512 + 9, 1), std::string(1, '\x66'));
  // The handle is closed: an exclusive open of the file succeeds.
  int h = io_open(dir_.file("a.ix").c_str(), 1, 0);
  EXPECT_GE(h, 0);
  if (h >= 0) io_close(h);
}

TEST_F(PageCache, CloseReportsAFailedSyncEvenThoughTheDropSucceeds) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  FaultIo fault;
  fault.arm(IoKind::Flush, 1);
  EXPECT_EQ(pc_close(f), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_files.contains(f), 0);
}

TEST_F(PageCache, CloseWithAPinnedPageFails) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(pc_close(f), -1);
  EXPECT_EQ(pc_error, kPcPinnedDrop);
  EXPECT_EQ(pc_frame_of(a)->handle, -1);
  EXPECT_EQ(pc_frame_of(a)->pins, 0);
}

// --- opening ---------------------------------------------------------------

TEST_F(PageCache, FileWithLargerPagesThanThePoolIsRefused) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* before = pc_files.head;
  EXPECT_EQ(open_file("big.ix", 1024, 2), nullptr);
  EXPECT_EQ(pc_error, kPcPageTooLarge);
  EXPECT_EQ(pc_files.head, before);
  int h = io_open(dir_.file("big.ix").c_str(), 1, 0);  // the refused open was closed
  EXPECT_GE(h, 0);
  if (h >= 0) io_close(h);
  EXPECT_NE(open_file("fits.ix", 512, 2), nullptr);
}

TEST_F(PageCache, FailedOpensLeaveNothingOpen) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  EXPECT_EQ(pc_open(dir_.file("missing.ix").c_str(), pool_, 1, 0), nullptr);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_files.head, nullptr);

  std::string empty = dir_.file("empty.ix");
  ASSERT_TRUE(write_whole_file(empty, ""));
  EXPECT_EQ(pc_open(empty.c_str(), pool_, 0, 0), nullptr);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_files.head, nullptr);
  int h = io_open(empty.c_str(), 1, 0);
  EXPECT_GE(h, 0);
  if (h >= 0) io_close(h);

  make_file("ok.ix", 512, 2);
  {
    FaultIo fault;
    fault.arm(IoKind::Open, 1);
    EXPECT_EQ(pc_open(dir_.file("ok.ix").c_str(), pool_, 1, 0), nullptr);
    EXPECT_EQ(pc_error, kPcIoFailed);
  }
  EXPECT_EQ(pc_files.head, nullptr);
}

TEST_F(PageCache, ReadOnlyOpenReadsButItsWritesFail) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  make_file("ro.ix", 512, 4);
  PagedFile* f = pc_open(dir_.file("ro.ix").c_str(), pool_, 1, 1);
  ASSERT_NE(f, nullptr);
  files_.push_back(f);
  uint8_t* p = pc_get_page(f, 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes_at(p, 512), page_pattern(2, 512));
  p[0] ^= 1;
  EXPECT_EQ(pc_release_page(f, p, 1), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  ASSERT_EQ(pc_get_page(f, 2), p);
  EXPECT_EQ(pc_release_page(f, p, 0), 1);
  EXPECT_EQ(pc_flush(f), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(pc_drop_pages(f), -1);
  EXPECT_EQ(read_whole_file(dir_.file("ro.ix")).substr(1024, 512), page_pattern(2, 512));
}

// --- pools -----------------------------------------------------------------

TEST_F(PageCache, PoolDestroyWritesDirtyFramesEvenWhenPinned) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  uint8_t* a = pc_get_page(f, 3);
  ASSERT_NE(a, nullptr);
  a[0] = 0x33;
  pc_release_page(f, a, 0);
  ASSERT_EQ(pc_get_page(f, 3), a);  // pinned and dirty
  EXPECT_EQ(pc_pool_destroy(pool_), 1);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(pc_pools.contains(pool_), 0);
  EXPECT_EQ(file_bytes("a.ix", 1536, 1), std::string(1, '\x33'));
  // The paged file outlived its pool; take it down by hand.
  io_close(f->handle);
  pc_files.remove(f);
  delete f;
  files_.clear();
  pool_ = nullptr;
}

TEST_F(PageCache, PoolDestroyReportsAFailedWriteBack) {
  ASSERT_NE(make_pool(512, 6), nullptr);
  PagedFile* f = open_file("a.ix");
  ASSERT_NE(f, nullptr);
  for (int i = 1; i <= 2; ++i) {
    uint8_t* q = pc_get_page(f, i);
    ASSERT_NE(q, nullptr);
    q[0] = 0x10;
    pc_release_page(f, q, 0);
  }
  FaultIo fault;
  fault.arm(IoKind::Write, 1);
  EXPECT_EQ(pc_pool_destroy(pool_), -1);
  EXPECT_EQ(pc_error, kPcIoFailed);
  EXPECT_EQ(fault.plan().calls, 2);  // the walk went on after the failure
  EXPECT_EQ(pc_pools.contains(pool_), 0);
  io_close(f->handle);
  pc_files.remove(f);
  delete f;
  files_.clear();
  pool_ = nullptr;
}

TEST_F(PageCache, AddAndRemoveFrames) {
  ASSERT_NE(make_pool(512, 4), nullptr);
  EXPECT_EQ(frames_in_lru(pool_), 4);
  EXPECT_EQ(pc_add_frames(pool_, 3), 3);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(frames_in_lru(pool_), 7);

  PagedFile* f = open_file("a.ix", 512, 10);
  ASSERT_NE(f, nullptr);
  uint8_t* pinned1 = pc_get_page(f, 1);
  uint8_t* pinned2 = pc_get_page(f, 2);
  uint8_t* dirty = pc_get_page(f, 3);
  ASSERT_NE(dirty, nullptr);
  dirty[0] = 0x7E;
  pc_release_page(f, dirty, 0);

  // Only the five unpinned frames can go; the dirty one is written first.
  EXPECT_EQ(pc_remove_frames(pool_, 100), 5);
  EXPECT_EQ(pc_error, kPcOk);
  EXPECT_EQ(frames_in_lru(pool_), 2);
  EXPECT_EQ(file_bytes("a.ix", 1536, 1), std::string(1, '\x7E'));
  EXPECT_EQ(pc_frame_of(pinned1)->page, 1);
  EXPECT_EQ(pc_frame_of(pinned2)->page, 2);
  EXPECT_EQ(pc_get_page(f, 4), nullptr);
  EXPECT_EQ(pc_error, kPcNoFrame);

  EXPECT_EQ(pc_add_frames(pool_, 1), 1);
  uint8_t* p4 = pc_get_page(f, 4);
  ASSERT_NE(p4, nullptr);
  EXPECT_EQ(bytes_at(p4, 512), page_pattern(4, 512));
  for (uint8_t* p : {pinned1, pinned2, p4}) pc_unpin_page(f, p);
  EXPECT_EQ(pc_remove_frames(pool_, 2), 2);
  EXPECT_EQ(frames_in_lru(pool_), 1);
}

TEST_F(PageCache, AddedFramesAreReusedBeforeCachedPages) {
  ASSERT_NE(make_pool(512, 3), nullptr);
  PagedFile* f = open_file("a.ix", 512, 8);
  ASSERT_NE(f, nullptr);
  uint8_t* p[4] = {};
  for (int i = 1; i <= 3; ++i) {
    p[i] = pc_get_page(f, i);
    ASSERT_NE(p[i], nullptr);
    pc_unpin_page(f, p[i]);
  }
  ASSERT_EQ(pc_add_frames(pool_, 2), 2);
  touch(f, 4);
  touch(f, 5);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(pc_frame_of(p[i])->page, i);
  touch(f, 6);
  EXPECT_EQ(pc_frame_of(p[1])->page, 6);
}

TEST_F(PageCache, UnregisteredPoolIsRefused) {
  PagePool stray{};
  EXPECT_EQ(pc_add_frames(&stray, 2), 0);
  EXPECT_EQ(pc_error, kPcNoPool);
  EXPECT_EQ(stray.lru_head, nullptr);
  EXPECT_EQ(pc_remove_frames(&stray, 2), 0);
  EXPECT_EQ(pc_error, kPcNoPool);
  EXPECT_EQ(pc_pool_destroy(&stray), -1);
  EXPECT_EQ(pc_error, kPcNoPool);

  ASSERT_NE(make_pool(512, 2), nullptr);
  ASSERT_EQ(pc_pool_destroy(pool_), 1);
  EXPECT_EQ(pc_pool_destroy(pool_), -1);  // already gone
  EXPECT_EQ(pc_error, kPcNoPool);
  pool_ = nullptr;
}

}  // namespace
