// RegistryList: an intrusive, singly linked list of live objects, newest
// first. Every pool, paged file, table, index and handle handed to the engine
// is checked against its list by pointer before use, so a stale or foreign
// pointer is refused instead of followed.
//
// The object type T carries the link as a member `T* next`; the list never
// allocates. Invariant: an object is on at most one list of its kind, and its
// `next` is null whenever it is on none.
#pragma once

template <typename T>
struct RegistryList {
  T* head = nullptr;

  void push(T* obj) {
    obj->next = head;
    head = obj;
  }

  // 1 if obj is on the list, else 0.
  int contains(const T* obj) const {
    if (obj == nullptr) return 0;
    for (T* p = head; p != nullptr; p = p->next)
      if (p == obj) return 1;
    return 0;
  }

  // 1 if obj was found and unlinked (its link cleared), else 0.
  int remove(T* obj) {
    for (T** pp = &head; *pp != nullptr; pp = &(*pp)->next) {
      if (*pp == obj) {
        *pp = obj->next;
        obj->next = nullptr;
        return 1;
      }
    }
    return 0;
  }
};
