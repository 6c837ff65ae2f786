#include "check.h"

#include "base/utf8.h"

namespace fuzz {

bool valid_utf8(const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  for (size_t i = 0; i < text.size();) {
    int length;
    if (base::utf8_decode(bytes + i, &length) == 0xFFFFFFFF) return false;
    i += size_t(length);
  }
  return true;
}

bool split_extra(std::string* text, std::string* extra, size_t limit) {
  size_t nul = text->rfind('\0');
  if (nul == std::string::npos || text->size() - nul - 1 > limit) return false;
  *extra = text->substr(nul + 1);
  text->resize(nul);
  return true;
}

}  // namespace fuzz
