// What the fuzz targets share: a failed property prints what broke and
// aborts, so that libFuzzer reports it like a crash and keeps the input.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/utf8.h"

#define FUZZ_CHECK(condition, what)                                                 \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "Property failed at %s:%d: %s\n", __FILE__, __LINE__, what); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

namespace fuzz {

// The fuzz input as a string.
inline std::string text_of(const unsigned char* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// True when text is well-formed UTF-8 (or empty), by the JSON writer's decoder.
inline bool valid_utf8(const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  int length = 1;
  for (size_t i = 0; i < text.size(); i += size_t(length)) {
    if (base::utf8_decode(bytes + i, &length) == 0xFFFFFFFF) return false;
  }
  return true;
}

// Splits "document\0extra" at its last NUL: the extra part (at most `limit`
// bytes, else none) goes to *extra and the document stays in *text. False
// when there is no such part.
inline bool split_extra(std::string* text, std::string* extra, size_t limit) {
  size_t nul = text->rfind('\0');
  if (nul == std::string::npos || text->size() - nul - 1 > limit) return false;
  *extra = text->substr(nul + 1);
  text->resize(nul);
  return true;
}

}  // namespace fuzz
