// Index files in one process: the bytes of a new file, header
// checks at open, sharing of one IndexFile, the key order, handles no longer
// open, header counters at their ends, injected I/O failures.
#include <climits>
#include <set>
#include <functional>
#include <unistd.h>

#include "btree/tree_test_support.h"
#include "support/expect_error.h"
#include "support/fault_io.h"

#define EXPECT_IX(call, result, error) EXPECT_LEAVES(call, result, ix_error, error)

namespace {

using namespace tree_test;

// Writes a file of `length` bytes holding only a header made from `h`.
void write_header_file(const std::string& path, const IndexHeader& h, int length) {
  std::string bytes(static_cast<size_t>(length), '\0');
  ix_header_encode(h, reinterpret_cast<uint8_t*>(bytes.data()));
  ASSERT_TRUE(write_whole_file(path, bytes));
}

class IndexFileTest : public TreeTest {
 protected:
  void SetUp() override { Restart(16, 512); }
};


TEST_F(IndexFileTest, NewFileIsOneZeroedPageBehindItsHeader) {
  ASSERT_EQ(ix_close(Create(512)), 1);
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
  EXPECT_EQ(read_whole_file(path_), expected);
}


// Which ix_error each kind of bad file gets at open; the checksum guards
// only the first 24 bytes (24/25 itself, 3 root_page; 26 format, 29
// change_count and 33 entry_total lie outside).
TEST_F(IndexFileTest, BadFilesAreRefusedAtOpen) {
  ASSERT_EQ(ix_close(Filled(512, 3)), 1);
  const std::string golden = read_whole_file(path_);
  for (int offset : {24, 25, 3, 26, 29, 33}) {
    std::string flipped = golden;
    flipped[offset] = static_cast<char>(flipped[offset] ^ 0x10);
    ASSERT_TRUE(write_whole_file(path_, flipped));
    IndexHandle* h = Open();
    EXPECT_EQ(h != nullptr, offset > 25) << "offset " << offset;
    if (h != nullptr) EXPECT_EQ(ix_close(h), 1);
    else EXPECT_EQ(ix_error, kIxBadChecksum);
  }
  ASSERT_TRUE(write_whole_file(path_, ""));
  EXPECT_IX(Open(), nullptr, kIxOpenFailed);  // not even a page size to read
  EXPECT_IX(ix_page_size(path_.c_str()), -1, kIxReadFailed);
  ASSERT_TRUE(write_whole_file(path_, std::string("\x00\x02", 2) + std::string(18, '\0')));
  EXPECT_IX(Open(1), nullptr, kIxReadFailed);  // shorter than its header
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
    write_header_file(path_, r.header, r.header.page_size);
    EXPECT_IX(Open(), nullptr, r.error);
  }
  EXPECT_EQ(ix_files.head, nullptr);
  // A header that claims more pages than the file holds fails at the first read past the end.
  write_header_file(path_, {.page_size = 512, .last_page = 5}, 2 * 512);
  IndexHandle* h = Open();
  ASSERT_NE(h, nullptr);
  EXPECT_IX(ix_page_get(h->file, 3), nullptr, kIxReadFailed);
  for (int32_t outside : {0, -1, 6}) EXPECT_IX(ix_page_get(h->file, outside), nullptr, kIxDamaged);
}

TEST_F(IndexFileTest, OpeningTwiceSharesOneFileAndOneSharingMode) {
  ASSERT_EQ(ix_close(Create(512)), 1);
  IndexHandle *a = Open(), *b = Open(0, 1);
  ASSERT_TRUE(a != nullptr && b != nullptr && a->file == b->file);
  EXPECT_EQ(a->file->open_count, 2);
  EXPECT_IX(Open(1), nullptr, kIxSharedMismatch);
  ASSERT_EQ(ix_close(a) + ix_close(b), 2);
  EXPECT_EQ(ix_files.head, nullptr);
  ASSERT_NE(Open(1), nullptr);
  EXPECT_IX(Open(0), nullptr, kIxSharedMismatch);
}

// Every operation on a handle that is no longer open fails with ix_error 19.
TEST_F(IndexFileTest, ClosedHandleIsRefusedByEveryOperation) {
  IndexHandle* h = Filled(512, 3);
  ASSERT_EQ(ix_close(h), 1);
  int32_t r = 0;
  int length = 0;
  uint8_t buf[8];
  std::string findings;
  const std::pair<const char*, std::function<int()>> ops[] = {
      {"insert", [&] { return put(h, "q", 1); }},  {"delete", [&] { return del(h, key_of(0), 0); }},
      {"replace", [&] { return replace(h, key_of(0), 0, "q", 1); }},
      {"find", [&] { return find(h, key_of(0), &r); }},
      {"seek", [&] { return ix_seek(h, bytes(key_of(0)), 7, &r); }},
      {"next", [&] { return ix_next(h, &r); }},    {"prev", [&] { return ix_prev(h, &r); }},
      {"last", [&] { return ix_last(h, &r); }},    {"current", [&] { return ix_current(h, &r); }},
      {"current key", [&] { return ix_current_key(h, buf, 8); }},
      {"key length", [&] { return ix_current_key_length(h, &length); }},
      {"flush", [&] { return ix_flush(h); }},      {"verify", [&] { return ix_verify(h, collect_finding, &findings, 5); }},
      {"close", [&] { return ix_close(h); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    EXPECT_IX(op(), -1, kIxBadHandle);
  }
}

TEST_F(IndexFileTest, DefaultCompareFoldsLettersAndGivesExactSigns) {
  struct Row {
    const char *a, *b;
    int want;
  };
  for (const Row& r : {Row{"Key", "kEY", 0}, Row{"", "", 0}, Row{"", "a", -1}, Row{"a", "", 1}, Row{"ab", "abc", -1},
                       Row{"ABD", "abc", 1}, Row{"\xff", "\x01", 1}, Row{"\x01", "\xff", -1},  // unsigned bytes
                       Row{"[", "a", -1}, Row{"Z", "[", 1}}) {  // only A-Z fold
    EXPECT_EQ(key_compare(r.a, r.b), r.want) << r.a << " vs " << r.b;
  }
}

// Regression (found by fuzzing): entry_total and change_count, outside the checksum, overflowed as signed ++/--.
TEST_F(IndexFileTest, HeaderCountersWrapAround) {
  IndexHandle* h = Create(128);
  IndexHeader& hd = h->file->header;
  hd.entry_total = hd.change_count = INT32_MAX;
  ASSERT_EQ(put(h, "a", 1, 0), 1);
  EXPECT_EQ(hd.entry_total, INT32_MIN);
  EXPECT_EQ(hd.change_count, INT32_MIN);
  ASSERT_EQ(del(h, "a", 1), 1);
  EXPECT_EQ(hd.entry_total, INT32_MAX);
  // Two 90-byte keys do not share a 128-byte leaf: the replace removes, then inserts.
  ASSERT_EQ(put(h, std::string(90, 'k'), 1, 0), 1);
  ASSERT_EQ(put(h, "b", 2, 0), 1);
  hd.entry_total = INT32_MIN;
  ASSERT_EQ(replace(h, "b", 2, std::string(90, 'm'), 2, 0), 1);
  EXPECT_EQ(hd.entry_total, INT32_MIN);
}


// --- injected failures: each comes back as -1 with the layer's error ---------

TEST_F(IndexFileTest, FailedWritesFlushesAndReadsAreReported) {
  FaultIo fio;
  fio.arm(IoKind::Write, 1);
  EXPECT_IX(ix_create(dir_.file("w.idx").c_str(), nullptr, 512), nullptr, kIxWriteFailed);
  EXPECT_EQ(ix_files.head, nullptr);
  fio.disarm();
  IndexHandle* h = Filled(512, 3);
  int32_t n;
  fio.arm(IoKind::Write, 1);
  EXPECT_IX(ix_alloc_page(h->file, &n), nullptr, kIxWriteFailed);
  EXPECT_EQ(h->file->header.last_page, 1);
  fio.arm(IoKind::Flush, 1);
  EXPECT_IX(ix_flush(h), -1, kIxFlushFailed);
  fio.disarm();
  std::set<int> sites = {ix_error_site};  // each failing step names itself
  ASSERT_NE(ix_page_get(h->file, 1), nullptr);  // still pinned at the close
  EXPECT_IX(ix_close(h), -1, kIxCloseFailed);
  sites.insert(ix_error_site);
  EXPECT_EQ(ix_flush(h), -1);
  sites.insert(ix_error_site);
  ASSERT_EQ(ix_close(Filled(512, 3, "r.idx")), 1);

  // A shared handle reads the header before each operation: its failure ends
  // the operation, a cursor's revalidation included.
  h = Open(1);
  ASSERT_NE(h, nullptr);
  int32_t ref = 0;
  ASSERT_EQ(find(h, key_of(1), &ref), 2);
  std::string findings;
  const std::pair<const char*, std::function<int()>> ops[] = {
      {"current", [&] { return ix_current(h, &ref); }}, {"next", [&] { return ix_next(h, &ref); }},
      {"find", [&] { return find(h, key_of(0), &ref); }}, {"insert", [&] { return put(h, "q", 1); }},
      {"replace", [&] { return replace(h, key_of(0), 0, "q", 1); }},
      {"verify", [&] { return ix_verify(h, collect_finding, &findings, 5); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    fio.arm(IoKind::Read, 1);
    EXPECT_IX(op(), -1, kIxReadFailed);
    fio.disarm();
  }
  EXPECT_EQ(h->file->lock_state, 0);
  ExpectSound(h);
  // Another writer's commit (change_count moved): the cursor's page is read
  // again, and that read fails.
  ASSERT_EQ(find(h, key_of(1), &ref), 2);
  std::string file = read_whole_file(path_);
  file[28] = 9;
  ASSERT_TRUE(write_whole_file(path_, file));
  fio.arm(IoKind::Read, 2, true);
  EXPECT_IX(ix_current(h, &ref), -1, kIxReadFailed);
  EXPECT_EQ(fio.plan().failures, 1);
  fio.disarm();
  ASSERT_EQ(ix_shutdown(), 1);
  EXPECT_EQ(ix_shutdown(), -1);
  sites.insert(ix_error_site);
  EXPECT_EQ(sites.size(), 4u);
}



}  // namespace
