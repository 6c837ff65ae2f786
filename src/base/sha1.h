// SHA-1 (FIPS 180-4) over byte strings, whole or streamed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/hash_blocks.h"

namespace base {

// Streams bytes into one SHA-1 digest. Holds no outside memory; one context
// must not be shared between threads without locking, separate ones may.
class sha1_context {
 public:
  static constexpr size_t digest_size = 20;
  static constexpr size_t block_size = 64;

  sha1_context();

  // Adds `size` bytes at `data` to the message (no-op when size is 0).
  void update(const void* data, size_t size);

  // Returns the digest of everything added as 20 raw bytes, big-endian words.
  // The context then starts over, as if newly made.
  std::string finish();

 private:
  void reset();
  void compress(const unsigned char* block);

  uint32_t state_[5];
  hash_blocks blocks_;
};

// SHA-1 digest of `bytes` as 20 raw bytes (not hexadecimal). Pure.
std::string sha1(const std::string& bytes);

}  // namespace base
