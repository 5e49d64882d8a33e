// The record-layer tests' fixture: tables built through the record
// operations, records of the four-field notes layout, and a reader of the
// data file's length words that does not go through the code under test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cache/bytes.h"
#include "support/table_fixture.h"

using Blocks = std::vector<std::pair<int32_t, int32_t>>;  // (address, length word)

inline std::string fold(std::string s) {  // the case-insensitive text order: A-Z folded
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

// A record of a table of Path, Name,C, Size,L and Remark.
struct Note {
  std::string path, name;
  int32_t size = 0;
  std::string remark;
  bool absent = false;  // the remark is stored as an absent value and reads back empty
  bool operator==(const Note& o) const { return std::tie(path, name, size, remark) == std::tie(o.path, o.name, o.size, o.remark); }
  std::array<const void*, 4> values() const { return {path.c_str(), name.c_str(), &size, absent ? nullptr : remark.c_str()}; }
};
// Reads the current record of `ix` through buffers that must grow.
inline int read_note(Table* t, TableIndex* ix, Note* out) {
  void* b[4] = {std::malloc(4), std::malloc(4), std::malloc(4), std::malloc(4)};
  int32_t sizes[4] = {4, 4, 4, 4};
  const int rc = tb_read_record(t, ix, b, sizes);
  if (rc == 1) *out = Note{static_cast<char*>(b[0]), static_cast<char*>(b[1]), *static_cast<int32_t*>(b[2]), static_cast<char*>(b[3])};
  for (void* p : b) std::free(p);
  return rc;
}

class RecordsTest : public TableTest {
 protected:
  // A text of `n` bytes with its terminator counted: n - 1 letters.
  static std::string text_of(int n, char c = 'r') { return std::string(static_cast<size_t>(n - 1), c); }
  static bool go_to(Table* t, int32_t address) {  // the physical index onto that record
    int rc = tb_first_record(t, tb_physical_index(t));
    while (rc == 1 && t->physical_cursor != address) rc = tb_next_record(t, tb_physical_index(t));
    return rc == 1;
  }
  static int delete_at(Table* t, int32_t address) { return go_to(t, address) ? tb_delete_record(t, tb_physical_index(t)) : -1; }
  static int32_t file_size(Table* t) {
    int32_t size = -1;
    EXPECT_EQ(io_file_size(t->data_file, &size), 1);
    return size;
  }
  static Blocks blocks(Table* t) {  // from first_record to the end of the file, read raw
    Blocks out;
    const int32_t size = file_size(t);
    int64_t at = t->first_record;
    for (uint8_t w[2]; at + 2 <= size; at += 2 + std::abs(out.back().second)) {
      EXPECT_EQ(io_read_at(t->data_file, static_cast<int32_t>(at), 2, w), 1);
      out.emplace_back(static_cast<int32_t>(at), get_i16(w));
    }
    EXPECT_EQ(at, size) << "blocks do not end at the end of the file";
    return out;
  }
  static std::string findings(Table* t) {  // the verifier's, empty when the table is sound
    std::string found;
    const int rc = tb_verify(t, [](void* c, const char* f) { *static_cast<std::string*>(c) += std::string("\n  ") + f; }, &found, 20);
    return rc == 0 ? "" : "verify " + std::to_string(rc) + ":" + found;
  }
};
