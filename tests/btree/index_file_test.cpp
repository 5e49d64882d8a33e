// Index files in one process: the start-up of the shared pool, the bytes of
// a new file, header checks at open, page sizes, sharing of one IndexFile,
// the free list, when the header reaches the disk, damaged input and
// injected I/O failures.
#include "btree/index_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/node.h"
#include "support/expect_error.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"

#define EXPECT_IX(call, result, error) EXPECT_LEAVES(call, result, ix_error, error)

namespace {

int frames_in(const PagePool* pool) {
  int n = 0;
  for (const PageFrame* f = pool->lru_head; f != nullptr; f = f->lru_next) ++n;
  return n;
}

class Startup : public ::testing::Test {
 protected:
  void TearDown() override {
    if (ix_pool() != nullptr) {
      EXPECT_EQ(pc_pool_destroy(ix_pool()), 1);
    }
    ix_reset_startup();
    g_file_io = io_default_table();
  }
};

TEST_F(Startup, NotStartedReportsZero) {
  EXPECT_EQ(ix_started(), 0);
  EXPECT_EQ(ix_started_frames(), 0);
  EXPECT_EQ(ix_pool(), nullptr);
}

// Zero asks for the defaults, 16 frames of 512 bytes; other frame counts
// below 6 become 6, other page sizes below 36 become 512.
TEST_F(Startup, ArgumentsAreDefaultedRaisedOrKept) {
  struct Row {
    const char* name;
    int frames, page_size, want_frames, want_page_size;
  };
  for (const Row& r : {Row{"zero arguments give 16 frames of 512", 0, 0, 16, 512},
                       Row{"small arguments are raised", 3, 20, 6, 512},
                       Row{"a page size just below the smallest becomes 512", 5, 35, 6, 512},
                       Row{"the smallest accepted values are kept", 6, 36, 6, 36},
                       Row{"given values are kept", 16, 40, 16, 40}}) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(ix_startup(r.frames, r.page_size), 1);
    EXPECT_EQ(ix_last_operation(), 1);
    EXPECT_EQ(ix_started(), r.want_page_size);
    EXPECT_EQ(ix_last_operation(), 24);
    EXPECT_EQ(ix_started_frames(), r.want_frames);
    ASSERT_NE(ix_pool(), nullptr);
    EXPECT_EQ(frames_in(ix_pool()), r.want_frames);
    EXPECT_EQ(ix_pool()->page_size, r.want_page_size);
    EXPECT_EQ(pc_pool_destroy(ix_pool()), 1);
    ix_reset_startup();
  }
}

TEST_F(Startup, SecondStartupFailsAndKeepsTheFirstPool) {
  ASSERT_EQ(ix_startup(8, 1024), 1);
  PagePool* first = ix_pool();
  ix_error = 0;
  ix_error_site = 0;
  EXPECT_EQ(ix_startup(0, 0), -1);
  EXPECT_EQ(ix_last_error(), 4);
  EXPECT_EQ(ix_last_error_site(), 4);
  EXPECT_EQ(ix_last_operation(), 1);
  EXPECT_EQ(ix_pool(), first);
  EXPECT_EQ(pc_pools.contains(first), 1);
  EXPECT_EQ(pc_pools.head, first);  // no second pool was made
  EXPECT_EQ(ix_started(), 1024);
  EXPECT_EQ(ix_started_frames(), 8);
}

int fake_sleep(int) { return 1; }

TEST_F(Startup, FillsEverySlotWithItsDefault) {
  g_file_io.sleep = fake_sleep;
  ASSERT_EQ(ix_startup(0, 0), 1);
  EXPECT_EQ(g_file_io.sleep, io_default_table().sleep);
}

TEST_F(Startup, StartsAgainAfterShutdown) {
  ASSERT_EQ(ix_startup(0, 0), 1);
  ASSERT_EQ(pc_pool_destroy(ix_pool()), 1);
  ix_reset_startup();
  EXPECT_EQ(ix_started(), 0);
  ASSERT_EQ(ix_startup(7, 256), 1);
  EXPECT_EQ(ix_started(), 256);
  EXPECT_EQ(frames_in(ix_pool()), 7);
}

void patch(const std::string& path, int32_t offset, const std::vector<uint8_t>& bytes) {
  int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

long file_length(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

IndexHeader disk_header(const std::string& path) {
  std::string bytes = read_whole_file(path);
  IndexHeader h;
  h.page_size = -1;
  if (bytes.size() >= kIxHeaderSize) ix_header_decode(reinterpret_cast<const uint8_t*>(bytes.data()), &h);
  return h;
}

// Writes a file holding only a header page made from `h`.
void write_header_file(const std::string& path, const IndexHeader& h, int length) {
  std::string bytes(static_cast<size_t>(length), '\0');
  uint8_t raw[kIxHeaderSize];
  ix_header_encode(h, raw);
  bytes.replace(0, kIxHeaderSize, reinterpret_cast<const char*>(raw), kIxHeaderSize);
  ASSERT_TRUE(write_whole_file(path, bytes));
}

class IndexFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ix_startup(16, 512), 1); }
  void TearDown() override {
    g_file_io = io_default_table();
    while (ix_pool() != nullptr && ix_shutdown() != 1) {
    }
  }
  std::string path(const char* name) const { return dir_.file(name); }

  // Creates p_ with 512-byte pages: h_ is its handle, f_ its index file.
  void create(const char* name) {
    p_ = path(name);
    h_ = ix_create(p_.c_str(), nullptr, 512);
    ASSERT_NE(h_, nullptr);
    f_ = h_->file;
  }

  // Makes p_ with make_file and opens it again into h_ and f_.
  void open_made(const char* name, int pages, int shared) {
    p_ = path(name);
    ASSERT_NO_FATAL_FAILURE(make_file(p_, pages));
    h_ = ix_open(p_.c_str(), nullptr, shared, 0);
    ASSERT_NE(h_, nullptr);
    f_ = h_->file;
  }

  // A closed file of 512-byte pages with `pages` empty leaves; byte 100 of
  // page p holds 'a' + p.
  void make_file(const std::string& p, int pages) {
    IndexHandle* h = ix_create(p.c_str(), nullptr, 512);
    ASSERT_NE(h, nullptr);
    IndexFile* f = h->file;
    ASSERT_EQ(ix_begin_write(f), 1);
    for (int i = 0; i < pages; ++i) {
      int32_t n;
      uint8_t* d = ix_alloc_page(f, &n);
      ASSERT_NE(d, nullptr);
      node_init_leaf(d, 512, 0, 0);
      d[100] = static_cast<uint8_t>('a' + n);
      ix_page_dirty(f, d);
    }
    ASSERT_EQ(ix_commit(f), 1);
    ASSERT_EQ(ix_close(h), 1);
  }

  TempDir dir_;
  std::string p_;
  IndexHandle* h_ = nullptr;
  IndexFile* f_ = nullptr;
};

TEST_F(IndexFileTest, NewFileIsOneZeroedPageBehindItsHeader) {
  ASSERT_NO_FATAL_FAILURE(create("new.idx"));
  ASSERT_EQ(ix_close(h_), 1);
  const unsigned char head[kIxHeaderSize] = {
      0x00, 0x02,              // page_size 512
      0, 0, 0, 0, 0, 0, 0, 0,  // root_page, last_page
      0, 0, 0, 0, 0, 0, 0, 0,  // first_leaf, last_leaf
      0, 0, 0, 0, 0, 0,        // free_head, height
      0x00, 0x02,              // checksum: only page_size is not zero
      0x2C, 0x01,              // format 300
      0, 0, 0, 0, 0, 0, 0, 0,  // change_count, entry_total
  };
  std::string expected(512, '\0');
  expected.replace(0, kIxHeaderSize, reinterpret_cast<const char*>(head), kIxHeaderSize);
  EXPECT_EQ(read_whole_file(p_), expected);
}

TEST_F(IndexFileTest, PageSizeIsDefaultedRaisedOrRefused) {
  IndexHandle* h = ix_create(path("zero").c_str(), nullptr, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->file->header.page_size, 512);
  h = ix_create(path("fifty").c_str(), nullptr, 50);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ix_close(h), 1);
  EXPECT_EQ(file_length(path("fifty")), 92);
  EXPECT_EQ(ix_page_size(path("fifty").c_str()), 92);

  EXPECT_IX(ix_create(path("big").c_str(), nullptr, 513), nullptr, kIxPageTooLarge);
  EXPECT_EQ(file_length(path("big")), -1);

  ASSERT_EQ(ix_shutdown(), 1);
  EXPECT_IX(ix_create(path("cold").c_str(), nullptr, 512), nullptr, kIxNotStarted);
  ASSERT_EQ(ix_startup(16, 512), 1);
}

TEST_F(IndexFileTest, ChecksumGuardsOnlyTheFirst24Bytes) {
  std::string golden = path("golden.idx"), p = path("t.idx");
  make_file(golden, 1);
  std::string bytes = read_whole_file(golden);
  struct Case {
    int offset;
    bool opens;
  };
  // 24/25: the checksum itself; 3: root_page; 26, 29, 33: format,
  // change_count and entry_total, outside the checksum.
  for (Case c : {Case{24, false}, Case{25, false}, Case{3, false}, Case{26, true}, Case{29, true}, Case{33, true}}) {
    std::string flipped = bytes;
    flipped[c.offset] = static_cast<char>(flipped[c.offset] ^ 0x10);
    ASSERT_TRUE(write_whole_file(p, flipped));
    IndexHandle* h = ix_open(p.c_str(), nullptr, 0, 0);
    if (c.opens) {
      EXPECT_NE(h, nullptr) << "offset " << c.offset;
      if (h != nullptr) {
        EXPECT_EQ(ix_close(h), 1);
      }
    } else {
      EXPECT_EQ(h, nullptr) << "offset " << c.offset;
      EXPECT_EQ(ix_error, kIxBadChecksum);
    }
  }
}

TEST_F(IndexFileTest, OpeningTwiceSharesOneFileAndOneSharingMode) {
  std::string p = path("two.idx");
  make_file(p, 0);
  IndexHandle* a = ix_open(p.c_str(), nullptr, 0, 0);
  IndexHandle* b = ix_open(p.c_str(), nullptr, 0, 1);
  for (IndexHandle* h : {a, b}) ASSERT_NE(h, nullptr);
  EXPECT_EQ(a->file, b->file);
  EXPECT_EQ(a->file->open_count, 2);
  EXPECT_IX(ix_open(p.c_str(), nullptr, 1, 0), nullptr, kIxSharedMismatch);
  ASSERT_EQ(ix_close(a), 1);
  EXPECT_EQ(b->file->open_count, 1);
  EXPECT_IX(ix_flush(a), -1, kIxBadHandle);  // a is gone
  ASSERT_EQ(ix_close(b), 1);
  EXPECT_EQ(ix_files.head, nullptr);

  IndexHandle* s = ix_open(p.c_str(), nullptr, 1, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_IX(ix_open(p.c_str(), nullptr, 0, 0), nullptr, kIxSharedMismatch);
  EXPECT_EQ(s->file->open_count, 1);
}

TEST_F(IndexFileTest, FreedPagesComeBackLastFreedFirstBeforeTheFileGrows) {
  ASSERT_NO_FATAL_FAILURE(create("free.idx"));
  ASSERT_EQ(ix_begin_write(f_), 1);
  uint8_t* pg[4];
  int32_t n[4];
  for (int i = 1; i <= 3; ++i) {
    pg[i] = ix_alloc_page(f_, &n[i]);
    ASSERT_NE(pg[i], nullptr);
    ASSERT_EQ(n[i], i);
    node_init_leaf(pg[i], 512, i - 1, i < 3 ? i + 1 : 0);
  }
  f_->header.first_leaf = 1;
  f_->header.last_leaf = 3;
  ix_page_dirty(f_, pg[2]);
  ix_page_dirty(f_, pg[3]);
  EXPECT_EQ(file_length(p_), 4 * 512);

  // Page 1, the first leaf: the leaf chain now starts at 2.
  ASSERT_EQ(ix_free_page(f_, 1, pg[1]), 1);
  ix_page_dirty(f_, pg[1]);
  EXPECT_EQ(f_->header.first_leaf, 2);
  uint8_t* three = ix_page_get(f_, 3);
  ASSERT_NE(three, nullptr);
  ASSERT_EQ(ix_free_page(f_, 3, three), 1);
  ix_page_dirty(f_, three);
  EXPECT_EQ(f_->header.last_leaf, 2);
  EXPECT_EQ(f_->header.free_head, 3);
  uint8_t* two = ix_page_get(f_, 2);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(node_prev_page(two), 0);
  EXPECT_EQ(node_next_page(two), 0);
  ix_page_unpin(f_, two);
  three = ix_page_get(f_, 3);
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(node_first_child(three), 0);
  EXPECT_EQ(node_entry_count(three), 0);
  EXPECT_EQ(node_prev_page(three), 1);  // the next free page
  ix_page_unpin(f_, three);

  int32_t got;
  for (int32_t want : {3, 1}) {
    uint8_t* d = ix_alloc_page(f_, &got);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(got, want);
    node_init_leaf(d, 512, 0, 0);
    ix_page_dirty(f_, d);
  }
  EXPECT_EQ(file_length(p_), 4 * 512);
  uint8_t* d = ix_alloc_page(f_, &got);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(got, 4);
  ix_page_unpin(f_, d);
  EXPECT_EQ(file_length(p_), 5 * 512);
  ASSERT_EQ(ix_commit(f_), 1);
  ASSERT_EQ(ix_close(h_), 1);
  IndexHeader disk = disk_header(p_);
  EXPECT_EQ(disk.last_page, 4);
  EXPECT_EQ(disk.free_head, 0);
}

TEST_F(IndexFileTest, NotSharedHeaderReachesDiskOnlyAtFlushAfterAPageChange) {
  ASSERT_NO_FATAL_FAILURE(create("late.idx"));
  ASSERT_EQ(ix_begin_write(f_), 1);
  int32_t n;
  uint8_t* d = ix_alloc_page(f_, &n);
  ASSERT_NE(d, nullptr);
  ix_page_dirty(f_, d);
  ASSERT_EQ(ix_commit(f_), 1);
  ASSERT_EQ(ix_commit(f_), 1);
  EXPECT_EQ(disk_header(p_).change_count, 0);
  EXPECT_EQ(disk_header(p_).last_page, 0);
  ASSERT_EQ(ix_flush(h_), 1);
  EXPECT_EQ(disk_header(p_).change_count, 2);
  EXPECT_EQ(disk_header(p_).last_page, 1);
  ASSERT_EQ(ix_close(h_), 1);

  // Opened again: a commit that touched no page leaves the disk header alone.
  IndexHandle* h = ix_open(p_.c_str(), nullptr, 0, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ix_begin_write(h->file), 1);
  ASSERT_EQ(ix_commit(h->file), 1);
  EXPECT_EQ(h->file->header.change_count, 3);
  ASSERT_EQ(ix_close(h), 1);
  EXPECT_EQ(disk_header(p_).change_count, 2);
}

// An exclusive file whose header and pages are on disk already is neither
// written nor flushed again: the close after a flush costs no disk flush.
TEST_F(IndexFileTest, FlushOfAnUnchangedFileWritesAndSyncsNothing) {
  ASSERT_NO_FATAL_FAILURE(create("quiet.idx"));
  IndexHandle* second = ix_open(p_.c_str(), nullptr, 0, 0);
  ASSERT_NE(second, nullptr);
  const uint8_t key[] = {'k'};
  ASSERT_EQ(ix_insert(h_, key, 1, 7, 0), 1);
  ASSERT_EQ(ix_flush(h_), 1);
  EXPECT_EQ(disk_header(p_).entry_total, 1);
  {
    FaultIo fio;
    fio.arm(IoKind::Any, 1000000);  // counts every call, fails none
    ASSERT_EQ(ix_flush(h_), 1);
    ASSERT_EQ(ix_close(second), 1);
    EXPECT_EQ(fio.plan().calls, 0);

    // A change brings the header write and the disk flush back.
    const uint8_t other[] = {'m'};
    ASSERT_EQ(ix_insert(h_, other, 1, 8, 0), 1);
    fio.arm(IoKind::Flush, 1000000);
    ASSERT_EQ(ix_flush(h_), 1);
    EXPECT_EQ(fio.plan().calls, 1);
    EXPECT_EQ(disk_header(p_).entry_total, 2);
    fio.arm(IoKind::Flush, 1000000);
    ASSERT_EQ(ix_close(h_), 1);
    EXPECT_EQ(fio.plan().calls, 0) << "the last close after a flush";
  }
  IndexHandle* h = ix_open(p_.c_str(), nullptr, 0, 0);
  ASSERT_NE(h, nullptr);
  int32_t ref = 0;
  const uint8_t m[] = {'m'};
  EXPECT_EQ(ix_find(h, m, 1, &ref), 2);
  EXPECT_EQ(ref, 8);
  EXPECT_EQ(ix_close(h), 1);
}

// Which ix_error each kind of bad file gets at open.
TEST_F(IndexFileTest, BadFilesAreRefusedAtOpen) {
  std::string p = path("bad.idx");
  ASSERT_TRUE(write_whole_file(p, ""));
  EXPECT_IX(ix_open(p.c_str(), nullptr, 0, 0), nullptr, kIxOpenFailed);  // not even a page size to read
  EXPECT_IX(ix_page_size(p.c_str()), -1, kIxReadFailed);

  ASSERT_TRUE(write_whole_file(p, std::string("\x00\x02", 2) + std::string(18, '\0')));
  EXPECT_IX(ix_open(p.c_str(), nullptr, 1, 0), nullptr, kIxReadFailed);  // shorter than its header

  // A header with a good checksum, in a file of one page of its page size.
  struct Row {
    const char* name;
    IndexHeader header;
    int error;
  };
  for (const Row& r : {Row{"pages too small", {.page_size = 80}, kIxDamaged},
                       Row{"pages larger than the pool's", {.page_size = 1024}, kIxPageTooLarge},
                       Row{"a last page below 0", {.page_size = 512, .last_page = -1}, kIxDamaged},
                       Row{"the root past the last page", {.page_size = 512, .root_page = 3, .last_page = 2}, kIxDamaged}}) {
    SCOPED_TRACE(r.name);
    write_header_file(p, r.header, r.header.page_size);
    EXPECT_IX(ix_open(p.c_str(), nullptr, 0, 0), nullptr, r.error);
  }
  EXPECT_EQ(ix_files.head, nullptr);
}

TEST_F(IndexFileTest, PagesPastTheFileEndFailAtTheirFirstRead) {
  std::string p = path("short.idx");
  write_header_file(p, {.page_size = 512, .last_page = 5}, 2 * 512);
  IndexHandle* ih = ix_open(p.c_str(), nullptr, 0, 0);
  ASSERT_NE(ih, nullptr);
  IndexFile* f = ih->file;
  uint8_t* first = ix_page_get(f, 1);
  ASSERT_NE(first, nullptr);
  ix_page_unpin(f, first);
  EXPECT_IX(ix_page_get(f, 3), nullptr, kIxReadFailed);
  for (int32_t outside : {0, -1, 6}) {
    EXPECT_IX(ix_page_get(f, outside), nullptr, kIxDamaged);
  }
}

TEST_F(IndexFileTest, LeftmostDescentIsBoundedByHeight) {
  ASSERT_NO_FATAL_FAILURE(open_made("deep.idx", 3, 0));
  for (int32_t page : {1, 2}) {
    uint8_t* d = ix_page_get(f_, page);
    ASSERT_NE(d, nullptr);
    node_init_internal(d, 512, page + 1, 0, 0);
    ix_page_dirty(f_, d);
  }
  int32_t leaf = 0;
  f_->header.height = 3;
  EXPECT_EQ(ix_descend_leftmost(f_, 1, &leaf), 1);
  EXPECT_EQ(leaf, 3);
  f_->header.height = 2;
  EXPECT_IX(ix_descend_leftmost(f_, 1, &leaf), -1, kIxDamaged);
  f_->header.height = 3;
  uint8_t* d = ix_page_get(f_, 2);
  ASSERT_NE(d, nullptr);
  node_set_first_child(d, 0);
  ix_page_dirty(f_, d);
  EXPECT_IX(ix_descend_leftmost(f_, 1, &leaf), -1, kIxDamaged);
}

TEST_F(IndexFileTest, DefaultCompareFoldsLettersAndGivesExactSigns) {
  auto cmp = [](const std::string& a, const std::string& b) {
    return ix_default_compare(reinterpret_cast<const uint8_t*>(a.data()), static_cast<int>(a.size()),
                              reinterpret_cast<const uint8_t*>(b.data()), static_cast<int>(b.size()));
  };
  EXPECT_EQ(cmp("Key", "kEY"), 0);
  EXPECT_EQ(cmp("", ""), 0);
  EXPECT_EQ(cmp("", "a"), -1);
  EXPECT_EQ(cmp("a", ""), 1);
  EXPECT_EQ(cmp("ab", "abc"), -1);
  EXPECT_EQ(cmp("ABD", "abc"), 1);
  EXPECT_EQ(cmp("\xff", "\x01"), 1);  // unsigned bytes, and exactly 1
  EXPECT_EQ(cmp("\x01", "\xff"), -1);
  EXPECT_EQ(cmp("[", "a"), -1);  // only A-Z fold: '[' stays below the letters
  EXPECT_EQ(cmp("Z", "["), 1);
}

// --- injected failures ------------------------------------------------------

TEST_F(IndexFileTest, SharedCommitReportsAFailedHeaderWrite) {
  ASSERT_NO_FATAL_FAILURE(open_made("c.idx", 1, 1));
  ASSERT_EQ(ix_begin_write(f_), 1);
  uint8_t* d = ix_page_get(f_, 1);
  ASSERT_NE(d, nullptr);
  d[100] = 'z';
  ix_page_dirty(f_, d);
  FaultIo fio;
  fio.arm(IoKind::Write, 1);
  EXPECT_IX(ix_commit(f_), -1, kIxWriteFailed);
  EXPECT_EQ(fio.plan().failures, 1);
  EXPECT_EQ(f_->lock_state, 0);  // the operation's writer lock is given back
  EXPECT_EQ(disk_header(p_).change_count, 1);
}

TEST_F(IndexFileTest, RefreshReportsAFailedHeaderRead) {
  ASSERT_NO_FATAL_FAILURE(open_made("r.idx", 1, 1));
  FaultIo fio;
  fio.arm(IoKind::Read, 1);
  EXPECT_IX(ix_refresh(f_), -1, kIxReadFailed);
  EXPECT_EQ(f_->header_valid, 0);
  fio.disarm();
  EXPECT_EQ(ix_end_op(f_), 1);
  EXPECT_EQ(f_->lock_state, 0);
  EXPECT_EQ(ix_refresh(f_), 1);
  EXPECT_EQ(ix_end_op(f_), 1);
}

TEST_F(IndexFileTest, RefreshReportsPagesThatCouldNotBeDroppedCleanly) {
  ASSERT_NO_FATAL_FAILURE(open_made("d.idx", 1, 1));
  ASSERT_EQ(ix_refresh(f_), 1);
  uint8_t* d = ix_page_get(f_, 1);  // still pinned when the change is noticed
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(ix_end_op(f_), 1);
  patch(p_, 28, {9, 0, 0, 0});  // change_count moved by someone else
  EXPECT_IX(ix_refresh(f_), -1, kIxDropFailed);
  EXPECT_EQ(f_->seen_change_count, 9);
  EXPECT_EQ(ix_end_op(f_), 1);
}

TEST_F(IndexFileTest, FailedWritesAreReported) {
  std::string p = path("w.idx");
  FaultIo fio;
  fio.arm(IoKind::Write, 1);
  EXPECT_IX(ix_create(p.c_str(), nullptr, 512), nullptr, kIxWriteFailed);
  EXPECT_EQ(ix_files.head, nullptr);
  fio.disarm();
  ASSERT_NO_FATAL_FAILURE(create("w.idx"));
  int32_t n;
  fio.arm(IoKind::Write, 1);
  EXPECT_IX(ix_alloc_page(f_, &n), nullptr, kIxWriteFailed);
  EXPECT_EQ(f_->header.last_page, 0);
  fio.disarm();
  uint8_t* d = ix_alloc_page(f_, &n);
  ASSERT_NE(d, nullptr);
  ix_page_dirty(f_, d);
  fio.arm(IoKind::Flush, 1);
  EXPECT_IX(ix_flush(h_), -1, kIxFlushFailed);
}

}  // namespace
