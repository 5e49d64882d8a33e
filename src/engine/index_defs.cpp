// Index definitions: loading the index directory when a table opens, the
// in-memory TableIndex, the physical index alone, closing a table's indexes,
// and the index queries of the table handle.
//
// Key space of a table's index file. The first byte of every key says whose
// entry it is:
//
//   FIRST BYTE  ENTRIES                   REST OF THE KEY                 RECORD REFERENCE
//      0        index directory           name, 0, then each key-field    the index number
//                                         spec followed by a 0
//    1..127     keyed index of that       the key parts, one per key      the record's address
//               number                    field, back to back
//     254       free space by address     4 bytes, most significant first (record layer)
//     255       free space by size        2 bytes, most significant first (record layer)
//
// The physical index is number 0; its directory key is 0 "Physical Index" 0
// (16 bytes) with no specs, and it has no entries of its own.
//
// Key-field spec: a stored field name, optionally with a length part ":n"
// (the first n characters) or ":m,n" (n characters from character m). A
// length part with n = 0 stays part of the name.
//
// Invariants of a loaded table:
//   (1) Exactly one index has number 0; keyed numbers are 1..127 and unique.
//   (2) Every key_fields entry is a field number below field_count.
//   (3) index_count is the length of `indexes`.
// A directory that breaks (1), or whose entries are not well-formed
// (unterminated name or spec, a spec naming no field), makes the index file
// unusable (error 12): the table then opens on the physical index alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "btree/btree.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

constexpr char kPhysicalName[] = "Physical Index";
constexpr int kMaxKeyedNumber = 127;  // the number byte is read as signed by key-prefix checks

char** g_names = nullptr;  // tb_index_names' result
int g_names_capacity = 0;
char** g_definition = nullptr;  // tb_index_definition's result: pointers, then texts
size_t g_definition_size = 0;

int fold(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Case-insensitive equality of `a` (n bytes) and the terminated string `b`.
bool same_name_n(const char* a, size_t n, const char* b) {
  for (size_t i = 0; i < n; ++i)
    if (b[i] == 0 || fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) return false;
  return b[n] == 0;
}

bool same_name(const char* a, const char* b) { return same_name_n(a, std::strlen(a), b); }

int unusable() {
  tb_error = kTbIndexFileUnusable;
  return -1;
}

// Decimal digits at p, saturating at INT32_MAX; *end after the last digit.
int32_t read_number(const char* p, const char** end) {
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v > INT32_MAX) v = INT32_MAX;
  }
  *end = p;
  return static_cast<int32_t>(v);
}

uint8_t count_unique_marks(const char* name) {
  int marks = 0;
  for (const char* p = name; *p != 0; ++p)
    if (p[0] == ',' && (p[1] == 'U' || p[1] == 'u') && marks < 255) ++marks;
  return static_cast<uint8_t>(marks);
}

// Step 5 of building: the specs of a keyed index. `specs` holds `length`
// bytes ending in a zero byte (checked by the caller).
int load_specs(Table* t, TableIndex* ix, const char* specs, int length) {
  int count = 0;
  for (int i = 0; i < length; ++i) count += specs[i] == 0;
  ix->key_fields = static_cast<int32_t*>(std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(int32_t)));
  if (ix->key_fields == nullptr) {
    tb_error = kTbNoMemory;
    return -1;
  }
  ix->key_field_count = count;
  const char* spec = specs;
  for (int i = 0; i < count; ++i) {
    size_t name_length = std::strlen(spec);
    if (const char* colon = std::strchr(spec, ':')) {
      const char* p;
      int32_t first = read_number(colon + 1, &p);
      int32_t start = 0;
      int32_t part = first;
      if (*p == ',') {
        start = first;
        part = read_number(p + 1, &p);
      }
      if (part != 0) name_length = static_cast<size_t>(colon - spec);
      if (ix->length_parts == nullptr) {
        ix->length_parts = static_cast<LengthPart*>(std::calloc(static_cast<size_t>(count), sizeof(LengthPart)));
        if (ix->length_parts == nullptr) {
          tb_error = kTbNoMemory;
          return -1;
        }
      }
      ix->length_parts[i] = LengthPart{start, part};
    }
    int field = -1;
    for (int f = 0; f < t->field_count && field < 0; ++f)
      if (same_name_n(spec, name_length, t->field_names[f])) field = f;
    if (field < 0) return unusable();
    ix->key_fields[i] = field;
    spec += std::strlen(spec) + 1;
  }
  return 1;
}

int free_index(TableIndex* ix) {
  int rc = 1;
  tb_forget_compare_cache();
  if (ix->handle != nullptr && ix_close(ix->handle) != 1) {
    tb_error = kTbIndexLayer;
    rc = -1;
  }
  std::free(ix->name);
  std::free(ix->key_fields);
  std::free(ix->length_parts);
  delete ix;
  return rc;
}

bool number_in_use(const Table* t, int32_t number) {
  for (const TableIndex* p = t->indexes; p != nullptr; p = p->next)
    if (p->number == number) return true;
  return false;
}

// Steps 2 to 4 of opening: the handles and the directory walk.
int load_directory(Table* t) {
  t->directory = ix_open(t->index_file_name, tb_compare_keys, t->shared, t->read_only);
  if (t->directory == nullptr) return unusable();
  t->space_index = ix_open(t->index_file_name, tb_compare_keys, t->shared, t->read_only);
  if (t->space_index == nullptr) return unusable();

  uint8_t* key = rec_key_buffer();
  const int room = rec_key_buffer_size();
  if (key == nullptr) {
    tb_error = kTbIndexLayer;
    return -1;
  }
  for (;;) {
    int32_t number = 0;
    int rc = ix_next(t->directory, &number);
    if (rc == -3) break;
    if (rc != 1) {
      tb_error = kTbIndexLayer;
      return -1;
    }
    int length = 0;
    if (ix_current_key_length(t->directory, &length) != 1) {
      tb_error = kTbIndexLayer;
      return -1;
    }
    if (length < 1 || length > room) return unusable();
    if (ix_current_key(t->directory, key, room) != 1) {
      tb_error = kTbIndexLayer;
      return -1;
    }
    if (key[0] != 0) break;  // past the directory
    if (number_in_use(t, number)) return unusable();
    TableIndex* ix = tb_make_index(t, key, length, number);
    if (ix == nullptr) return -1;
    ix->next = t->indexes;
    t->indexes = ix;
    ++t->index_count;
  }
  if (!number_in_use(t, 0)) return unusable();
  return 1;
}

}  // namespace

TableIndex* tb_make_index(Table* t, const uint8_t* key, int key_length, int32_t number) {
  // A directory key is 0, a terminated name, then terminated specs.
  if (key_length < 2 || key[0] != 0 || number < 0 || number > kMaxKeyedNumber) return unusable(), nullptr;
  const auto* name_end = static_cast<const uint8_t*>(std::memchr(key + 1, 0, static_cast<size_t>(key_length - 1)));
  if (name_end == nullptr) return unusable(), nullptr;
  const int specs_at = static_cast<int>(name_end - key) + 1;
  const int specs_length = key_length - specs_at;
  if (specs_length > 0 && key[key_length - 1] != 0) return unusable(), nullptr;
  if (number == 0 && specs_length != 0) return unusable(), nullptr;

  auto* ix = new (std::nothrow) TableIndex{};
  if (ix == nullptr) {
    tb_error = kTbNoMemory;
    return nullptr;
  }
  ix->state = -2;
  ix->number = number;
  ix->table = t;
  size_t name_size = static_cast<size_t>(name_end - key);  // name bytes + terminator
  ix->name = static_cast<char*>(std::malloc(name_size));
  if (ix->name == nullptr) {
    tb_error = kTbNoMemory;
    (void)free_index(ix);
    return nullptr;
  }
  std::memcpy(ix->name, key + 1, name_size);
  ix->unique_marks = count_unique_marks(ix->name);

  int rc = 1;
  if (number == 0) {
    ix->key_fields = static_cast<int32_t*>(std::malloc((t->field_count > 0 ? t->field_count : 1) * sizeof(int32_t)));
    if (ix->key_fields == nullptr) {
      tb_error = kTbNoMemory;
      rc = -1;
    } else {
      ix->key_field_count = t->field_count;
      for (int i = 0; i < t->field_count; ++i) ix->key_fields[i] = i;
    }
  } else {
    ix->handle = ix_open(t->index_file_name, tb_compare_keys, t->shared, t->read_only);
    if (ix->handle == nullptr) {
      tb_error = kTbIndexLayer;
      rc = -1;
    } else {
      rc = load_specs(t, ix, reinterpret_cast<const char*>(key + specs_at), specs_length);
    }
  }
  if (rc != 1) {
    int keep = tb_error;
    (void)free_index(ix);
    tb_error = keep;
    return nullptr;
  }
  return ix;
}

void tb_free_index(TableIndex* ix) { (void)free_index(ix); }

int tb_open_index_file(Table* t, const char* index_file_name) {
  size_t n = std::strlen(index_file_name) + 1;
  t->index_file_name = static_cast<char*>(std::malloc(n));
  if (t->index_file_name == nullptr) {
    tb_error = kTbNoMemory;
    return -1;
  }
  std::memcpy(t->index_file_name, index_file_name, n);
  if (load_directory(t) == 1) return 1;
  int keep = tb_error;
  (void)tb_close_indexes(t);
  tb_error = keep;
  return -1;
}

int tb_use_physical_index_only(Table* t) {
  uint8_t key[sizeof kPhysicalName + 1];
  key[0] = 0;
  std::memcpy(key + 1, kPhysicalName, sizeof kPhysicalName);
  TableIndex* ix = tb_make_index(t, key, static_cast<int>(sizeof key), 0);
  if (ix == nullptr) return -1;
  ix->next = t->indexes;
  t->indexes = ix;
  t->index_count = 1;
  t->physical_cursor = 0;
  return 1;
}

int tb_close_indexes(Table* t) {
  int rc = 1;
  tb_forget_compare_cache();
  std::free(t->index_file_name);
  t->index_file_name = nullptr;
  for (IndexHandle** h : {&t->directory, &t->space_index}) {
    if (*h != nullptr && ix_close(*h) != 1) {
      tb_error = kTbIndexLayer;
      rc = -1;
    }
    *h = nullptr;
  }
  while (TableIndex* ix = t->indexes) {
    t->indexes = ix->next;
    if (free_index(ix) != 1) rc = -1;
  }
  t->index_count = 0;
  return rc;
}

TableIndex* tb_physical_index(Table* t) {
  if (!tb_tables.contains(t)) return nullptr;
  for (TableIndex* p = t->indexes; p != nullptr; p = p->next)
    if (p->number == 0) return p;
  return nullptr;
}

TableIndex* tb_find_index(Table* t, const char* name) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return nullptr;
  if (name == nullptr) {
    tb_error = kTbMissingArgument;
    return nullptr;
  }
  for (TableIndex* p = t->indexes; p != nullptr; p = p->next)
    if (same_name(name, p->name)) return p;
  tb_error = t->index_file_name != nullptr ? kTbNoSuchIndex : kTbIndexFileUnusable;
  return nullptr;
}

char** tb_index_names(Table* t) {
  if (t == nullptr) {
    std::free(g_names);
    g_names = nullptr;
    g_names_capacity = 0;
    return nullptr;
  }
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return nullptr;
  int need = t->index_count + 1;
  if (g_names_capacity < need) {
    std::free(g_names);
    g_names = static_cast<char**>(std::malloc(static_cast<size_t>(need) * sizeof(char*)));
    g_names_capacity = g_names != nullptr ? need : 0;
    if (g_names == nullptr) {
      tb_error = kTbNoMemory;
      return nullptr;
    }
  }
  int i = 0;
  for (TableIndex* p = t->indexes; p != nullptr && i < t->index_count; p = p->next) g_names[i++] = p->name;
  g_names[i] = nullptr;
  return g_names;
}

int tb_key_field_count(Table* t, TableIndex* ix) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  return ix->key_field_count;
}

int tb_key_field(Table* t, TableIndex* ix, int i) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1 || tb_check_index(t, ix) != 1) return -1;
  if (i < 0 || i >= ix->key_field_count) {
    tb_error = kTbKeyFieldRange;
    return -1;
  }
  return ix->key_fields[i];
}

char** tb_index_definition(Table* t, TableIndex* ix) {
  if (t == nullptr) {
    std::free(g_definition);
    g_definition = nullptr;
    g_definition_size = 0;
    return nullptr;
  }
  tb_error = kTbOk;
  if (tb_check_table(t) != 1 || tb_check_index(t, ix) != 1) return nullptr;
  // ":" start "," length: at most 1 + 10 + 1 + 10 characters.
  constexpr size_t kLengthPartRoom = 22;
  const int count = ix->key_field_count;
  size_t need = static_cast<size_t>(count + 1) * sizeof(char*);
  for (int i = 0; i < count; ++i) {
    need += std::strlen(t->field_names[ix->key_fields[i]]) + 1;
    if (ix->length_parts != nullptr && ix->length_parts[i].length > 0) need += kLengthPartRoom;
  }
  if (g_definition_size < need) {
    std::free(g_definition);
    g_definition = static_cast<char**>(std::malloc(need));
    g_definition_size = g_definition != nullptr ? need : 0;
    if (g_definition == nullptr) {
      tb_error = kTbNoMemory;
      return nullptr;
    }
  }
  char* text = reinterpret_cast<char*>(g_definition + count + 1);
  char* const end = reinterpret_cast<char*>(g_definition) + need;
  for (int i = 0; i < count; ++i) {
    g_definition[i] = text;
    const char* name = t->field_names[ix->key_fields[i]];
    size_t n = std::strlen(name);
    std::memcpy(text, name, n);
    text += n;
    if (ix->length_parts != nullptr && ix->length_parts[i].length > 0) {
      const LengthPart& lp = ix->length_parts[i];
      int w = lp.start > 0 ? std::snprintf(text, static_cast<size_t>(end - text), ":%d,%d", lp.start, lp.length)
                           : std::snprintf(text, static_cast<size_t>(end - text), ":%d", lp.length);
      text += w;
    }
    *text++ = 0;
  }
  g_definition[count] = nullptr;
  return g_definition;
}
