// Helpers shared by the tree tests: string-keyed wrappers of the tree
// operations, numbered keys, a decoded copy of one node page, and a verifier
// sink that gathers findings into one string.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "btree/node.h"
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
inline int seek(IndexHandle* h, const std::string& key, int32_t* ref) {
  return ix_seek(h, bytes(key), static_cast<int>(key.size()), ref);
}

// key0000, key0001, ...: ascending in the default comparison.
inline std::string key_of(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "key%04d", i);
  return buf;
}

// A copy of one node page, decoded.
struct Node {
  bool leaf = false;
  int32_t first_child = 0, prev = 0, next = 0;
  int count = 0, key_area_start = 0, used = 0;
  std::vector<std::string> keys;
  std::vector<int32_t> refs, children, offsets;
};

inline Node read_node(IndexHandle* h, int32_t page) {
  Node n;
  uint8_t* pg = pc_get_page(h->file->paged, page);
  EXPECT_NE(pg, nullptr);
  if (pg == nullptr) return n;
  n.leaf = node_is_leaf(pg);
  n.first_child = node_first_child(pg);
  n.prev = node_prev_page(pg);
  n.next = node_next_page(pg);
  n.count = node_entry_count(pg);
  n.key_area_start = node_key_area_start(pg);
  n.used = node_used_size(pg, h->file->header.page_size);
  for (int i = 0; i < n.count; ++i) {
    const uint8_t* e = node_entry(pg, i);
    n.keys.emplace_back(reinterpret_cast<const char*>(pg) + entry_key_offset(e), entry_key_length(e));
    n.refs.push_back(entry_record_ref(e));
    n.offsets.push_back(entry_key_offset(e));
    if (!n.leaf) n.children.push_back(entry_child_page(e));
  }
  pc_unpin_page(h->file->paged, pg);
  return n;
}

// Verifier sink: one finding a line.
inline void collect(void* ctx, const char* text) { *static_cast<std::string*>(ctx) += std::string(text) + "\n"; }

// A started index layer (16 frames of 512 bytes) and a temporary folder,
// for tests of one tree at a time.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ix_startup(16, 512), 1); }
  void TearDown() override { ix_shutdown(); }
  // A new index file `t.idx` of `page_size` pages.
  IndexHandle* Create(int page_size) {
    path_ = dir_.file("t.idx");
    IndexHandle* h = ix_create(path_.c_str(), nullptr, page_size);
    EXPECT_NE(h, nullptr) << "ix_error " << ix_error;
    return h;
  }
  IndexHandle* Open(int shared = 0) { return ix_open(path_.c_str(), nullptr, shared, 0); }
  void ExpectSound(IndexHandle* h) {
    std::string findings;
    EXPECT_EQ(ix_verify(h, collect, &findings, 10), 0) << findings;
  }
  TempDir dir_;
  std::string path_;
};

}  // namespace tree_test
