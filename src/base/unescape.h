// Backslash escapes as JSON strings use them, plus \' \0 and \xHH.
#pragma once
#include <string>

namespace base {

// A new string with the escapes of `text` decoded: \" \' \/ \\ \0 \b \f \n \r
// \t, \xHH (one byte) and \uHHHH (UTF-8; a surrogate pair gives one four-byte
// sequence, \u0000 gives nothing). Any other escape, an escape cut short by
// the end of the text and a trailing lone backslash are copied unchanged.
// Never fails. Pure; safe from any thread.
std::string unescape(const std::string& text);

}  // namespace base
