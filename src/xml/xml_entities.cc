// Decoding the predefined entities and numeric character references.
#include <cstring>

#include "xml/xml.h"

namespace {

const uint32_t no_code_point = 0xFFFFFFFF;

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

int digit_value(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code point of the reference "&#…;" at `at`, with *length its bytes;
// no_code_point when it is not a complete reference to a character.
uint32_t numeric_reference(const std::string& text, size_t at, size_t* length) {
  size_t i = at + 2;  // after "&#"
  int base = 10;
  if (i < text.size() && text[i] == 'x') {
    base = 16;
    i++;
  }
  size_t digits_start = i;
  uint32_t code = 0;
  bool too_big = false;
  for (int d; i < text.size() && (d = digit_value(text[i], base)) >= 0; i++) {
    code = code * base + d;
    if (code > 0x10FFFF) {
      too_big = true;
      code = 0x110000;  // keeps the product small while the digits run on
    }
  }
  if (i == digits_start || i >= text.size() || text[i] != ';') return no_code_point;
  if (too_big || code == 0 || (code >= 0xD800 && code <= 0xDFFF)) return no_code_point;
  *length = i + 1 - at;
  return code;
}

}  // namespace

std::string xml::decode_entities(const std::string& text) {
  static const struct {
    const char* name;
    char byte;
  } named[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    size_t length = 0;
    for (const auto& entity : named) {
      if (text.compare(i, strlen(entity.name), entity.name) == 0) {
        out += entity.byte;
        length = strlen(entity.name);
        break;
      }
    }
    if (length == 0 && i + 1 < text.size() && text[i + 1] == '#') {
      uint32_t code = numeric_reference(text, i, &length);
      if (code != no_code_point) append_utf8(out, code);
    }
    if (length == 0) {
      out += '&';
      length = 1;
    }
    i += length;
  }
  return out;
}
