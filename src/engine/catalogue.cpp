// The catalogue: the field declarations stored at the start of a data file,
// read at every open and written once when a table is created, and the field
// queries of the table handle.
//
// Data-file header (little-endian):
//
//   OFFSET  SIZE  FIELD
//      0      2   L, the names block's length (signed; 0..32767)
//      2      2   n, the field count (signed; 0..32767)
//      4      L   the n stored names, each followed by a zero byte
//    L + 4    -   the first block of records (first_record)
//
// A stored name is the declaration as given: the name, then optionally a
// comma and a type suffix. The first character after the first comma picks
// the type, in either case:
//
//   suffix        type  stored size         share of min_record_size
//   (no comma)     0    terminated string   1
//   S              0    terminated string   1
//   C              1    terminated string   1
//   I / U         2 / 3  2                  2
//   L / F         4 / 5  4                  4
//   D              6     8                  8
//   B[:]digits     7    the width           the width
//   anything else  0    terminated string   0
//
// A B field's width is its digits (no digits or 0: 1; above 32767: 32767).
// min_record_size = 2 + the shares, at most 32.
//
// A names block is sound when 4 + L fits in the file, it is empty or ends in
// a zero byte, and it holds exactly n zero bytes. Anything else is a data
// file that cannot be read as a table (error 7): the names are walked with
// plain string functions afterwards, so an unterminated or miscounted block
// would be read past its end.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cache/bytes.h"
#include "engine/engine.h"

namespace {

constexpr int32_t kMaxStored = 32767;  // L and n are signed 16-bit on disk
constexpr int32_t kMaxMinRecord = 32;

struct FieldShape {
  int type;
  int32_t width;  // B fields only; 0 for the others
  int32_t share;
};

FieldShape shape_of(const char* name) {
  const char* comma = std::strchr(name, ',');
  if (comma == nullptr) return {kFieldText, 0, 1};
  switch (comma[1]) {
    case 'S': case 's': return {kFieldText, 0, 1};
    case 'C': case 'c': return {kFieldTextExact, 0, 1};
    case 'I': case 'i': return {kFieldInt16, 0, 2};
    case 'U': case 'u': return {kFieldUInt16, 0, 2};
    case 'L': case 'l': return {kFieldInt32, 0, 4};
    case 'F': case 'f': return {kFieldFloat32, 0, 4};
    case 'D': case 'd': return {kFieldFloat64, 0, 8};
    case 'B': case 'b': {
      const char* p = comma + 2;
      if (*p == ':') ++p;
      int32_t width = 0;
      for (; *p >= '0' && *p <= '9'; ++p) {
        width = width * 10 + (*p - '0');
        if (width > kMaxStored) width = kMaxStored;  // saturate; no overflow on long digit runs
      }
      if (width == 0) width = 1;
      return {kFieldBinary, width, width};
    }
    default: return {kFieldText, 0, 0};
  }
}

// One funnel for a names block that cannot be a catalogue.
int bad_catalogue() {
  tb_error = kTbDataFile;
  return -1;
}

// Steps 2 to 4 of reading: the header, the sizes, the names block.
int read_block(Table* t) {
  uint8_t head[4];
  if (io_read_at(t->data_file, 0, 4, head) != 1) return bad_catalogue();
  int32_t length = get_i16(head);
  int32_t count = get_i16(head + 2);
  int32_t file_size = 0;
  if (io_file_size(t->data_file, &file_size) != 1) return bad_catalogue();
  // Checked before anything is allocated or read: a damaged length must not
  // turn into a huge allocation or a read past the file's end.
  if (length < 0 || count < 0 || static_cast<int64_t>(length) + 4 > file_size) return bad_catalogue();

  t->field_names = static_cast<char**>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  t->catalogue_text = static_cast<uint8_t*>(std::malloc(length > 0 ? static_cast<size_t>(length) : 1));
  t->field_types = static_cast<uint8_t*>(std::calloc(count > 0 ? static_cast<size_t>(count) : 1, 1));
  if (t->field_names == nullptr || t->catalogue_text == nullptr || t->field_types == nullptr) {
    tb_error = kTbNoMemory;
    return -1;
  }
  if (length > 0 && io_read_at(t->data_file, 4, length, t->catalogue_text) != 1) return bad_catalogue();
  t->catalogue_length = length;
  t->field_count = static_cast<int16_t>(count);
  return 1;
}

// Steps 5 and 6: the names walk, types, widths and min_record_size.
int walk_names(Table* t) {
  const int32_t length = t->catalogue_length;
  const uint8_t* text = t->catalogue_text;
  int32_t zeros = 0;
  for (int32_t i = 0; i < length; ++i) zeros += text[i] == 0;
  if ((length > 0 && text[length - 1] != 0) || zeros != t->field_count) return bad_catalogue();

  t->first_record = length + 4;
  int64_t total = 2;
  int32_t at = 0;
  for (int i = 0; i < t->field_count; ++i) {
    char* name = reinterpret_cast<char*>(t->catalogue_text + at);
    t->field_names[i] = name;
    FieldShape s = shape_of(name);
    t->field_types[i] = static_cast<uint8_t>(s.type);
    if (s.type == kFieldBinary) {
      if (t->field_widths == nullptr) {
        t->field_widths = static_cast<int16_t*>(std::malloc(static_cast<size_t>(t->field_count) * sizeof(int16_t)));
        if (t->field_widths == nullptr) {
          tb_error = kTbNoMemory;
          return -1;
        }
        for (int j = 0; j < t->field_count; ++j) t->field_widths[j] = 1;
      }
      t->field_widths[i] = static_cast<int16_t>(s.width);
    }
    total += s.share;
    at += static_cast<int32_t>(std::strlen(name)) + 1;
  }
  t->field_names[t->field_count] = nullptr;
  t->min_record_size = static_cast<int32_t>(total > kMaxMinRecord ? kMaxMinRecord : total);
  return 1;
}

}  // namespace

int tb_read_catalogue(Table* t) {
  if (t->shared &&
      io_lock(t->data_file, 0, 4, tb_lock_settings.tries, tb_lock_settings.delay_ms, tb_lock_settings.limit_ms) != 1) {
    tb_error = kTbLockFailed;
    return -1;
  }
  int rc = read_block(t);
  if (t->shared && io_unlock(t->data_file, 0, 4) != 1 && rc == 1) {
    tb_error = kTbUnlockFailed;
    rc = -1;
  }
  if (rc == 1) rc = walk_names(t);
  return rc;
}

int tb_measure_catalogue(const char* const* fields, int32_t* length, int32_t* count) {
  if (fields == nullptr) {
    tb_error = kTbMissingArgument;
    return -1;
  }
  int64_t l = 0;
  int64_t n = 0;
  for (; fields[n] != nullptr; ++n) {
    l += static_cast<int64_t>(std::strlen(fields[n])) + 1;
    // Neither number could be stored in its 16-bit header word.
    if (l > kMaxStored || n + 1 > kMaxStored) {
      tb_error = kTbKeyTooLong;
      return -1;
    }
  }
  *length = static_cast<int32_t>(l);
  *count = static_cast<int32_t>(n);
  return 1;
}

int tb_write_catalogue(int file, const char* const* fields, int32_t length, int32_t count) {
  auto* block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length) + 4));
  if (block == nullptr) {
    tb_error = kTbNoMemory;
    return -1;
  }
  int32_t at = 4;
  for (int32_t i = 0; i < count; ++i) {
    size_t n = std::strlen(fields[i]) + 1;
    std::memcpy(block + at, fields[i], n);
    at += static_cast<int32_t>(n);
  }
  put_i16(block, length);
  put_i16(block + 2, count);
  int rc = io_write_at(file, 0, length + 4, block);
  std::free(block);
  if (rc != 1) {
    tb_error = kTbDataFile;
    return -1;
  }
  return 1;
}

int tb_field_count(Table* t) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  return t->field_count;
}

char** tb_field_names(Table* t) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return nullptr;
  return t->field_names;
}

int tb_field_type(Table* t, int field) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  if (field < 0 || field >= t->field_count) {
    tb_error = kTbFieldRange;
    return -1;
  }
  return t->field_types[field];
}

int tb_field_width(Table* t, int field) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  if (field < 0 || field >= t->field_count) {
    tb_error = kTbFieldRange;
    return -1;
  }
  if (t->field_types[field] != kFieldBinary || t->field_widths == nullptr) return 0;
  return t->field_widths[field];
}
