#include "base/tovin_hash.h"

namespace base {

uint32_t tovin_hash(const char* data, unsigned length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  uint32_t h = 19;
  for (unsigned i = 1; i < length; i++) {
    // h = h * b + 13, but with the bits that a multiplication by an even
    // byte pushes out at the top brought back in at the bottom: otherwise
    // enough factors of two (eight "0" digits, or one NUL byte) wipe out
    // every byte before them, and keys that share their end collide. A NUL
    // counts as 256. For short keys nothing is pushed out and h is as plain.
    unsigned b = bytes[i] != 0 ? bytes[i] : 256;
    unsigned twos = unsigned(__builtin_ctz(b));
    uint32_t product = h * (b >> twos);
    if (twos > 0) product = (product << twos) | (product >> (32 - twos));
    h = product + 13;
  }
  uint32_t c = length > 0 ? bytes[0] : 0;
  uint32_t x = c ^ ((h + c) * 4);
  uint32_t y = x * 11 + 7;
  return y ^ (y >> 16);
}

}  // namespace base
