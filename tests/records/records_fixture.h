// The record-layer tests' fixture: the shared set-up
// (support/table_fixture.h), tables built through the record operations, and readers that look
// at what is really on disk (the data file's blocks, the free-space entries)
// without going through the code under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cache/bytes.h"
#include "support/table_fixture.h"

// One block of the data file as stored: its address and length word.
struct RawBlock {
  int32_t at;
  int32_t word;
  bool operator==(const RawBlock& o) const { return at == o.at && word == o.word; }
};

// A free block as the free-space entries state it.
struct FreeEntry {
  int32_t at;
  int32_t size;
  bool operator==(const FreeEntry& o) const { return at == o.at && size == o.size; }
};

inline std::ostream& operator<<(std::ostream& os, const RawBlock& b) { return os << "{" << b.at << "," << b.word << "}"; }
inline std::ostream& operator<<(std::ostream& os, const FreeEntry& b) { return os << "{" << b.at << "," << b.size << "}"; }

class RecordsTest : public TableTest {
 protected:
  // Adds a record of two text values; its address, or 0.
  static int32_t add(Table* t, const std::string& path, const std::string& remark) {
    const void* values[] = {path.c_str(), remark.c_str()};
    TableIndex* phys = tb_physical_index(t);
    if (tb_add_record(t, phys, values) != 1) return 0;
    return t->physical_cursor;
  }
  // A text of `n` bytes with its terminator counted: n - 1 letters.
  static std::string text_of(int n, char c = 'r') { return std::string(static_cast<size_t>(n - 1), c); }

  static int create_index(Table* t, const char* name, std::vector<const char*> specs) {
    specs.push_back(nullptr);
    return tb_create_index(t, name, specs.data());
  }

  // Text fields of the current record under `ix`; empty on failure.
  static std::vector<std::string> read_texts(Table* t, TableIndex* ix) {
    std::vector<void*> buffers(static_cast<size_t>(t->field_count));
    std::vector<int32_t> sizes(static_cast<size_t>(t->field_count), 1);
    for (auto& b : buffers) b = std::calloc(1, 1);
    std::vector<std::string> out;
    if (tb_read_record(t, ix, buffers.data(), sizes.data()) == 1)
      for (void* b : buffers) out.emplace_back(static_cast<const char*>(b));
    for (void* b : buffers) std::free(b);
    return out;
  }

  // Positions the physical index on the record at `address`.
  static bool go_to(Table* t, int32_t address) {
    TableIndex* phys = tb_physical_index(t);
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys))
      if (t->physical_cursor == address) return true;
    return false;
  }

  static int delete_at(Table* t, int32_t address) {
    if (!go_to(t, address)) return -1;
    return tb_delete_record(t, tb_physical_index(t));
  }

  // Every block from first_record to the end of the data file, read raw.
  static std::vector<RawBlock> blocks(Table* t) {
    std::vector<RawBlock> out;
    int32_t size = 0;
    EXPECT_EQ(io_file_size(t->data_file, &size), 1);
    int64_t at = t->first_record;
    while (at + 2 <= size) {
      uint8_t w[2];
      EXPECT_EQ(io_read_at(t->data_file, static_cast<int32_t>(at), 2, w), 1);
      int32_t word = get_i16(w);
      out.push_back({static_cast<int32_t>(at), word});
      at += 2 + (word < 0 ? -word : word);
    }
    EXPECT_EQ(at, size) << "blocks do not end at the end of the file";
    return out;
  }

  static int32_t file_size(Table* t) {
    int32_t size = -1;
    EXPECT_EQ(io_file_size(t->data_file, &size), 1);
    return size;
  }

  // Entries of the free space: address entries (FE) and size entries (FF),
  // each as (address, size), in key order.
  static std::pair<std::vector<FreeEntry>, std::vector<FreeEntry>> free_entries(Table* t) {
    std::vector<FreeEntry> by_address, by_size;
    IndexHandle* h = t->space_index;
    tb_set_current_table(t);
    uint8_t start = 0xFE;
    int32_t ref = 0;
    int rc = ix_find(h, &start, 1, &ref);
    while (rc == 1 || rc == 2 || rc == 3) {
      uint8_t key[8] = {};
      int length = 0;
      EXPECT_EQ(ix_current_key_length(h, &length), 1);
      EXPECT_EQ(ix_current_key(h, key, sizeof key), 1);
      EXPECT_EQ(ix_current(h, &ref), 1);
      if (key[0] == 0xFE && length == 5) by_address.push_back({static_cast<int32_t>(get_be32(key + 1)), ref});
      else if (key[0] == 0xFF && length == 3) by_size.push_back({ref, (key[1] << 8) | key[2]});
      else ADD_FAILURE() << "unexpected free-space key of length " << length;
      rc = ix_next(h, &ref);
    }
    EXPECT_EQ(rc, -3);
    return {by_address, by_size};
  }

  // The free blocks of the data file, from its length words.
  static std::vector<FreeEntry> free_blocks(Table* t) {
    std::vector<FreeEntry> out;
    for (const RawBlock& b : blocks(t))
      if (b.word < 0) out.push_back({b.at, -b.word});
    return out;
  }

  // The free-space entries agree with the data file: one address and one
  // size entry per free block, nothing else.
  static void expect_free_space_consistent(Table* t) {
    auto [by_address, by_size] = free_entries(t);
    std::vector<FreeEntry> on_disk = free_blocks(t);
    EXPECT_EQ(by_address, on_disk);
    std::sort(by_size.begin(), by_size.end(), [](const FreeEntry& a, const FreeEntry& b) { return a.at < b.at; });
    EXPECT_EQ(by_size, on_disk);
  }
};
