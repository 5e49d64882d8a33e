// tb_compare_keys: the one order of every entry of every index file, and the
// comparison context it reads (the current table and a one-entry cache of the
// last index looked up).
//
// Order, by the first byte (unsigned) and then:
//   - a key of the first byte alone is below every longer key with that byte
//     (positioning on it finds the first entry of its index);
//   - 0, the directory: the names as strings, ignoring A-Z case;
//   - 254 / 255, free space: 4 / 2 bytes, unsigned, most significant first;
//   - 1..253, a keyed index of the current table: part by part in key-field
//     order, each by its field's type; a key that ends after fewer parts is
//     below every longer key that starts with the same parts.
//
// The comparison never reads past either key's length: a key that ends
// inside a part (a damaged entry, or an entry of another table's index met
// by a cursor repair) compares by the bytes it has, and a shorter run of
// equal bytes sorts first. A keyed number that the current table does not
// know compares byte by byte, so the order stays total and nothing is read
// out of bounds.
#include <cstdint>
#include <cstring>

#include "cache/bytes.h"
#include "engine/engine.h"

namespace {

struct CompareCache {
  Table* table = nullptr;
  int number = -1;
  TableIndex* index = nullptr;
};

Table* g_current = nullptr;
CompareCache g_cache;

int sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }
int fold(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whether any of the eight bytes of v is 0.
bool has_zero_byte(uint64_t v) {
  return ((v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull) != 0;
}

// Unsigned bytes, then the shorter run first.
int compare_bytes(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  int n = a_len < b_len ? a_len : b_len;
  if (n <= 8) {
    // The free-space keys: a call of memcmp would cost more than the bytes.
    for (int i = 0; i < n; ++i)
      if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  } else if (int c = std::memcmp(a, b, static_cast<size_t>(n)); c != 0) {
    return sign(c);
  }
  return a_len == b_len ? 0 : (a_len < b_len ? -1 : 1);
}

// Two terminated strings, each ending at its zero byte or, cut short, at the
// end of its room: by their bytes (A-Z folded with ignore_case), and a string
// that ends first is the smaller. One pass to the first difference or the
// shared end. When equal, *a_size / *b_size get the strings' sizes with
// their terminators (the length without it + 1, also when it was cut off);
// otherwise they are left alone.
int compare_text(const uint8_t* a, int a_room, const uint8_t* b, int b_room, bool ignore_case, int* a_size,
                 int* b_size) {
  if (a_room < 0) a_room = 0;
  if (b_room < 0) b_room = 0;
  const int n = a_room < b_room ? a_room : b_room;
  int i = 0;
  // Eight bytes at a time while both runs are equal and hold no terminator:
  // equal bytes are equal folded too. Keys of one index often share long
  // beginnings (the folders of a path).
  while (n - i >= 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y || has_zero_byte(x)) break;
    i += 8;
  }
  for (; i < n; ++i) {
    int x = a[i], y = b[i];
    if (x == y) {
      if (x == 0) break;  // both end here
      continue;
    }
    if (x == 0) return -1;  // a ends first
    if (y == 0) return 1;
    if (ignore_case) {
      x = fold(x);
      y = fold(y);
      if (x == y) continue;
    }
    return x < y ? -1 : 1;
  }
  // Here both strings end at i, or at least one ran out of room.
  const bool a_end = i == a_room || a[i] == 0;
  const bool b_end = i == b_room || b[i] == 0;
  if (a_end != b_end) return a_end ? -1 : 1;
  *a_size = i + 1;
  *b_size = i + 1;
  return 0;
}

// Floats in one total order, so that a search finds every key the tree
// holds: numbers by value (-0 and +0 are one key), every NaN above
// +infinity, and NaNs among themselves by their bit patterns as unsigned
// numbers (the same pattern is the same key). `ux` / `uy` are the patterns.
template <typename F, typename U>
int compare_float(F x, F y, U ux, U uy) {
  const bool x_nan = x != x, y_nan = y != y;
  if (x_nan && y_nan) return ux == uy ? 0 : (ux < uy ? -1 : 1);
  if (x_nan || y_nan) return x_nan ? 1 : -1;
  return x < y ? -1 : (x > y ? 1 : 0);
}

TableIndex* index_of(int number) {
  if (g_current == nullptr) return nullptr;
  if (g_cache.table == g_current && g_cache.number == number && g_cache.index != nullptr) return g_cache.index;
  for (TableIndex* p = g_current->indexes; p != nullptr; p = p->next) {
    if (p->number == number) {
      g_cache = CompareCache{g_current, number, p};
      return p;
    }
  }
  return nullptr;
}

// One key part of field `field` at a[p..] and b[q..]; when the parts are
// equal, *a_size / *b_size get the part's size in each key.
int compare_part(const Table* t, int field, const uint8_t* a, int a_room, const uint8_t* b, int b_room,
                 int* a_size, int* b_size) {
  int type = t->field_types[field];
  int width = 0;
  switch (type) {
    case kFieldText:
    case kFieldTextExact:
      return compare_text(a, a_room, b, b_room, type == kFieldText, a_size, b_size);
    case kFieldInt16:
    case kFieldUInt16: width = 2; break;
    case kFieldInt32:
    case kFieldFloat32: width = 4; break;
    case kFieldFloat64: width = 8; break;
    case kFieldBinary: width = t->field_widths != nullptr ? t->field_widths[field] : 1; break;
    default: width = 0; break;
  }
  *a_size = width;
  *b_size = width;
  if (a_room < width || b_room < width)
    return compare_bytes(a, a_room < width ? a_room : width, b, b_room < width ? b_room : width);
  switch (type) {
    case kFieldInt16: return sign(get_i16(a) - get_i16(b));
    case kFieldUInt16: return sign(static_cast<int>(get_u16(a)) - static_cast<int>(get_u16(b)));
    case kFieldInt32: {
      int32_t x = get_i32(a), y = get_i32(b);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case kFieldFloat32: {
      float x, y;
      uint32_t ux = static_cast<uint32_t>(get_i32(a)), uy = static_cast<uint32_t>(get_i32(b));
      std::memcpy(&x, &ux, 4);
      std::memcpy(&y, &uy, 4);
      return compare_float(x, y, ux, uy);
    }
    case kFieldFloat64: {
      uint64_t ux = static_cast<uint32_t>(get_i32(a)) | (static_cast<uint64_t>(static_cast<uint32_t>(get_i32(a + 4))) << 32);
      uint64_t uy = static_cast<uint32_t>(get_i32(b)) | (static_cast<uint64_t>(static_cast<uint32_t>(get_i32(b + 4))) << 32);
      double x, y;
      std::memcpy(&x, &ux, 8);
      std::memcpy(&y, &uy, 8);
      return compare_float(x, y, ux, uy);
    }
    default: return compare_bytes(a, width, b, width);
  }
}

int compare_keyed(const TableIndex* ix, const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  const Table* t = ix->table;
  int p = 1, q = 1;
  for (int i = 0; i < ix->key_field_count; ++i) {
    int a_size = 0, b_size = 0;
    int c = compare_part(t, ix->key_fields[i], a + p, a_len - p, b + q, b_len - q, &a_size, &b_size);
    if (c != 0) return c;
    if (i + 1 == ix->key_field_count) return 0;
    p += a_size;
    q += b_size;
    if (p >= a_len) return q < b_len ? -1 : 0;
    if (q >= b_len) return 1;
  }
  return 0;
}

}  // namespace

void tb_set_current_table(Table* t) { g_current = t; }
Table* tb_current_table() { return g_current; }
void tb_forget_compare_cache() { g_cache = CompareCache{}; }

int tb_compare_keys(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  // Empty keys are never stored; order them first so the order stays total.
  if (a_len < 1 || b_len < 1) return a_len == b_len ? 0 : (a_len < b_len ? -1 : 1);
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  if (a_len == 1) return b_len == 1 ? 0 : -1;
  if (b_len == 1) return 1;
  switch (a[0]) {
    case 0: {
      int a_size = 0, b_size = 0;
      return compare_text(a + 1, a_len - 1, b + 1, b_len - 1, true, &a_size, &b_size);
    }
    case 254: return compare_bytes(a + 1, a_len - 1 < 4 ? a_len - 1 : 4, b + 1, b_len - 1 < 4 ? b_len - 1 : 4);
    case 255: return compare_bytes(a + 1, a_len - 1 < 2 ? a_len - 1 : 2, b + 1, b_len - 1 < 2 ? b_len - 1 : 2);
    default: break;
  }
  const TableIndex* ix = index_of(a[0]);
  if (ix == nullptr) return compare_bytes(a + 1, a_len - 1, b + 1, b_len - 1);
  return compare_keyed(ix, a, a_len, b, b_len);
}
