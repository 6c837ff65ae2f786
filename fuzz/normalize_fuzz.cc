// os::normalize. Properties: it is idempotent; the result is no longer than
// the path, holds no backslash, no "//" and no "/./", ends in "/" only when
// it is "/", and holds ".." only when the path did.
#include <cstdint>
#include <string>

#include "check.h"
#include "os/path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::text_of(data, size);
  const std::string clean = os::normalize(path);
  FUZZ_CHECK(os::normalize(clean) == clean, "normalising twice changes nothing");
  FUZZ_CHECK(clean.size() <= path.size(), "normalising never lengthens a path");
  FUZZ_CHECK(clean.find('\\') == std::string::npos, "no backslash is left");
  FUZZ_CHECK(clean.find("//") == std::string::npos, "separators do not repeat");
  FUZZ_CHECK(clean.find("/./") == std::string::npos, "no ./ is left after a separator");
  FUZZ_CHECK(clean == "/" || clean.empty() || clean.back() != '/', "only / itself ends in /");
  if (path.find("..") == std::string::npos) {
    FUZZ_CHECK(clean.find("..") == std::string::npos, "no .. appears that was not there");
  }
  return 0;
}
