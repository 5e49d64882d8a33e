// Internal declarations shared by the tree algorithms: node checking and
// editing (node_edit.cpp), node and tree search with the cursor (search.cpp,
// cursor.cpp), insertion (insert.cpp), overflow pushes (push.cpp), splits
// (split.cpp), separator fix-up and root growth (separators.cpp), deletion
// (delete.cpp) and replacement (replace.cpp).
//
// Only the tree code includes this header. Everything here runs inside one
// public operation that has entered (ix_enter), taken its locks and refreshed
// the header; nothing here takes or releases locks. Single-threaded, like the
// rest of the index layer.
//
// Trust: a page read from disk is checked by node_check before any field of
// it is used to index into the page or to pick the next page, so a damaged
// file ends the operation with ix_error 25, never an out-of-bounds access.
// The check runs once per read from disk: a frame that passed it carries the
// cache's `checked` mark, which the cache clears whenever it reads the page
// again or hands out a new page. Pages this process changes keep the mark:
// the edits below keep every property the check tests. A page freed into the
// free list loses it (its node is gone), so a stale link to it is caught.
// Descents are bounded by the header's height and chain walks by last_page.
//
// Invariants the editing functions keep on every node they change:
//   (1) 16 + entry_count * entry size <= key_area_start <= page_size;
//   (2) key bytes are packed in entry order: entry 0's key starts at
//       key_area_start, each key ends where the next one starts or shares the
//       next one's bytes (same key_offset and key_length), the last ends at
//       page_size;
//   (3) adjacent entries whose keys compare equal share one copy.
// The pin discipline: a function gives back every page it pinned before it
// returns, on success and on failure alike.
#pragma once

#include <cstdint>

#include "btree/index_file.h"
#include "btree/node.h"

// ix_error_site numbers of the tree code (index_file, pages and locks use
// 1..50; sites are diagnostic only).
enum : int {
  kSiteBadNode = 51,   // a page fails node_check
  kSiteBadShape = 52,  // wrong node kind for its level, empty leaf, height 0 under a root
  kSiteBadLink = 53,   // a level link whose back link disagrees, an endless walk
  kSiteKeyState = 54,  // 22, 23, 24, 26: the pair's presence or absence
  kSiteRefused = 55,   // 32: a change through a read-only handle
  kSiteNoMemory = 56,  // 5: a key copy could not be allocated
};

// Internal results of a node-level insertion; 3, 5 and 6 make the level
// above run the separator fix-up.
enum : int {
  kInsDone = 1,
  kInsSplit = 3,   // a new right neighbour the parent does not reference yet
  kInsMoved = 5,   // entries moved to a sibling, the new entry went into the node
  kInsPlaced = 6,  // entries moved, the new entry was placed while moving
};
inline bool ins_needs_fixup(int r) { return r == kInsSplit || r == kInsMoved || r == kInsPlaced; }

// Internal results of a node-level deletion.
enum : int {
  kDelDone = 1,
  kDelFreed = 4,  // a page at this level was freed; the parent drops references
};

// What one operation works on.
struct Tree {
  IndexHandle* h;
  IndexFile* f;
  IxCompare cmp;
  int ps;  // page size of the file
};
Tree tree_of(IndexHandle* h);

// Merge threshold: a node whose used size is below it is offered for merging.
inline int tree_merge_threshold(int page_size) { return (3 * page_size - 48) / 4; }

// Sets ix_error and ix_error_site; always -1.
int tree_fail(int error, int site);
// Ends a reading operation: releases its locks; a failure before keeps its
// error number. Returns `result`, or -1 when the release failed.
int tree_finish(IndexFile* f, int result);
// Whether a key may be stored: length 0..min(cache page size, file page
// size) - 28, and bytes present when the length is not 0.
bool tree_key_acceptable(const Tree& t, const uint8_t* key, int length);

// ---------------------------------------------------------------------------
// Node checking (node_edit.cpp)

enum NodeKind { kAnyNode, kLeafNode, kInternalNode };

// 1 when the page is a well-formed node of the wanted kind, else -1 with
// ix_error 25. Checked: kind; entry_count >= 0 (>= -1 internal); the entry
// array below key_area_start <= page_size; every key inside the key area and
// packed as invariant (2) says; child links (first_child unless entry_count
// is -1, every child_page) in 1..last_page and not the page itself;
// prev_page and next_page in 0..last_page and not the page itself.
int node_check(const Tree& t, int32_t page, const uint8_t* pg, NodeKind kind);
// node_check unless the frame of the pinned page `pg` is marked checked, in
// which case only the kind is tested; marks the frame after a passed check.
int node_check_once(const Tree& t, int32_t page, uint8_t* pg, NodeKind kind);
// Pins `page` and checks it (once per read from disk, see Trust above); null
// with ix_error set (6 or 25), nothing pinned.
uint8_t* tree_page(const Tree& t, int32_t page, NodeKind kind);
// Pins the page `to` reached from `from` by one step along the level (dir +1:
// to is from's next_page; -1: its prev_page) and checks the back link. With
// need_entries the page must hold at least one entry. Null with ix_error set.
uint8_t* tree_neighbour(const Tree& t, int32_t from, int32_t to, int dir, NodeKind kind, bool need_entries);
// next_page of `page`, after checking that the next page links back to it.
int tree_next_of(const Tree& t, int32_t page, int32_t* next);
// Whether a page was freed (its first_child reads 0). 1 / 0, or -1.
int tree_page_freed(const Tree& t, int32_t page);

// ---------------------------------------------------------------------------
// Entries and sizes (node_edit.cpp)

inline const uint8_t* entry_key(const uint8_t* pg, int i) { return pg + entry_key_offset(node_entry(pg, i)); }
inline int entry_length(const uint8_t* pg, int i) { return entry_key_length(node_entry(pg, i)); }
inline int32_t entry_ref(const uint8_t* pg, int i) { return entry_record_ref(node_entry(pg, i)); }
// The child of slot i of an internal node: -1 names first_child.
int32_t node_child(const uint8_t* pg, int slot);
// Entries i and j keep one copy of their key bytes.
bool node_entries_share(const uint8_t* pg, int i, int j);
// Byte size of the run of entries i..j: their entry bytes plus the key bytes
// from entry i's key to the end of entry j's (a shared key counts once).
// 0 when j < i; a start below 0 counts from entry 0.
int node_run_size(const uint8_t* pg, int i, int j);

// Key comparison by the handle's function, folded to -1 / 0 / 1.
int tree_key_cmp(const Tree& t, const uint8_t* a, int a_len, const uint8_t* b, int b_len);
// The search pair (key, ref) against entry i: keys first, then refs signed.
int tree_pair_cmp(const Tree& t, const uint8_t* key, int length, int32_t ref, const uint8_t* pg, int i);
bool tree_key_eq_entry(const Tree& t, const uint8_t* key, int length, const uint8_t* pg, int i);

// A derived separator: the first entry of the leftmost leaf below a page,
// with its key copied (owned, freed by separator_release).
struct Separator {
  uint8_t* key = nullptr;
  int length = 0;
  int32_t ref = 0;
};
int tree_derive_separator(const Tree& t, int32_t page, Separator* out);
void separator_release(Separator* s);

// An entry to insert: a leaf entry has child 0, a separator its subtree.
struct NewEntry {
  const uint8_t* key;
  int length;
  int32_t ref;
  int allow_dup;
  int32_t child;
};
NewEntry entry_from_node(const uint8_t* pg, int i);

// ---------------------------------------------------------------------------
// Node editing (node_edit.cpp). p is an insert position 0..entry_count, or -1
// in an internal node: the entry's child becomes first_child and the old
// first_child receives its derived separator at position 0.

// 1 fits, 0 does not, -1 failure (reading the separator for p = -1).
int node_fits(const Tree& t, const uint8_t* pg, const NewEntry& e, int p);
// Plain insertion at p; the caller made sure it fits. 1 / -1.
int node_insert_plain(const Tree& t, uint8_t* pg, const NewEntry& e, int p);
// Writes (key, ref, child) at position p >= 0, sharing the key bytes of an
// equal neighbour. Must fit.
void node_put(const Tree& t, uint8_t* pg, const uint8_t* key, int length, int32_t ref, int32_t child, int p);
// Removes entry i; in an internal node i = -1 removes first_child.
void node_remove(uint8_t* pg, int i);
// Moves entries `first`..end of `from` into the empty right page `to`.
void node_move_tail(uint8_t* from, uint8_t* to, int first, int page_size);

// ---------------------------------------------------------------------------
// Search and cursor (search.cpp, cursor.cpp)

// Binary search of one node for the pair: 0 at the equal entry, else -1 / 1
// with *pos the insert position.
int node_search(const Tree& t, const uint8_t* pg, const uint8_t* key, int length, int32_t ref, int* pos);
// Child choice after a node search; *slot gets the child's slot (-1 first_child).
int32_t node_choose_child(const uint8_t* pg, int r, int pos, int* slot);
// Descends from the root to the leaf for the pair. 1 / -1.
int tree_descend(const Tree& t, const uint8_t* key, int length, int32_t ref, int32_t* leaf);
// Tree search: 2, 3 or -3 as ix_seek reports them, -1 on failure.
int tree_search(const Tree& t, IndexCursor* c, const uint8_t* key, int length, int32_t ref, bool load);
// Copies entry `slot` of the pinned leaf into the cursor. 1 / -1 (5).
int cursor_load(const Tree& t, IndexCursor* c, const uint8_t* pg, int slot);
// 1 valid, 3 moved to the following entry, -3, -1.
int cursor_revalidate(const Tree& t, IndexCursor* c);
// ix_next without entering: revalidate, then step. With warn, a vanished
// entry sets ix_error 31.
int cursor_next(const Tree& t, IndexCursor* c, bool warn);
// Moves every cursor of the process on index file f standing on the pair to
// the following entry. 1 / -1.
int cursor_repair(const IndexFile* f, const uint8_t* key, int length, int32_t ref);

// ---------------------------------------------------------------------------
// Insertion (insert.cpp, push.cpp, split.cpp, separators.cpp)

// Finds e's position in a node: node search plus, at position 0 of an
// internal node, the comparison with its first subtree's first entry.
// 0: the same pair is present; -1 / 1 otherwise; -2 failure.
int node_locate(const Tree& t, const uint8_t* pg, const NewEntry& e, int* p);
// The duplicate-key check of a leaf insertion at p, looking into the
// neighbouring leaf at either end. 1 none, -1 (22 or a read failure).
int tree_dup_check(const Tree& t, const uint8_t* pg, int32_t page, const NewEntry& e, int p);
// Inserts e into the node `page` whose parent is `parent` (0 at the root)
// with the node at `slot` in it. 1, 3, 5, 6 or -1.
int insert_into_node(const Tree& t, const NewEntry& e, int32_t page, int32_t parent, int slot);
// e does not fit into the pinned node at p: push right, push left, then
// insert or split. 1, 3, 5, 6 or -1.
int insert_overflow(const Tree& t, uint8_t* pg, int32_t page, const NewEntry& e, int p, int32_t parent, int slot);
// Splits the pinned node and inserts e. 3 or -1.
int split_node(const Tree& t, uint8_t* pg, int32_t page, const NewEntry& e, int p, int32_t parent, int slot);
// Re-derives the separators of parent's children after child `slot`
// reported 3, 5 or 6. 1, 3, 5, 6 or -1.
int fix_separators(const Tree& t, int32_t parent, int slot, int32_t grandparent, int parent_slot);
// The root level reported 3, 5 or 6: new root(s) above it. 1 / -1.
int grow_root(const Tree& t);
// Inserts e from the root (the tree is not empty). 1 / -1.
int insert_from_root(const Tree& t, const NewEntry& e);
