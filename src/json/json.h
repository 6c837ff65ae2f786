// The JSON reader: one table-driven pass over the bytes.
// Pure apart from two lookup tables built on first use (not thread-safe to
// build; the program parses from one thread).
#pragma once
#include <string>

#include "var/var.h"

namespace json {

// The single value of `text`, or, when the text is not acceptable, a string
// value holding the error message (callers that expect an object tell the two
// apart by kind). Nesting deeper than max_depth is refused with a message.
var parse(const std::string& text);

const int max_depth = 1000;

// The character class of each byte (24 classes).
const unsigned char* class_table();
// 30 rows of 24 next states; 31 means an error.
const unsigned char* const* state_table();

}  // namespace json

namespace base {

// Decodes backslash escapes as JSON strings use them, plus \' \0 and \xHH.
std::string unescape(const std::string& text);

}  // namespace base
