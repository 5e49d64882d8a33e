// Record locks: whether an address counts as locked, the OS lock on a
// record's 2 bytes, the temporary lock of one record operation, and moving
// locks with a record that moved. The rule they keep is drawn in
// records/records.h ("Record locks"); the numbered locks of the caller and
// the table locks are the engine's (engine/locks.cpp).
#include <cstdint>

#include "cache/file_io.h"
#include "records/records.h"

int rec_lock_range(Table* t, int32_t address) {
  return io_lock(t->data_file, address, 2, rec_lock_settings.tries, rec_lock_settings.delay_ms,
                 rec_lock_settings.limit_ms);
}

int rec_unlock_range(Table* t, int32_t address) { return io_unlock(t->data_file, address, 2); }

int rec_release_unless_held(Table* t, int32_t address) {
  if (address == 0 || rec_counts_as_locked(t, address)) return 1;
  if (rec_unlock_range(t, address) != 1) {
    rec_error = kTbUnlockFailed;
    return -1;
  }
  return 1;
}

int rec_counts_as_locked(Table* t, int32_t address) {
  if (!t->shared) return 1;
  if (address == 0) return 0;
  if (address == t->physical_cursor || address == t->temp_lock) return 1;
  for (const RecordLock* e = &t->lock_slot; e != nullptr; e = e->next)
    if (e->address == address) return 1;
  return 0;
}

// --- temporary lock ------------------------------------------------------------

int rec_take_temp_lock(Table* t, int32_t address, int* took) {
  *took = 0;
  if (rec_counts_as_locked(t, address)) return 1;
  // One record operation at a time: a caller that needs a second temporary
  // lock sets the first aside (temp_lock 0) and restores it afterwards.
  if (rec_lock_range(t, address) != 1) {
    rec_error = kTbLockFailed;
    return -1;
  }
  t->temp_lock = address;
  *took = 1;
  return 1;
}

int rec_release_temp_lock(Table* t) {
  int32_t address = t->temp_lock;
  if (address == 0) return 1;
  t->temp_lock = 0;
  // A record lock taken on the same record during the operation now keeps
  // the range (the rule in records/records.h).
  return rec_release_unless_held(t, address);
}

// --- moving -------------------------------------------------------------------

int rec_move_record_locks(Table* t, int32_t from, int32_t to) {
  if (!t->shared) return 1;
  if (rec_lock_range(t, to) != 1) {
    rec_error = kTbLockFailed;
    return -1;
  }
  bool moved = false;
  for (RecordLock* e = &t->lock_slot; e != nullptr; e = e->next) {
    if (e->address == from) {
      e->address = to;
      moved = true;
    }
  }
  if (t->temp_lock == from) {
    t->temp_lock = to;
    moved = true;
  }
  int32_t release = moved ? from : to;
  if (release == t->physical_cursor) return 1;
  if (rec_unlock_range(t, release) != 1) {
    rec_error = kTbUnlockFailed;
    return -1;
  }
  return 1;
}

