// The walk of the physical index through the data file's blocks in record
// order.
//
// The physical index's position is the table's physical_cursor, whose record
// stays locked (shared mode) while the cursor stands on it.
#include "cache/file_io.h"
#include "records/records.h"

namespace {

int32_t file_size_or_fail(Table* t, int32_t* size) {
  if (io_file_size(t->data_file, size) != 1) {
    rec_error = kTbDataFile;
    return -1;
  }
  return 1;
}

// Walk state: the file size as last seen and the candidate whose lock this
// walk took and still holds (0 = none).
struct Walk {
  Table* t;
  int32_t size;
  int32_t held;
  void drop_held() {
    if (held != 0 && !rec_counts_as_locked(t, held)) (void)io_unlock(t->data_file, held, 2);
    held = 0;
  }
  // Whether [at, at + length) lies in the file; in shared mode another
  // process may have appended since the size was read, so a miss re-reads it.
  int inside(int64_t at, int64_t length, bool* in) {
    *in = at + length <= size;
    if (*in || !t->shared) return 1;
    if (file_size_or_fail(t, &size) != 1) return -1;
    *in = at + length <= size;
    return 1;
  }
};

}  // namespace

TableIndex* rec_physical_index(Table* t) {
  for (TableIndex* p = t->indexes; p != nullptr; p = p->next)
    if (p->number == 0) return p;
  return nullptr;
}

int rec_set_physical_cursor(Table* t, int32_t address) {
  int32_t old = t->physical_cursor;
  if (old == address) return 1;
  if (address != 0 && !rec_counts_as_locked(t, address)) {
    if (rec_lock_range(t, address) != 1) {
      rec_error = kTbLockFailed;
      return -1;
    }
  }
  t->physical_cursor = address;
  if (old != 0 && !rec_counts_as_locked(t, old) && io_unlock(t->data_file, old, 2) != 1) {
    rec_error = kTbUnlockFailed;
    return -1;
  }
  return 1;
}

// Each step moves at least 2 bytes forward and every block is checked to lie
// inside the file, so the walk ends within the file's size and a damaged
// length word stops it with error 7.
int rec_physical_next(Table* t, TableIndex* physical) {
  Walk w{t, 0, 0};
  if (file_size_or_fail(t, &w.size) != 1) return -1;
  int64_t b;
  if (physical->state == -2 || t->physical_cursor == 0) {
    b = t->first_record;
  } else {
    int16_t word;
    if (rec_read_word(t, t->physical_cursor, &word) != 1) return -1;
    b = int64_t{t->physical_cursor} + 2 + (word < 0 ? -int32_t{word} : word);
  }

  int32_t found = 0;
  for (;;) {
    bool in;
    if (w.inside(b, 2, &in) != 1) return w.drop_held(), -1;
    if (!in) {
      if (b != w.size) return w.drop_held(), rec_corrupt(static_cast<int32_t>(b > INT32_MAX ? INT32_MAX : b));
      break;  // the end of the last block is the end of the file
    }
    const int32_t at = static_cast<int32_t>(b);
    bool took = false;
    if (!rec_counts_as_locked(t, at)) {
      if (rec_lock_range(t, at) != 1) {
        w.drop_held();
        rec_error = kTbLockFailed;
        return -1;
      }
      took = true;
    }
    w.drop_held();
    int16_t word;
    if (rec_read_word(t, at, &word) != 1) {
      if (took) (void)io_unlock(t->data_file, at, 2);
      return -1;
    }
    const int32_t extent = word < 0 ? -int32_t{word} : word;
    if (w.inside(b + 2, extent, &in) != 1 || !in) {
      if (took) (void)io_unlock(t->data_file, at, 2);
      return in ? -1 : rec_corrupt(at);
    }
    if (word >= 0) {
      found = at;
      if (took) w.held = at;  // kept: it becomes the cursor's lock
      break;
    }
    if (took) w.held = at;
    b += 2 + extent;
  }

  // The walk's lock on `found` becomes the cursor's lock; the old cursor's is
  // released unless something still holds it.
  int32_t old = t->physical_cursor;
  t->physical_cursor = found;
  if (found == 0) w.drop_held();
  int rc = 1;
  if (old != 0 && old != found && !rec_counts_as_locked(t, old) && io_unlock(t->data_file, old, 2) != 1) {
    rec_error = kTbUnlockFailed;
    rc = -1;
  }
  physical->state = found != 0 ? 1 : -3;
  if (rc != 1) return -1;
  return found != 0 ? 1 : -3;
}
