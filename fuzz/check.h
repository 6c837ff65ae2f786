// A failed property in a fuzz target: print what broke and abort, so that
// libFuzzer reports it like a crash and keeps the input.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                              \
  do {                                                                           \
    if (!(condition)) {                                                          \
      fprintf(stderr, "Property failed at %s:%d: %s\n", __FILE__, __LINE__, what); \
      abort();                                                                   \
    }                                                                            \
  } while (0)

namespace fuzz {

// True when text is one or more well-formed UTF-8 sequences (or empty), by
// the same rules as the JSON writer's decoder.
bool valid_utf8(const std::string& text);

// The fuzz input as a string.
inline std::string text_of(const unsigned char* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Splits "document\0extra" at its last NUL: the extra part (at most
// `limit` bytes, else none) goes to *extra and the document stays in *text.
// False when there is no such part.
bool split_extra(std::string* text, std::string* extra, size_t limit);

}  // namespace fuzz
