// The data file: file names of a table, field encoding, writing, flushing and
// reading one block, splitting stored contents into fields; and the state the
// record layer shares with the engine above it.
// The block layout is drawn in records/records.h.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "cache/bytes.h"
#include "cache/file_io.h"
#include "records/records.h"

// The error numbers of the engine's layers (this one, ix_error, io_os_error)
// and all the rest of its state are plain process-wide variables, not
// thread_local: the engine is reached by one thread at a time. A program
// with several threads serialises every piece of engine work, from its first
// call to its last reading of an error number, under one mutex: the
// Monitor's tracking_table_mutex() (tracking/table_guard.h) is held by its
// event thread around each event and by its window thread around closing
// the database; the open at start-up comes before the event thread can get
// any work. A piece of work reads the error numbers its own calls set, and
// the mutex orders it behind every other thread's engine work.
int rec_error = 0;
TbLockSettings rec_lock_settings;

int32_t rec_corrupt_address = 0;
int rec_corrupt_line = 0;

int rec_corrupt_at(int32_t address, int line) {
  rec_corrupt_address = address;
  rec_corrupt_line = line;
  rec_error = kTbDataFile;
  return -1;
}

// --- file names ----------------------------------------------------------------

namespace {

// Appends `n` bytes to `out` (length *len, capacity kTbNameBuffer - 1 text
// bytes). false when it would not fit.
bool append(char* out, int* len, const char* s, int n) {
  if (*len + n > kTbNameBuffer - 1) return false;
  std::memcpy(out + *len, s, static_cast<size_t>(n));
  *len += n;
  out[*len] = '\0';
  return true;
}

// The absolute form of `base`: relative names are taken against the current
// directory; "." and ".." components are resolved by text alone (symbolic
// links are not followed, so "link/.." is the directory holding "link");
// repeated slashes collapse; a trailing slash stays. At most 259 characters.
bool full_path(const char* base, char* out) {
  if (base == nullptr || base[0] == '\0') return false;
  char joined[2 * kTbNameBuffer + 2];
  size_t base_len = std::strlen(base);
  if (base_len > kTbNameBuffer) return false;  // longer than any result could be
  if (base[0] == '/') {
    std::memcpy(joined, base, base_len + 1);
  } else {
    char cwd[kTbNameBuffer + 1];
    if (io_current_dir(cwd, sizeof cwd) != 1) return false;
    size_t cwd_len = std::strlen(cwd);
    std::memcpy(joined, cwd, cwd_len);
    joined[cwd_len] = '/';
    std::memcpy(joined + cwd_len + 1, base, base_len + 1);
  }

  // Walk the components; `starts` remembers where each kept one begins in
  // `out` so that ".." can drop the last.
  int len = 0;
  int starts[kTbNameBuffer];
  int depth = 0;
  out[0] = '\0';
  const char* p = joined;
  bool trailing_slash = false;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* begin = p;
    while (*p != '\0' && *p != '/') ++p;
    int n = static_cast<int>(p - begin);
    if (n == 0) break;
    trailing_slash = *p == '/';
    if (n == 1 && begin[0] == '.') continue;
    if (n == 2 && begin[0] == '.' && begin[1] == '.') {
      if (depth > 0) len = starts[--depth];
      out[len] = '\0';
      continue;
    }
    starts[depth++] = len;
    if (!append(out, &len, "/", 1) || !append(out, &len, begin, n)) return false;
  }
  if (len == 0) return append(out, &len, "/", 1);
  if (trailing_slash) return append(out, &len, "/", 1);
  return true;
}

// Full path, then the extension: a dot after the last separator starts the
// part that the extension replaces; without one the extension is appended.
char* make_name(const char* base, char* buffer, const char* extension) {
  if (buffer == nullptr) return nullptr;
  char path[kTbNameBuffer];
  if (!full_path(base, path)) return nullptr;
  int len = static_cast<int>(std::strlen(path));
  int cut = len;
  for (int i = len - 1; i >= 0; --i) {
    char c = path[i];
    if (c == '/' || c == ':' || c == '\\') break;
    if (c == '.') {
      cut = i;
      break;
    }
  }
  int ext_len = static_cast<int>(std::strlen(extension));
  if (cut + ext_len > kTbNameBuffer - 1) return nullptr;
  std::memcpy(buffer, path, static_cast<size_t>(cut));
  std::memcpy(buffer + cut, extension, static_cast<size_t>(ext_len) + 1);
  return buffer;
}

}  // namespace

char* rec_data_file_name(const char* base_name, char* buffer) { return make_name(base_name, buffer, ".db"); }
char* rec_index_file_name(const char* base_name, char* buffer) { return make_name(base_name, buffer, ".idx"); }

// --- field encoding ------------------------------------------------------------

int32_t rec_field_length(const Table* t, int field, const void* value) {
  if (value == nullptr) return 0;
  switch (t->field_types[field]) {
    case kFieldText:
    case kFieldTextExact:
      return static_cast<int32_t>(std::strlen(static_cast<const char*>(value))) + 1;
    case kFieldInt16:
    case kFieldUInt16:
      return 2;
    case kFieldInt32:
    case kFieldFloat32:
      return 4;
    case kFieldFloat64:
      return 8;
    case kFieldBinary:
      return t->field_widths != nullptr ? t->field_widths[field] : 1;
    default:
      return 0;
  }
}

void rec_field_lengths(Table* t, const void* const* values, int32_t* lengths) {
  for (int i = 0; i < t->field_count; ++i) lengths[i] = rec_field_length(t, i, values[i]);
}

int64_t rec_payload_length(Table* t, const void* const* values, int32_t* lengths) {
  rec_field_lengths(t, values, lengths);
  int64_t n = 0;
  for (int i = 0; i < t->field_count; ++i) n += lengths[i];
  return n;
}

int rec_absent_values_storable(Table* t, const void* const* values) {
  // The first absent stored field must be text and every later one absent.
  int first = -1;
  for (int i = 0; i < t->field_count; ++i) {
    if (t->field_types[i] > kFieldBinary) continue;
    if (values[i] == nullptr) {
      first = i;
      break;
    }
  }
  if (first < 0) return 1;
  bool ok = t->field_types[first] == kFieldText || t->field_types[first] == kFieldTextExact;
  for (int i = first + 1; ok && i < t->field_count; ++i)
    if (t->field_types[i] <= kFieldBinary && values[i] != nullptr) ok = false;
  if (!ok) rec_error = kTbAbsentValue;
  return ok ? 1 : 0;
}

int rec_write(Table* t, int32_t address, int32_t space, const void* const* values, const int32_t* lengths,
              bool word_last) {
  assert(space >= 0 && space <= kRecMaxSpace);
  int64_t n = 0;
  bool absent = false;
  for (int i = 0; i < t->field_count; ++i) {
    n += lengths[i];
    if (values[i] == nullptr && t->field_types[i] <= kFieldBinary) absent = true;
  }
  assert(n <= space);
  // With an absent value the space behind the payload is written too, with
  // a filler holding no zero byte, so that the old bytes there cannot read
  // back as the absent text value (see rec_absent_values_storable). So is
  // the space of a block that is not in the file yet (an exclusive append
  // given a byte more, rec_keeps_sectors_whole), or it would end past the
  // end of the file.
  const int64_t out = absent || !word_last ? space : n;
  // The length word and the fields go out in one write, so that a failing
  // write leaves either nothing or a torn block, never a word without data.
  // A process killed inside a write that spans pages may leave only its
  // first pages written. With `word_last` the block already lies in the file
  // under its free length word: the fields go out first and the word after
  // them, so that such a kill leaves the block free, never a record whose
  // word stands over fields written only in part.
  uint8_t small[512];
  uint8_t* block = small;
  if (out + 2 > static_cast<int64_t>(sizeof small)) {
    block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(out) + 2));
    if (block == nullptr) {
      rec_error = kTbNoMemory;
      return -1;
    }
  }
  put_i16(block, space);
  int32_t at = 2;
  for (int i = 0; i < t->field_count; ++i) {
    if (lengths[i] > 0) std::memcpy(block + at, values[i], static_cast<size_t>(lengths[i]));
    at += lengths[i];
  }
  if (out > n) {
    std::memset(block + at, 0xFF, static_cast<size_t>(out - n));
    at += static_cast<int32_t>(out - n);
  }
  int rc = 1;
  if (word_last && at > 2) rc = rec_data_write(t, address + 2, at - 2, block + 2);
  if (word_last) rec_order_point(t);
  if (rc == 1) rc = rec_data_write(t, address, word_last ? 2 : at, block);
  if (block != small) std::free(block);
  return rc;
}

int rec_read_word(Table* t, int32_t address, int16_t* word) {
  if (!t->shared && address != 0) {
    // Nothing was written since these bytes were read or written here.
    if (t->word_cache_address == address) {
      *word = t->word_cache_value;
      return 1;
    }
    if (t->head_cache_address == address && t->head_cache_length >= 2) {
      *word = get_i16(t->head_cache);
      return 1;
    }
  }
  uint8_t b[2];
  if (io_read_at(t->data_file, address, 2, b) != 1) {
    rec_error = kTbDataFile;
    return -1;
  }
  *word = get_i16(b);
  return 1;
}

int32_t rec_keeps_sectors_whole(int64_t address, int32_t space) {
  const bool straddles = (address + 2 + space) % kRecSector == kRecSector - 1;
  return straddles && space < kRecMaxSpace ? space + 1 : space;
}

void rec_order_point(Table* t) {
  // A table open alone is made durable at its flush or close, never change
  // by change: between those its files are not trusted after a power cut
  // anyway, and a flush per write would make bulk work crawl.
  if (t->shared && t->written_to != 0) t->order_asked = 1;
}

int rec_flush_data(Table* t) {
  // A flush to disk costs as much with nothing to write: a file whose
  // writes are all on disk is left alone.
  if (t->data_synced) return 1;
  if (io_flush(t->data_file) != 1) {
    rec_error = kTbDataFile;
    return -1;
  }
  t->data_synced = 1;
  t->written_to = 0;
  t->order_asked = 0;
  t->released_count = 0;
  t->vacated_length = 0;
  return 1;
}

int rec_data_write(Table* t, int32_t address, int32_t length, const void* bytes) {
  const int64_t to = int64_t{address} + length;
  if (t->order_asked) {
    const int64_t sector = t->written_from / kRecSector;
    const bool one_sector = (t->written_to - 1) / kRecSector == sector && address / kRecSector == sector &&
                            (to - 1) / kRecSector == sector;
    if (!one_sector && rec_flush_data(t) != 1) return -1;
  }
  if (t->shared) {
    // Counted before the write: a failed one may have left part of itself.
    if (t->written_to == 0) t->written_from = address;
    t->written_from = std::min(t->written_from, address);
    t->written_to = static_cast<int32_t>(std::max<int64_t>(t->written_to, to));
  }
  rec_data_written(t);
  if (io_write_at(t->data_file, address, length, bytes) != 1) {
    rec_error = kTbDataFile;
    return -1;
  }
  return 1;
}

void rec_note_released(Table* t, int32_t address, int32_t space) {
  if (!t->shared || t->released_count < 0) return;
  if (t->released_count == static_cast<int32_t>(sizeof t->released_from / sizeof t->released_from[0])) {
    t->released_count = -1;
    return;
  }
  t->released_from[t->released_count] = address;
  t->released_to[t->released_count] = address + 2 + space;
  ++t->released_count;
}

void rec_order_before_reuse(Table* t, int32_t address, int32_t space) {
  if (!t->shared || t->released_count == 0) return;
  const int64_t to = int64_t{address} + 2 + space;
  bool over = t->released_count < 0;
  for (int32_t i = 0; i < t->released_count && !over; ++i)
    over = address < t->released_to[i] && t->released_from[i] < to;
  if (over) rec_order_point(t);
}

void rec_note_vacated_key(Table* t, const uint8_t* key, int length) {
  if (!t->shared || t->vacated_length < 0) return;
  const int32_t need = t->vacated_length + 2 + length;
  if (need > t->vacated_room) {
    const int32_t room = need * 2 < 4096 ? 4096 : need * 2;
    auto* grown = static_cast<uint8_t*>(std::realloc(t->vacated_keys, static_cast<size_t>(room)));
    if (grown == nullptr) {
      t->vacated_length = -1;
      return;
    }
    t->vacated_keys = grown;
    t->vacated_room = room;
  }
  put_i16(t->vacated_keys + t->vacated_length, length);
  std::memcpy(t->vacated_keys + t->vacated_length + 2, key, static_cast<size_t>(length));
  t->vacated_length = need;
}

namespace {

// Whether `found(key, length)` holds for a key of a unique index built from
// `values`, each in the engine key buffer. A key that cannot be built is
// passed over: the change itself fails on it.
template <typename Found>
bool any_unique_key(Table* t, const void* const* values, Found found) {
  for (TableIndex* ix = t->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == 0 || ix->unique_marks == 0) continue;
    const int length = rec_build_key(t, ix, values);
    if (length >= 0 && found(ix, rec_key_buffer(), length)) return true;
  }
  return false;
}

}  // namespace

void rec_note_vacated_keys(Table* t, const void* const* values) {
  if (!t->shared) return;
  (void)any_unique_key(t, values, [t](TableIndex*, const uint8_t* key, int length) {
    rec_note_vacated_key(t, key, length);
    return false;
  });
}

void rec_order_before_claim(Table* t, const void* const* values) {
  if (!t->shared || t->vacated_length == 0) return;
  // Keys compare in the order of the index they belong to.
  const bool taken = t->vacated_length < 0 ||
                     any_unique_key(t, values, [t](TableIndex* ix, const uint8_t* key, int length) {
    for (int32_t at = 0; at < t->vacated_length; at += 2 + get_i16(t->vacated_keys + at))
      if (ix->handle->compare(t->vacated_keys + at + 2, get_i16(t->vacated_keys + at), key, length) == 0) return true;
    return false;
  });
  if (taken) rec_order_point(t);
}

int rec_write_word(Table* t, int32_t address, int32_t word) {
  uint8_t b[2];
  put_i16(b, word);
  if (rec_data_write(t, address, 2, b) != 1) return -1;
  if (!t->shared) {
    t->word_cache_address = address;
    t->word_cache_value = get_i16(b);
  }
  return 1;
}

// --- reading -------------------------------------------------------------------

namespace {

bool windowed(const Table* t) { return t->shared && (t->lock_bits & kLockTableRead) != 0; }

// Whether the read window holds [at, at + length); then copies it to `out`.
bool from_window(const Table* t, int64_t at, int32_t length, uint8_t* out) {
  if (t->window_length == 0 || at < t->window_address || at + length > int64_t{t->window_address} + t->window_length)
    return false;
  std::memcpy(out, t->read_window + (at - t->window_address), static_cast<size_t>(length));
  return true;
}

// Reads the window from `address` on, up to the end of the file. False when
// that read cannot be made: the caller reads as without a window.
bool fill_window(Table* t, int32_t address) {
  t->window_length = 0;
  if (t->read_window == nullptr) t->read_window = static_cast<uint8_t*>(std::malloc(kTbReadWindowBytes));
  int32_t size = 0;
  if (t->read_window == nullptr || io_file_size(t->data_file, &size) != 1 || size - address < 2) return false;
  const int32_t length = size - address < kTbReadWindowBytes ? size - address : kTbReadWindowBytes;
  if (io_read_at(t->data_file, address, length, t->read_window) != 1) return false;
  t->window_address = address;
  t->window_length = length;
  return true;
}

}  // namespace

int rec_read_head(Table* t, int32_t address, BlockHead* head) {
  head->have = 0;
  int32_t want = 2 + kRecFirstRead;
  // The window is read when the scan goes on in record order (the block
  // starts in the window or right after the record read last): a table
  // whose index order is not its record order reads one first read per
  // record, as without a window, not a window per record.
  const bool next_up = address >= t->window_address && address <= t->window_address + t->window_length;
  if (windowed(t) && (from_window(t, address, want, head->bytes) || (next_up && fill_window(t, address)))) {
    // A window that ends with the file may hold less than a first read.
    const int32_t held = t->window_address + t->window_length - address;
    if (held < want) want = held;
    (void)from_window(t, address, want, head->bytes);
    head->word = get_i16(head->bytes);
    const int32_t contents = head->word < 0 ? 0 : head->word;
    head->have = contents < want - 2 ? contents : want - 2;
    return 1;
  }
  // An exclusive table knows where its data file ends (see Table::data_end):
  // the first read then never runs past it.
  if (!t->shared && t->data_end > 0 && int64_t{t->data_end} - address < want)
    want = static_cast<int32_t>(int64_t{t->data_end} - address > 0 ? t->data_end - address : 0);
  if (!t->shared && t->head_cache_address == address && t->head_cache_length >= 2) {
    // Read since the last write to the file: the bytes are as they were.
    std::memcpy(head->bytes, t->head_cache, static_cast<size_t>(t->head_cache_length));
    head->word = get_i16(head->bytes);
    int32_t contents = head->word < 0 ? 0 : head->word;
    int32_t held = t->head_cache_length - 2;
    head->have = contents < held ? contents : held;
    return 1;
  }
  if (want >= 2 && io_read_at(t->data_file, address, want, head->bytes) == 1) {
    if (!t->shared) {
      std::memcpy(t->head_cache, head->bytes, static_cast<size_t>(want));
      t->head_cache_address = address;
      t->head_cache_length = want;
    }
    head->word = get_i16(head->bytes);
    int32_t contents = head->word < 0 ? 0 : head->word;
    head->have = contents < want - 2 ? contents : want - 2;
    if (windowed(t)) {  // nothing held; a read of the next block fills the window
      t->window_address = address + 2 + contents;
      t->window_length = 0;
    }
    return 1;
  }
  // The long read failed (the block lies near the end of the file, or worse):
  // the word alone, which tells a short file from a failing one as before.
  return rec_read_word(t, address, &head->word);
}

int rec_read_rest(Table* t, int32_t address, const BlockHead& head, uint8_t* out) {
  assert(head.word >= 0 && head.have <= head.word);
  if (head.have > 0) std::memcpy(out, head.bytes + 2, static_cast<size_t>(head.have));
  const int32_t rest = head.word - head.have;
  if (rest == 0 || (windowed(t) && from_window(t, int64_t{address} + 2 + head.have, rest, out + head.have))) return 1;
  if (io_read_at(t->data_file, address + 2 + head.have, rest, out + head.have) != 1) {
    if (io_os_error == kIoShortTransfer) return rec_corrupt(address);
    rec_error = kTbDataFile;
    return -1;
  }
  return 1;
}

void rec_split_fields(Table* t, uint8_t* contents, int32_t space, uint8_t** fields) {
  int32_t remainder = space;
  uint8_t* p = contents;
  int i = 0;
  for (; i < t->field_count; ++i) {
    int32_t len;
    uint8_t type = t->field_types[i];
    if (type == kFieldText || type == kFieldTextExact) {
      // A text ends at its zero byte; one missing from the rest of the
      // contents means the field does not fit.
      const void* zero = remainder > 0 ? std::memchr(p, 0, static_cast<size_t>(remainder)) : nullptr;
      if (zero == nullptr) break;
      len = static_cast<int32_t>(static_cast<const uint8_t*>(zero) - p) + 1;
    } else {
      len = rec_field_length(t, i, p);
    }
    if (len > remainder) break;
    fields[i] = p;
    p += len;
    remainder -= len;
  }
  for (; i <= t->field_count; ++i) fields[i] = nullptr;
}

namespace {

// Takes the temporary lock on `address` (shared mode, when nothing holds it
// yet and the caller holds no table read lock, which keeps every change out)
// and reads the block's head. A free block, or a word that is no record at
// all, is refused as damage. 1 / -1.
int read_locked_head(Table* t, int32_t address, BlockHead* head, int* took) {
  *took = 0;
  if (address < t->first_record) return rec_corrupt(address);
  if ((t->lock_bits & kLockTableRead) == 0 && rec_take_temp_lock(t, address, took) != 1) return -1;
  if (rec_read_head(t, address, head) != 1) return -1;
  if (head->word < 0) return rec_corrupt(address);
  return 1;
}

int finish_read(Table* t, int took, int rc) {
  if (took && rec_release_temp_lock(t) != 1 && rc == 1) return -1;
  return rc;
}

}  // namespace

int rec_read(Table* t, int32_t address, RecordContents* out) {
  *out = RecordContents{};
  BlockHead head;
  int took;
  if (read_locked_head(t, address, &head, &took) != 1) return finish_read(t, took, -1);
  const int16_t word = head.word;
  out->space = word;
  // One spare byte keeps a record of no payload from being a zero-byte
  // allocation.
  out->bytes = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(word) + 1));
  out->fields = static_cast<uint8_t**>(std::malloc(sizeof(uint8_t*) * (static_cast<size_t>(t->field_count) + 1)));
  if (out->bytes == nullptr || out->fields == nullptr) {
    rec_free_contents(out);
    rec_error = kTbNoMemory;
    return finish_read(t, took, -1);
  }
  if (rec_read_rest(t, address, head, out->bytes) != 1) {
    rec_free_contents(out);
    return finish_read(t, took, -1);
  }
  if (finish_read(t, took, 1) != 1) {
    rec_free_contents(out);
    return -1;
  }
  rec_split_fields(t, out->bytes, word, out->fields);
  return 1;
}

void rec_free_contents(RecordContents* c) {
  std::free(c->bytes);
  std::free(c->fields);
  *c = RecordContents{};
}

int rec_read_into(Table* t, int32_t address, RecordHolder* h) {
  if (h->fields == nullptr) {
    h->fields = static_cast<uint8_t**>(std::malloc(sizeof(uint8_t*) * (static_cast<size_t>(t->field_count) + 1)));
    if (h->fields == nullptr) {
      rec_error = kTbNoMemory;
      return -1;
    }
  }
  BlockHead head;
  int took;
  if (read_locked_head(t, address, &head, &took) != 1) return finish_read(t, took, -1);
  const int16_t word = head.word;
  if (h->bytes == nullptr || word + 1 > h->capacity) {
    int32_t capacity = word + 1 > h->capacity ? word + 1 : h->capacity;
    auto* bytes = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity)));
    if (bytes == nullptr) {
      rec_error = kTbNoMemory;
      return finish_read(t, took, -1);
    }
    std::free(h->bytes);
    h->bytes = bytes;
    h->capacity = capacity;
  }
  if (rec_read_rest(t, address, head, h->bytes) != 1) return finish_read(t, took, -1);
  if (finish_read(t, took, 1) != 1) return -1;
  h->space = word;
  rec_split_fields(t, h->bytes, word, h->fields);
  return 1;
}

void rec_free_holder(RecordHolder* h) {
  std::free(h->bytes);
  std::free(h->fields);
  *h = RecordHolder{};
}

RecordValues::RecordValues(const Table* t, uint8_t* const* fields) : small_{}, values_(small_) {
  const size_t n = static_cast<size_t>(t->field_count) + 1;
  if (n > sizeof small_ / sizeof small_[0]) {
    values_ = static_cast<const void**>(std::malloc(n * sizeof(const void*)));
    if (values_ == nullptr) {
      rec_error = kTbNoMemory;
      return;
    }
  }
  for (size_t i = 0; i < n; ++i) values_[i] = fields[i];
}

RecordValues::~RecordValues() {
  if (values_ != small_) std::free(values_);
}
