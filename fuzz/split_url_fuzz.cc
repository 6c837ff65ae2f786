// split_url, split_url::rebuild and split_url::utf8_to_idn. Properties: a
// port is 0 to 65535 and a path starts with "/"; a URL rebuilt from its parts
// splits into the same parts when its host is a plain one (not empty, no "/"
// or ":" in it); the host conversion is idempotent and gives ASCII for a
// short host of UTF-8 labels (a label too long to encode is kept as it is).
#include <cstdint>
#include <string>

#include "base/utf8.h"
#include "check.h"
#include "http/split_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url = fuzz::text_of(data, size);
  split_url parts(url);
  FUZZ_CHECK(parts.port >= 0 && parts.port <= 65535, "a port is 0 to 65535");
  FUZZ_CHECK(!parts.path.empty() && parts.path[0] == '/', "a path starts with /");
  if (!parts.host.empty() && parts.host.find_first_of("/:") == std::string::npos) {
    split_url again(parts.rebuild());
    FUZZ_CHECK(again.scheme == parts.scheme && again.host == parts.host && again.port == parts.port &&
                   again.path == parts.path, "a rebuilt URL splits into the same parts");
  }
  std::string idn = split_url::utf8_to_idn(url);
  FUZZ_CHECK(split_url::utf8_to_idn(idn) == idn, "host conversion is idempotent");
  // Printable text is valid UTF-8 without controls (which Punycode treats as any code point).
  const bool short_utf8 = base::printable(url) == url && url.size() < 64;
  for (unsigned char c : idn) FUZZ_CHECK(!short_utf8 || c < 0x80, "a UTF-8 host comes out as ASCII");
  return 0;
}
