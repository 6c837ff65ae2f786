// Percent-encoding of object keys for URLs and signatures.
#pragma once
#include <string>

namespace base {

// Copies ASCII letters, digits and "-_.!~*'()" unchanged and writes every
// other byte as "%" and two upper-case hex digits. With reserved false the
// reserved characters ";,/?:@&=+$#" are kept as they are too. Pure.
std::string url_encode(const std::string& text, bool reserved);

}  // namespace base
