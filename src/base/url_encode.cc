#include "base/url_encode.h"

#include <cstring>

namespace base {

namespace {

// 1 for bytes written as they are, per mode; built once.
struct encoding_tables {
  bool keep_all[256];       // letters, digits and the unreserved marks
  bool keep_reserved[256];  // the same plus the reserved set
  encoding_tables() {
    const char* unreserved = "-_.!~*'()";
    const char* reserved = ";,/?:@&=+$#";
    for (int b = 0; b < 256; b++) {
      bool alnum = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
      keep_all[b] = alnum || (b != 0 && strchr(unreserved, b) != nullptr);
      keep_reserved[b] = keep_all[b] || (b != 0 && strchr(reserved, b) != nullptr);
    }
  }
};

}  // namespace

std::string url_encode(const std::string& text, bool reserved) {
  static const encoding_tables tables;
  static const char hex[] = "0123456789ABCDEF";
  const bool* keep = reserved ? tables.keep_all : tables.keep_reserved;
  std::string out;
  out.reserve(text.size());
  for (unsigned char b : text) {
    if (keep[b]) {
      out += char(b);
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out;
}

}  // namespace base
