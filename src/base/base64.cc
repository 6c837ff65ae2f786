#include "base/base64.h"

namespace base {

std::string base64(const std::string& bytes) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned group = unsigned(static_cast<unsigned char>(bytes[i])) << 16 |
                     unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
    text += alphabet[group >> 18];
    text += alphabet[(group >> 12) & 63];
    text += alphabet[(group >> 6) & 63];
    text += alphabet[group & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 0) return text;
  // A last group of one or two bytes: pad with zero bits, then with "=".
  unsigned group = unsigned(static_cast<unsigned char>(bytes[i])) << 16;
  if (rest == 2) group |= unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8;
  text += alphabet[group >> 18];
  text += alphabet[(group >> 12) & 63];
  text += rest == 2 ? alphabet[(group >> 6) & 63] : '=';
  text += '=';
  return text;
}

}  // namespace base
