// TableHandle (see table_handle.h): loading a table into the handle, field
// buffers, index selection and the record operations over the engine.
#include "table_handle/table_handle.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cache/file_io.h"
#include "engine/engine.h"
#include "records/records.h"
#include "table_handle/name_table.h"

namespace {

constexpr char kPhysicalIndexName[] = "Physical Index";
constexpr int kDefaultBufferCount = 16;
constexpr int kDefaultPageSize = 512;
constexpr int32_t kInitialTextBuffer = 10;

// Initial buffer size of a field of `type`; `width` is a binary field's.
int32_t initialBufferSize(int type, int width) {
  switch (type) {
    case kFieldText:
    case kFieldTextExact:
      return kInitialTextBuffer;
    case kFieldInt16:
    case kFieldUInt16:
      return 2;
    case kFieldInt32:
    case kFieldFloat32:
      return 4;
    case kFieldFloat64:
      return 8;
    case kFieldBinary:
      return width;
    default:
      return 0;
  }
}

// A zero-filled block of `size` bytes; at least one byte is allocated so
// that an empty buffer is still a real one the engine may free.
void* zeroedBuffer(size_t size) { return std::calloc(size > 0 ? size : 1, 1); }

// The engine's message writer while the handle layer runs it: diagnostics
// go to standard output.
int writeMessage(const char* text) {
  if (text != nullptr) std::cout << text;
  std::cout.flush();
  return std::cout.fail() ? -1 : 1;
}

}  // namespace

TableHandle::~TableHandle() { (void)close(); }

// ---------------------------------------------------------------------------
// Errors and the held lock.

int TableHandle::fail(int code) {
  tb_set_error(code);
  lastError_ = code;
  if (code == kTbIndexLayer) {
    lowerLocation_ = ix_error_site;
    lowerError_ = ix_error;
    lowerOperation_ = ix_operation;
  }
  return -1;
}

int TableHandle::releaseHeldLock() {
  if (heldLock_ == 0) return 1;
  int32_t number = heldLock_;
  heldLock_ = 0;
  return tb_unlock_record(table_, number) == 1 ? 1 : failEngine();
}

// ---------------------------------------------------------------------------
// Engine-wide operations.

int TableHandle::startEngine(int bufferCount, int pageSize) {
  if (tb_startup(bufferCount, pageSize) != 1) return -1;
  (void)tb_set_message_writer(writeMessage);
  return 1;
}

int TableHandle::copyTable(const char* sourceBase, const char* targetBase, const char* indexName, int shared,
                           int pageSize) {
  return tb_copy(sourceBase, targetBase, indexName, pageSize, shared == 1 ? 1 : 0);
}

int TableHandle::deleteTable(const char* baseName) { return tb_delete_table(baseName); }

// ---------------------------------------------------------------------------
// Opening, loading and closing.

int TableHandle::open(const char* baseName, int mode) {
  if (!tb_started() && startEngine(kDefaultBufferCount, kDefaultPageSize) != 1) return failEngine();
  if (close() != 1) return -1;
  lastError_ = lowerLocation_ = lowerError_ = lowerOperation_ = 0;
  Table* t = tb_open(baseName, mode & 1, (mode >> 1) & 1);
  if (t == nullptr) return failEngine();
  return opened(t);
}

int TableHandle::create(const char* baseName, const char* const* fieldNames, int pageSize) {
  if (!tb_started() && startEngine(kDefaultBufferCount, kDefaultPageSize) != 1) return failEngine();
  if (close() != 1) return -1;
  lastError_ = lowerLocation_ = lowerError_ = lowerOperation_ = 0;
  if (baseName == nullptr || fieldNames == nullptr) return fail(kTbMissingArgument);
  Table* t = tb_create(baseName, pageSize, fieldNames);
  if (t == nullptr) return failEngine();
  return opened(t);
}

// Takes over a table the engine has just opened or created.
int TableHandle::opened(Table* t) {
  table_ = t;
  if (load() == 1) return 1;
  int code = lastError_;
  (void)tb_close(t);
  release();
  tb_set_error(code);  // the close cleared it; the loading error is the cause
  return -1;
}

int TableHandle::load() {
  fieldCount_ = tb_field_count(table_);
  fieldNames_ = tb_field_names(table_);
  if (fieldCount_ < 0 || fieldNames_ == nullptr) return failEngine();
  const size_t count = static_cast<size_t>(fieldCount_);
  fieldBuffers_ = static_cast<void**>(std::calloc(count + 1, sizeof(void*)));
  bufferSizes_ = static_cast<int32_t*>(std::calloc(count + 1, sizeof(int32_t)));
  fieldTypes_ = static_cast<uint8_t*>(std::calloc(count + 1, 1));
  if (fieldBuffers_ == nullptr || bufferSizes_ == nullptr || fieldTypes_ == nullptr) return fail(kTbNoMemory);
  if (loadIndexNames() != 1) return -1;

  for (int i = 0; i < fieldCount_; ++i) {
    int type = tb_field_type(table_, i);
    int width = type == kFieldBinary ? tb_field_width(table_, i) : 0;
    if (type < 0 || width < 0) return failEngine();
    int32_t size = initialBufferSize(type, width);
    fieldBuffers_[i] = zeroedBuffer(static_cast<size_t>(size));
    if (fieldBuffers_[i] == nullptr) return fail(kTbNoMemory);
    bufferSizes_[i] = size;
    fieldTypes_[i] = static_cast<uint8_t>(type);
  }
  fieldBuffers_[fieldCount_] = nullptr;  // invariant (1)
  return selectInitialIndex();
}

// Copies and sorts the engine's index names. A current index keeps its
// place in the new order (invariant 2); its name is told by address, since
// the engine keeps the names of the indexes that stay.
int TableHandle::loadIndexNames() {
  char** names = tb_index_names(table_);
  if (names == nullptr) return failEngine();
  int32_t count = 0;
  while (names[count] != nullptr) ++count;
  auto** copy = static_cast<char**>(std::malloc((static_cast<size_t>(count) + 1) * sizeof(char*)));
  if (copy == nullptr) return fail(kTbNoMemory);
  std::memcpy(copy, names, (static_cast<size_t>(count) + 1) * sizeof(char*));
  nt_sort(copy, count);

  int32_t position = -1;
  if (currentIndex_ != nullptr) {
    const char* current = indexNames_[currentIndexNo_];
    for (int32_t i = 0; i < count; ++i)
      if (copy[i] == current) position = i;
  }
  std::free(indexNames_);
  indexNames_ = copy;
  indexCount_ = count;
  if (position < 0) {
    currentIndex_ = nullptr;  // gone from the table: the caller selects anew
    position = 0;
  }
  currentIndexNo_ = position;
  return 1;
}

// A table whose names begin with the physical index starts on the index
// after it, so that the notes table starts on its path index.
int TableHandle::selectInitialIndex() {
  if (indexCount_ == 0) return fail(kTbNoSuchIndex);
  int first = indexCount_ >= 2 && nt_compare(indexNames_[0], kPhysicalIndexName) == 0 ? 1 : 0;
  return setIndex(indexNames_[first]);
}

int TableHandle::close() {
  if (table_ == nullptr) return 1;
  int rc = tb_close(table_);
  int code = tb_error;
  release();
  return rc == 1 ? 1 : fail(code);
}

// Frees everything the handle owns and zeroes every field but the error
// state.
void TableHandle::release() {
  if (fieldBuffers_ != nullptr)
    for (int i = 0; i < fieldCount_; ++i) std::free(fieldBuffers_[i]);
  std::free(fieldBuffers_);
  std::free(bufferSizes_);
  std::free(nameBlock_);
  std::free(sortedToField_);
  std::free(fieldTypes_);
  std::free(indexNames_);
  std::free(keyBuffers_);
  table_ = nullptr;
  fieldBuffers_ = nullptr;
  fieldCount_ = 0;
  fieldNames_ = nullptr;
  bufferSizes_ = nullptr;
  nameBlock_ = nullptr;
  sortedNames_ = nullptr;
  sortedToField_ = nullptr;
  fieldTypes_ = nullptr;
  currentIndex_ = nullptr;
  indexCount_ = 0;
  indexNames_ = nullptr;
  currentIndexNo_ = 0;
  keyBuffers_ = nullptr;
  keyFieldCount_ = 0;
  heldLock_ = 0;
}

// ---------------------------------------------------------------------------
// Catalogue access.

int TableHandle::fieldNumber(const char* name) {
  if (table_ == nullptr) return noTable();
  if (name == nullptr) return fail(kTbNoSuchField);
  if (nameBlock_ == nullptr &&
      nt_build_field_table(fieldNames_, fieldCount_, &nameBlock_, &sortedNames_, &sortedToField_) != 1)
    return fail(kTbNoMemory);
  int position = nt_find(sortedNames_, fieldCount_, name);
  if (position < 0) return fail(kTbNoSuchField);
  return sortedToField_[position];
}

const char* TableHandle::fieldName(int fieldNo) {
  if (table_ == nullptr || fieldNo < 0 || fieldNo >= fieldCount_) {
    (void)(table_ == nullptr ? noTable() : fail(kTbFieldRange));
    return nullptr;
  }
  return fieldNames_[fieldNo];
}

int TableHandle::fieldType(int fieldNo) {
  if (table_ == nullptr) return noTable();
  if (fieldNo < 0 || fieldNo >= fieldCount_) return fail(kTbFieldRange);
  return fieldTypes_[fieldNo];
}

int TableHandle::setField(int fieldNo, const void* value) {
  if (table_ == nullptr) return noTable();
  if (fieldNo < 0 || fieldNo >= fieldCount_) return fail(kTbFieldRange);
  const int type = fieldTypes_[fieldNo];
  if (type != kFieldText && type != kFieldTextExact && type != kFieldBinary) return fail(kTbNotText);
  if (value == nullptr) return fail(kTbMissingArgument);
  if (type == kFieldBinary) {
    // Binary buffers keep the field's width: the engine never grows them.
    std::memmove(fieldBuffers_[fieldNo], value, static_cast<size_t>(bufferSizes_[fieldNo]));
    return 1;
  }
  const size_t length = std::strlen(static_cast<const char*>(value)) + 1;
  if (length > static_cast<size_t>(bufferSizes_[fieldNo])) {
    if (length > static_cast<size_t>(INT32_MAX)) return fail(kTbNoMemory);
    void* grown = zeroedBuffer(length);
    if (grown == nullptr) return fail(kTbNoMemory);
    void* old = fieldBuffers_[fieldNo];
    for (int k = 0; k < keyFieldCount_; ++k)
      if (keyBuffers_[k] == old) keyBuffers_[k] = grown;  // invariant (3)
    fieldBuffers_[fieldNo] = grown;
    bufferSizes_[fieldNo] = static_cast<int32_t>(length);
    std::free(old);
  }
  std::memmove(fieldBuffers_[fieldNo], value, length);
  return 1;
}

char* TableHandle::getField(int fieldNo) {
  if (table_ == nullptr) {
    (void)noTable();
    return nullptr;
  }
  if (fieldNo < 0 || fieldNo >= fieldCount_) {
    (void)fail(kTbFieldRange);
    return nullptr;
  }
  return static_cast<char*>(fieldBuffers_[fieldNo]);
}

// ---------------------------------------------------------------------------
// Index selection.

int TableHandle::indexCount() {
  if (table_ == nullptr) return noTable();
  return indexCount_;
}

int TableHandle::indexName(int position, char* buffer, int bufferSize) {
  if (table_ == nullptr) return noTable();
  if (position < 0 || position >= indexCount_) return fail(kTbIndexPosition);
  if (buffer == nullptr) return fail(kTbMissingArgument);
  const size_t length = std::strlen(indexNames_[position]) + 1;
  if (bufferSize < 0 || static_cast<size_t>(bufferSize) < length) return fail(kTbCallerBuffer);
  std::memcpy(buffer, indexNames_[position], length);
  return 1;
}

int TableHandle::setIndex(const char* indexName) {
  if (table_ == nullptr) return noTable();
  if (indexName == nullptr) return fail(kTbNoSuchIndex);
  int position = nt_find(indexNames_, indexCount_, indexName);
  if (position < 0) return fail(kTbNoSuchIndex);
  if (currentIndex_ != nullptr && position == currentIndexNo_) return 1;

  TableIndex* ix = tb_find_index(table_, indexNames_[position]);
  if (ix == nullptr) return failEngine();
  int count = tb_key_field_count(table_, ix);
  if (count < 0) return failEngine();
  auto** list = static_cast<void**>(std::malloc(static_cast<size_t>(count > 0 ? count : 1) * sizeof(void*)));
  if (list == nullptr) return fail(kTbNoMemory);
  for (int k = 0; k < count; ++k) {
    int field = tb_key_field(table_, ix, k);
    if (field < 0 || field >= fieldCount_) {
      std::free(list);
      return field < 0 ? failEngine() : fail(kTbKeyFieldRange);
    }
    list[k] = fieldBuffers_[field];
  }
  std::free(keyBuffers_);
  keyBuffers_ = list;
  keyFieldCount_ = count;
  currentIndex_ = ix;
  currentIndexNo_ = position;
  return 1;
}

// Points every key-buffer entry at its field's current buffer again, after
// the engine may have replaced buffers on a read (invariant 3).
void TableHandle::refreshKeyBuffers() {
  for (int k = 0; k < keyFieldCount_; ++k) {
    int field = tb_key_field(table_, currentIndex_, k);
    if (field >= 0 && field < fieldCount_) keyBuffers_[k] = fieldBuffers_[field];
  }
}

int TableHandle::createIndex(const char* indexName, const char* const* keyFields) {
  if (table_ == nullptr) return noTable();
  if (tb_create_index(table_, indexName, keyFields) != 1) return failEngine();
  if (loadIndexNames() != 1) return -1;
  return setIndex(indexName);
}

// The engine frees and rebuilds every index object of the table, also when
// it fails part way, so the handle reloads its names and starts on the
// physical index whatever the result; a refused rebuild does the same.
int TableHandle::rebuild(int pageSize, int replace) {
  if (table_ == nullptr) return noTable();
  int rc = tb_rebuild(table_, pageSize, replace);
  int code = tb_error;
  currentIndex_ = nullptr;
  int reloaded = loadIndexNames() == 1 && setIndex(kPhysicalIndexName) == 1 ? 1 : -1;
  if (rc != 1) return fail(code);
  return reloaded;
}

// ---------------------------------------------------------------------------
// Table locks.

int TableHandle::lockTable(int mode) {
  if (table_ == nullptr) return noTable();
  int rc = tb_lock_table(table_, mode);
  return rc == -1 ? failEngine() : rc;
}

// Under a held write lock the record operations leave the data file
// unflushed and the index file's commit deferred; giving the lock back
// commits the index file. The data file goes to disk first, as each change
// does on its own, so that no committed index entry refers to record bytes
// that never reached the disk (shared mode only: in exclusive mode nothing
// is committed at the unlock). The lock is given back even when that flush
// fails, and the flush's failure is the one reported.
int TableHandle::unlockTable(int mode) {
  if (table_ == nullptr) return noTable();
  int flushed = 1;
  int code = 0;
  if (mode == 2 && tb_check_table(table_) == 1 && table_->shared) {
    flushed = rec_flush_data(table_);
    code = tb_error;
  }
  int rc = tb_unlock_table(table_, mode);
  if (flushed != 1) return fail(code);
  return rc == -1 ? failEngine() : rc;
}

// Writes the table's changes to disk, the data file first, keeping any
// table lock held: a commit that can be tried again before the lock goes.
int TableHandle::flush() {
  if (table_ == nullptr) return noTable();
  return rec_flush_data(table_) == 1 && tb_flush_table(table_) == 1 ? 1 : failEngine();
}

// ---------------------------------------------------------------------------
// Record operations.

int TableHandle::findKey() {
  if (table_ == nullptr) return noTable();
  if (releaseHeldLock() != 1) return -1;
  int rc = tb_find_key(table_, currentIndex_, keyBuffers_);
  return rc == -1 ? failEngine() : rc;
}

int TableHandle::firstRecord() {
  if (table_ == nullptr) return noTable();
  if (releaseHeldLock() != 1) return -1;
  int rc = tb_first_record(table_, currentIndex_);
  if (rc != 1 && rc != -3) (void)failEngine();
  return rc;
}

int TableHandle::nextRecord() {
  if (table_ == nullptr) return noTable();
  if (releaseHeldLock() != 1) return -1;
  int rc = tb_next_record(table_, currentIndex_);
  if (rc == -1) (void)failEngine();
  return rc;
}

int TableHandle::readRecord(int lock) {
  if (table_ == nullptr) return noTable();
  if (lock == 1 && heldLock_ == 0) {
    int32_t number = 0;  // stays 0 in exclusive mode: nothing to release
    int rc = tb_lock_record(table_, currentIndex_, &number);
    if (rc == -4) return -4;
    if (rc != 1) return failEngine();
    heldLock_ = number;
  }
  int rc = tb_read_record(table_, currentIndex_, fieldBuffers_, bufferSizes_);
  int code = tb_error;
  // Even a failing read may have grown the buffers of the fields before it.
  refreshKeyBuffers();
  return rc == -1 ? fail(code) : rc;
}

int TableHandle::addRecord() {
  if (table_ == nullptr) return noTable();
  if (releaseHeldLock() != 1) return -1;
  return tb_add_record(table_, currentIndex_, fieldBuffers_) == 1 ? 1 : failEngine();
}

int TableHandle::updateRecord() {
  if (table_ == nullptr) return noTable();
  if (tb_update_record(table_, currentIndex_, fieldBuffers_) == -1) return failEngine();
  return releaseHeldLock();
}

// A lock taken by readRecord (1) is not released here: the engine keeps it
// in the table's lock list until the table is closed.
int TableHandle::deleteRecord() {
  if (table_ == nullptr) return noTable();
  if (tb_delete_record(table_, currentIndex_) == -1) return failEngine();
  heldLock_ = 0;
  return 1;
}

int TableHandle::lockRecord(int32_t* lockNo) {
  if (table_ == nullptr) return noTable();
  if (releaseHeldLock() != 1) return -1;
  int32_t number = lockNo != nullptr ? *lockNo : 0;
  int rc = tb_lock_record(table_, currentIndex_, &number);
  if (rc == -4) return -4;
  if (rc != 1) return failEngine();
  if (lockNo != nullptr) *lockNo = number;
  return 1;
}

int TableHandle::unlockRecord(int32_t lockNo) {
  if (table_ == nullptr) return noTable();
  return tb_unlock_record(table_, lockNo) == 1 ? 1 : failEngine();
}
