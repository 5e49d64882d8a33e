// The record operations: add, read, update and delete a record through one of
// the table's indexes. The block storage and entry maintenance they share
// with copy and rebuild are the record layer's (records/record_entries.cpp).
//
// Shared mode: a change runs inside the write bracket (index-file write lock
// unless the caller holds a write-kind lock, data file flushed before it is
// dropped) and holds the temporary record lock on the record it works on.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "cache/file_io.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

int enter(Table* t) {
  tb_error = kTbOk;
  tb_set_current_table(t);
  return tb_check_table(t);
}

int index_failed() {
  tb_error = kTbIndexLayer;
  return -1;
}

// --- write bracket ---------------------------------------------------------------

struct Bracket {
  bool took = false;
};

int bracket_begin(Table* t, Bracket* b) {
  if (t->read_only) {
    tb_error = kTbReadOnly;
    return -1;
  }
  if (t->shared && (t->lock_bits & kLockWriteKind) == 0) {
    if (tb_take_lock_bit(t, kLockIndexWrite) != 1) {
      tb_error = kTbLockFailed;
      return -1;
    }
    b->took = true;
  }
  return 1;
}

// Ends the bracket; another process sees the data file complete before the
// index-file write lock goes.
int bracket_end(Table* t, const Bracket& b, int result) {
  if (!b.took) return result;
  if (result == 1) {
    if (rec_flush_data(t) != 1) result = -1;
  } else {
    int earlier = tb_error;  // the failure that ended the change is the one to report
    (void)rec_flush_data(t);
    tb_error = earlier;
  }
  int keep = tb_error;
  IxErrorSave saved = ix_error_save();  // the unlock clears the index layer's error
  if (tb_drop_lock_bit(t, kLockIndexWrite) != 1 && result == 1) return -1;
  tb_error = keep;
  if (result != 1) ix_error_restore(saved);
  return result;
}

// Releases the temporary lock if this operation took it, keeping an earlier
// failure's error number.
int release_temp(Table* t, int took, int result) {
  if (!took) return result;
  int keep = tb_error;
  if (rec_release_temp_lock(t) != 1 && result == 1) return -1;
  if (result != 1) tb_error = keep;
  return result;
}

// The current record's address under `ix`. 1, the index's state when it
// stands on no record, or -1.
int current_address(Table* t, TableIndex* ix, int32_t* address) {
  if (ix->number == 0) {
    if (t->physical_cursor == 0) {
      tb_error = kTbNoCurrent;
      return -1;
    }
    *address = t->physical_cursor;
    return 1;
  }
  int32_t ref = 0;
  int rc = ix_current(ix->handle, &ref);
  if (rc == 1) {
    rc = rec_sync_state(ix);
    if (rc != 1) return rc;
    *address = ref;
    return 1;
  }
  if (rc == -2 || rc == -3) {
    ix->state = rc;
    return rc;
  }
  return index_failed();
}

void record_too_large() { tb_error = kTbRecordTooLarge; }

// A write cut short leaves whole units of it: a process killed inside a
// write, pages of the system's cache (4096 bytes); a power cut, sectors of
// the disk (512 bytes). A record rewritten in place over such a boundary
// could keep the old tail behind new fields. A table open alone is not
// trusted after a power cut (see rec_order_point), so only a kill counts
// there.
constexpr int64_t kKillTearUnit = 4096;
constexpr int64_t kPowerTearUnit = kRecSector;

bool spans_tear_units(const Table* t, int32_t address, int64_t length) {
  const int64_t unit = t->shared ? kPowerTearUnit : kKillTearUnit;
  return address / unit != (address + length - 1) / unit;
}


}  // namespace

// --- operations --------------------------------------------------------------------

int tb_add_record(Table* t, TableIndex* ix, const void* const* values) {
  if (enter(t) != 1) return -1;
  if (ix != nullptr && tb_check_index(t, ix) != 1) return -1;
  if (values == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  if (rec_absent_values_storable(t, values) != 1) return -1;
  Bracket bracket;
  if (bracket_begin(t, &bracket) != 1) return -1;
  rec_order_before_claim(t, values);
  int rc = -1;
  int32_t address = rec_store(t, values);
  if (address != 0 && rec_insert_entries(t, values, address) == 1) rc = 1;
  if (rc == 1 && ix != nullptr) {
    ix->state = 1;
    if (ix->number == 0) {
      rc = rec_set_physical_cursor(t, address);
    } else {
      int length = rec_build_key(t, ix, values);
      int32_t ref = address;
      if (length < 0 || ix_seek(ix->handle, rec_key_buffer(), length, &ref) != 2) {
        if (length >= 0) tb_error = kTbIndexLayer;
        rc = -1;
      }
    }
  }
  return bracket_end(t, bracket, rc);
}

int tb_read_record(Table* t, TableIndex* ix, void** buffers, int32_t* sizes) {
  tb_error = kTbOk;
  if (buffers == nullptr || sizes == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  tb_set_current_table(t);
  if (tb_check_table(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  if (ix->state != 1) return ix->state;

  // The record lock is tried once while the index read lock is held; when
  // another process holds the record, the read lock is given up before the
  // next try. Waiting for the record with the read lock held would wait on
  // a writer that holds the record and waits for the index write lock.
  // Under the caller's table read lock no record is taken at all: every
  // change of a record is made under the index file's write lock, which that
  // lock keeps from every other process, so the record reads whole, and a
  // record lock held elsewhere only announces a change that has to wait.
  int32_t address = 0;
  int rc = 1;
  int took = 0;
  if ((t->lock_bits & kLockTableRead) != 0) {
    rc = current_address(t, ix, &address);
    if (rc != 1) return rc;
    ix->state = 1;
  }
  for (int attempt = 1; (t->lock_bits & kLockTableRead) == 0; ++attempt) {
    bool took_bit = false;
    if (ix->number != 0 && t->shared && t->lock_bits == 0) {
      if (tb_take_lock_bit(t, kLockIndexRead) != 1) {
        tb_error = kTbLockFailed;
        return -1;
      }
      took_bit = true;
    }
    rc = current_address(t, ix, &address);
    bool busy = false;
    if (rc == 1) {
      ix->state = 1;
      if (took_bit && !rec_counts_as_locked(t, address)) {
        if (io_lock(t->data_file, address, 2, 1, 0, 0) == 1) {
          t->temp_lock = address;
          took = 1;
        } else {
          busy = true;
        }
      } else if (rec_take_temp_lock(t, address, &took) != 1) {
        rc = -1;
      }
    }
    if (took_bit) {
      int keep = tb_error;
      if (tb_drop_lock_bit(t, kLockIndexRead) != 1 && rc == 1) rc = -1;
      else tb_error = keep;
    }
    if (!busy) break;
    if (attempt >= tb_lock_settings.tries) {
      tb_error = kTbLockFailed;
      rc = -1;
      break;
    }
    io_sleep(tb_lock_settings.delay_ms);
  }
  if (rc != 1) return release_temp(t, took, rc);

  RecordContents c;
  rc = rec_read(t, address, &c);
  rc = release_temp(t, took, rc);
  if (rc != 1) {
    rec_free_contents(&c);
    return -1;
  }
  for (int i = 0; i < t->field_count; ++i) {
    const uint8_t type = t->field_types[i];
    const bool text = type == kFieldText || type == kFieldTextExact;
    // A field past the end of the stored contents reads as empty text or
    // zero bytes.
    const uint8_t* value = c.fields[i];
    const bool absent = value == nullptr;
    const uint8_t none = 0;
    int32_t length = absent && text ? 1 : rec_field_length(t, i, absent ? &none : value);
    if (length > sizes[i] || (length > 0 && buffers[i] == nullptr)) {
      if (!text) {
        rec_free_contents(&c);
        tb_error = kTbBufferTooSmall;
        return -1;
      }
      // Field buffers are malloc'd by the caller; a text value that does not
      // fit gets a buffer of exactly its length.
      void* grown = std::malloc(static_cast<size_t>(length));
      if (grown == nullptr) {
        rec_free_contents(&c);
        tb_error = kTbNoMemory;
        return -1;
      }
      std::free(buffers[i]);
      buffers[i] = grown;
      sizes[i] = length;
    }
    if (length > 0 && absent) std::memset(buffers[i], 0, static_cast<size_t>(length));
    else if (length > 0) std::memcpy(buffers[i], value, static_cast<size_t>(length));
  }
  rec_free_contents(&c);
  return 1;
}

int tb_update_record(Table* t, TableIndex* ix, const void* const* values) {
  if (enter(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  if (values == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  if (rec_absent_values_storable(t, values) != 1) return -1;
  if (ix->state != 1) return ix->state;
  Bracket bracket;
  if (bracket_begin(t, &bracket) != 1) return -1;
  rec_order_before_claim(t, values);

  int32_t a = 0;
  int rc = current_address(t, ix, &a);
  if (rc != 1) return bracket_end(t, bracket, rc);
  int took = 0;
  if (rec_take_temp_lock(t, a, &took) != 1) return bracket_end(t, bracket, -1);
  RecordContents old;
  if (rec_read(t, a, &old) != 1) return bracket_end(t, bracket, release_temp(t, took, -1));
  RecordValues old_copy(t, old.fields);
  const void* const* old_values = old_copy.get();

  int32_t lengths_small[16];
  int32_t* lengths = lengths_small;
  if (t->field_count > 16)
    lengths = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(t->field_count)));
  int32_t b = 0;
  rc = -1;
  if (lengths == nullptr || !old_copy.ok()) {
    tb_error = kTbNoMemory;
  } else if (int64_t n = rec_payload_length(t, values, lengths); n > kRecMaxSpace) {
    record_too_large();  // refused before anything is written
  } else if (n > old.space || spans_tear_units(t, a, 2 + int64_t{old.space})) {
    // The record moves: it is written whole at B before A is given up. One
    // whose block spans a tear boundary moves too, so that a kill or a power
    // cut leaves either copy whole.
    int32_t aside = t->temp_lock;
    t->temp_lock = 0;
    b = rec_store(t, values);
    t->temp_lock = aside;
    if (b != 0) rec_order_point(t);
    if (b != 0 && rec_release(t, a, old.space) != 1) {
      int keep = tb_error;
      int16_t granted;
      if (rec_read_word(t, b, &granted) == 1 && granted >= 0) rec_release_unwritten(t, b, granted);
      tb_error = keep;
      b = 0;
    }
    if (b != 0 && rec_move_record_locks(t, a, b) == 1) rc = 1;
  } else {
    b = a;
    int32_t threshold = t->min_record_size - 2 < 2 ? 2 : t->min_record_size - 2;
    const int32_t kept = rec_keeps_sectors_whole(a, std::min(rec_room_for(t, n), old.space));
    int32_t word = threshold + kept >= old.space ? old.space : kept;
    // The record keeps its whole space until its tail carries a free length
    // word of its own, and only then is its own word shortened: a process
    // killed between these writes leaves the new fields in the old space, or
    // the shorter record and a free tail, never a length word followed by
    // bytes that are no block. The tail enters the free space only after
    // that, so that no free-space entry ever names room the record still
    // covers (the next add would be written there, inside the record). When
    // either word cannot be written the record keeps its whole space, a
    // complete update; a failed release fails it. Across a power cut the
    // fields, the tail's word and the record's word reach the disk in that
    // order only with a flush between each (rec_order_point).
    rc = rec_write(t, a, old.space, values, lengths, false);
    if (rc == 1 && word < old.space) {
      const int32_t tail = a + word + 2, rest = old.space - word - 2;
      const int keep = tb_error;
      rec_order_point(t);
      bool words = rec_write_word(t, tail, -rest) == 1;
      if (words) rec_order_point(t);
      words = words && rec_write_word(t, a, word) == 1;
      if (words) rc = rec_release(t, tail, rest);
      else tb_error = keep;
    }
  }
  if (rc == 1) rc = rec_replace_entries(t, old_values, a, values, b);
  if (lengths != lengths_small) std::free(lengths);
  rec_free_contents(&old);
  return bracket_end(t, bracket, release_temp(t, took, rc));
}

int tb_delete_record(Table* t, TableIndex* ix) {
  if (enter(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  if (ix->state != 1) {
    tb_error = kTbNoCurrent;
    return -1;
  }
  Bracket bracket;
  if (bracket_begin(t, &bracket) != 1) return -1;
  int32_t a = 0;
  int rc = current_address(t, ix, &a);
  if (rc != 1) {
    if (rc != -1) tb_error = kTbNoCurrent;
    return bracket_end(t, bracket, -1);
  }
  int took = 0;
  if (rec_take_temp_lock(t, a, &took) != 1) return bracket_end(t, bracket, -1);
  RecordContents c;
  rc = rec_read(t, a, &c);
  if (rc == 1) {
    // No entry may point into space the next add could be given.
    RecordValues values(t, c.fields);
    rc = values.ok() ? rec_delete_entries(t, values.get(), a) : -1;
    if (rc == 1 && rec_release(t, a, c.space) != 1) {
      rc = -1;
      // Still a live block: the record comes back whole.
      int16_t word = 0;
      if (rec_read_word(t, a, &word) == 1 && word == c.space) rec_put_back_entries(t, values.get(), a, nullptr);
    }
    if (values.ok()) rec_note_vacated_keys(t, values.get());  // once its word is written
  }
  rec_free_contents(&c);
  return bracket_end(t, bracket, release_temp(t, took, rc));
}
