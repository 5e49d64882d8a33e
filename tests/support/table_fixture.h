// Shared set-up of the engine and record-layer tests: a started engine in a
// fresh folder, with the lock settings of both layers put back afterwards,
// and tables created there.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "engine/engine.h"
#include "records/records.h"
#include "support/temp_dir.h"

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_locks_ = tb_lock_settings;
    saved_ix_locks_ = ix_lock_settings;
    ASSERT_EQ(tb_startup(16, 512), 1);
  }
  void TearDown() override {
    g_file_io = io_default_table();
    (void)tb_shutdown();
    tb_lock_settings = saved_locks_;
    ix_lock_settings = saved_ix_locks_;
  }

  std::string base(const std::string& name) const { return dir_.file(name); }
  static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  Table* create(const std::string& name, std::vector<const char*> fields) {
    fields.push_back(nullptr);
    Table* t = tb_create(base(name).c_str(), 0, fields.data());
    EXPECT_NE(t, nullptr) << "tb_error " << tb_error;
    return t;
  }
  // A fresh table of the two text fields "Path" and "Remark".
  Table* make_notes(const std::string& name) { return create(name, {"Path", "Remark"}); }
  // Adds a record of two text values; its address, or 0.
  static int32_t add(Table* t, const std::string& path, const std::string& remark) {
    const void* values[] = {path.c_str(), remark.c_str()};
    return tb_add_record(t, tb_physical_index(t), values) == 1 ? t->physical_cursor : 0;
  }
  static int create_index(Table* t, const char* name, std::vector<const char*> specs) {
    specs.push_back(nullptr);
    return tb_create_index(t, name, specs.data());
  }
  // Text fields of the current record under `ix`; empty on failure.
  static std::vector<std::string> read_texts(Table* t, TableIndex* ix) {
    std::vector<void*> buffers(static_cast<size_t>(t->field_count));
    std::vector<int32_t> sizes(buffers.size(), 1);
    for (auto& b : buffers) b = std::calloc(1, 1);
    std::vector<std::string> out;
    if (tb_read_record(t, ix, buffers.data(), sizes.data()) == 1)
      for (void* b : buffers) out.emplace_back(static_cast<const char*>(b));
    for (void* b : buffers) std::free(b);
    return out;
  }

  TempDir dir_;

 private:
  TbLockSettings saved_locks_;
  IxLockSettings saved_ix_locks_;
};
