// The structural verifier of an index file (ix_verify).
//
// The walk trusts nothing it reads: every page number is checked against the
// pages the file can hold before it is read, the descent stops at the
// header's height, and a page is entered at most once, so a damaged file can
// neither crash the walk nor make it loop. One page is pinned at a time: the
// walk copies each page of its current path into a private buffer (one per
// level) and unpins it at once, so it works with the smallest cache.
//
// What is checked, each violation reported as one finding in words:
//   header      format, page size, last_page against the file size, the
//               fields of an empty tree, root / first_leaf / last_leaf / height;
//   ownership   every page 1..last_page is in the tree once or on the free
//               list once, never both and never neither;
//   free pages  first_child 0, entry_count 0, bytes 16.. zero;
//   nodes       first_child (-1 exactly on the bottom level), entry_count,
//               key_area_start, key packing and sharing, pair order;
//   links       every level is a doubly linked list ending in 0 both ways;
//   separators  a separator is <= every leaf entry of its subtree and > every
//               leaf entry to its left; leaf entries ascend across leaves;
//   entry_total equals the number of leaf entries.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"

namespace {

// A tree whose internal nodes have at least two children is at most 32 levels
// high over 2^31 pages; single-child nodes only appear transiently. A header
// claiming more levels than this is damage, and the walk does not follow it.
constexpr int kMaxWalkHeight = 128;

enum : uint8_t { kUnclaimed = 0, kInTree = 1, kOnFreeList = 2 };

struct Pair {
  const uint8_t* key;
  int length;
  int32_t ref;
};

struct Verifier {
  IndexFile* f = nullptr;
  IxCompare compare = nullptr;
  IxFindingSink sink = nullptr;
  void* ctx = nullptr;
  int max_findings = 1;
  int findings = 0;

  int page_size = 0;
  int32_t walk_pages = 0;  // highest page number the walk may read
  int height = 0;
  uint8_t* owner = nullptr;       // per page 0..walk_pages: kUnclaimed / kInTree / kOnFreeList
  uint8_t** level_buf = nullptr;  // per level 1..height: a copy of the page on the path
  int32_t* level_last = nullptr;  // per level: the last page visited (0 = none yet)
  int32_t* level_next = nullptr;  // per level: that page's next_page
  int32_t* level_first = nullptr; // per level: the first page visited

  uint8_t* prev_leaf_key = nullptr;  // last entry of the previous leaf, copied
  int prev_leaf_length = 0;
  int32_t prev_leaf_ref = 0;
  bool have_prev_leaf = false;

  int64_t leaf_entries = 0;
  bool walk_whole = true;  // false once part of the tree could not be walked
  bool out_of_memory = false;

  bool full() const { return findings >= max_findings; }
};

__attribute__((format(printf, 2, 3))) void finding(Verifier& v, const char* format, ...) {
  if (v.full()) return;
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ++v.findings;
  if (v.sink != nullptr) v.sink(v.ctx, text);
}

int pair_compare(const Verifier& v, const Pair& a, const Pair& b) {
  int c = v.compare(a.key, a.length, b.key, b.length);
  if (c != 0) return c;
  return a.ref < b.ref ? -1 : (a.ref > b.ref ? 1 : 0);
}

Pair entry_pair(const uint8_t* pg, int i) {
  const uint8_t* e = node_entry(pg, i);
  return Pair{pg + entry_key_offset(e), entry_key_length(e), entry_record_ref(e)};
}

// Copies page `page` into `buf`; a finding when it cannot be read.
bool load_page(Verifier& v, int32_t page, uint8_t* buf) {
  uint8_t* data = ix_page_get(v.f, page);
  if (data == nullptr) {
    finding(v, "page %d: cannot be read (ix_error %d)", page, ix_error);
    return false;
  }
  memcpy(buf, data, v.page_size);
  ix_page_unpin(v.f, data);
  return true;
}

// ---------------------------------------------------------------------------
// Header

// Returns false when the header is too damaged to walk the file by.
bool check_header(Verifier& v, const IndexHeader& hd) {
  if (hd.format != kIxFormat) finding(v, "header: format %d, expected %d", hd.format, kIxFormat);
  if (hd.page_size != v.f->paged->page_size) {
    finding(v, "header: page_size %d but the file is cached with pages of %d", hd.page_size,
            v.f->paged->page_size);
    return false;
  }
  if (hd.page_size < kIxMinPageSize || hd.page_size > ix_started()) {
    finding(v, "header: page_size %d outside %d..%d", hd.page_size, kIxMinPageSize, ix_started());
    return false;
  }
  if (hd.last_page < 0) {
    finding(v, "header: last_page %d is negative", hd.last_page);
    return false;
  }

  int32_t size = 0;
  if (io_file_size(v.f->paged->handle, &size) != 1) {
    finding(v, "header: the file size cannot be read (os error %d)", io_os_error);
    return false;
  }
  int64_t expected = (static_cast<int64_t>(hd.last_page) + 1) * hd.page_size;
  v.walk_pages = hd.last_page;
  // Part of a page past last_page is the trace of an allocation the disk
  // could not hold; nothing refers to it, and the next allocation writes
  // that page whole.
  if (size < expected || size >= expected + hd.page_size) {
    finding(v, "header: last_page %d means %lld bytes, the file holds %d", hd.last_page,
            static_cast<long long>(expected), size);
    int32_t file_last = size / hd.page_size - 1;
    if (file_last < v.walk_pages) v.walk_pages = file_last < 0 ? 0 : file_last;
  }

  if (hd.root_page == 0) {
    if (hd.first_leaf != 0 || hd.last_leaf != 0 || hd.height != 0)
      finding(v, "header: empty tree but first_leaf %d, last_leaf %d, height %d", hd.first_leaf, hd.last_leaf,
              hd.height);
    if (hd.entry_total != 0) finding(v, "header: entry_total %d but the leaves hold 0 entries", hd.entry_total);
    return true;
  }
  bool walkable = true;
  if (hd.root_page < 0 || hd.root_page > hd.last_page) {
    finding(v, "header: root_page %d outside 1..%d", hd.root_page, hd.last_page);
    walkable = false;
  }
  if (hd.height < 1 || hd.height > kMaxWalkHeight || hd.height > hd.last_page) {
    finding(v, "header: height %d impossible with root_page %d and last_page %d", hd.height,
            hd.root_page, hd.last_page);
    walkable = false;
  }
  if (hd.first_leaf < 1 || hd.first_leaf > hd.last_page)
    finding(v, "header: first_leaf %d outside 1..%d", hd.first_leaf, hd.last_page);
  if (hd.last_leaf < 1 || hd.last_leaf > hd.last_page)
    finding(v, "header: last_leaf %d outside 1..%d", hd.last_leaf, hd.last_page);
  return walkable;
}

// ---------------------------------------------------------------------------
// Free list

void check_free_page(Verifier& v, int32_t page, const uint8_t* pg) {
  if (node_first_child(pg) != 0 || node_entry_count(pg) != 0)
    finding(v, "page %d: on the free list but first_child %d, entry_count %d", page,
            node_first_child(pg), node_entry_count(pg));
  for (int i = kNodeHeaderSize; i < v.page_size; ++i) {
    if (pg[i] != 0) {
      finding(v, "page %d: on the free list but byte %d is %d, not zero", page, i, pg[i]);
      return;
    }
  }
}

void walk_free_list(Verifier& v, int32_t head, uint8_t* buf) {
  int32_t from = 0;  // 0: the header
  for (int32_t page = head; page != 0 && !v.full();) {
    if (page < 1 || page > v.walk_pages) {
      if (from == 0)
        finding(v, "header: free_head %d outside 1..%d", page, v.walk_pages);
      else
        finding(v, "page %d: free-list link %d outside 1..%d", from, page, v.walk_pages);
      return;
    }
    if (v.owner[page] != kUnclaimed) {
      finding(v, "page %d: on the free list twice (the list loops)", page);
      return;
    }
    v.owner[page] = kOnFreeList;
    if (!load_page(v, page, buf)) return;
    check_free_page(v, page, buf);
    from = page;
    page = node_prev_page(buf);
  }
}

// ---------------------------------------------------------------------------
// One node: header fields, key area packing and sharing, pair order.
// Returns false when its entries cannot be used (counts or offsets out of range).

bool check_node(Verifier& v, int32_t page, const uint8_t* pg) {
  const int n = node_entry_count(pg);
  const int es = node_entry_size(pg);
  const int kas = node_key_area_start(pg);
  const int max_entries = (v.page_size - kNodeHeaderSize) / es;
  if (n < 0 || n > max_entries) {
    finding(v, "page %d: entry_count %d outside 0..%d", page, n, max_entries);
    return false;
  }
  if (n == 0 && node_is_leaf(pg)) finding(v, "page %d: leaf with no entries", page);
  const int array_end = kNodeHeaderSize + n * es;
  if (kas > v.page_size) {
    finding(v, "page %d: key_area_start %d beyond the page end %d", page, kas, v.page_size);
    return false;
  }
  if (kas < array_end) {
    finding(v, "page %d: key area (from %d) overlaps entry array (to %d)", page, kas, array_end);
    return false;
  }

  // Packing, from the last entry down: each key ends where the next one's
  // begins (the last one at the page end) unless it shares the next one's bytes.
  int expect_end = v.page_size;
  for (int i = n - 1; i >= 0; --i) {
    const uint8_t* e = node_entry(pg, i);
    const int off = entry_key_offset(e);
    const int len = entry_key_length(e);
    if (len < 0 || off < kas || off + len > v.page_size) {
      finding(v, "page %d: entry %d key bytes %d..%d outside the key area %d..%d", page, i, off,
              off + len, kas, v.page_size);
      return false;
    }
    if (i < n - 1) {
      const uint8_t* next = node_entry(pg, i + 1);
      if (off == entry_key_offset(next) && len == entry_key_length(next)) continue;
    }
    if (off + len != expect_end) {
      finding(v, "page %d: entry %d key ends at %d, expected %d", page, i, off + len, expect_end);
      return false;
    }
    expect_end = off;
  }
  if (kas != expect_end)
    finding(v, "page %d: key_area_start %d but the lowest key byte is at %d", page, kas, expect_end);

  for (int i = 1; i < n && !v.full(); ++i) {
    const uint8_t* a = node_entry(pg, i - 1);
    const uint8_t* b = node_entry(pg, i);
    const bool shared = entry_key_offset(a) == entry_key_offset(b) && entry_key_length(a) == entry_key_length(b);
    const Pair pa = entry_pair(pg, i - 1);
    const Pair pb = entry_pair(pg, i);
    const int c = v.compare(pa.key, pa.length, pb.key, pb.length);
    if (c == 0 && !shared)
      finding(v, "page %d: entries %d and %d have equal keys but do not share bytes", page, i - 1, i);
    if (c != 0 && shared) finding(v, "page %d: entries %d and %d share bytes but compare unequal", page, i - 1, i);
    if (pair_compare(v, pa, pb) >= 0) finding(v, "page %d: entry %d is not below entry %d", page, i - 1, i);
  }
  return true;
}

// ---------------------------------------------------------------------------
// The tree, depth first. `lo` / `hi` are the separators around this subtree
// (null: unbounded); they point into the ancestors' page copies.

void check_level_links(Verifier& v, int level, int32_t page, const uint8_t* pg) {
  const int32_t last = v.level_last[level];
  if (node_prev_page(pg) != last)
    finding(v, "page %d: prev_page %d, expected %d (level %d)", page, node_prev_page(pg), last, level);
  if (last != 0 && v.level_next[level] != page)
    finding(v, "page %d: next_page %d, expected %d (level %d)", last, v.level_next[level], page, level);
  if (last == 0) v.level_first[level] = page;
  v.level_last[level] = page;
  v.level_next[level] = node_next_page(pg);
}

void check_leaf(Verifier& v, int32_t page, const uint8_t* pg, const Pair* lo, const Pair* hi) {
  const int n = node_entry_count(pg);
  v.leaf_entries += n;
  if (n == 0) return;
  const Pair first = entry_pair(pg, 0);
  const Pair last = entry_pair(pg, n - 1);
  if (lo != nullptr && pair_compare(v, *lo, first) > 0)
    finding(v, "page %d: first entry lies below its separator", page);
  if (hi != nullptr && pair_compare(v, last, *hi) >= 0)
    finding(v, "page %d: last entry is not below the next separator", page);
  if (v.have_prev_leaf) {
    const Pair prev{v.prev_leaf_key, v.prev_leaf_length, v.prev_leaf_ref};
    if (pair_compare(v, prev, first) >= 0)
      finding(v, "page %d: first entry is not above the last entry of the leaf before it", page);
  }
  memcpy(v.prev_leaf_key, last.key, last.length);
  v.prev_leaf_length = last.length;
  v.prev_leaf_ref = last.ref;
  v.have_prev_leaf = true;
}

void visit(Verifier& v, int32_t page, int level, const Pair* lo, const Pair* hi) {
  if (v.full()) return;
  if (v.owner[page] == kInTree) {
    finding(v, "page %d: reached twice in the tree", page);
    v.walk_whole = false;
    return;
  }
  if (v.owner[page] == kOnFreeList) finding(v, "page %d: in the tree and on the free list", page);
  v.owner[page] = kInTree;

  if (v.level_buf[level] == nullptr) {
    v.level_buf[level] = static_cast<uint8_t*>(malloc(v.page_size));
    if (v.level_buf[level] == nullptr) {
      v.out_of_memory = true;
      return;
    }
  }
  uint8_t* pg = v.level_buf[level];
  if (!load_page(v, page, pg)) {
    v.walk_whole = false;
    return;
  }
  check_level_links(v, level, page, pg);

  const int32_t first_child = node_first_child(pg);
  if (level == 1 && first_child != kLeafMark) {
    finding(v, "page %d: first_child %d on the leaf level, expected -1", page, first_child);
    v.walk_whole = false;
    return;
  }
  if (level > 1 && first_child <= 0) {
    finding(v, "page %d: first_child %d on level %d of %d, expected a child page", page, first_child, level,
            v.height);
    v.walk_whole = false;
    return;
  }
  if (!check_node(v, page, pg)) {
    v.walk_whole = false;
    return;
  }
  if (level == 1) {
    check_leaf(v, page, pg, lo, hi);
    return;
  }

  const int n = node_entry_count(pg);
  for (int i = -1; i < n && !v.full() && !v.out_of_memory; ++i) {
    const int32_t child = i < 0 ? first_child : entry_child_page(node_entry(pg, i));
    if (child < 1 || child > v.walk_pages) {
      finding(v, "page %d: child %d of entry %d outside 1..%d", page, child, i, v.walk_pages);
      v.walk_whole = false;
      continue;
    }
    Pair below{}, above{};
    if (i >= 0) below = entry_pair(pg, i);
    if (i + 1 < n) above = entry_pair(pg, i + 1);
    visit(v, child, level - 1, i >= 0 ? &below : lo, i + 1 < n ? &above : hi);
  }
}

void walk_tree(Verifier& v, const IndexHeader& hd) {
  if (hd.root_page > v.walk_pages) {
    finding(v, "header: root_page %d lies beyond the end of the file", hd.root_page);
    return;
  }
  visit(v, hd.root_page, v.height, nullptr, nullptr);
  if (v.out_of_memory || v.full()) return;
  for (int level = 1; level <= v.height; ++level) {
    if (v.level_last[level] != 0 && v.level_next[level] != 0)
      finding(v, "page %d: next_page %d at the right end of level %d", v.level_last[level], v.level_next[level],
              level);
  }
  if (!v.walk_whole) return;
  if (v.level_first[1] != hd.first_leaf)
    finding(v, "header: first_leaf %d but the leftmost leaf is %d", hd.first_leaf, v.level_first[1]);
  if (v.level_last[1] != hd.last_leaf)
    finding(v, "header: last_leaf %d but the rightmost leaf is %d", hd.last_leaf, v.level_last[1]);
  if (v.leaf_entries != hd.entry_total)
    finding(v, "header: entry_total %d but the leaves hold %lld entries", hd.entry_total,
            static_cast<long long>(v.leaf_entries));
}

void check_ownership(Verifier& v) {
  for (int32_t page = 1; page <= v.walk_pages && !v.full(); ++page)
    if (v.owner[page] == kUnclaimed) finding(v, "page %d: neither in the tree nor on the free list", page);
}

int run(Verifier& v) {
  const IndexHeader hd = v.f->header;
  if (!check_header(v, hd) || v.full()) return v.findings;
  v.page_size = hd.page_size;
  v.height = hd.height;

  const int levels = v.height + 1;
  v.owner = static_cast<uint8_t*>(calloc(static_cast<size_t>(v.walk_pages) + 1, 1));
  v.level_buf = static_cast<uint8_t**>(calloc(levels, sizeof(uint8_t*)));
  v.level_last = static_cast<int32_t*>(calloc(levels, sizeof(int32_t)));
  v.level_next = static_cast<int32_t*>(calloc(levels, sizeof(int32_t)));
  v.level_first = static_cast<int32_t*>(calloc(levels, sizeof(int32_t)));
  v.prev_leaf_key = static_cast<uint8_t*>(malloc(v.page_size));
  uint8_t* scratch = static_cast<uint8_t*>(malloc(v.page_size));
  if (v.owner == nullptr || v.level_buf == nullptr || v.level_last == nullptr || v.level_next == nullptr ||
      v.level_first == nullptr || v.prev_leaf_key == nullptr || scratch == nullptr) {
    v.out_of_memory = true;
  } else {
    walk_free_list(v, hd.free_head, scratch);
    if (hd.root_page != 0 && !v.full()) walk_tree(v, hd);
    if (!v.out_of_memory) check_ownership(v);
  }

  if (v.level_buf != nullptr)
    for (int level = 0; level < levels; ++level) free(v.level_buf[level]);
  free(v.owner);
  free(v.level_buf);
  free(v.level_last);
  free(v.level_next);
  free(v.level_first);
  free(v.prev_leaf_key);
  free(scratch);
  if (v.out_of_memory) {
    ix_error = kIxNoMemory;
    return -1;
  }
  return v.findings;
}

}  // namespace

int ix_verify(IndexHandle* h, IxFindingSink sink, void* ctx, int max_findings) {
  if (ix_enter(h, kOpVerify) != 1) return -1;
  IndexFile* f = h->file;
  if (ix_refresh(f) != 1) {
    ix_end_op(f);
    return -1;
  }
  Verifier v;
  v.f = f;
  v.compare = h->compare;
  v.sink = sink;
  v.ctx = ctx;
  v.max_findings = max_findings < 1 ? 1 : max_findings;
  int result = run(v);
  if (ix_end_op(f) != 1) return -1;
  return result;
}
