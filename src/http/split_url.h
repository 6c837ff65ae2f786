// An absolute URL split into scheme, host (ASCII form), port and path.
// Never fails: every input gives some split. Nothing is lower-cased or
// percent-decoded; user information and bracketed IPv6 literals are not
// recognised and fall into host and port. A plain value; no shared state.
#pragma once
#include <string>

class split_url {
 public:
  explicit split_url(const std::string& url);

  // The URL made again from the four fields; the port is left out when it is
  // the default of the scheme ("http" 80, "https" 443, "ftp" 21, exact case).
  std::string rebuild() const;
  // The host, with ":port" after it unless the port is the scheme's default:
  // the authority of rebuild(), and the value of the Host header.
  std::string host_port() const;
  // The host with every label that is not all ASCII turned into "xn--" +
  // Punycode; labels that cannot be encoded (not UTF-8) are kept as they are.
  static std::string utf8_to_idn(const std::string& host);

  std::string scheme;  // "http" when none is named, "https" for "//host"
  std::string host;
  int port;            // explicit, or 443 for https, 21 for ftp, else 80;
                       // 0 when the explicit port is outside 0..65535
  std::string path;    // from the first "/" after the host; "/" when none
};
