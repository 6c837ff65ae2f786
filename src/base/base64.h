// Base64 encoding (RFC 4648 section 4).
#pragma once
#include <string>

namespace base {

// Base64 text of `bytes` with the standard alphabet and "=" padding, no line
// breaks; the empty string gives the empty string. Pure; safe from any thread.
std::string base64(const std::string& bytes);

}  // namespace base
