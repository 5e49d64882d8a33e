// Node pages of an index file: the 16-byte node header, the entry array and
// the key area, as named accessors over a pinned page.
//
//   OFFSET  SIZE  FIELD
//      0      4   first_child     -1 marks a leaf; in an internal node the page
//                                 of the subtree left of entry 0; 0 in a free page
//      4      4   prev_page       left neighbour on the level (0 = none);
//                                 in a free page: the next free page
//      8      4   next_page       right neighbour on the level (0 = none)
//     12      2   entry_count     signed; -1 = internal node with no child at
//                                 all (transient, during deletion)
//     14      2   key_area_start  offset of the lowest key byte; page_size
//                                 when the page holds no key bytes
//     16     ...  entry array, ascending (key, record_ref), no gaps:
//                   leaf entry, 8 bytes:
//                     0 key_offset (i16)  2 key_length (i16)  4 record_ref (i32)
//                   internal entry, 12 bytes: the same, then
//                     8 child_page (i32)  subtree right of this separator
//    ...     ...  free space
//  key_area_start..page_size: key bytes in entry order; the last entry's key
//                 ends at page_size, each earlier key lies directly below the
//                 next one's. Adjacent entries whose keys compare equal share
//                 one copy (same key_offset and key_length).
//
// Used size of a node: 16 + entry_count * entry size + (page_size - key_area_start).
// A page is full when the entry array and the key area would meet.
//
// These accessors trust nothing about the page beyond the pointer: callers
// that walk a page read from disk must bound-check what they read (see the
// node_ checks in the tree code).
#pragma once

#include <cstdint>

#include "cache/bytes.h"

constexpr int kNodeHeaderSize = 16;
constexpr int kLeafEntrySize = 8;
constexpr int kInternalEntrySize = 12;
constexpr int32_t kLeafMark = -1;  // first_child of a leaf

constexpr int kNodeFirstChild = 0;
constexpr int kNodePrevPage = 4;
constexpr int kNodeNextPage = 8;
constexpr int kNodeEntryCount = 12;
constexpr int kNodeKeyAreaStart = 14;

constexpr int kEntryKeyOffset = 0;
constexpr int kEntryKeyLength = 2;
constexpr int kEntryRecordRef = 4;
constexpr int kEntryChildPage = 8;

inline int32_t node_first_child(const uint8_t* pg) { return get_i32(pg + kNodeFirstChild); }
inline int32_t node_prev_page(const uint8_t* pg) { return get_i32(pg + kNodePrevPage); }
inline int32_t node_next_page(const uint8_t* pg) { return get_i32(pg + kNodeNextPage); }
inline int node_entry_count(const uint8_t* pg) { return get_i16(pg + kNodeEntryCount); }
inline int node_key_area_start(const uint8_t* pg) { return get_i16(pg + kNodeKeyAreaStart); }

inline void node_set_first_child(uint8_t* pg, int32_t v) { put_i32(pg + kNodeFirstChild, v); }
inline void node_set_prev_page(uint8_t* pg, int32_t v) { put_i32(pg + kNodePrevPage, v); }
inline void node_set_next_page(uint8_t* pg, int32_t v) { put_i32(pg + kNodeNextPage, v); }
inline void node_set_entry_count(uint8_t* pg, int v) { put_i16(pg + kNodeEntryCount, v); }
inline void node_set_key_area_start(uint8_t* pg, int v) { put_i16(pg + kNodeKeyAreaStart, v); }

inline bool node_is_leaf(const uint8_t* pg) { return node_first_child(pg) == kLeafMark; }
inline int node_entry_size(const uint8_t* pg) { return node_is_leaf(pg) ? kLeafEntrySize : kInternalEntrySize; }

inline uint8_t* node_entry(uint8_t* pg, int i) { return pg + kNodeHeaderSize + i * node_entry_size(pg); }
inline const uint8_t* node_entry(const uint8_t* pg, int i) {
  return pg + kNodeHeaderSize + i * node_entry_size(pg);
}

inline int entry_key_offset(const uint8_t* e) { return get_i16(e + kEntryKeyOffset); }
inline int entry_key_length(const uint8_t* e) { return get_i16(e + kEntryKeyLength); }
inline int32_t entry_record_ref(const uint8_t* e) { return get_i32(e + kEntryRecordRef); }
inline int32_t entry_child_page(const uint8_t* e) { return get_i32(e + kEntryChildPage); }
inline void entry_set_key_offset(uint8_t* e, int v) { put_i16(e + kEntryKeyOffset, v); }
inline void entry_set_key_length(uint8_t* e, int v) { put_i16(e + kEntryKeyLength, v); }
inline void entry_set_record_ref(uint8_t* e, int32_t v) { put_i32(e + kEntryRecordRef, v); }
inline void entry_set_child_page(uint8_t* e, int32_t v) { put_i32(e + kEntryChildPage, v); }

// Used size of a node of a file with the given page size.
inline int node_used_size(const uint8_t* pg, int page_size) {
  int n = node_entry_count(pg);
  if (n < 0) n = 0;
  return kNodeHeaderSize + n * node_entry_size(pg) + (page_size - node_key_area_start(pg));
}

// Initialise a freshly allocated page as an empty leaf or internal node.
inline void node_init_leaf(uint8_t* pg, int page_size, int32_t prev, int32_t next) {
  node_set_first_child(pg, kLeafMark);
  node_set_prev_page(pg, prev);
  node_set_next_page(pg, next);
  node_set_entry_count(pg, 0);
  node_set_key_area_start(pg, page_size);
}
inline void node_init_internal(uint8_t* pg, int page_size, int32_t first_child, int32_t prev, int32_t next) {
  node_set_first_child(pg, first_child);
  node_set_prev_page(pg, prev);
  node_set_next_page(pg, next);
  node_set_entry_count(pg, -1);  // the caller sets 0 once the node is linked
  node_set_key_area_start(pg, page_size);
}
