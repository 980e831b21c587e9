#pragma once
// A growable array of plain records for the library's own bookkeeping (fix-up
// lists, block tables, work lists). Memory comes from the library allocator;
// growth doubles, so appending is amortised constant time. Only for
// trivially copyable records: elements are moved with memcpy.

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "rt/ketrel_memory.h"

namespace ketrel {

template <typename T>
struct growable_array {
  static_assert(std::is_trivially_copyable_v<T>);

  T* Items = nullptr;
  size_t Count = 0;
  size_t Capacity = 0;

  growable_array() = default;
  growable_array(const growable_array&) = delete;
  growable_array& operator=(const growable_array&) = delete;
  ~growable_array() { Free(); }

  void Free() {
    FreeBlock(Items);
    Items = nullptr;
    Count = Capacity = 0;
  }
  // False (logged by the allocator) when memory runs out; nothing changes then.
  bool Reserve(size_t capacity) {
    if (capacity <= Capacity) return true;
    size_t grown = Capacity < 16 ? 16 : Capacity * 2;
    if (grown < capacity) grown = capacity;
    T* items = KT_ALLOCATE_ARRAY(T, grown);
    if (items == nullptr) return false;
    if (Count > 0) std::memcpy(static_cast<void*>(items), Items, Count * sizeof(T));
    FreeBlock(Items);
    Items = items;
    Capacity = grown;
    return true;
  }
  bool Append(const T& item) {
    if (Count == Capacity && !Reserve(Count + 1)) return false;
    Items[Count++] = item;
    return true;
  }
  T& operator[](size_t index) { return Items[index]; }
  const T& operator[](size_t index) const { return Items[index]; }
  T* begin() { return Items; }
  T* end() { return Items + Count; }
  const T* begin() const { return Items; }
  const T* end() const { return Items + Count; }
};

}  // namespace ketrel
