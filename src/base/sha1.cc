#include "base/sha1.h"

#include <cstring>

#include "base/hash_blocks.h"

namespace base {

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

sha1_context::sha1_context() { reset(); }

void sha1_context::reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  state_[4] = 0xC3D2E1F0;
  blocks_.clear();
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
  blocks_.update(data, size, [this](const unsigned char* block) { compress(block); });
}

std::string sha1_context::finish() {
  blocks_.finish([this](const unsigned char* block) { compress(block); });
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
