// The engine tests' one fixture: tables made through the record operations or
// by hand through the index layer, data-file blocks as stored, the verifier.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cache/bytes.h"
#include "support/findings.h"
#include "support/table_fixture.h"

struct RawBlock {  // a block of a notes table's data file as stored
  int32_t at, word;
  std::vector<std::string> texts;
};

class EngineTest : public TableTest {
 protected:
  // A keyed entry of index `number`: the number byte, then each text and a 0
  // (a directory entry: number 0, the name, then the specs).
  static std::vector<uint8_t> text_key(int number, const std::vector<std::string>& parts) {
    std::vector<uint8_t> key{static_cast<uint8_t>(number)};
    for (const auto& p : parts) key.insert(key.end(), p.c_str(), p.c_str() + p.size() + 1);
    return key;
  }
  static std::vector<uint8_t> directory_key(const std::string& name, std::vector<std::string> specs) {
    specs.insert(specs.begin(), name);
    return text_key(0, specs);
  }
  static std::vector<std::string> strings(char** list) {
    std::vector<std::string> out;
    for (; list != nullptr && *list != nullptr; ++list) out.emplace_back(*list);
    return out;
  }
  // The notes table `name` with the unique index "INDX_Path,U" (number 1).
  Table* make_indexed(const std::string& name) {
    Table* t = make_notes(name);
    return t != nullptr && create_index(t, "INDX_Path,U", {"Path"}) == 1 ? t : nullptr;
  }
  Table* reopen(const std::string& name, int shared = 0, int read_only = 0) {
    return tb_open(base(name).c_str(), shared, read_only);
  }
  // Makes `path` current in the path index; its address, or 0.
  static int32_t find(Table* t, const std::string& path) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {path.c_str()};
    int32_t ref = 0;
    return ix != nullptr && tb_find_key(t, ix, key) == 2 && ix_current(ix->handle, &ref) == 1 ? ref : 0;
  }
  static int delete_at(Table* t, int32_t address) {
    TableIndex* phys = tb_physical_index(t);
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys))
      if (t->physical_cursor == address) return tb_delete_record(t, phys);
    return -1;
  }
  std::vector<RawBlock> raw_blocks(const std::string& name) const {
    std::string bytes = read_whole_file(base(name + ".db"));
    std::vector<RawBlock> out;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = bytes.size() < 4 ? bytes.size() : 4 + get_i16(p); at + 2 <= bytes.size();) {
      RawBlock r{static_cast<int32_t>(at), get_i16(p + at), {}};
      for (size_t q = at + 2; r.word >= 0 && r.texts.size() < 2 && q < bytes.size(); q += r.texts.back().size() + 1)
        r.texts.emplace_back(bytes.c_str() + q);
      out.push_back(r);
      at += 2 + static_cast<size_t>(r.word < 0 ? -r.word : r.word);
    }
    return out;
  }
  std::vector<std::vector<std::string>> live(const std::string& name) const {  // in file order
    std::vector<std::vector<std::string>> out;
    for (const auto& r : raw_blocks(name))
      if (r.word >= 0) out.push_back(r.texts);
    return out;
  }
  int verify(Table* t, int max = 100) {  // the number of findings, their text in findings_
    findings_.clear();
    return tb_verify(t, collect_finding, &findings_, max);
  }

  std::string findings_;
};
