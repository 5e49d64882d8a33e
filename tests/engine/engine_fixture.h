// The engine tests' fixture: the shared set-up (support/table_fixture.h) and
// small helpers that build table contents by hand through the index layer
// and raw data-file writes, so that these tests depend only on the engine
// core and the index layer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cache/bytes.h"
#include "support/table_fixture.h"

class EngineTest : public TableTest {
 public:
  // A key of index `number`: the number byte and text parts with their zeros.
  static std::vector<uint8_t> text_key(int number, const std::vector<std::string>& parts) {
    std::vector<uint8_t> key{static_cast<uint8_t>(number)};
    for (const auto& p : parts) {
      key.insert(key.end(), p.begin(), p.end());
      key.push_back(0);
    }
    return key;
  }

 protected:
  // Stores a directory entry by hand: 0, name, 0, then each spec and a 0.
  static int add_directory_entry(Table* t, const std::string& name, const std::vector<std::string>& specs,
                                 int32_t number) {
    std::vector<uint8_t> key = directory_key(name, specs);
    return ix_insert(t->directory, key.data(), static_cast<int>(key.size()), number, 0);
  }

  static std::vector<uint8_t> directory_key(const std::string& name, const std::vector<std::string>& specs) {
    std::vector<uint8_t> key{0};
    key.insert(key.end(), name.begin(), name.end());
    key.push_back(0);
    for (const auto& s : specs) {
      key.insert(key.end(), s.begin(), s.end());
      key.push_back(0);
    }
    return key;
  }

  // Appends a live record of text fields to the open table's data file, as
  // a length word and the terminated texts. Returns its address.
  static int32_t append_record(Table* t, const std::vector<std::string>& fields) {
    std::vector<uint8_t> block(2);
    for (const auto& f : fields) {
      block.insert(block.end(), f.begin(), f.end());
      block.push_back(0);
    }
    put_i16(block.data(), static_cast<int32_t>(block.size() - 2));
    int32_t at = -1;
    if (io_file_size(t->data_file, &at) != 1) return -1;
    if (io_write_at(t->data_file, at, static_cast<int32_t>(block.size()), block.data()) != 1) return -1;
    return at;
  }

  // The notes table "notes" made with the index "ByPath" on "Path" (number
  // 1) and opened again, current; its index in *ix. Null on a failure.
  Table* notes_by_path(TableIndex** ix) {
    Table* t = make_notes("notes");
    if (t == nullptr || add_directory_entry(t, "ByPath", {"Path"}, 1) != 1 || tb_close(t) != 1) return nullptr;
    t = tb_open(base("notes").c_str(), 0, 0);
    if (t == nullptr) return nullptr;
    tb_set_current_table(t);
    *ix = tb_find_index(t, "ByPath");
    return *ix != nullptr ? t : nullptr;
  }

  // Puts `ix` on the entry with `key`, as a search that found it would.
  static int position(Table* t, TableIndex* ix, const std::vector<uint8_t>& key) {
    tb_set_current_table(t);
    int32_t ref = 0;
    int rc = ix_find(ix->handle, key.data(), static_cast<int>(key.size()), &ref);
    ix->state = rc == 2 ? 1 : -3;
    return rc;
  }
};
