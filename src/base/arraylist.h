// A growable array of a scalar or pointer type, always followed by a zero entry.
// It owns its storage but not what pointer entries point to. Not thread-safe.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <new>

namespace base {

template <class T>
class arraylist {
 public:
  T* items = nullptr;     // capacity + 1 entries once allocated; items[count] is 0
  uint32_t count = 0;     // entries in use
  uint32_t capacity = 0;  // entries available, not counting the terminator

  arraylist() = default;
  arraylist(const arraylist&) = delete;
  arraylist& operator=(const arraylist&) = delete;
  ~arraylist() { free(items); }

  // Appends an entry: capacity goes 0, 2, 4, 8, ...
  void add(T entry) {
    if (capacity == 0) {
      resize(2);
    } else if (count >= capacity && capacity <= UINT32_MAX / 2) {
      resize(capacity * 2);
    }
    items[count++] = entry;
    items[count] = T();
  }

  // Presets the capacity to exactly n when the final size is known.
  void reserve(uint32_t n) {
    if (n > capacity || items == nullptr) resize(n);
  }

  // Removes and returns the last entry; a zero T when empty.
  T pop() {
    if (count == 0) return T();
    T last = items[--count];
    items[count] = T();
    return last;
  }

  T& operator[](uint32_t i) const { return items[i]; }

 private:
  void resize(uint32_t n) {
    T* grown = static_cast<T*>(realloc(items, (size_t(n) + 1) * sizeof(T)));
    if (grown == nullptr) throw std::bad_alloc();
    for (uint32_t i = count; i <= n; i++) grown[i] = T();
    items = grown;
    capacity = n;
  }
};

}  // namespace base
