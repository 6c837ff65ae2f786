#include "base/utf8.h"

namespace base {

uint32_t utf8_decode(const unsigned char* bytes, int* length) {
  static const uint32_t mask[] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF};
  static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
  const uint32_t invalid = 0xFFFFFFFF;
  *length = 1;
  unsigned char lead = bytes[0];
  if (lead < 0x80) return lead;
  int extra;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
  } else {
    return invalid;  // a continuation byte, or 11111xxx
  }
  uint32_t value = lead;
  for (int i = 1; i <= extra; i++) {
    if ((bytes[i] & 0xC0) != 0x80) return invalid;  // also stops at a NUL
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  value &= mask[extra];
  if (value < smallest[extra]) return invalid;
  if (extra == 2 && value >= 0xD800 && value <= 0xDFFF) return invalid;
  if (value > 0x10FFFF) return invalid;
  *length = extra + 1;
  return value;
}

}  // namespace base

namespace base {

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  for (size_t i = 0; i < text.size();) {
    int length;
    uint32_t code = utf8_decode(bytes + i, &length);
    bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0xFFFFFFFF;
    if (control) {
      out += '?';
    } else {
      out.append(text, i, size_t(length));
    }
    i += size_t(length);
  }
  return out;
}

std::string printable_lines(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t cut = end > start && text[end - 1] == '\r' ? end - 1 : end;
    out += printable(text.substr(start, cut - start));
    out.append(text, cut, end - cut);
    if (end == text.size()) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace base
