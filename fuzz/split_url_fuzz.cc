// split_url, split_url::rebuild and split_url::utf8_to_idn. Properties: the
// host conversion is idempotent and gives ASCII for a host of UTF-8 labels;
// a URL rebuilt from its parts splits into the same parts when its host is
// a plain one (not empty, no "/" or ":" in it).
#include <cstdint>
#include <string>

#include "check.h"
#include "http/split_url.h"

namespace {

bool ascii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url = fuzz::text_of(data, size);
  split_url parts(url);
  FUZZ_CHECK(parts.port >= 0 && parts.port <= 65535, "a port is 0 to 65535");
  FUZZ_CHECK(!parts.path.empty() && parts.path[0] == '/', "a path starts with /");

  std::string rebuilt = parts.rebuild();
  const std::string& host = parts.host;
  if (!host.empty() && host.find_first_of("/:") == std::string::npos) {
    split_url again(rebuilt);
    FUZZ_CHECK(again.scheme == parts.scheme, "a rebuilt URL keeps its scheme");
    FUZZ_CHECK(again.host == parts.host, "a rebuilt URL keeps its host");
    FUZZ_CHECK(again.port == parts.port, "a rebuilt URL keeps its port");
    FUZZ_CHECK(again.path == parts.path, "a rebuilt URL keeps its path");
    FUZZ_CHECK(again.rebuild() == rebuilt, "rebuilding is stable");
  }

  // The host conversion on its own, on a host with a dot or two.
  std::string idn = split_url::utf8_to_idn(url);
  FUZZ_CHECK(split_url::utf8_to_idn(idn) == idn, "host conversion is idempotent");
  if (fuzz::valid_utf8(url) && url.find('\0') == std::string::npos && url.size() < 64) {
    // Short labels cannot overflow the encoder, whose refusal keeps a label as it is.
    FUZZ_CHECK(ascii(idn), "a UTF-8 host comes out as ASCII");
  }
  return 0;
}
