// TableHandle: the object through which the Monitor and the notes program
// work on one table of the engine. It owns the open engine Table, one
// malloc'd buffer per field, the sorted field and index names, the current
// index with its key-buffer list, the last error and the record lock that
// readRecord (1) took.
//
// Records move between the table and the field buffers: setField fills a
// buffer, findKey searches the current index with the buffers of its key
// fields, addRecord and updateRecord write all buffers as one record,
// readRecord fills them from the current record and getField hands one out.
//
// Results are small integers: 1 success, -1 failure with an error recorded,
// 2 / 3 from findKey (found / positioned on the next greater key), -2 / -3
// when the current index is not on a record, -4 when a record lock is held by
// another process after all retries (never recorded as an error).
//
// Recording an error sets tb_error and lastError() to the code; for code 9
// (the index layer failed) it also keeps the index layer's location, error
// and operation numbers. The error state is cleared by open and create and
// survives close.
//
// Invariants while a table is open:
//   (1) fieldBuffers_ has fieldCount_ + 1 entries, the last null; each
//       buffer is malloc'd (the engine may free and replace it on a read)
//       and bufferSizes_[i] is its size; buffers only grow.
//   (2) currentIndex_ is set and indexNames_[currentIndexNo_] is its name.
//   (3) keyBuffers_[k] is fieldBuffers_[f] for the field f that is key field
//       k of the current index: whenever a buffer is replaced by a larger
//       one, every key-buffer entry on the old buffer moves to the new one.
//   (4) indexNames_ holds the engine's index names (borrowed, valid until
//       the engine's index list changes), sorted by nt_compare.
//
// No locks of its own: one thread at a time, like the engine beneath it.
#pragma once

#include <cstdint>

#include "engine/table.h"

class TableHandle {
 public:
  TableHandle() = default;  // every field zero: closed
  ~TableHandle();
  TableHandle(const TableHandle&) = delete;
  TableHandle& operator=(const TableHandle&) = delete;

  // Opening and closing. mode bit 0: shared, bit 1: read-only.
  int open(const char* baseName, int mode);
  // `fieldNames`: null-terminated declarations ("Path", "Size,L", ...).
  // The new table is open exclusive and writable.
  int create(const char* baseName, const char* const* fieldNames, int pageSize);
  int close();

  // Engine-wide operations; no handle involved, the engine error tells why.
  static int startEngine(int bufferCount, int pageSize);
  static int copyTable(const char* sourceBase, const char* targetBase, const char* indexName, int shared,
                       int pageSize);
  static int deleteTable(const char* baseName);

  // Catalogue access.
  int fieldNumber(const char* name);  // case-insensitive, type suffix ignored
  // The declaration as stored, suffix included (index definitions name key
  // fields by it; owned by the table), and the type code it gives. Null / -1
  // with an error recorded when the table is closed or the number is out of
  // range.
  const char* fieldName(int fieldNo);
  int fieldType(int fieldNo);
  int setField(int fieldNo, const void* value);  // text types: a terminated string
  char* getField(int fieldNo);  // text: terminated string; others: the engine's bytes

  // Index selection.
  int indexCount();
  int indexName(int position, char* buffer, int bufferSize);
  int setIndex(const char* indexName);
  int createIndex(const char* indexName, const char* const* keyFields);
  int rebuild(int pageSize, int replace);

  // Table locks: 1 read, 2 write.
  int lockTable(int mode);
  int unlockTable(int mode);
  int flush();  // data file, then index file; held locks stay

  // Record operations, on the current index.
  int findKey();
  int firstRecord();
  int nextRecord();  // the next record of the current index: 1, -3 past the last, -1
  int readRecord(int lock);
  int addRecord();
  int updateRecord();
  int deleteRecord();
  int lockRecord(int32_t* lockNo);
  int unlockRecord(int32_t lockNo);

  // State, for callers' diagnostics and for tests.
  bool isOpen() const { return table_ != nullptr; }
  int lastError() const { return lastError_; }
  int32_t lowerLocation() const { return lowerLocation_; }
  int32_t lowerError() const { return lowerError_; }
  int32_t lowerOperation() const { return lowerOperation_; }
  int32_t heldLock() const { return heldLock_; }
  int32_t fieldCount() const { return fieldCount_; }
  int32_t bufferSize(int fieldNo) const {
    return fieldNo >= 0 && fieldNo < fieldCount_ ? bufferSizes_[fieldNo] : -1;
  }
  void* const* keyBuffers() const { return keyBuffers_; }
  int32_t keyFieldCount() const { return keyFieldCount_; }

 private:
  int opened(Table* t);
  int load();
  void release();
  int loadIndexNames();
  int selectInitialIndex();
  int releaseHeldLock();
  void refreshKeyBuffers();
  int fail(int code);
  int failEngine() { return fail(tb_error); }
  int noTable() { return fail(kTbNotOpen); }

  Table* table_ = nullptr;
  void** fieldBuffers_ = nullptr;
  int32_t fieldCount_ = 0;
  char** fieldNames_ = nullptr;
  int32_t* bufferSizes_ = nullptr;
  void* nameBlock_ = nullptr;
  char** sortedNames_ = nullptr;
  int32_t* sortedToField_ = nullptr;
  uint8_t* fieldTypes_ = nullptr;
  TableIndex* currentIndex_ = nullptr;
  int32_t indexCount_ = 0;
  char** indexNames_ = nullptr;
  int32_t currentIndexNo_ = 0;
  void** keyBuffers_ = nullptr;
  int32_t keyFieldCount_ = 0;
  int32_t lowerLocation_ = 0;
  int32_t lowerError_ = 0;
  int32_t lowerOperation_ = 0;
  int32_t lastError_ = 0;
  int32_t heldLock_ = 0;
};
