// One UTF-8 sequence to a code point.
#pragma once
#include <cstdint>

namespace base {

// Decodes the sequence at `bytes` (NUL-terminated or followed by a byte that
// is not a continuation byte). Sets *length to the bytes used. An invalid or
// overlong sequence, a surrogate or a value above U+10FFFF gives 0xFFFFFFFF
// with *length 1, so decoding resumes at the next byte. Pure.
uint32_t utf8_decode(const unsigned char* bytes, int* length);

}  // namespace base
