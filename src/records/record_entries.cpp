// The pieces every change of a record shares with copy and rebuild: storing
// a record's block, and inserting, deleting and replacing its entries in
// every index of the table, each with its undo.
//
// Every keyed index holds exactly one entry per record: (its key built from
// the record's values, the record's address). An insert that fails takes the
// entries made so far and the record's space back; a replacement that fails
// puts the old values back as a record of their own that every index then
// points to.
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "cache/file_io.h"
#include "records/records.h"

namespace {

int32_t record_too_large() {
  rec_error = kTbRecordTooLarge;
  return 0;
}

// Key of `values` for `ix`, copied to `out` (a buffer of the key-buffer size).
int key_copy(Table* t, TableIndex* ix, const void* const* values, uint8_t* out) {
  int length = rec_build_key(t, ix, values);
  if (length >= 0) std::memcpy(out, rec_key_buffer(), static_cast<size_t>(length));
  return length;
}

int unique_flag(const TableIndex* ix) { return ix->unique_marks != 0 ? 0 : 1; }

}  // namespace

void rec_release_unwritten(Table* t, int32_t address, int32_t space) {
  IxErrorSave ix_saved = ix_error_save();
  int keep = rec_error;
  t->data_end = 0;  // the end of the file is whatever the writes below leave
  int32_t size = 0;
  bool whole = io_file_size(t->data_file, &size) == 1;
  if (whole && size <= address) whole = false;  // nothing of the block reached the file
  if (whole && int64_t{address} + 2 + space > size && space > 0) {
    // An append the disk could not hold: the block is made whole with one
    // byte at its end; when the disk is full, what the append left past
    // `address` (part of the block) becomes a free block that ends with the
    // file instead, so that no length word claims room past the end.
    uint8_t zero = 0;
    whole = rec_data_write(t, address + 1 + space, 1, &zero) == 1;
    if (!whole && io_file_size(t->data_file, &size) == 1 && size >= address + 2) {
      space = size - address - 2;
      whole = true;
    }
  }
  if (whole) (void)rec_release(t, address, space);
  rec_error = keep;
  ix_error_restore(ix_saved);
}

namespace {

// Whether a failed store was an exclusive append that left the file as it
// was: its length word goes out with the contents (rec_allocate), so a write
// that failed before writing anything leaves no block to give back.
bool append_left_nothing(Table* t, int32_t address) {
  if (t->shared) return false;
  int32_t size = 0;
  if (io_file_size(t->data_file, &size) != 1 || size != address) return false;
  t->data_end = 0;  // asked again at the next append
  return true;
}

}  // namespace

int32_t rec_store(Table* t, const void* const* values) {
  int32_t lengths_small[16];
  int32_t* lengths = lengths_small;
  if (t->field_count > 16) {
    lengths = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(t->field_count)));
    if (lengths == nullptr) {
      rec_error = kTbNoMemory;
      return 0;
    }
  }
  int64_t n = rec_payload_length(t, values, lengths);
  int32_t address = 0;
  // The length word is 16-bit signed: a longer payload is refused before
  // anything is written.
  if (n > kRecMaxSpace) {
    record_too_large();
  } else {
    int32_t space = rec_room_for(t, n);
    address = rec_allocate(t, &space);
    int took = 0;
    if (address != 0) {
      int rc = rec_take_temp_lock(t, address, &took);
      // Only an exclusive append has no free block in the file yet.
      const bool in_file = t->shared || address != t->appended_at;
      t->appended_at = 0;
      if (rc == 1) rc = rec_write(t, address, space, values, lengths, in_file);
      if (took) {
        int keep = rec_error;
        if (rec_release_temp_lock(t) != 1 && rc == 1) rc = -1;
        else if (rc != 1) rec_error = keep;
      }
      if (rc != 1) {
        if (!append_left_nothing(t, address)) rec_release_unwritten(t, address, space);
        address = 0;
      }
    }
  }
  if (lengths != lengths_small) std::free(lengths);
  return address;
}

int rec_insert_entries(Table* t, const void* const* values, int32_t address) {
  TableIndex* failed = nullptr;
  for (TableIndex* ix = t->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == 0) continue;
    int length = rec_build_key(t, ix, values);
    if (length < 0 || ix_insert(ix->handle, rec_key_buffer(), length, address, unique_flag(ix)) != 1) {
      if (length >= 0) rec_error = kTbIndexLayer;
      failed = ix;
      break;
    }
  }
  if (failed == nullptr) return 1;

  // Undo: the entries made so far go, the record's space is free again; the
  // index layer's error still tells why the insert failed.
  int keep = rec_error;
  IxErrorSave saved = ix_error_save();
  for (TableIndex* ix = t->indexes; ix != failed; ix = ix->next) {
    if (ix->number == 0) continue;
    int length = rec_build_key(t, ix, values);
    if (length >= 0) (void)ix_delete(ix->handle, rec_key_buffer(), length, address);
  }
  int16_t word;
  if (rec_read_word(t, address, &word) == 1 && word >= 0) (void)rec_release(t, address, word);
  ix_error_restore(saved);
  rec_error = keep;
  return -1;
}

void rec_put_back_entries(Table* t, const void* const* values, int32_t address, TableIndex* upto) {
  int keep = rec_error;
  IxErrorSave saved = ix_error_save();
  for (TableIndex* ix = t->indexes; ix != upto; ix = ix->next) {
    int length = ix->number == 0 ? -1 : rec_build_key(t, ix, values);
    if (length >= 0) (void)ix_insert(ix->handle, rec_key_buffer(), length, address, 1);
  }
  ix_error_restore(saved);
  rec_error = keep;
}

int rec_delete_entries(Table* t, const void* const* values, int32_t address) {
  // Every keyed entry goes first; when one cannot, those already gone are
  // put back, so that a failed delete leaves the record findable through
  // every index (its space is given up only after this succeeded).
  TableIndex* failed = nullptr;
  for (TableIndex* ix = t->indexes; ix != nullptr && failed == nullptr; ix = ix->next) {
    if (ix->number == 0) continue;
    int length = rec_build_key(t, ix, values);
    if (length < 0 || ix_delete(ix->handle, rec_key_buffer(), length, address) != 1) {
      if (length >= 0) rec_error = kTbIndexLayer;
      failed = ix;
      break;
    }
    // The index stays on the entry after the deleted one, or at an end (an
    // unreadable position counts as past the last).
    int32_t ref;
    int at = ix_current(ix->handle, &ref);
    ix->state = at == 1 ? (rec_in_index(ix) == 1 ? 1 : -3) : (at == -2 ? -2 : -3);
  }
  if (failed != nullptr) {
    rec_put_back_entries(t, values, address, failed);
    return -1;
  }
  // A physical cursor that cannot step past the record leaves it whole too:
  // the record stays current and findable, never half deleted.
  TableIndex* physical = rec_physical_index(t);
  if (physical != nullptr && address == t->physical_cursor && rec_physical_next(t, physical) == -1) {
    rec_put_back_entries(t, values, address, nullptr);
    return -1;
  }
  return 1;
}

int rec_replace_entries(Table* t, const void* const* old_values, int32_t old_address,
                        const void* const* new_values, int32_t new_address) {
  const int room = rec_key_buffer_size();
  auto* old_key = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(room) * 2));
  if (old_key == nullptr) {
    rec_error = kTbNoMemory;
    return -1;
  }
  uint8_t* new_key = old_key + room;
  TableIndex* failed = nullptr;
  for (TableIndex* ix = t->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == 0) {
      if (old_address == t->physical_cursor && rec_physical_next(t, ix) == -1) {
        failed = ix;
        break;
      }
      continue;
    }
    int old_length = key_copy(t, ix, old_values, old_key);
    int new_length = old_length < 0 ? -1 : key_copy(t, ix, new_values, new_key);
    if (new_length < 0 || ix_replace(ix->handle, old_key, old_length, old_address, new_key, new_length,
                                     new_address, unique_flag(ix)) != 1) {
      if (new_length >= 0) rec_error = kTbIndexLayer;
      failed = ix;
      break;
    }
    if (rec_sync_state(ix) == -1) {
      failed = ix;
      break;
    }
    // The record's new fields are written by now: its old key is given up.
    if (ix->unique_marks != 0 &&
        (old_length != new_length || std::memcmp(old_key, new_key, static_cast<size_t>(old_length)) != 0))
      rec_note_vacated_key(t, old_key, old_length);
  }
  if (failed == nullptr) {
    std::free(old_key);
    return 1;
  }

  // Undo: the new record goes, the old values come back as a record of their
  // own at R, and every index is pointed at R with the old key.
  int keep = rec_error;
  IxErrorSave saved = ix_error_save();
  bool undo_ok = true;
  // A physical cursor still on the old record moves on before any block is
  // released or stored: the store below may reuse the old bytes, and a step
  // taken afterwards would read record text as a length word. It must not
  // stop on the new block either, which is about to be freed.
  if (old_address == t->physical_cursor) {
    TableIndex* physical = rec_physical_index(t);
    if (physical == nullptr || rec_physical_next(t, physical) == -1) undo_ok = false;
    else if (new_address != old_address && t->physical_cursor == new_address &&
             rec_physical_next(t, physical) == -1)
      undo_ok = false;
  }
  int16_t word;
  if (rec_read_word(t, new_address, &word) != 1 || word < 0 || rec_release(t, new_address, word) != 1)
    undo_ok = false;
  int32_t r = rec_store(t, old_values);
  if (r == 0) undo_ok = false;
  if (r != 0 && r != new_address && rec_move_record_locks(t, new_address, r) != 1) undo_ok = false;
  bool before_failed = true;
  for (TableIndex* ix = t->indexes; ix != nullptr && r != 0; ix = ix->next) {
    if (ix == failed) before_failed = false;
    if (ix->number == 0) continue;  // the physical cursor moved on above
    int old_length = key_copy(t, ix, old_values, old_key);
    int from_length = before_failed ? key_copy(t, ix, new_values, new_key) : old_length;
    const uint8_t* from_key = before_failed ? new_key : old_key;
    int32_t from_address = before_failed ? new_address : old_address;
    if (old_length < 0 || from_length < 0 ||
        ix_replace(ix->handle, from_key, from_length, from_address, old_key, old_length, r, 1) != 1)
      undo_ok = false;
  }
  std::free(old_key);
  if (undo_ok) {
    ix_error_restore(saved);
    rec_error = keep == kTbOk ? kTbIndexLayer : keep;
  }
  return -1;
}

