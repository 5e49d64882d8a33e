// Bringing a table into use and out of use: tb_open, tb_create,
// tb_flush_table and tb_close; and tb_delete_table, for a table not open.
//
// A table is open in this process when its full data-file name equals, byte
// for byte, the name of a Table on the open-table list; letter case counts.
// A failing tb_open leaves no Table behind; a failing tb_close still removes
// the table. A new table's data file holds only the catalogue and its index
// file only the physical index's directory entry.
#include <cstdlib>
#include <cstring>
#include <new>

#include "btree/btree.h"
#include "engine/engine.h"
#include "records/records.h"

namespace {

constexpr uint8_t kPhysicalKey[] = {0, 'P', 'h', 'y', 's', 'i', 'c', 'a', 'l', ' ', 'I', 'n', 'd', 'e', 'x', 0};
static_assert(sizeof kPhysicalKey == 16);

bool is_open(const char* data_file_name) {
  for (Table* t = tb_tables.head; t != nullptr; t = t->next)
    if (std::strcmp(t->data_file_name, data_file_name) == 0) return true;
  return false;
}

int start_if_needed() {
  if (tb_started()) return 1;
  return tb_startup(16, 512);
}

// Step 4 of tb_close: locks, data file, catalogue, the object. Sets tb_error
// on each failure and returns -1 when there was one.
int free_table(Table* t) {
  int rc = 1;
  if (t->data_file != -1) {
    if (tb_release_record_locks(t) != 1) rc = -1;
    if (io_close(t->data_file) != 0) {
      tb_error = kTbDataFile;
      rc = -1;
    }
  }
  std::free(t->data_file_name);
  std::free(t->field_names);
  std::free(t->catalogue_text);
  std::free(t->field_types);
  std::free(t->field_widths);
  std::free(t->read_window);
  std::free(t->vacated_keys);
  tb_tables.remove(t);
  if (tb_current_table() == t) tb_set_current_table(nullptr);
  delete t;
  return rc;
}

// The flush without the error reset, shared by tb_flush_table and tb_close.
int flush(Table* t) {
  // Every handle of the table is on its one index file: flushing the
  // directory's handle writes the whole file, keyed entries and free-space
  // entries alike. Without an index file there is nothing to flush there.
  IndexHandle* any = t->directory;
  for (TableIndex* p = t->indexes; any == nullptr && p != nullptr; p = p->next) any = p->handle;
  if (any != nullptr && ix_flush(any) != 1) {
    tb_error = kTbIndexLayer;
    return -1;
  }
  return rec_flush_data(t);
}

// Step 4 of tb_create: the index file with its one directory entry.
int create_index_file(const char* name, int page_size) {
  IndexHandle* h = ix_create(name, tb_compare_keys, page_size);
  if (h == nullptr) {
    tb_error = ix_error == kIxPageTooLarge ? kTbPageTooLarge : kTbIndexLayer;
    // A file the index layer created but could not finish is of no use to
    // anyone, and the data file it belonged to is about to go as well.
    (void)io_delete(name);
    return -1;
  }
  int rc = ix_insert(h, kPhysicalKey, sizeof kPhysicalKey, 0, 0);
  if (rc != 1) {
    tb_error = ix_error == kIxNoMemory ? kTbNoMemory : kTbIndexLayer;
    (void)ix_close(h);
    (void)io_delete(name);
    return -1;
  }
  if (ix_close(h) != 1) {
    tb_error = kTbIndexLayer;
    (void)io_delete(name);
    return -1;
  }
  return 1;
}

}  // namespace

Table* tb_open(const char* base_name, int shared, int read_only) {
  tb_error = kTbOk;
  if (base_name == nullptr) {
    tb_error = kTbMissingArgument;
    return nullptr;
  }
  if (start_if_needed() != 1) return nullptr;
  char data_name[kTbNameBuffer];
  char index_name[kTbNameBuffer];
  if (rec_data_file_name(base_name, data_name) == nullptr || rec_index_file_name(base_name, index_name) == nullptr) {
    tb_error = kTbBadName;
    return nullptr;
  }
  if (is_open(data_name)) {
    tb_error = kTbAlreadyOpen;
    return nullptr;
  }
  if (rec_ensure_key_buffer() != 1) return nullptr;

  auto* t = new (std::nothrow) Table{};
  if (t == nullptr) {
    tb_error = kTbNoMemory;
    return nullptr;
  }
  t->data_file = -1;
  t->min_record_size = 3;
  t->lock_slot.number = 1;
  size_t n = std::strlen(data_name) + 1;
  t->data_file_name = static_cast<char*>(std::malloc(n));
  tb_tables.push(t);
  if (t->data_file_name == nullptr) {
    tb_error = kTbNoMemory;
    (void)free_table(t);
    return nullptr;
  }
  std::memcpy(t->data_file_name, data_name, n);

  t->shared = shared ? 1 : 0;
  t->read_only = read_only ? 1 : 0;
  t->data_file = io_open(data_name, t->read_only ? 0 : 1, t->shared);
  if (t->data_file == -1) {
    tb_error = kTbCannotOpen;
    (void)free_table(t);
    return nullptr;
  }
  if (tb_read_catalogue(t) != 1) {
    int keep = tb_error;
    (void)free_table(t);
    tb_error = keep;
    return nullptr;
  }

  // The index layer may compare keys of this table while the directory loads.
  tb_set_current_table(t);
  if (tb_open_index_file(t, index_name) != 1) {
    // The table stays usable in record order; tb_error keeps telling why the
    // index file was not (12 or 9).
    int why = tb_error;
    if (tb_use_physical_index_only(t) != 1) {
      int keep = tb_error;
      (void)tb_close_indexes(t);
      (void)free_table(t);
      tb_error = keep;
      return nullptr;
    }
    tb_error = why;
  }
  t->lock_bits = t->shared ? 0 : (kLockIndexRead | kLockIndexWrite);
  return t;
}

Table* tb_create(const char* base_name, int page_size, const char* const* fields) {
  tb_error = kTbOk;
  if (base_name == nullptr || fields == nullptr) {
    tb_error = kTbMissingArgument;
    return nullptr;
  }
  if (start_if_needed() != 1) return nullptr;
  char data_name[kTbNameBuffer];
  char index_name[kTbNameBuffer];
  if (rec_data_file_name(base_name, data_name) == nullptr) {
    tb_error = kTbBadName;
    return nullptr;
  }
  if (is_open(data_name)) {
    tb_error = kTbAlreadyOpen;
    return nullptr;
  }
  if (rec_index_file_name(base_name, index_name) == nullptr) {
    tb_error = kTbBadName;
    return nullptr;
  }
  // A list whose names block or count does not fit its 16-bit header word
  // could never be read back: refuse it before any file is touched.
  int32_t length = 0, count = 0;
  if (tb_measure_catalogue(fields, &length, &count) != 1) return nullptr;

  (void)io_delete(data_name);
  int file = io_create(data_name);
  if (file == -1) {
    tb_error = kTbDataFile;
    return nullptr;
  }
  int rc = tb_write_catalogue(file, fields, length, count);
  if (io_close(file) != 0 && rc == 1) {
    tb_error = kTbDataFile;
    rc = -1;
  }
  if (rc != 1) {
    (void)io_delete(data_name);
    return nullptr;
  }
  if (create_index_file(index_name, page_size) != 1) {
    (void)io_delete(data_name);
    return nullptr;
  }
  return tb_open(base_name, 0, 0);
}

int tb_flush_table(Table* t) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  return flush(t);
}

int tb_close(Table* t) {
  tb_error = kTbOk;
  if (tb_check_table(t) != 1) return -1;
  int rc = flush(t);
  if (tb_close_indexes(t) != 1) rc = -1;
  if (free_table(t) != 1) rc = -1;
  return rc;
}

int tb_delete_table(const char* base_name) {
  tb_error = kTbOk;
  char data_name[kTbNameBuffer];
  char index_name[kTbNameBuffer];
  if (rec_data_file_name(base_name, data_name) == nullptr) {
    tb_error = kTbBadName;
    return -1;
  }
  for (Table* t = tb_tables.head; t != nullptr; t = t->next) {
    if (t->data_file_name != nullptr && std::strcmp(t->data_file_name, data_name) == 0) {
      tb_error = kTbAlreadyOpen;
      return -1;
    }
  }
  if (rec_index_file_name(base_name, index_name) == nullptr) {
    tb_error = kTbBadName;
    return -1;
  }
  if (io_delete(data_name) != 1 || io_delete(index_name) != 1) {
    tb_error = kTbCannotOpen;
    return -1;
  }
  return 1;
}
