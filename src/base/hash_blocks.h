// The message framing SHA-1, SHA-256 and MD5 share: the message is cut into
// 64-byte blocks, and the last one is padded with 0x80, zeros and the
// message length in bits as a 64-bit number (big-endian; MD5's little-endian). Owns no outside
// memory; one instance must not be shared between threads without locking.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace base {

inline uint32_t load_be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void store_be32(uint32_t x, unsigned char* p) {
  p[0] = static_cast<unsigned char>(x >> 24);
  p[1] = static_cast<unsigned char>(x >> 16);
  p[2] = static_cast<unsigned char>(x >> 8);
  p[3] = static_cast<unsigned char>(x);
}

class hash_blocks {
 public:
  static constexpr size_t block_size = 64;

  // Adds `size` bytes at `data`; calls compress(block) for each whole block,
  // in order, straight from the caller's memory where it can.
  template <class Compress>
  void update(const void* data, size_t size, Compress compress) {
    if (size == 0) return;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    total_ += size;
    if (buffered_ > 0) {
      size_t take = block_size - buffered_ < size ? block_size - buffered_ : size;
      memcpy(buffer_ + buffered_, bytes, take);
      buffered_ += take;
      bytes += take;
      size -= take;
      if (buffered_ < block_size) return;
      compress(static_cast<const unsigned char*>(buffer_));
      buffered_ = 0;
    }
    for (; size >= block_size; bytes += block_size, size -= block_size) compress(bytes);
    if (size > 0) memcpy(buffer_, bytes, size);
    buffered_ = size;
  }

  // Pads the message and compresses its last blocks; then starts over.
  template <class Compress>
  void finish(Compress compress, bool little_endian = false) {
    uint64_t bits = total_ * 8;
    unsigned char pad[block_size] = {0x80};
    size_t pad_size = (buffered_ < 56 ? 56 : 120) - buffered_;
    unsigned char length[8];
    for (int i = 0; i < 8; i++) {
      int shift = little_endian ? 8 * i : 56 - 8 * i;
      length[i] = static_cast<unsigned char>(bits >> shift);
    }
    update(pad, pad_size, compress);
    update(length, sizeof length, compress);
    clear();
  }

  void clear() {
    buffered_ = 0;
    total_ = 0;
  }

 private:
  unsigned char buffer_[block_size];  // bytes of a block not yet compressed
  size_t buffered_ = 0;
  uint64_t total_ = 0;  // message length in bytes; 64 bits so no size wraps
};

}  // namespace base
