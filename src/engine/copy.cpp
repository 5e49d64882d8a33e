// tb_copy: writes every record of one table into a newly created table with
// the same fields and keyed indexes, in the order of a chosen index.
//
// The target's records are appended one after the other to a fresh data
// file, so the copy has no free space: copying is also the engine's
// compaction. Both tables are opened and closed here; the source must not be
// open in this process. In shared mode the source's table read lock (lock bit
// 4) is held for the whole copy, so no other process changes it meanwhile:
// every change of a record runs under the index file's write lock, which that
// read lock excludes. Records are therefore read without a temporary record
// lock each; only a source without an index file (no table lock to take)
// reads each record under one.
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "cache/file_io.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

constexpr int kDefaultPageSize = 512;
constexpr int32_t kCopySlack = 16;  // the copy buffer grows to a record's length + this

// Closes `t` without letting the close overwrite the error that ended the
// copy.
void close_keeping_error(Table* t) {
  int keep = tb_error;
  (void)tb_close(t);
  tb_error = keep;
}

// Defines every keyed index of `source` on `target`, in the source's index
// order, from the source's own definitions. 1 / -1.
int create_indexes(Table* source, Table* target) {
  for (TableIndex* ix = source->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == 0) continue;
    char** specs = tb_index_definition(source, ix);
    if (specs == nullptr) return -1;
    if (tb_create_index(target, ix->name, specs) != 1) return -1;
  }
  return 1;
}

// The copy's working state: the source index whose order it follows, the
// field pointers of the record in hand and the buffer holding its bytes.
struct Copier {
  Table* source;
  Table* target;
  TableIndex* order;
  uint8_t** fields = nullptr;
  uint8_t* buffer = nullptr;
  int32_t capacity = 0;
  int took_lock = 0;
  // The source's table read lock is held (see the top of this file): the
  // per-record temporary lock would guard against nothing.
  bool source_locked = false;

  ~Copier() {
    std::free(fields);
    std::free(buffer);
  }

  // The address of the record the source index stands on.
  int current_address(int32_t* address) {
    if (order->number == 0) {
      *address = source->physical_cursor;
      if (*address == 0) {
        tb_error = kTbNoCurrent;
        return -1;
      }
      return 1;
    }
    if (ix_current(order->handle, address) != 1) {
      tb_error = kTbIndexLayer;
      return -1;
    }
    return 1;
  }

  // Reads the record at `address` into the buffer, under the temporary
  // record lock unless source_locked. *space gets its length word. 1 / -1.
  int read_record(int32_t address, int32_t* space) {
    if (source_locked) return read_locked(address, space);
    if (rec_take_temp_lock(source, address, &took_lock) != 1) return -1;
    int rc = read_locked(address, space);
    if (took_lock) {
      took_lock = 0;
      int keep = tb_error;
      if (rec_release_temp_lock(source) != 1 && rc == 1) return -1;
      if (rc != 1) tb_error = keep;
    }
    return rc;
  }

  int read_locked(int32_t address, int32_t* space) {
    if (address < source->first_record) return rec_corrupt(address);
    if (rec_read_head(source, address, &head) != 1) return -1;
    const int16_t word = head.word;
    // An index entry that leads to a free block points at no record.
    if (word < 0) return rec_corrupt(address);
    if (word > capacity) {
      int32_t grown = word + kCopySlack;
      auto* bigger = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(grown)));
      if (bigger == nullptr) {
        tb_error = kTbNoMemory;
        return -1;
      }
      std::free(buffer);
      buffer = bigger;
      capacity = grown;
    }
    if (rec_read_rest(source, address, head, buffer) != 1) return -1;
    *space = word;
    return 1;
  }
  BlockHead head{};  // the record in hand, as read

  // Appends the record in hand to the target and enters it into every keyed
  // index of the target. 1 / -1.
  int store(int32_t space) {
    rec_split_fields(source, buffer, space, fields);
    auto values = const_cast<const void* const*>(reinterpret_cast<void**>(fields));
    tb_set_current_table(target);
    int32_t address = rec_store(target, values);
    if (address == 0) return -1;
    return rec_insert_entries(target, values, address);
  }

  // Runs the whole copy: 1 when it reached the end of the source index.
  int run() {
    fields = static_cast<uint8_t**>(std::malloc(sizeof(uint8_t*) * (static_cast<size_t>(source->field_count) + 1)));
    if (fields == nullptr) {
      tb_error = kTbNoMemory;
      return -1;
    }
    int step = tb_first_record(source, order);
    while (step == 1) {
      int32_t address = 0;
      int32_t space = 0;
      if (current_address(&address) != 1) return -1;
      if (read_record(address, &space) != 1) return -1;
      if (store(space) != 1) return -1;
      step = tb_next_record(source, order);
    }
    return step == -3 ? 1 : step;
  }
};

}  // namespace

int tb_copy(const char* source, const char* target, const char* index_name, int page_size, int shared) {
  tb_error = kTbOk;
  if (source == nullptr || target == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  char source_data[kTbNameBuffer];
  char target_data[kTbNameBuffer];
  if (rec_data_file_name(source, source_data) == nullptr || rec_data_file_name(target, target_data) == nullptr) {
    tb_error = kTbBadName;
    return -1;
  }
  // tb_create would delete the target's files first: a copy onto itself
  // would destroy its source.
  if (std::strcmp(source_data, target_data) == 0) {
    tb_error = kTbCopyOntoSelf;
    return -1;
  }

  Table* src = tb_open(source, shared, 1);
  if (src == nullptr) return -1;

  // An unusable index file leaves the source on the physical index alone;
  // its records are then copied in record order whatever order was asked.
  TableIndex* order;
  if (index_name == nullptr || tb_error != kTbOk) {
    order = tb_physical_index(src);
  } else {
    order = tb_find_index(src, index_name);
  }
  if (order == nullptr) {
    if (tb_error == kTbOk) tb_error = kTbIndexFileUnusable;
    close_keeping_error(src);
    return -1;
  }

  if (page_size == 0) {
    char source_index[kTbNameBuffer];
    if (rec_index_file_name(source, source_index) == nullptr) {
      tb_error = kTbBadName;
      close_keeping_error(src);
      return -1;
    }
    page_size = ix_page_size(source_index);
    if (page_size <= 0) page_size = kDefaultPageSize;
  }

  // The table read lock is a lock on the index file; a source running on
  // its physical index alone has none to take.
  const bool lock = shared && src->directory != nullptr;
  if (lock && tb_take_lock_bit(src, kLockTableRead) != 1) {
    close_keeping_error(src);
    return -1;
  }

  int rc = -1;
  Table* dst = tb_create(target, page_size, src->field_names);
  if (dst != nullptr) dst->roomy = 1;
  if (dst != nullptr) {
    rc = create_indexes(src, dst);
    if (rc == 1) {
      Copier copier{src, dst, order};
      copier.source_locked = lock;
      rc = copier.run();
      if (copier.took_lock) {
        int keep = tb_error;
        (void)rec_release_temp_lock(src);
        tb_error = keep;
      }
    }
  }

  if (rc != 1) {
    rc = -1;
    if (tb_error == kTbOk) tb_error = kTbIndexLayer;  // a move that ended neither on a record nor at the end
  }
  int keep = rc == 1 ? kTbOk : tb_error;
  if (lock && tb_drop_lock_bit(src, kLockTableRead) != 1 && rc == 1) {
    rc = -1;
    keep = tb_error;
  }
  // A target that cannot be closed may not hold what was written to it; a
  // copy is complete only once its target is on disk.
  if (dst != nullptr && tb_close(dst) != 1 && rc == 1) {
    rc = -1;
    keep = tb_error;
  }
  (void)tb_close(src);
  tb_error = keep;
  return rc;
}
