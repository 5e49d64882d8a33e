// Positioning an index: tb_find_key, tb_first_record, tb_next_record.
//
// A keyed index's position is its cursor in the index file plus its state;
// the physical index's is the table's physical_cursor, moved by the record
// layer's walk in record order (records/record_walk.cpp).
#include "btree/btree.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

// Outcome of a keyed move that landed on an entry: 1 when it is one of this
// index's entries, else the index has run past its last.
int keyed_landing(TableIndex* ix, int on_result) {
  int in = rec_in_index(ix);
  if (in == -1) return -1;
  ix->state = in == 1 ? 1 : -3;
  return in == 1 ? on_result : -3;
}

int enter(Table* t, TableIndex* ix) {
  tb_error = kTbOk;
  tb_set_current_table(t);
  if (tb_check_table(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  return 1;
}

}  // namespace

int tb_find_key(Table* t, TableIndex* ix, const void* const* key_values) {
  if (enter(t, ix) != 1) return -1;
  if (ix->number == 0) {
    tb_error = kTbNeedsKeyed;
    return -1;
  }
  if (key_values == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  int length = rec_build_search_key(t, ix, key_values);
  if (length < 0) return -1;
  int rc = ix_find(ix->handle, rec_key_buffer(), length, nullptr);
  if (rc == 2) {
    ix->state = 1;
    return 2;
  }
  if (rc == 3) return keyed_landing(ix, 3) == -1 ? -1 : 3;
  if (rc == -2 || rc == -3) {
    ix->state = rc;
    return 3;
  }
  tb_error = kTbIndexLayer;
  return -1;
}

int tb_first_record(Table* t, TableIndex* ix) {
  if (enter(t, ix) != 1) return -1;
  if (ix->number == 0) {
    ix->state = -2;
    return rec_physical_next(t, ix);
  }
  uint8_t key = static_cast<uint8_t>(ix->number);
  int rc = ix_find(ix->handle, &key, 1, nullptr);
  if (rc == 2 || rc == 3) return keyed_landing(ix, 1);
  if (rc == -3) {
    ix->state = -3;
    return -3;
  }
  tb_error = kTbIndexLayer;
  return rc;
}

int tb_next_record(Table* t, TableIndex* ix) {
  if (enter(t, ix) != 1) return -1;
  if (ix->state == -2) return tb_first_record(t, ix);
  if (ix->state == -3) return -3;
  if (ix->number == 0) return rec_physical_next(t, ix);
  int rc = ix_next(ix->handle, nullptr);
  if (rc == 1) return keyed_landing(ix, 1);
  if (rc == -2 || rc == -3) {
    ix->state = rc;
    return rc;
  }
  tb_error = kTbIndexLayer;
  return -1;
}
