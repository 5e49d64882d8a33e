// Index files in one process: the bytes of a new file, bad files at open,
// closed handles, the key order, header counters at their ends, injected I/O
// failures; then damaged trees, which ix_verify reports.
#include <climits>
#include <functional>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "btree/tree_test_support.h"
#include "support/expect_error.h"
#include "support/fault_io.h"

#define EXPECT_IX(call, result, error) EXPECT_LEAVES(call, result, ix_error, error)

namespace {

using namespace tree_test;

class IndexFileTest : public TreeTest {
 protected:
  void SetUp() override { Restart(16, 512); }
  int Verify() {
    findings_.clear();
    return ix_verify(h_, collect_finding, &findings_, 50);
  }
  IndexHeader& Header() { return h_->file->header; }
  // Page `n` pinned for damage; Release() gives every such page back dirty.
  uint8_t* Edit(int32_t n) {
    uint8_t* p = ix_page_get(h_->file, n);
    EXPECT_NE(p, nullptr) << "page " << n;
    return p != nullptr ? edited_.emplace_back(p) : p;
  }
  // A new page of zeros, its number in page_; with `free`, the free list's head.
  uint8_t* Alloc(bool free = false) {
    uint8_t* p = ix_alloc_page(h_->file, &page_);
    if (free) Header().free_head = page_;
    return p != nullptr ? edited_.emplace_back(static_cast<uint8_t*>(memset(p, 0, Header().page_size))) : p;
  }
  void Release() {
    for (uint8_t* p : edited_) ix_page_dirty(h_->file, p);
    edited_.clear();
  }
  static uint8_t& KeyByte(uint8_t* pg, int i, int at) { return pg[entry_key_offset(node_entry(pg, i)) + at]; }

  IndexHandle* h_ = nullptr;
  std::string findings_;
  std::vector<uint8_t*> edited_;
  int32_t page_ = 0;
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

// Which ix_error each kind of bad file gets at open; the checksum guards only the first 24
// bytes (24/25 itself, 3 root_page; 26 format, 29 change_count and 33 entry_total lie outside).
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
    std::string page(static_cast<size_t>(r.header.page_size), '\0');  // holding only the header
    ix_header_encode(r.header, reinterpret_cast<uint8_t*>(page.data()));
    ASSERT_TRUE(write_whole_file(path_, page));
    EXPECT_IX(Open(), nullptr, r.error);
  }
  EXPECT_EQ(ix_files.head, nullptr);
  ASSERT_TRUE(write_whole_file(path_, golden));
  ASSERT_NE(Open(), nullptr);
  EXPECT_IX(Open(1), nullptr, kIxSharedMismatch);  // open unshared, not shared too (the other way round below)
}

TEST_F(IndexFileTest, ClosedHandleIsRefusedByEveryOperation) {
  IndexHandle* h = Filled(512, 3);
  ASSERT_EQ(ix_close(h), 1);
  int32_t r = 0;
  int length = 0;
  uint8_t buf[8];
  EXPECT_IX(put(h, "q", 1), -1, kIxBadHandle);
  EXPECT_IX(del(h, key_of(0), 0), -1, kIxBadHandle);
  EXPECT_IX(replace(h, key_of(0), 0, "q", 1), -1, kIxBadHandle);
  EXPECT_IX(ix_seek(h, bytes(key_of(0)), 7, &r), -1, kIxBadHandle);
  EXPECT_IX(ix_prev(h, &r), -1, kIxBadHandle);
  EXPECT_IX(ix_current_key(h, buf, 8), -1, kIxBadHandle);
  EXPECT_IX(ix_current_key_length(h, &length), -1, kIxBadHandle);
  EXPECT_IX(ix_flush(h), -1, kIxBadHandle);
  EXPECT_IX(ix_verify(h, collect_finding, &findings_, 5), -1, kIxBadHandle);
  EXPECT_IX(ix_close(h), -1, kIxBadHandle);
}

TEST_F(IndexFileTest, DefaultCompareFoldsLettersAndGivesExactSigns) {
  using Row = std::tuple<const char*, const char*, int>;
  for (const auto& [a, b, want] : {Row{"Key", "kEY", 0}, Row{"", "", 0}, Row{"", "a", -1}, Row{"a", "", 1},
                                   Row{"ab", "abc", -1}, Row{"ABD", "abc", 1}, Row{"\xff", "\x01", 1},
                                   Row{"\x01", "\xff", -1},                      // unsigned bytes
                                   Row{"[", "a", -1}, Row{"Z", "[", 1}}) {  // only A-Z fold
    EXPECT_EQ(key_compare(a, b), want) << a << " vs " << b;
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

// Injected failures outside the tree operations (the fault loop has those)
// come back as -1 with the layer's error, each step naming its site.
TEST_F(IndexFileTest, FailedWritesFlushesAndReadsAreReported) {
  FaultIo fio;
  fio.arm(IoKind::Write, 1);
  EXPECT_IX(ix_create(dir_.file("w.idx").c_str(), nullptr, 512), nullptr, kIxWriteFailed);
  EXPECT_EQ(ix_files.head, nullptr);
  IndexHandle* h = Filled(512, 3);
  fio.arm(IoKind::Flush, 1);
  EXPECT_IX(ix_flush(h), -1, kIxFlushFailed);
  fio.disarm();
  std::set<int> sites = {ix_error_site};
  ASSERT_NE(ix_page_get(h->file, 1), nullptr);  // still pinned at the close
  EXPECT_IX(ix_close(h), -1, kIxCloseFailed);
  sites.insert(ix_error_site);
  EXPECT_EQ(ix_flush(h), -1);
  sites.insert(ix_error_site);
  ASSERT_EQ(ix_close(Filled(512, 3, "r.idx")), 1);

  // A shared handle's cursor, after another writer's commit (change_count
  // moved), reads its page again, and that read fails.
  h = Open(1);
  ASSERT_NE(h, nullptr);
  EXPECT_IX(Open(0), nullptr, kIxSharedMismatch);
  int32_t ref = 0;
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

// --- damaged trees --------------------------------------------------------------

// One table of damage made by hand on fresh trees: ix_verify reports each,
// so it is known to be able to fail.
TEST_F(IndexFileTest, EachKindOfDamageIsReported) {
  struct Damage {
    const char* name;
    int page_size, count;
    std::vector<std::string> words;  // {n}: the page the step allocated
    std::function<void()> step;
  };
  const Damage table[] = {
      {"key0000 made key0009", 512, 40, {"is not below"}, [&] { KeyByte(Edit(Header().first_leaf), 0, 6) = '9'; }},
      {"separator above its subtree", 92, 200, {"below its separator"}, [&] {
         uint8_t* root = Edit(Header().root_page);
         KeyByte(root, 0, entry_key_length(node_entry(root, 0)) - 1) += 1;  // just above the child's first key
       }},
      {"child link loop", 92, 200, {"reached twice"},
       [&] { entry_set_child_page(node_entry(Edit(Header().root_page), 0), Header().root_page); }},
      {"child past the last page", 92, 60, {"outside"},
       [&] { entry_set_child_page(node_entry(Edit(Header().root_page), 0), Header().last_page + 5); }},
      {"orphan page", 512, 40, {"{n}: neither in the tree nor"}, [&] { node_init_leaf(Alloc(), 512, 0, 0); }},
      {"wrong entry_total", 512, 40, {"entry_total"}, [&] { Header().entry_total += 1; }},
      {"key offset outside the page", 92, 60, {"outside the key area"},
       [&] { entry_set_key_offset(node_entry(Edit(Header().first_leaf), 0), 92 + 40); }},
      {"key0000 made key0001", 512, 3, {"do not share"}, [&] { KeyByte(Edit(Header().first_leaf), 0, 6) = '1'; }},
      {"free page in the tree", 92, 200, {"and on the free list"}, [&] { Header().free_head = Header().first_leaf; }},
      {"free list loop", 512, 40, {"on the free list twice"}, [&] { node_set_prev_page(Alloc(true), page_); }},
      {"dirty free page", 512, 40, {"not zero"}, [&] { Alloc(true)[300] = 1; }},
      {"header damage", 512, 40, {"format 299", "last_page"}, [&] {
         Header().format = 299;
         Header().last_page += 1;  // the file does not hold the last page
       }},
      {"empty tree with leaf fields", 512, 0, {"empty tree"}, [&] { Header().first_leaf = 1; }},
      {"wrong height", 92, 200, {"expected a child page"}, [&] { Header().height += 1; }},
  };
  for (const Damage& d : table) {
    SCOPED_TRACE(d.name);
    Restart(16, 512);
    h_ = Filled(d.page_size, d.count, d.name);
    ASSERT_TRUE(h_ != nullptr && (d.count < 60 || Header().height >= 2));
    d.step();
    Release();
    ASSERT_FALSE(HasFatalFailure());
    expect_findings(Verify(), findings_, {1, d.words}, page_);
  }
}

// Any change to the 16 header bytes of any tree page is found, and no damage
// of that kind crashes the walk.
TEST_F(IndexFileTest, EveryNodeHeaderByteChangeIsReported) {
  h_ = Filled(92, 150);
  ASSERT_EQ(Verify(), 0) << findings_;
  std::mt19937 rng(7);
  for (int32_t p = 1; p <= Header().last_page; ++p) {
    for (int b = 0; b < kNodeHeaderSize; ++b) {
      uint8_t x = static_cast<uint8_t>(1 + rng() % 255);
      Edit(p)[b] ^= x;
      Release();
      EXPECT_GT(Verify(), 0) << "page " << p << " byte " << b << " xor " << int(x);
      Edit(p)[b] ^= x;
      Release();
    }
  }
}

}  // namespace
