// HMAC (RFC 2104) over any hash function with a 64-byte block.
#pragma once
#include <string>

namespace base {

// HMAC of `message` under `key` with `hash`, a callable from byte string to
// raw digest bytes (for example base::sha1). Returns the raw bytes `hash`
// gives. Only for hashes whose block is 64 bytes and digest at most 64 bytes
// (SHA-1, SHA-256). Pure as long as `hash` is.
template <typename Hash>
std::string hmac(const std::string& key, const std::string& message, Hash hash) {
  const size_t block_size = 64;
  // A long key is replaced by its digest; either way it is zero-padded to a
  // full block, whatever the digest length.
  std::string block_key = key.size() > block_size ? hash(key) : key;
  block_key.resize(block_size, '\0');

  std::string inner(block_size, '\0');
  std::string outer(block_size, '\0');
  for (size_t i = 0; i < block_size; i++) {
    inner[i] = static_cast<char>(block_key[i] ^ 0x36);
    outer[i] = static_cast<char>(block_key[i] ^ 0x5C);
  }
  return hash(outer + hash(inner + message));
}

}  // namespace base
