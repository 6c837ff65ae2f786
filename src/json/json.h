// The JSON reader: one table-driven pass over the bytes, building the value
// bottom-up on a value stack while a marker stack tracks open containers.
// Lenient where the tables allow it (leading zeros, a lone minus, any byte in
// strings, extra escapes, top-level members closed by a brace).
// The tables are built once, by the first caller of any thread; documents
// may be parsed on several threads at once.
#pragma once
#include <string>

#include "var/var.h"

namespace json {

// The single value of `text`, or, when the text is not acceptable, a string
// value holding the error message (callers that expect an object tell the two
// apart by kind). Values nested deeper than max_depth containers are refused
// with a message, so that the recursive tear-down, comparison and writing of
// a value cannot overflow the stack. A key that is not a string becomes its
// JSON text; one that is an array or object (which only malformed text can
// make) is refused. Partly built values are released.
var parse(const std::string& text);
// The same, telling the two apart: null with the message in *error when the
// text is not acceptable, else the value with *error empty.
var parse(const std::string& text, std::string* error);

const int max_depth = 1000;

// The character class of each of the 256 byte values (24 classes).
const unsigned char* class_table();
// 30 rows (one per state) of 24 next states (one per class); 31 is an error.
const unsigned char* const* state_table();

}  // namespace json
