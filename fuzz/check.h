// What the fuzz targets share: a failed property prints what broke and
// aborts, so that libFuzzer reports it like a crash and keeps the input.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

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
