#include "base/sha1.h"

#include <cstring>

namespace base {

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

uint32_t load_be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void store_be32(uint32_t x, unsigned char* p) {
  p[0] = static_cast<unsigned char>(x >> 24);
  p[1] = static_cast<unsigned char>(x >> 16);
  p[2] = static_cast<unsigned char>(x >> 8);
  p[3] = static_cast<unsigned char>(x);
}

}  // namespace

sha1_context::sha1_context() { reset(); }

void sha1_context::reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  state_[4] = 0xC3D2E1F0;
  buffered_ = 0;
  total_ = 0;
}

void sha1_context::compress(const unsigned char* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 80; i++) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; i++) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = t;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

void sha1_context::update(const void* data, size_t size) {
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
    compress(buffer_);
    buffered_ = 0;
  }
  // Whole blocks straight from the caller's memory, no copy.
  for (; size >= block_size; bytes += block_size, size -= block_size) compress(bytes);
  if (size > 0) memcpy(buffer_, bytes, size);
  buffered_ = size;
}

std::string sha1_context::finish() {
  // Completion: 0x80, zeros up to 56 mod 64, then the length in bits as a
  // 64-bit big-endian number.
  uint64_t bits = total_ * 8;
  unsigned char pad[block_size] = {0x80};
  size_t pad_size = (buffered_ < 56 ? 56 : 120) - buffered_;
  unsigned char length[8];
  store_be32(static_cast<uint32_t>(bits >> 32), length);
  store_be32(static_cast<uint32_t>(bits), length + 4);
  update(pad, pad_size);
  update(length, sizeof length);

  unsigned char digest[digest_size];
  for (int i = 0; i < 5; i++) store_be32(state_[i], digest + 4 * i);
  reset();
  return std::string(reinterpret_cast<char*>(digest), digest_size);
}

std::string sha1(const std::string& bytes) {
  sha1_context context;
  context.update(bytes.data(), bytes.size());
  return context.finish();
}

}  // namespace base
