#include "http/split_url.h"

#include <cstdio>
#include <cstdlib>

#include "base/punycode.h"
#include "var/var.h"

namespace {

int default_port(const std::string& scheme) {
  if (scheme == "https") return 443;
  if (scheme == "ftp") return 21;
  return 80;
}

// strtol's reading of the text (sign and leading blanks accepted, digits up
// to the first other byte). A value no port can have becomes 0, which no
// connection accepts, instead of wrapping to some other port.
int parse_port(const std::string& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  return value < 0 || value > 65535 ? 0 : int(value);
}

}  // namespace

split_url::split_url(const std::string& url) : scheme("http"), port(80), path("/") {
  std::string rest = url;
  size_t separator = url.find("://");
  if (separator != std::string::npos && separator > 0) {
    scheme = url.substr(0, separator);
    rest = url.substr(separator + 3);
  } else if (url.compare(0, 2, "//") == 0) {
    scheme = "https";
    rest = url.substr(2);
  }

  size_t slash = rest.find('/');
  if (slash != std::string::npos && slash > 0) {
    path = rest.substr(slash);
    rest.resize(slash);
  }

  size_t colon = rest.find(':');
  if (colon != std::string::npos && colon > 0) {
    port = parse_port(rest.substr(colon + 1));
    rest.resize(colon);
  } else {
    port = default_port(scheme);
  }
  host = utf8_to_idn(rest);
}

std::string split_url::rebuild() const { return scheme + "://" + host_port() + path; }

std::string split_url::host_port() const {
  bool is_default = (scheme == "http" && port == 80) || (scheme == "https" && port == 443) ||
                    (scheme == "ftp" && port == 21);
  if (is_default) return host;
  char number[16];
  snprintf(number, sizeof number, ":%d", port);
  return host + number;
}

std::string split_url::utf8_to_idn(const std::string& host) {
  var labels = var(host).split(".");
  std::string ascii;
  for (int i = 0; i < labels.size(); i++) {
    if (i > 0) ascii += '.';
    std::string label = labels.get(i).str();
    std::string encoded = base::punycode(label);
    ascii += encoded == label ? label : "xn--" + encoded;
  }
  return ascii;
}
