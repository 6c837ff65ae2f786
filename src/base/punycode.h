// Punycode (RFC 3492, IDNA parameters) of one host-name label. Pure.
#pragma once
#include <string>

namespace base {

// The Punycode form of one UTF-8 label, without "xn--"; digits in lower case.
// Basic code points are copied as they are (no case folding). An empty label
// gives ""; an all-ASCII label comes back unchanged (no trailing "-"). A label
// that cannot be encoded, because it is not valid UTF-8 or because the
// encoder's 32-bit counters would overflow, also comes back unchanged.
std::string punycode(const std::string& label);

}  // namespace base
