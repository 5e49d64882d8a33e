// Free space of the data file: taking room for a record from the largest
// free block or the end of the file, and turning a block into free space,
// merged with free neighbours. The entries are drawn in records/records.h.
#include <cassert>
#include <cstdlib>

#include "btree/btree.h"
#include "cache/bytes.h"
#include "cache/file_io.h"
#include "records/records.h"

namespace {

constexpr int kSizeKeyLength = 3;
constexpr int kAddressKeyLength = 5;
constexpr uint8_t kSizeTag = 0xFF;
constexpr uint8_t kAddressTag = 0xFE;

struct SizeKey {
  uint8_t b[kSizeKeyLength];
  explicit SizeKey(int32_t size) {
    assert(size >= 0 && size <= kRecMaxSpace);  // invariant (3)
    b[0] = kSizeTag;
    b[1] = static_cast<uint8_t>(size >> 8);
    b[2] = static_cast<uint8_t>(size);
  }
};

struct AddressKey {
  uint8_t b[kAddressKeyLength];
  explicit AddressKey(int32_t address) {
    b[0] = kAddressTag;
    put_be32(b + 1, static_cast<uint32_t>(address));
  }
};

int index_failed() {
  rec_error = kTbIndexLayer;
  return -1;
}

// The free block whose size and address entries are (size, at).
struct Block {
  bool present = false;
  int32_t at = 0;
  int32_t size = 0;
};

// Reads the address entry under the cursor of `h`, if the cursor is on one.
int read_address_entry(IndexHandle* h, Block* out) {
  *out = Block{};
  uint8_t key[kAddressKeyLength];
  int length = 0;
  int rc = ix_current_key_length(h, &length);
  if (rc == -2 || rc == -3) return 1;
  if (rc != 1) return index_failed();
  if (length != kAddressKeyLength) return 1;
  int32_t ref = 0;
  if (ix_current_key(h, key, kAddressKeyLength) != 1 || ix_current(h, &ref) != 1) return index_failed();
  if (key[0] != kAddressTag) return 1;
  out->present = true;
  out->at = static_cast<int32_t>(get_be32(key + 1));
  out->size = ref;
  return 1;
}

int insert_entries(Table* t, int32_t at, int32_t size) {
  IndexHandle* h = t->space_index;
  SizeKey sk(size);
  AddressKey ak(at);
  if (ix_insert(h, sk.b, kSizeKeyLength, at, 1) != 1) return index_failed();
  if (ix_insert(h, ak.b, kAddressKeyLength, size, 0) != 1) {
    IxErrorSave saved = ix_error_save();
    (void)ix_delete(h, sk.b, kSizeKeyLength, at);
    ix_error_restore(saved);
    return index_failed();
  }
  return 1;
}

int delete_entries(Table* t, int32_t at, int32_t size) {
  IndexHandle* h = t->space_index;
  SizeKey sk(size);
  AddressKey ak(at);
  if (ix_delete(h, sk.b, kSizeKeyLength, at) != 1) return index_failed();
  if (ix_delete(h, ak.b, kAddressKeyLength, size) != 1) return index_failed();
  return 1;
}

// A free block whose start ends up inside a merged one keeps its old length
// word there. Should its entries outlive the merge (a replacement failing
// part-way, or a shared index file falling back to its older pages when the
// change cannot be written out), that word would still vouch for them, and
// the next allocation would put a record inside a block the walk steps
// over. The word is spoilt with a live one, which no free-space entry
// matches, before any entry changes; a failure to spoil it changes nothing
// else.
// The merged word goes to disk first, or a power cut could keep the spoilt
// word alone and break the chain of blocks there. Neither that flush nor the
// spoiling may fail the merge: its word is written already.
void spoil_word(Table* t, int32_t at) {
  const int keep = rec_error;
  rec_order_point(t);
  (void)rec_write_word(t, at, 1);
  rec_error = keep;
}

// The block (old_at, old_size) becomes (new_at, new_size): its length word
// is written at new_at, the word of `swallowed` (a block now inside the new
// one, 0 for none) is spoilt, then both entries are replaced.
int change_block(Table* t, int32_t old_at, int32_t old_size, int32_t new_at, int32_t new_size,
                 int32_t swallowed = 0) {
  if (rec_write_word(t, new_at, -new_size) != 1) return -1;
  if (swallowed != 0) spoil_word(t, swallowed);
  IndexHandle* h = t->space_index;
  SizeKey old_sk(old_size), new_sk(new_size);
  AddressKey old_ak(old_at), new_ak(new_at);
  if (ix_replace(h, old_sk.b, kSizeKeyLength, old_at, new_sk.b, kSizeKeyLength, new_at, 1) != 1)
    return index_failed();
  if (ix_replace(h, old_ak.b, kAddressKeyLength, old_size, new_ak.b, kAddressKeyLength, new_size, 1) != 1)
    return index_failed();
  return 1;
}

// The end of the data file: data_end when an exclusive table knows it (see
// Table::data_end), else the system's answer, which an exclusive table then
// keeps (no block is half claimed when this is asked). 1 / -1 (error 7).
int data_file_end(Table* t, int32_t* size) {
  if (!t->shared && t->data_end > 0) {
    *size = t->data_end;
    return 1;
  }
  if (io_file_size(t->data_file, size) != 1) {
    rec_error = kTbDataFile;
    return -1;
  }
  if (!t->shared && *size > 0) t->data_end = *size;
  return 1;
}

// Writes a free block of `n` bytes at `size`, the end of a shared table's
// data file: its length word and n zero bytes in one write. false (error
// 7 or 2) when that failed; what the disk held of it is then free space.
bool claim(Table* t, int32_t size, int32_t n) {
  uint8_t small[512] = {};
  uint8_t* block = n + 2 <= static_cast<int32_t>(sizeof small)
                       ? small
                       : static_cast<uint8_t*>(std::calloc(static_cast<size_t>(n) + 2, 1));
  if (block == nullptr) {
    rec_error = kTbNoMemory;
    return false;
  }
  put_i16(block, -n);
  const int rc = rec_data_write(t, size, n + 2, block);
  if (block != small) std::free(block);
  if (rc != 1) {
    rec_release_unwritten(t, size, n);  // a claim the disk held only in part
    rec_error = kTbDataFile;
    return false;
  }
  return true;
}

// Room at the end of the file for *space bytes, or one more (see
// rec_keeps_sectors_whole).
int32_t append(Table* t, int32_t* space) {
  int32_t size = 0;
  if (data_file_end(t, &size) != 1) return 0;
  int32_t n = rec_keeps_sectors_whole(size, *space);
  *space = n;
  // A file shorter than its catalogue has no place where a block could
  // start; one that would pass 2 GiB cannot be addressed.
  if (size < t->first_record) return rec_corrupt(size), 0;
  if (static_cast<int64_t>(size) + 2 + n > INT32_MAX) {
    rec_error = kTbDataFile;
    return 0;
  }
  if (!t->shared) {
    // Nobody else sees this file: the block is claimed by data_end alone and
    // its length word goes out with the contents (rec_store).
    t->data_end = size + 2 + n;
    t->appended_at = size;
    return size;
  }
  // A block that fits in a sector is not laid across a sector boundary: in
  // a shared table such a record moves at every update (see
  // spans_tear_units), at the cost of flushes. The rest of the sector
  // becomes a free block of its own first, when it can hold one. It goes
  // to disk before the claim: a power cut that kept the claim alone would
  // leave zeros where the chain of blocks needs its word.
  const int32_t gap = kRecSector - size % kRecSector;
  if (n + 2 <= kRecSector && gap < n + 2 && gap >= 2 + t->min_record_size) {
    if (!claim(t, size, gap - 2) || rec_release(t, size, gap - 2) != 1) return 0;
    rec_order_point(t);
    size += gap;
    n = rec_keeps_sectors_whole(size, *space);
    *space = n;
  }
  // Other processes find the end of the file by its size: the block is
  // claimed at once, whole and as a free block (length word -n and n zero
  // bytes in one write), so that a process killed before the record is
  // written over it leaves a free block at the end of the file, never a
  // length word whose block runs past the end.
  if (!claim(t, size, n)) return 0;
  // The claim reaches the disk before the record is written into it: a
  // power cut that kept the record's first sectors without the claim's
  // last ones would leave a block running past the end of the file over
  // bytes no rebuild can tell from damage. Once flushed, the claim ends
  // inside the file, and a cut leaves it a free block whatever part of the
  // record it kept (the record's own word goes last).
  rec_order_point(t);
  return size;
}

}  // namespace

int32_t rec_allocate(Table* t, int32_t* space) {
  const int32_t n = *space;
  assert(n >= 0 && n <= kRecMaxSpace);
  IndexHandle* h = t->space_index;
  if (h == nullptr) return append(t, space);

  int32_t at = 0;
  int rc = ix_last(h, &at);
  if (rc == -1) return index_failed(), 0;
  if (rc != 1) return append(t, space);
  uint8_t key[kSizeKeyLength] = {0, 0, 0};
  int length = 0;
  if (ix_current_key_length(h, &length) != 1 || ix_current_key(h, key, kSizeKeyLength) != 1)
    return index_failed(), 0;
  if (length != kSizeKeyLength || key[0] != kSizeTag) return append(t, space);
  const int32_t s = static_cast<int16_t>((key[1] << 8) | key[2]);
  // Only the largest block is ever tried.
  if (s < n) return append(t, space);
  // The entry is trusted only as far as the data file agrees with it: a
  // damaged index file could name a block far past the end, and writing a
  // record there would grow the file by up to 2 GB of zeros. The block must
  // lie within the file and start with its own length word, -s.
  int16_t word = 0;
  int32_t file_size = 0;
  if (at < t->first_record || rec_read_word(t, at, &word) != 1 || word != -s ||
      data_file_end(t, &file_size) != 1 || int64_t{at} + 2 + s > file_size) {
    rec_error = kTbDataFile;
    return 0;
  }

  rec_order_before_reuse(t, at, s);
  const int32_t taken = rec_keeps_sectors_whole(at, n);
  if (s < taken + t->min_record_size) {
    if (delete_entries(t, at, s) != 1) return 0;
    *space = s;
    return at;
  }
  const int32_t rest_at = at + taken + 2;
  const int32_t rest = s - taken - 2;
  if (change_block(t, at, s, rest_at, rest) != 1) return 0;
  *space = taken;
  return at;
}

int rec_release(Table* t, int32_t address, int32_t space) {
  assert(space >= 0 && space <= kRecMaxSpace);  // invariant (3)
  // Noted once its words are written: a flush inside the merge below does
  // not yet hold them.
  struct Noted {
    Table* t;
    int32_t address, space;
    ~Noted() { rec_note_released(t, address, space); }
  } noted{t, address, space};
  IndexHandle* h = t->space_index;
  if (h == nullptr) return rec_write_word(t, address, -space);

  AddressKey ak(address);
  int rc = ix_find(h, ak.b, kAddressKeyLength, nullptr);
  if (rc == -1) return index_failed();
  Block next, prev;
  if (read_address_entry(h, &next) != 1) return -1;
  rc = ix_prev(h, nullptr);
  if (rc == -1) return index_failed();
  if (rc == 1 && read_address_entry(h, &prev) != 1) return -1;

  const int64_t a = address;
  const bool usable = prev.size >= 0 && next.size >= 0;
  const bool joins_prev = usable && prev.present && prev.at + int64_t{prev.size} + 2 == a;
  const bool joins_next = usable && next.present && a + space + 2 == next.at;

  // A merged block must still fit its length word; when it would not, the
  // blocks stay apart (the next smaller merge is tried).
  if (joins_prev && joins_next) {
    int64_t total = int64_t{prev.size} + space + next.size + 4;
    if (total <= kRecMaxSpace) {
      // The released block first takes in the next one, so that a walk from
      // its address (a physical cursor moving on from the released record)
      // steps over the next block's word, which is spoilt before the merged
      // word is written (see spoil_word).
      if (rec_write_word(t, address, -(space + 2 + next.size)) != 1) return -1;
      spoil_word(t, next.at);
      if (change_block(t, prev.at, prev.size, prev.at, static_cast<int32_t>(total)) != 1) return -1;
      return delete_entries(t, next.at, next.size);
    }
  }
  if (joins_prev) {
    int64_t total = int64_t{prev.size} + space + 2;
    if (total <= kRecMaxSpace) return change_block(t, prev.at, prev.size, prev.at, static_cast<int32_t>(total));
  }
  if (joins_next) {
    int64_t total = int64_t{space} + next.size + 2;
    if (total <= kRecMaxSpace)
      return change_block(t, next.at, next.size, address, static_cast<int32_t>(total), next.at);
  }
  if (rec_write_word(t, address, -space) != 1) return -1;
  return insert_entries(t, address, space);
}
