// The one fixture of the index tests: a started index layer, a temporary
// folder, string-keyed wrappers of the tree operations and a verifier check.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
#include "support/findings.h"
#include "support/temp_dir.h"

namespace tree_test {

inline const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
inline int put(IndexHandle* h, const std::string& key, int32_t ref, int dup = 1) {
  return ix_insert(h, bytes(key), static_cast<int>(key.size()), ref, dup);
}
inline int del(IndexHandle* h, const std::string& key, int32_t ref) {
  return ix_delete(h, bytes(key), static_cast<int>(key.size()), ref);
}
inline int replace(IndexHandle* h, const std::string& ok, int32_t oref, const std::string& nk, int32_t nref,
                   int dup = 1) {
  return ix_replace(h, bytes(ok), static_cast<int>(ok.size()), oref, bytes(nk), static_cast<int>(nk.size()), nref,
                    dup);
}
inline int find(IndexHandle* h, const std::string& key, int32_t* ref) {
  return ix_find(h, bytes(key), static_cast<int>(key.size()), ref);
}
inline int key_compare(const std::string& a, const std::string& b) {
  return ix_default_compare(bytes(a), static_cast<int>(a.size()), bytes(b), static_cast<int>(b.size()));
}
// key0000, key0001, ...: ascending in the default comparison.
inline std::string key_of(int i) { return "key" + std::to_string(10000 + i).substr(1); }

// The key under h's cursor ("" when it has none).
inline std::string current_key(IndexHandle* h) {
  int length = 0;
  if (ix_current_key_length(h, &length) != 1) return "";
  std::string key(static_cast<size_t>(length), '\0');
  return ix_current_key(h, reinterpret_cast<uint8_t*>(key.data()), length) == 1 ? key : "";
}

// A started index layer (Restart: `frames` frames of `pool_page` bytes).
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(16, 4096); }
  void TearDown() override {
    g_file_io = io_default_table();
    ix_lock_settings = saved_locks_;
    Restart(0, 0);
  }
  void Restart(int frames, int pool_page) {
    while (ix_pool() != nullptr && ix_shutdown() != 1) {
    }
    ASSERT_TRUE(frames == 0 || ix_startup(frames, pool_page) == 1) << "ix_error " << ix_error;
  }
  // A new index file `name` of `page_size` pages, its path in path_.
  IndexHandle* Create(int page_size, const std::string& name = "t.idx") {
    path_ = dir_.file(name);
    IndexHandle* h = ix_create(path_.c_str(), nullptr, page_size);
    EXPECT_NE(h, nullptr) << "ix_error " << ix_error;
    return h;
  }
  IndexHandle* Open(int shared = 0, int read_only = 0) { return ix_open(path_.c_str(), nullptr, shared, read_only); }
  // key0000.. with ref i in a new file.
  IndexHandle* Filled(int page_size, int count, const std::string& name = "t.idx") {
    IndexHandle* h = Create(page_size, name);
    for (int i = 0; h != nullptr && i < count; ++i) EXPECT_EQ(put(h, key_of(i), i, 0), 1) << key_of(i);
    return h;
  }
  void ExpectSound(IndexHandle* h) {
    std::string findings;
    EXPECT_EQ(ix_verify(h, collect_finding, &findings, 10), 0) << findings;
  }
  TempDir dir_;
  std::string path_;
  const IxLockSettings saved_locks_ = ix_lock_settings;
};

}  // namespace tree_test
