// Bytes as lower-case hexadecimal text, as digests are usually written.
#pragma once
#include <string>

namespace base {

// Two lower-case hex digits per byte, most significant nibble first. Pure.
std::string hex(const std::string& bytes);

}  // namespace base
