// An absolute URL split into scheme, host (ASCII form), port and path.
// Never fails: every input gives some split. A plain value; no shared state.
#pragma once
#include <string>

class split_url {
 public:
  explicit split_url(const std::string& url);

  // The URL made again from the four fields.
  std::string rebuild() const;
  // The host with every non-ASCII label turned into "xn--" + Punycode.
  static std::string utf8_to_idn(const std::string& host);

  std::string scheme;  // "http" when none is named, "https" for "//host"
  std::string host;
  int port;            // explicit, or 443 for https, 21 for ftp, else 80
  std::string path;    // from the first "/" after the host; "/" when none
};

namespace base {

// RFC 3492 Punycode of one UTF-8 label, without "xn--"; an all-ASCII label
// comes back unchanged (no trailing "-").
std::string punycode(const std::string& label);

}  // namespace base
