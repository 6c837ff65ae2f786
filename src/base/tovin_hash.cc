#include "base/tovin_hash.h"

namespace base {

uint32_t tovin_hash(const char* data, unsigned length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  uint32_t h = 19;
  for (unsigned i = 1; i < length; i++) h = h * bytes[i] + 13;
  uint32_t c = length > 0 ? bytes[0] : 0;
  uint32_t x = c ^ ((h + c) * 4);
  uint32_t y = x * 11 + 7;
  return y ^ (y >> 16);
}

}  // namespace base
