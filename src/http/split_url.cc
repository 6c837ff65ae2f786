#include "http/split_url.h"

split_url::split_url(const std::string& url) : scheme("http"), host(url), port(80), path("/") {}

std::string split_url::rebuild() const { return scheme + "://" + host + path; }

std::string split_url::utf8_to_idn(const std::string& host) { return host; }

namespace base {

std::string punycode(const std::string& label) { return label; }

}  // namespace base
