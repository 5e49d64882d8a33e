// Defining a keyed index on an open table (its directory entry, its
// TableIndex, one entry per existing record) and removing one again.
//
// Both need a writable table open in exclusive mode, so nothing here takes a
// lock. A failed definition leaves neither directory entry nor entries.
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

// Keyed indexes are numbered 1..127: the number is the first key byte and
// 254 and 255 belong to the free-space entries.
constexpr int kMaxIndexNumber = 127;
constexpr int kRecordBufferStart = 256;

int lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Compares n bytes (or up to the terminator) ignoring A-Z case.
bool same_name(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (lower(ca) != lower(cb)) return false;
    if (ca == 0) return true;
  }
  return true;
}

bool names_equal(const char* a, const char* b) { return same_name(a, b, static_cast<size_t>(-1)); }

// The field named by a key-field spec: the part before its first colon
// (when that lies within the first 255 characters).
bool names_a_field(Table* t, const char* spec) {
  const char* colon = std::strchr(spec, ':');
  size_t n = colon != nullptr && colon - spec < 255 ? static_cast<size_t>(colon - spec) : std::strlen(spec);
  for (int i = 0; i < t->field_count; ++i) {
    const char* field = t->field_names[i];
    if (std::strlen(field) == n && same_name(field, spec, n)) return true;
  }
  return false;
}

int index_failed() {
  tb_error = kTbIndexLayer;
  return -1;
}

// Inserts one entry per record into the new index, in record order, and
// puts the physical position back as it was.
int fill(Table* t, TableIndex* ix) {
  TableIndex* physical = tb_physical_index(t);
  if (physical == nullptr) {
    tb_error = kTbIndexFileUnusable;
    return -1;
  }
  const int32_t saved_cursor = t->physical_cursor;
  const int32_t saved_state = physical->state;
  RecordHolder holder;
  holder.bytes = static_cast<uint8_t*>(std::malloc(kRecordBufferStart));
  holder.capacity = holder.bytes != nullptr ? kRecordBufferStart : 0;
  int rc = holder.bytes != nullptr ? 1 : -1;
  if (rc != 1) tb_error = kTbNoMemory;

  int step = rc == 1 ? tb_first_record(t, physical) : -1;
  while (rc == 1 && step == 1) {
    const int32_t address = t->physical_cursor;
    if (rec_read_into(t, address, &holder) != 1) {
      rc = -1;
      break;
    }
    RecordValues values(t, holder.fields);
    int length = values.ok() ? rec_build_key(t, ix, values.get()) : -1;
    if (length < 0) {
      rc = -1;
      break;
    }
    if (ix_insert(ix->handle, rec_key_buffer(), length, address, ix->unique_marks != 0 ? 0 : 1) != 1) {
      rc = index_failed();
      break;
    }
    step = tb_next_record(t, physical);
  }
  if (rc == 1 && step != -3) rc = -1;
  rec_free_holder(&holder);
  // Exclusive mode: the cursor holds no lock, so it is put back as it was.
  t->physical_cursor = saved_cursor;
  physical->state = saved_state;
  return rc;
}

}  // namespace

int tb_create_index(Table* t, const char* name, const char* const* specs) {
  tb_error = kTbOk;
  tb_set_current_table(t);
  if (tb_check_table(t) != 1) return -1;
  if (name == nullptr || specs == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  for (TableIndex* p = t->indexes; p != nullptr; p = p->next) {
    if (names_equal(p->name, name)) {
      tb_error = kTbIndexExists;
      return -1;
    }
  }
  if (t->read_only) {
    tb_error = kTbReadOnly;
    return -1;
  }
  if (t->directory == nullptr) {  // running on the physical index alone
    tb_error = kTbIndexFileUnusable;
    return -1;
  }
  for (const char* const* s = specs; *s != nullptr; ++s) {
    if (!names_a_field(t, *s)) {
      tb_error = kTbNoSuchField;
      return -1;
    }
  }

  // Directory key: 0, the name and its terminator, each spec and its.
  if (rec_ensure_key_buffer() != 1) return -1;
  const int room = rec_key_buffer_size();
  int64_t length = 1 + static_cast<int64_t>(std::strlen(name)) + 1;
  for (const char* const* s = specs; *s != nullptr; ++s) length += static_cast<int64_t>(std::strlen(*s)) + 1;
  if (length > room) {
    tb_error = kTbKeyTooLong;
    return -1;
  }
  auto* key = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length)));
  if (key == nullptr) {
    tb_error = kTbNoMemory;
    return -1;
  }
  key[0] = 0;
  size_t at = 1;
  std::memcpy(key + at, name, std::strlen(name) + 1);
  at += std::strlen(name) + 1;
  for (const char* const* s = specs; *s != nullptr; ++s) {
    size_t n = std::strlen(*s) + 1;
    std::memcpy(key + at, *s, n);
    at += n;
  }

  int32_t number = 0;
  for (int candidate = 0; candidate <= kMaxIndexNumber && number == 0; ++candidate) {
    bool used = false;
    for (TableIndex* p = t->indexes; p != nullptr && !used; p = p->next) used = p->number == candidate;
    if (!used) number = candidate;
  }
  int rc = 1;
  if (number == 0) {
    tb_error = kTbNoIndexNumber;
    rc = -1;
  } else if (t->shared) {
    tb_error = kTbNeedsExclusive;
    rc = -1;
  } else {
    rc = ix_insert(t->directory, key, static_cast<int>(length), number, 0);
    if (rc == -1) tb_error = kTbIndexLayer;
  }
  if (rc != 1) {
    std::free(key);
    return rc;
  }

  TableIndex* ix = tb_make_index(t, key, static_cast<int>(length), number);
  if (ix == nullptr) {
    int keep = tb_error;
    IxErrorSave saved = ix_error_save();
    (void)ix_delete(t->directory, key, static_cast<int>(length), number);
    ix_error_restore(saved);
    tb_error = keep;
    std::free(key);
    return -1;
  }
  std::free(key);
  ++t->index_count;
  ix->next = t->indexes;
  t->indexes = ix;

  rc = fill(t, ix);
  if (rc == 1 && tb_first_record(t, ix) == -1) rc = -1;
  if (rc == 1) return 1;

  int keep = tb_error;
  IxErrorSave saved = ix_error_save();
  (void)tb_drop_index(t, ix->name);
  ix_error_restore(saved);
  tb_error = keep;
  return -1;
}

int tb_drop_index(Table* t, const char* name) {
  tb_error = kTbOk;
  tb_set_current_table(t);
  TableIndex* ix = tb_find_index(t, name);
  if (ix == nullptr) return -1;
  if (ix->number == 0) {
    tb_error = kTbNeedsKeyed;
    return -1;
  }
  if (t->read_only) {
    tb_error = kTbReadOnly;
    return -1;
  }
  if (t->shared) {
    tb_error = kTbNeedsExclusive;
    return -1;
  }
  if (rec_ensure_key_buffer() != 1) return -1;
  uint8_t* key = rec_key_buffer();
  const int room = rec_key_buffer_size();

  // Every entry of the index: from the key of its number alone, while the
  // first key byte is the number.
  IndexHandle* h = ix->handle;
  key[0] = static_cast<uint8_t>(ix->number);
  int rc = ix_find(h, key, 1, nullptr);
  if (rc == -1) return index_failed();
  while (rc == 1 || rc == 2 || rc == 3) {
    int length = 0;
    int32_t ref = 0;
    if (ix_current_key_length(h, &length) != 1 || ix_current(h, &ref) != 1) return index_failed();
    if (length > room) {
      tb_error = kTbKeyTooLong;
      return -1;
    }
    if (ix_current_key(h, key, length) != 1) return index_failed();
    if (length < 1 || key[0] != ix->number) break;
    if (ix_delete(h, key, length, ref) != 1) return index_failed();
    rc = ix_current(h, nullptr);
  }
  if (rc == -1) return index_failed();

  // The directory entry: found by name, compared by name.
  const size_t name_length = std::strlen(ix->name);
  if (static_cast<int64_t>(name_length) + 2 > room) {
    tb_error = kTbKeyTooLong;
    return -1;
  }
  key[0] = 0;
  std::memcpy(key + 1, ix->name, name_length + 1);
  rc = ix_find(t->directory, key, static_cast<int>(name_length) + 2, nullptr);
  if (rc == -1) return index_failed();
  int length = 0;
  int32_t number = 0;
  if (rc != 2 && rc != 3) {
    tb_error = kTbNoSuchIndex;
    return -1;
  }
  if (ix_current_key_length(t->directory, &length) != 1 || ix_current(t->directory, &number) != 1)
    return index_failed();
  if (length > room) {
    tb_error = kTbKeyTooLong;
    return -1;
  }
  if (ix_current_key(t->directory, key, length) != 1) return index_failed();
  if (length < 2 || key[0] != 0 || std::memchr(key + 1, 0, static_cast<size_t>(length - 1)) == nullptr ||
      !names_equal(reinterpret_cast<const char*>(key + 1), ix->name)) {
    tb_error = kTbNoSuchIndex;
    return -1;
  }
  if (ix_delete(t->directory, key, length, number) != 1) return index_failed();

  --t->index_count;
  for (TableIndex** pp = &t->indexes; *pp != nullptr; pp = &(*pp)->next) {
    if (*pp == ix) {
      *pp = ix->next;
      break;
    }
  }
  ix->next = nullptr;
  // The comparison cache may name this index; a later index can reuse its
  // number.
  tb_forget_compare_cache();
  tb_free_index(ix);
  return 1;
}
