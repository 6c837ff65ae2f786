// base::unescape. Properties: decoding never lengthens a text and leaves a
// text without backslashes as it is; the JSON writer's escaping of a UTF-8
// string decodes back to that string.
#include <cstdint>
#include <string>

#include "base/unescape.h"
#include "check.h"
#include "var/var.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::text_of(data, size);
  const std::string plain = base::unescape(text);
  FUZZ_CHECK(plain.size() <= text.size(), "decoding never lengthens a text");
  if (text.find('\\') == std::string::npos) {
    FUZZ_CHECK(plain == text, "a text without escapes stays as it is");
  }
  if (fuzz::valid_utf8(text)) {
    var array = var::array();
    array.push(var(text));
    std::string written = array.str();  // «[ "…" ]»
    FUZZ_CHECK(written.size() >= 6, "an array of one string is written whole");
    std::string escaped = written.substr(3, written.size() - 6);
    FUZZ_CHECK(base::unescape(escaped) == text, "escaped text decodes back");
  }
  return 0;
}
