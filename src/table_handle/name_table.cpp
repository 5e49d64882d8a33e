// Name comparison, quicksort, lookup and the field-name block of the table
// handle (see name_table.h).
#include "table_handle/name_table.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

int fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

}  // namespace

int nt_compare(const char* a, const char* b) {
  const auto* p = reinterpret_cast<const unsigned char*>(a);
  const auto* q = reinterpret_cast<const unsigned char*>(b);
  for (;; ++p, ++q) {
    int d = fold(*p) - fold(*q);
    if (d != 0 || *p == 0) return d;
  }
}

void nt_sort(char** names, int count) {
  while (count > 1) {
    // The middle element is parked at the front while the rest is split into
    // the names below it (positions 1..last) and the others.
    std::swap(names[0], names[count / 2]);
    const char* pivot = names[0];
    int last = 0;
    for (int i = 1; i < count; ++i)
      if (nt_compare(names[i], pivot) < 0) std::swap(names[++last], names[i]);
    std::swap(names[0], names[last]);
    nt_sort(names, last);
    names += last + 1;
    count -= last + 1;
  }
}

int nt_find(char* const* names, int count, const char* name) {
  int lo = 0;
  int hi = count - 1;
  int mid = hi / 2;
  while (hi >= lo) {
    int c = nt_compare(name, names[mid]);
    if (c == 0) {
      while (mid > 0 && nt_compare(name, names[mid - 1]) == 0) --mid;
      return mid;
    }
    if (c < 0) hi = mid - 1;
    else lo = mid + 1;
    mid = (lo + hi) / 2;
  }
  return -1;
}

int nt_build_field_table(char* const* field_names, int count, void** block, char*** sorted,
                         int32_t** sorted_to_field) {
  const size_t slots = static_cast<size_t>(count) + 1;
  size_t text = 0;
  for (int i = 0; i < count; ++i) text += std::strlen(field_names[i]) + 1;
  auto** in_order = static_cast<char**>(std::malloc(2 * slots * sizeof(char*) + text));
  if (in_order == nullptr) return -1;
  char** by_name = in_order + slots;
  char* copy = reinterpret_cast<char*>(by_name + slots);
  for (int i = 0; i < count; ++i) {
    size_t n = std::strlen(field_names[i]) + 1;
    std::memcpy(copy, field_names[i], n);
    if (char* comma = std::strrchr(copy, ',')) *comma = 0;
    in_order[i] = by_name[i] = copy;
    copy += n;
  }
  in_order[count] = by_name[count] = nullptr;
  nt_sort(by_name, count);

  auto* map = static_cast<int32_t*>(std::malloc((count > 0 ? count : 1) * sizeof(int32_t)));
  if (map == nullptr) {
    std::free(in_order);
    return -1;
  }
  // The copies are told apart by address, so equal names still map to
  // different fields.
  for (int p = 0; p < count; ++p)
    for (int i = 0; i < count; ++i)
      if (in_order[i] == by_name[p]) {
        map[p] = i;
        break;
      }
  *block = in_order;
  *sorted = by_name;
  *sorted_to_field = map;
  return 1;
}
