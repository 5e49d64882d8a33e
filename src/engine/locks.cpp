// Locks through which several processes share one table: the lock bits over
// the index-file locks, the caller's table locks, record locks with their
// numbers, the temporary lock of one record operation, and moving locks with
// a record that moved.
//
// Every lock is a byte-range lock of the operating system. In exclusive mode
// no lock is taken and every operation succeeds at once.
//
// Invariants (shared mode):
//   (1) An index-file lock of a kind is held exactly while a lock bit of
//       that kind is set: read kind = bits 1 | 4, write kind = bits 2 | 8.
//   (2) The 2 bytes at a record address are locked in the data file exactly
//       while the address counts as locked (records/records.h, "Record
//       locks"; the steps that keep it are in records/record_locks.cpp).
//   (3) Lock numbers are unique among the table's entries; the embedded slot
//       is number 1 for the table's life.
#include <cstdint>
#include <new>

#include "btree/btree.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

uint32_t kind_of(uint32_t bit) { return (bit & kLockReadKind) != 0 ? kLockReadKind : kLockWriteKind; }
int mode_of(uint32_t bit) { return (bit & kLockReadKind) != 0 ? 1 : 2; }

// Number for a new chained entry: one above the greatest in use; after
// INT32_MAX the smallest free number from 2 to 255; 0 when there is none.
int32_t next_lock_number(const Table* t) {
  int32_t greatest = t->lock_slot.number;
  for (const RecordLock* e = t->lock_slot.next; e != nullptr; e = e->next)
    if (e->number > greatest) greatest = e->number;
  if (greatest < INT32_MAX) return greatest + 1;
  for (int32_t n = 2; n <= 255; ++n) {
    bool used = false;
    for (const RecordLock* e = t->lock_slot.next; e != nullptr && !used; e = e->next) used = e->number == n;
    if (!used) return n;
  }
  return 0;
}

// The current record's address under `ix`. 1 / -1 with tb_error set, or -4
// when the read lock taken for the look-up is held elsewhere.
int current_address(Table* t, TableIndex* ix, int32_t* address) {
  if (ix->number == 0) {
    *address = t->physical_cursor;
    return 1;
  }
  bool took = false;
  if (t->lock_bits == 0) {
    int rc = tb_take_lock_bit(t, kLockIndexRead);
    if (rc != 1) return rc;
    took = true;
  }
  int32_t ref = 0;
  int rc = ix_current(ix->handle, &ref);
  int result = 1;
  if (rc != 1) {
    tb_error = took && (rc == -2 || rc == -3) ? kTbNoCurrent : kTbIndexLayer;
    result = -1;
  }
  if (took) {
    int keep = tb_error;
    if (tb_drop_lock_bit(t, kLockIndexRead) != 1 && result == 1) result = -1;
    else tb_error = keep;
  }
  *address = ref;
  return result;
}

}  // namespace

// --- lock bits -----------------------------------------------------------------

int tb_take_lock_bit(Table* t, uint32_t bit) {
  if (!t->shared) return 1;
  if (bit == kLockTableRead) t->window_length = 0;  // read before the lock: stale
  if ((t->lock_bits & kind_of(bit)) != 0) {
    t->lock_bits |= bit;
    return 1;
  }
  int rc = ix_lock(t->directory, mode_of(bit));
  if (rc == 1) {
    t->lock_bits |= bit;
    return 1;
  }
  // A change another process left cut short is no lock anyone holds.
  tb_error = ix_error == kIxCutShort ? kTbIndexLayer : kTbLockFailed;
  return rc == -4 || ix_error == kIxLockFailed ? -4 : -1;
}

int tb_drop_lock_bit(Table* t, uint32_t bit) {
  if (!t->shared || (t->lock_bits & bit) == 0) return 1;
  if (bit == kLockTableRead) t->window_length = 0;  // others may write from now on
  t->lock_bits &= ~bit;
  if ((t->lock_bits & kind_of(bit)) != 0) return 1;
  if (ix_unlock(t->directory, mode_of(bit)) != 1) {
    tb_error = kTbUnlockFailed;
    return -1;
  }
  return 1;
}

// --- table locks ---------------------------------------------------------------

int tb_lock_table(Table* t, int mode) {
  if (tb_check_table(t) != 1) return -1;
  if (!t->shared) return 1;
  uint32_t bit;
  if (mode == 1) bit = kLockTableRead;
  else if (mode == 2) bit = kLockTableWrite;
  else {
    tb_error = kTbLockFailed;
    return -1;
  }
  if ((t->lock_bits & bit) != 0) {
    tb_error = kTbLockHeld;
    return -1;
  }
  return tb_take_lock_bit(t, bit);
}

int tb_unlock_table(Table* t, int mode) {
  if (tb_check_table(t) != 1) return -1;
  if (!t->shared) return 1;
  if (mode == 1) return tb_drop_lock_bit(t, kLockTableRead);
  if (mode == 2) return tb_drop_lock_bit(t, kLockTableWrite);
  tb_error = kTbUnlockFailed;
  return -1;
}

// --- record locks --------------------------------------------------------------

int tb_lock_record(Table* t, TableIndex* ix, int32_t* lock_number) {
  if (tb_check_table(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  if (ix->state != 1) {
    tb_error = kTbNoCurrent;
    return -1;
  }
  if (!t->shared) return 1;

  int32_t address = 0;
  int rc = current_address(t, ix, &address);
  if (rc != 1) return rc;
  if (address <= 0) {
    tb_error = kTbNoCurrent;
    return -1;
  }

  bool took = false;
  if (!rec_counts_as_locked(t, address)) {
    if (rec_lock_range(t, address) != 1) {
      // Held by another process after all retries: the caller reads the
      // cause from the index layer's error code; tb_error stays as it was.
      ix_error = kIxLockFailed;
      return -4;
    }
    took = true;
  }

  int32_t number;
  if (t->lock_slot.address == 0) {
    t->lock_slot.address = address;
    number = t->lock_slot.number;
  } else {
    int error = kTbOk;
    auto* e = new (std::nothrow) RecordLock{};
    number = e != nullptr ? next_lock_number(t) : 0;
    if (e == nullptr) error = kTbNoMemory;
    else if (number == 0) error = kTbNoLockNumber;
    if (error != kTbOk) {
      delete e;
      if (took) (void)rec_unlock_range(t, address);
      tb_error = error;
      return -1;
    }
    e->number = number;
    e->address = address;
    e->next = t->lock_slot.next;
    t->lock_slot.next = e;
  }
  if (lock_number != nullptr) *lock_number = number;
  return 1;
}

int tb_unlock_record(Table* t, int32_t lock_number) {
  if (tb_check_table(t) != 1) return -1;
  if (!t->shared) return 1;
  int32_t address = 0;
  if (lock_number == t->lock_slot.number) {
    address = t->lock_slot.address;
    t->lock_slot.address = 0;
  } else {
    for (RecordLock** pp = &t->lock_slot.next; *pp != nullptr; pp = &(*pp)->next) {
      if ((*pp)->number == lock_number) {
        RecordLock* e = *pp;
        *pp = e->next;
        address = e->address;
        delete e;
        break;
      }
    }
  }
  if (address == 0) {
    tb_error = kTbNoSuchLock;
    return -1;
  }
  return rec_release_unless_held(t, address);
}

// --- releasing ----------------------------------------------------------------

int tb_release_record_locks(Table* t) {
  int rc = 1;
  auto release = [&](int32_t address) {
    if (t->shared && address != 0 && rec_unlock_range(t, address) != 1) {
      tb_error = kTbUnlockFailed;
      rc = -1;
    }
  };
  release(t->temp_lock);
  t->temp_lock = 0;
  release(t->physical_cursor);
  release(t->lock_slot.address);
  t->lock_slot.address = 0;
  while (RecordLock* e = t->lock_slot.next) {
    release(e->address);
    t->lock_slot.next = e->next;
    delete e;
  }
  return rc;
}
