// Sorted name arrays of the table handle: the case-insensitive comparison of
// field and index names, the quicksort that orders them, the binary lookup
// that finds the first of equal names, and the block that holds a table's
// field names cut at their type suffix.
//
// Names compare after mapping 'A'..'Z' to 'a'..'z', byte by byte as unsigned
// values; nothing else is folded. Only the table handle calls this unit; it
// has no state and no locks.
#pragma once

#include <cstdint>

// <0, 0 or >0 as `a` sorts before, with or after `b`, ignoring A-Z case.
int nt_compare(const char* a, const char* b);

// Sorts `count` names in place, ascending by nt_compare. The pivot is the
// middle element (position count / 2); the left part is sorted by recursion,
// the right part by the loop. Equal names may end in any order.
void nt_sort(char** names, int count);

// Position of the first of the names equal to `name` in the sorted array
// `names` of `count` entries, or -1 when none is equal. An empty array gives
// -1 without any comparison.
int nt_find(char* const* names, int count, const char* name);

// The sorted field-name table, built from `count` stored field names (with
// their type suffixes). One malloc'd block holds, in this order:
//
//   count + 1 pointers    the copies in field order, null-terminated
//   count + 1 pointers    the same copies sorted by nt_compare, null-terminated
//   the copies            every name with its terminator, cut at its last comma
//
// and a separate malloc'd array maps each sorted position to its field
// number. On success *block, *sorted and *sorted_to_field are set and 1 is
// returned; when an allocation fails nothing is kept and -1 is returned.
int nt_build_field_table(char* const* field_names, int count, void** block, char*** sorted,
                         int32_t** sorted_to_field);
