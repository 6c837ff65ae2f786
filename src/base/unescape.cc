#include "base/unescape.h"

namespace base {

namespace {

// Hex digits are not validated: letters above 'F' and 'f' simply give larger
// (and other bytes odd) values; the result is never an error.
int hex_digit(unsigned char b) {
  if (b < 0x41) return b - 0x30;
  if (b < 0x61) return b - 0x37;
  return b - 0x57;
}

int hex_value(const std::string& text, size_t at, int digits) {
  int value = 0;
  for (int i = 0; i < digits; i++) value = value * 16 + hex_digit(text[at + i]);
  return value;
}

// Appends one code point as UTF-8; 0 and values outside U+0001..U+10FFFF
// (which unvalidated hex digits can give) write nothing.
void append_utf8(std::string& out, long code) {
  if (code <= 0 || code >= 0x110000) return;
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | (code >> 6));
    out += char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += char(0xE0 | (code >> 12));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | (code >> 18));
    out += char(0x80 | ((code >> 12) & 0x3F));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

char simple_escape(char b) {
  switch (b) {
    case '0': return '\0';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return b;  // " ' / and the backslash stand for themselves
  }
}

}  // namespace

std::string unescape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  int high_surrogate = 0;  // a \u high half waiting for its low half
  size_t n = text.size();
  for (size_t i = 0; i < n; i++) {
    char b = text[i];
    if (b != '\\' || i + 1 == n) {
      out += b;
      continue;
    }
    char e = text[++i];
    size_t left = n - i - 1;  // bytes after the escape letter
    if (e == 'x' && left >= 2) {
      out += char(hex_value(text, i + 1, 2));
      i += 2;
    } else if (e == 'u' && left >= 4) {
      int code = hex_value(text, i + 1, 4);
      i += 4;
      if (code >= 0xD800 && code <= 0xDBFF) {
        high_surrogate = code;
      } else if (code >= 0xDC00 && code <= 0xDFFF) {
        // A low half without a high half before it writes nothing.
        if (high_surrogate) append_utf8(out, 0x10000 + (high_surrogate - 0xD800) * 0x400L + (code - 0xDC00));
        high_surrogate = 0;
      } else {
        append_utf8(out, code);
      }
    } else if (e == 'x' || e == 'u') {
      out += b;  // too short: the backslash and the letter stay as they are
      out += e;
    } else if (e == '"' || e == '\'' || e == '/' || e == '\\' || e == '0' || e == 'b' || e == 'f' ||
               e == 'n' || e == 'r' || e == 't') {
      out += simple_escape(e);
    } else {
      out += b;
      out += e;
    }
  }
  return out;
}

}  // namespace base
