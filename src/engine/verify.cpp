// tb_verify: checks a whole open table and reports every violated invariant
// in words, for tests, fuzzing and the tools that repair tables.
//
// What is checked, each violation one finding:
//   index file  the B+-tree's structure (ix_verify); the entry walk below is
//               done only over a tree found sound;
//   data file   blocks run gaplessly from first_record to exactly the end
//               of the file, none passing it;
//   free space  every free block has exactly one size entry (FF size, ref =
//               address) and one address entry (FE address, ref = size), and
//               every free-space entry names a free block of its size;
//   indexes     every live record is in every keyed index exactly once,
//               under the key built from the record and with its address;
//               no entry refers to anything but a live record; a unique
//               index holds no two equal keys; no entry has a first byte
//               that belongs to nothing;
//   directory   one entry per index of the open table, with its name,
//               number and key fields, and no entry for an index the table
//               does not have.
//
// Nothing read is trusted: every address is looked up among the blocks the
// walk found, and a damaged data file ends the walk with a finding. In
// shared mode the walk runs under the index-file read lock, so no writer of
// another process changes either file meanwhile. The table's own cursors are
// not moved: the entries are walked on a handle of their own.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "cache/bytes.h"
#include "cache/file_io.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

constexpr int kMaxKeyed = 127;
constexpr uint8_t kAddressTag = 0xFE;
constexpr uint8_t kSizeTag = 0xFF;
constexpr int kAddressKeyLength = 5;
constexpr int kSizeKeyLength = 3;

struct Block {
  int32_t at;
  int16_t word;  // the length word: >= 0 live record, < 0 free block
};

int32_t extent_of(int16_t word) { return word < 0 ? -int32_t{word} : word; }

uint8_t bump(uint8_t n) { return n < 255 ? static_cast<uint8_t>(n + 1) : n; }

struct Verifier {
  Table* t = nullptr;
  TbFindingSink sink = nullptr;
  void* ctx = nullptr;
  int max_findings = 1;
  int findings = 0;

  // The data file's blocks in address order, and where the walk stopped.
  Block* blocks = nullptr;
  int32_t block_count = 0;
  int32_t block_capacity = 0;
  int64_t walk_end = 0;  // blocks from here on are unknown (a damaged file)

  // Per block: free-space entries seen for it.
  uint8_t* size_entries = nullptr;
  uint8_t* address_entries = nullptr;
  // Keyed indexes of the table, and per (index, block) the entries seen.
  TableIndex* keyed[kMaxKeyed + 1] = {};
  int keyed_count = 0;
  uint8_t* hits = nullptr;
  // Directory entries seen per index number 0..127.
  uint8_t directory_seen[kMaxKeyed + 1] = {};

  IndexHandle* walk = nullptr;
  uint8_t* key = nullptr;   // entry under the walk's cursor
  uint8_t* prev = nullptr;  // the entry before it
  int prev_length = 0;
  int32_t prev_ref = 0;
  int room = 0;
  RecordHolder holder;

  ~Verifier() {
    std::free(blocks);
    std::free(size_entries);
    std::free(address_entries);
    std::free(hits);
    std::free(key);
    std::free(prev);
    rec_free_holder(&holder);
    if (walk != nullptr) (void)ix_close(walk);
  }

  bool full() const { return findings >= max_findings; }

  __attribute__((format(printf, 2, 3))) void finding(const char* format, ...) {
    if (full()) return;
    char text[320];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ++findings;
    if (sink != nullptr) sink(ctx, text);
  }

  int fail(int code) {
    tb_error = code;
    return -1;
  }

  // --- the data file -------------------------------------------------------

  int add_block(int32_t at, int16_t word) {
    if (block_count == block_capacity) {
      int32_t grown = block_capacity == 0 ? 64 : block_capacity * 2;
      auto* more = static_cast<Block*>(std::realloc(blocks, sizeof(Block) * static_cast<size_t>(grown)));
      if (more == nullptr) return fail(kTbNoMemory);
      blocks = more;
      block_capacity = grown;
    }
    blocks[block_count++] = Block{at, word};
    return 1;
  }

  // Walks the blocks from first_record; each step moves at least 2 bytes and
  // stays inside the file, so the walk ends. -1 only when the file cannot be
  // read.
  int walk_blocks() {
    int32_t size = 0;
    if (io_file_size(t->data_file, &size) != 1) return fail(kTbDataFile);
    int64_t at = t->first_record;
    walk_end = at;
    if (size < at) {
      finding("data file: %d bytes, shorter than its catalogue (records start at %d)", size, t->first_record);
      return 1;
    }
    while (at < size) {
      if (at + 2 > size) {
        finding("data file: a stray byte at %lld after the last block, too short for a length word",
                static_cast<long long>(at));
        return 1;
      }
      int16_t word = 0;
      if (rec_read_word(t, static_cast<int32_t>(at), &word) != 1) return -1;
      const int32_t extent = extent_of(word);
      if (at + 2 + extent > size) {
        finding("data file: the %s at %lld states %d bytes and runs past the end of the file (%d bytes)",
                word < 0 ? "free block" : "record", static_cast<long long>(at), extent, size);
        return 1;
      }
      if (add_block(static_cast<int32_t>(at), word) != 1) return -1;
      at += 2 + extent;
      walk_end = at;
    }
    return 1;
  }

  // The block starting exactly at `address`, or -1.
  int32_t find_block(int64_t address) const {
    int32_t lo = 0, hi = block_count - 1;
    while (lo <= hi) {
      int32_t mid = lo + (hi - lo) / 2;
      if (blocks[mid].at == address) return mid;
      if (blocks[mid].at < address) lo = mid + 1;
      else hi = mid - 1;
    }
    return -1;
  }

  // What lies at `address`, for a finding.
  const char* what_is_at(int64_t address) const {
    int32_t i = find_block(address);
    if (i < 0) return "no block starts there";
    return blocks[i].word < 0 ? "it is a free block" : "it is a live record";
  }

  // --- the entries of the index file ---------------------------------------

  int slot_of(int number) const {
    for (int i = 0; i < keyed_count; ++i)
      if (keyed[i]->number == number) return i;
    return -1;
  }

  const TableIndex* table_index(int number) const {
    for (const TableIndex* p = t->indexes; p != nullptr; p = p->next)
      if (p->number == number) return p;
    return nullptr;
  }

  static bool same_definition(const TableIndex* a, const TableIndex* b) {
    if (a->key_field_count != b->key_field_count) return false;
    for (int i = 0; i < a->key_field_count; ++i) {
      if (a->key_fields[i] != b->key_fields[i]) return false;
      LengthPart pa = a->length_parts != nullptr ? a->length_parts[i] : LengthPart{0, 0};
      LengthPart pb = b->length_parts != nullptr ? b->length_parts[i] : LengthPart{0, 0};
      if (pa.length != pb.length || (pa.length != 0 && pa.start != pb.start)) return false;
    }
    return true;
  }

  void check_directory_entry(int length, int32_t number) {
    const auto* name_end = static_cast<const uint8_t*>(std::memchr(key + 1, 0, static_cast<size_t>(length - 1)));
    if (name_end == nullptr) {
      finding("directory: an entry (number %d) whose name has no terminator", number);
      return;
    }
    const char* name = reinterpret_cast<const char*>(key + 1);
    if (number < 0 || number > kMaxKeyed) {
      finding("directory: index '%s' has number %d, outside 0..%d", name, number, kMaxKeyed);
      return;
    }
    if (directory_seen[number] != 0) finding("directory: number %d is used by more than one entry ('%s')", number, name);
    directory_seen[number] = bump(directory_seen[number]);
    const TableIndex* own = table_index(number);
    if (own == nullptr) {
      finding("directory: index '%s' (number %d) is not an index of the open table", name, number);
      return;
    }
    if (std::strcmp(own->name, name) != 0) {
      finding("directory: number %d is named '%s' but the table's index %d is '%s'", number, name, number,
              own->name);
      return;
    }
    int keep = tb_error;
    TableIndex* stored = tb_make_index(t, key, length, number);
    if (stored == nullptr) {
      finding("directory: the definition of index '%s' cannot be loaded (error %d)", name, tb_error);
    } else {
      if (!same_definition(own, stored))
        finding("directory: the key fields stored for index '%s' differ from the table's", name);
      tb_free_index(stored);
    }
    tb_error = keep;
  }

  void check_keyed_entry(int length, int32_t ref) {
    const int number = key[0];
    const int slot = slot_of(number);
    if (slot < 0) {
      finding("index number %d: an entry referring to %d, but the table has no index of that number", number, ref);
      return;
    }
    TableIndex* ix = keyed[slot];
    // A unique index holds no two equal keys; equal keys lie side by side.
    if (ix->unique_marks != 0 && prev_length > 0 && prev[0] == key[0] &&
        tb_compare_keys(prev, prev_length, key, length) == 0)
      finding("index '%s': unique, yet the records at %d and %d have equal keys", ix->name, prev_ref, ref);
    if (ref >= walk_end) return;  // past a damaged data file: nothing to judge against
    int32_t b = find_block(ref);
    if (b < 0 || blocks[b].word < 0) {
      finding("index '%s': an entry refers to %d, which is not a live record (%s)", ix->name, ref, what_is_at(ref));
      return;
    }
    if (rec_read_into(t, ref, &holder) != 1) return;  // an I/O failure: the caller sees tb_error
    auto values = const_cast<const void* const*>(reinterpret_cast<void**>(holder.fields));
    int built = rec_build_key(t, ix, values);
    if (built < 0) {
      finding("index '%s': the key of the record at %d does not fit the key buffer", ix->name, ref);
      tb_error = kTbOk;
      return;
    }
    // Equal under the index's order is the same key: a text part that
    // ignores case may be stored in another case than the record now has.
    if (tb_compare_keys(rec_key_buffer(), built, key, length) != 0) {
      finding("index '%s': the entry for the record at %d is not under the key built from the record", ix->name,
              ref);
      return;
    }
    uint8_t& n = hits[static_cast<size_t>(slot) * static_cast<size_t>(block_count) + static_cast<size_t>(b)];
    n = bump(n);
  }

  void check_free_entry(int length, int32_t ref) {
    const bool by_address = key[0] == kAddressTag;
    const int want = by_address ? kAddressKeyLength : kSizeKeyLength;
    const char* kind = by_address ? "an address" : "a size";
    if (length != want) {
      finding("free space: %s entry of %d bytes (%d expected)", kind, length, want);
      return;
    }
    const int64_t at = by_address ? int64_t{static_cast<int32_t>(get_be32(key + 1))} : ref;
    const int32_t size = by_address ? ref : (key[1] << 8) | key[2];
    if (at >= walk_end) return;  // past a damaged data file
    int32_t b = find_block(at);
    if (b < 0 || blocks[b].word >= 0) {
      finding("free space: %s entry names a free block of %d bytes at %lld, but %s", kind, size,
              static_cast<long long>(at), what_is_at(at));
      return;
    }
    if (extent_of(blocks[b].word) != size) {
      finding("free space: %s entry gives %d bytes for the free block at %lld, which has %d", kind, size,
              static_cast<long long>(at), extent_of(blocks[b].word));
      return;
    }
    uint8_t* counts = by_address ? address_entries : size_entries;
    counts[b] = bump(counts[b]);
  }

  // One pass over every entry of the index file, in key order. -1 when the
  // file or a record cannot be read.
  int walk_entries() {
    walk = ix_open(t->index_file_name, tb_compare_keys, t->shared, 1);
    if (walk == nullptr) return fail(kTbIndexLayer);
    room = rec_key_buffer_size();
    key = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(room)));
    prev = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(room)));
    if (key == nullptr || prev == nullptr) return fail(kTbNoMemory);
    // A tree found sound holds exactly entry_total entries; the bound keeps a
    // tree changed under the walk from making it endless.
    const int64_t bound = int64_t{walk->file->header.entry_total} + 1;
    for (int64_t seen = 0; !full(); ++seen) {
      if (seen > bound) {
        finding("index file: the walk met more entries than the header's %d", walk->file->header.entry_total);
        break;
      }
      int32_t ref = 0;
      int rc = ix_next(walk, &ref);
      if (rc == -3) break;
      if (rc != 1) return fail(kTbIndexLayer);
      int length = 0;
      if (ix_current_key_length(walk, &length) != 1) return fail(kTbIndexLayer);
      if (length < 1 || length > room) {
        finding("index file: an entry of %d bytes (at most %d fit a key)", length, room);
        prev_length = 0;
        continue;
      }
      if (ix_current_key(walk, key, room) != 1) return fail(kTbIndexLayer);
      const int first = key[0];
      if (first == 0) {
        check_directory_entry(length, ref);
      } else if (first <= kMaxKeyed) {
        check_keyed_entry(length, ref);
        if (tb_error != kTbOk) return -1;
      } else if (first == kAddressTag || first == kSizeTag) {
        check_free_entry(length, ref);
      } else {
        finding("index file: an entry with first byte %d, which belongs to no index and to no free space", first);
      }
      std::memcpy(prev, key, static_cast<size_t>(length));
      prev_length = length;
      prev_ref = ref;
    }
    return 1;
  }

  // What the walk found missing: blocks without their entries, records
  // missing from an index, indexes without a directory entry.
  void report_missing() {
    for (int32_t b = 0; b < block_count && !full(); ++b) {
      const Block& k = blocks[b];
      if (k.word < 0) {
        if (size_entries[b] != 1 || address_entries[b] != 1)
          finding("free space: the free block of %d bytes at %d has %d size and %d address entries (one of each "
                  "expected)",
                  extent_of(k.word), k.at, size_entries[b], address_entries[b]);
        continue;
      }
      for (int s = 0; s < keyed_count; ++s) {
        int n = hits[static_cast<size_t>(s) * static_cast<size_t>(block_count) + static_cast<size_t>(b)];
        if (n != 1) finding("index '%s': the record at %d has %d entries (one expected)", keyed[s]->name, k.at, n);
      }
    }
    for (const TableIndex* p = t->indexes; p != nullptr && !full(); p = p->next)
      if (p->number >= 0 && p->number <= kMaxKeyed && directory_seen[p->number] == 0)
        finding("directory: index '%s' (number %d) has no directory entry", p->name, p->number);
  }

  int prepare_counts() {
    size_t n = static_cast<size_t>(block_count) + 1;
    size_entries = static_cast<uint8_t*>(std::calloc(n, 1));
    address_entries = static_cast<uint8_t*>(std::calloc(n, 1));
    for (TableIndex* p = t->indexes; p != nullptr; p = p->next)
      if (p->number != 0 && keyed_count < kMaxKeyed + 1) keyed[keyed_count++] = p;
    hits = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(keyed_count) * n + 1, 1));
    if (size_entries == nullptr || address_entries == nullptr || hits == nullptr) return fail(kTbNoMemory);
    return 1;
  }

  int run() {
    bool tree_sound = false;
    if (t->directory == nullptr) {
      finding("index file: not in use; the table runs on its physical index alone");
    } else {
      int r = ix_verify(t->directory, sink, ctx, max_findings - findings);
      if (r == -1) return fail(kTbIndexLayer);
      findings += r;
      tree_sound = r == 0;
    }
    if (full()) return 1;
    if (walk_blocks() != 1) return -1;
    if (!tree_sound || full()) return 1;
    if (prepare_counts() != 1) return -1;
    if (walk_entries() != 1) return -1;
    if (!full()) report_missing();
    return 1;
  }
};

}  // namespace

int tb_verify(Table* t, TbFindingSink sink, void* ctx, int max_findings) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  tb_set_current_table(t);
  // The verdict is on the files as they are, not on what this process
  // remembers of them.
  rec_forget_cached_reads(t);
  // The read lock is one of the index file; without one there is none.
  const bool lock = t->shared && t->directory != nullptr;
  if (lock && tb_take_lock_bit(t, kLockIndexRead) != 1) return -1;
  int rc;
  {
    Verifier v;
    v.t = t;
    v.sink = sink;
    v.ctx = ctx;
    v.max_findings = max_findings < 1 ? 1 : max_findings;
    rc = v.run() == 1 ? v.findings : -1;
  }
  int keep = tb_error;
  if (lock && tb_drop_lock_bit(t, kLockIndexRead) != 1) return -1;
  tb_error = keep;
  return rc;
}
