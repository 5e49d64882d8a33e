// tb_rebuild: throws a table's index file away and makes a new one holding
// only the physical index's directory entry and the data file's free space.
//
// Live records are not indexed again; the caller defines its keyed indexes
// anew (tb_create_index fills them from the records). The table must be open
// exclusive and writable: nothing here takes a lock, and the walk may rewrite
// the length words of free blocks it merges.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "btree/btree.h"
#include "cache/file_io.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

constexpr uint8_t kPhysicalKey[] = {0, 'P', 'h', 'y', 's', 'i', 'c', 'a', 'l', ' ', 'I', 'n', 'd', 'e', 'x', 0};

// Whether a file of that name exists: the table's own open index file does;
// otherwise anything but "no such file" from an open counts as existing (a
// file another process holds exclusively is there all the same).
bool index_file_exists(const Table* t, const char* name) {
  if (t->index_file_name != nullptr && std::strcmp(t->index_file_name, name) == 0) return true;
  int h = io_open(name, 0, 1);
  if (h != -1) {
    (void)io_close(h);
    return true;
  }
  return io_os_error != ENOENT;
}

// A new index file whose only entry is the physical index's directory entry.
int create_index_file(const char* name, int page_size) {
  IndexHandle* h = ix_create(name, tb_compare_keys, page_size);
  if (h == nullptr) {
    if (ix_error == kIxPageTooLarge) return tb_error = kTbPageTooLarge, -1;
    // What the index layer began to write is of no use to anyone.
    tb_error = kTbIndexLayer;
    (void)io_delete(name);
    return -1;
  }
  if (ix_insert(h, kPhysicalKey, sizeof kPhysicalKey, 0, 0) != 1) {
    tb_error = ix_error == kIxNoMemory ? kTbNoMemory : kTbIndexLayer;
    (void)ix_close(h);
    (void)io_delete(name);
    return -1;
  }
  if (ix_close(h) != 1) {
    tb_error = kTbIndexLayer;
    (void)io_delete(name);
    return -1;
  }
  return 1;
}

// Whether the data file holds only zero bytes from `from` to its end `size`
// (a torn claim leaves fewer than 32768 such bytes).
bool zeros_to_end(Table* t, int64_t from, int32_t size) {
  uint8_t chunk[4096];
  for (int64_t at = from; at < size;) {
    const int32_t n = static_cast<int32_t>(size - at < int64_t{sizeof chunk} ? size - at : int64_t{sizeof chunk});
    if (io_read_at(t->data_file, static_cast<int32_t>(at), n, chunk) != 1) return false;
    for (int32_t i = 0; i < n; ++i)
      if (chunk[i] != 0) return false;
    at += n;
  }
  return true;
}

// Hands every free block of the data file to the record layer's free space,
// which enters it (merged with free neighbours) into the new index file.
// The blocks must run gaplessly from first_record to exactly the end of the
// file: a record whose block would pass the end, or a tail too short for a
// length word, is damage (error 7); a free block passing the end over
// nothing but zeros, or a zero word over zeros to the end, is a claim cut
// short and ends with the file. Each step moves at least 2
// bytes, so the walk ends within the file's size.
int collect_free_space(Table* t) {
  int32_t size = 0;
  if (io_file_size(t->data_file, &size) != 1) {
    tb_error = kTbDataFile;
    return -1;
  }
  int64_t at = t->first_record;
  while (at < size) {
    if (at + 2 > size) return rec_corrupt(static_cast<int32_t>(at));
    int16_t word = 0;
    if (rec_read_word(t, static_cast<int32_t>(at), &word) != 1) return -1;
    int32_t extent = word < 0 ? -int32_t{word} : word;
    const bool cutShort = word < 0 ? at + 2 + extent > size : word == 0 && size - at > 2;
    if (cutShort && zeros_to_end(t, at + 2, size)) {
      // A free block claimed at the end of the file (its word and zeros in
      // one write) and cut short, by a process killed inside that write or
      // by a power cut; on a file system that may keep a file's new size
      // without its first sector, the word itself may read 0. What reached
      // the file is free, and the block ends with the file.
      extent = static_cast<int32_t>(size - at - 2);
      word = static_cast<int16_t>(-extent);
      if (rec_write_word(t, static_cast<int32_t>(at), word) != 1) return -1;
    }
    if (at + 2 + extent > size) return rec_corrupt(static_cast<int32_t>(at));
    // A free block of 32768 bytes cannot be stated by a size entry.
    if (word < 0 && extent > kRecMaxSpace) return rec_corrupt(static_cast<int32_t>(at));
    if (word < 0 && rec_release(t, static_cast<int32_t>(at), extent) != 1) return -1;
    at += 2 + extent;
  }
  if (at != size) return rec_corrupt(static_cast<int32_t>(at));
  return 1;
}

// A rebuild that failed once the old indexes were gone leaves the table on
// its physical index alone, so that it can still be read in record order
// and closed.
int fail_to_physical(Table* t) {
  int keep = tb_error;
  if (t->indexes == nullptr) {
    (void)tb_close_indexes(t);
    (void)tb_use_physical_index_only(t);
  }
  tb_error = keep;
  return -1;
}

}  // namespace

int tb_rebuild(Table* t, int page_size, int replace) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  if (t->shared) {
    tb_error = kTbNeedsExclusive;
    return -1;
  }
  // The walk rewrites the length words of free blocks it merges.
  if (t->read_only) {
    tb_error = kTbReadOnly;
    return -1;
  }
  char name[kTbNameBuffer];
  if (rec_index_file_name(t->data_file_name, name) == nullptr) {
    tb_error = kTbBadName;
    return -1;
  }
  // A page size the index layer will refuse is refused before the old
  // indexes are given up.
  const int wanted = page_size == 0 ? kIxDefaultPageSize : page_size;
  if (wanted > ix_started() || wanted > INT16_MAX) {
    tb_error = kTbPageTooLarge;
    return -1;
  }
  // Refusing to replace must leave the table as it was: the check comes
  // before the old indexes are closed, so that a refused rebuild keeps every
  // keyed index of the table usable.
  if (!replace && index_file_exists(t, name)) {
    tb_error = kTbIndexFileExists;
    return -1;
  }

  // The old index file goes away whatever its state; a failing close of it
  // does not stop the rebuild, which replaces the file anyway.
  (void)tb_close_indexes(t);
  t->physical_cursor = 0;
  tb_error = kTbOk;

  if (create_index_file(name, page_size) != 1) return fail_to_physical(t);
  tb_set_current_table(t);
  if (tb_open_index_file(t, name) != 1) return fail_to_physical(t);
  if (collect_free_space(t) != 1) return -1;
  return 1;
}
