// MD5 (RFC 1321), streamed: only to compare a file with the ETag a store
// gives a whole-object upload, never for security. Holds no outside memory;
// one context must not be shared between threads, separate ones may.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/hash_blocks.h"

namespace base {

class md5_context {
 public:
  md5_context() { reset(); }
  void update(const void* data, size_t size);
  // The digest of everything added, as 16 raw bytes; the context starts over.
  std::string finish();

 private:
  void reset();
  void compress(const unsigned char* block);

  uint32_t state_[4];
  hash_blocks blocks_;
};

}  // namespace base
