// The engine key buffer; the keys of a record's index entries and of
// searches, built in it; and the checks that tell whether an index's cursor
// still stands on one of its own entries.
//
// An entry of keyed index k: the byte k, then one part per key field in key
// order (text with its zero byte, optionally cut by the index's length part;
// numbers as their stored bytes; binary its width), ending early at the first
// absent value.
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "records/records.h"

namespace {

uint8_t* g_key_buffer = nullptr;
int g_key_buffer_size = 0;

// Appends the key part of key field `i` for `value`. false when it does not
// fit into the room left (error 11).
bool put_part(Table* t, TableIndex* ix, int i, const void* value, uint8_t* key, int room, int* at) {
  const int field = ix->key_fields[i];
  const uint8_t type = t->field_types[field];
  const uint8_t* bytes = static_cast<const uint8_t*>(value);
  int length;
  bool text = type == kFieldText || type == kFieldTextExact;
  if (text) {
    int n = static_cast<int>(std::strlen(static_cast<const char*>(value)));
    int start = 0;
    int take = n;
    if (ix->length_parts != nullptr && ix->length_parts[i].length != 0) {
      start = ix->length_parts[i].start;
      if (start >= n) {
        take = 0;
        start = 0;
      } else {
        take = n - start;
        if (ix->length_parts[i].length < take) take = ix->length_parts[i].length;
      }
    }
    if (*at + take + 1 > room) return false;
    std::memcpy(key + *at, bytes + start, static_cast<size_t>(take));
    key[*at + take] = 0;
    *at += take + 1;
    return true;
  }
  length = rec_field_length(t, field, value);
  if (*at + length > room) return false;
  std::memcpy(key + *at, bytes, static_cast<size_t>(length));
  *at += length;
  return true;
}

// `value_of(i)` gives the value of key field i.
template <typename ValueOf>
int build(Table* t, TableIndex* ix, ValueOf value_of) {
  if (rec_ensure_key_buffer() != 1) return -1;
  uint8_t* key = rec_key_buffer();
  const int room = rec_key_buffer_size();
  key[0] = static_cast<uint8_t>(ix->number);
  int at = 1;
  for (int i = 0; i < ix->key_field_count; ++i) {
    const void* v = value_of(i);
    if (v == nullptr) break;
    if (!put_part(t, ix, i, v, key, room, &at)) {
      rec_error = kTbKeyTooLong;
      return -1;
    }
  }
  return at;
}

// The first key byte under the cursor: 1 with *first set, the cursor's state
// (-2, -3) when it stands on no entry, -1 on an index-layer failure.
int first_byte(TableIndex* ix, uint8_t* first) {
  int rc = ix_current_key(ix->handle, first, 1);
  if (rc == 1 || rc == -2 || rc == -3) return rc;
  rec_error = kTbIndexLayer;
  return -1;
}

}  // namespace

uint8_t* rec_key_buffer() { return g_key_buffer; }
int rec_key_buffer_size() { return g_key_buffer_size; }

int rec_ensure_key_buffer() {
  if (g_key_buffer != nullptr) return 1;
  int op = ix_operation;
  int size = ix_started();
  ix_operation = op;
  if (size <= 0) {
    rec_error = kTbIndexLayer;
    return -1;
  }
  g_key_buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
  if (g_key_buffer == nullptr) {
    rec_error = kTbNoMemory;
    return -1;
  }
  g_key_buffer_size = size;
  return 1;
}

void rec_free_key_buffer() {
  std::free(g_key_buffer);
  g_key_buffer = nullptr;
  g_key_buffer_size = 0;
}

int rec_build_key(Table* t, TableIndex* ix, const void* const* values) {
  return build(t, ix, [&](int i) { return values[ix->key_fields[i]]; });
}

int rec_build_search_key(Table* t, TableIndex* ix, const void* const* key_values) {
  return build(t, ix, [&](int i) { return key_values[i]; });
}

// Index numbers are 1..127 and the free-space entries begin with 254 and 255,
// so the first byte is compared unsigned: an entry of the free space lies
// after every index and means "past the last", not "before the first".
int rec_in_index(TableIndex* ix) {
  uint8_t first = 0;
  int rc = first_byte(ix, &first);
  if (rc == 1) return first == ix->number ? 1 : 0;
  if (rc == -1) return -1;
  rec_error = kTbNoCurrent;
  return -1;
}

int rec_sync_state(TableIndex* ix) {
  uint8_t first = 0;
  int rc = first_byte(ix, &first);
  if (rc == -1) return -1;
  if (rc == 1) rc = first == ix->number ? 1 : first < ix->number ? -2 : -3;
  ix->state = rc;
  return rc;
}
