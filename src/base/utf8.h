// UTF-8: one sequence to a code point, and text made safe for a terminal.
#pragma once
#include <cstdint>
#include <string>

namespace base {

// Decodes the sequence at `bytes` (NUL-terminated or followed by a byte that
// is not a continuation byte). Sets *length to the bytes used. An invalid or
// overlong sequence, a surrogate or a value above U+10FFFF gives 0xFFFFFFFF
// with *length 1, so decoding resumes at the next byte. Pure.
uint32_t utf8_decode(const unsigned char* bytes, int* length);

// `text` as one line for a terminal: every C0 control (line breaks and
// escape included), DEL, C1 control (U+0080-U+009F) and every byte of an
// invalid UTF-8 sequence becomes "?"; other valid UTF-8 is kept. Every key
// from the store is printed through it. Pure.
std::string printable(const std::string& text);
// The same line by line: line breaks ("\n", "\r\n") stay. For messages that
// carry text from the network (a store's error document). Pure.
std::string printable_lines(const std::string& text);

}  // namespace base
