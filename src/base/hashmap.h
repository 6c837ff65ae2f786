// A map from byte-string keys to T (a pointer type) with open addressing and
// linear probing, and a separate key array that keeps insertion order.
// The map owns its keys, never its values: the owner disposes of values.
// Capacity goes 0, 3, 6, 12, ... and at most half of the slots are used.
// Not thread-safe.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/tovin_hash.h"

namespace base {

template <class T>
class hashmap {
 public:
  typedef uint32_t (*hash_function)(const char* data, unsigned length);
  struct slot {
    uint32_t hash;
    std::string* key;  // null marks an empty slot
    T value;
  };

  slot* slots = nullptr;
  std::string** keys = nullptr;  // insertion order; keys[count] is null
  uint32_t count = 0;
  uint32_t capacity = 0;
  uint32_t collisions = 0;  // probe steps taken by insertions (a statistic)
  hash_function hash;

  explicit hashmap(hash_function h = tovin_hash) : hash(h) {}
  hashmap(const hashmap&) = delete;
  hashmap& operator=(const hashmap&) = delete;
  ~hashmap() {
    for (uint32_t i = 0; i < count; i++) delete keys[i];
    free(slots);
    free(keys);
  }

  // Grows the table to n slots when n is larger than the capacity.
  void reserve(uint32_t n) {
    if (n <= capacity) return;
    slot* old = slots;
    uint32_t old_capacity = capacity;
    slots = static_cast<slot*>(calloc(n, sizeof(slot)));
    std::string** grown = static_cast<std::string**>(realloc(keys, (size_t(n) + 1) * sizeof(*keys)));
    if (slots == nullptr || grown == nullptr) throw std::bad_alloc();
    keys = grown;
    for (uint32_t i = count; i <= n; i++) keys[i] = nullptr;
    capacity = n;
    rehash(old, old_capacity);
    free(old);
  }

  // Sets key to value. Returns the value the key held before (the caller
  // disposes of it), or a null T when the key is new.
  T set(const std::string& key, T value) {
    if (capacity == 0) {
      reserve(3);
    } else if (count >= capacity >> 1) {
      reserve(capacity * 2);
    }
    uint32_t h = hash(key.data(), unsigned(key.size()));
    uint32_t start = h % capacity;
    uint32_t i = start;
    while (slots[i].key != nullptr) {
      if (matches(slots[i], h, key)) {
        T previous = slots[i].value;
        slots[i].value = value;
        return previous;
      }
      collisions++;
      i = (i + 1) % capacity;
      if (i == start) {
        puts("Error! Out of space!");
        fflush(stdout);
        return T();
      }
    }
    std::string* copy = new std::string(key);
    keys[count++] = copy;
    keys[count] = nullptr;
    slots[i].hash = h;
    slots[i].key = copy;
    slots[i].value = value;
    return T();
  }

  // The value stored under key, or a null T.
  T get(const std::string& key) const {
    const slot* s = find(key);
    return s ? s->value : T();
  }

  // The map's own copy of key when present, else null.
  const std::string* has(const std::string& key) const {
    const slot* s = find(key);
    return s ? s->key : nullptr;
  }

  // Removes key and returns its value, now the caller's; a null T when absent.
  T unset(const std::string& key) {
    slot* s = const_cast<slot*>(find(key));
    if (s == nullptr) return T();
    for (uint32_t i = 0; i < count; i++) {
      if (keys[i] == s->key) {
        delete keys[i];
        memmove(keys + i, keys + i + 1, (count - i - 1) * sizeof(*keys));
        break;
      }
    }
    keys[--count] = nullptr;
    T value = s->value;
    s->key = nullptr;
    // Rebuild at the same capacity so that no probe chain is broken.
    slot* old = slots;
    slots = static_cast<slot*>(calloc(capacity, sizeof(slot)));
    if (slots == nullptr) throw std::bad_alloc();
    rehash(old, capacity);
    free(old);
    return value;
  }

 private:
  static bool matches(const slot& s, uint32_t h, const std::string& key) {
    return s.hash == h && *s.key == key;
  }

  const slot* find(const std::string& key) const {
    if (count == 0) return nullptr;
    uint32_t h = hash(key.data(), unsigned(key.size()));
    uint32_t start = h % capacity;
    uint32_t i = start;
    while (slots[i].key != nullptr) {
      if (matches(slots[i], h, key)) return &slots[i];
      i = (i + 1) % capacity;
      if (i == start) break;
    }
    return nullptr;
  }

  // Moves every occupied slot of `old` into the current (empty) table.
  void rehash(slot* old, uint32_t old_capacity) {
    for (uint32_t i = 0; i < old_capacity; i++) {
      if (old[i].key == nullptr) continue;
      uint32_t j = old[i].hash % capacity;
      while (slots[j].key != nullptr) j = (j + 1) % capacity;
      slots[j] = old[i];
    }
  }
};

}  // namespace base
