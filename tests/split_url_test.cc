#include "http/split_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A URL -> its parts, and the URL made again from them (the Host header and
// the redirect check use these: the default port of the scheme is left out,
// and a host name is sent in its ASCII form).
TEST(SplitUrl, Table) {
  const struct {
    std::string url, parts, rebuilt;  // parts: "scheme host port path"
  } cases[] = {
      {"http://example.com/a/b?x=1#f", "http example.com 80 /a/b?x=1#f", "http://example.com/a/b?x=1#f"},
      {"https://h", "https h 443 /", "https://h/"}, {"h:81/a", "http h 81 /a", "http://h:81/a"},
      {"https://h:8443/k", "https h 8443 /k", "https://h:8443/k"}, {"//h/a", "https h 443 /a", "https://h/a"},
      {"http://h:443/k", "http h 443 /k", "http://h:443/k"},
      {"http://h:65535/", "http h 65535 /", "http://h:65535/"},
      // no port is negative or past 65535: 0, which no connection takes
      {"http://h:65536/", "http h 0 /", "http://h:0/"}, {"http://h:-1/", "http h 0 /", "http://h:0/"},
      {u8"http://www.b\u00FCcher.de:8080/b\u00FCcher", u8"http www.xn--bcher-kva.de 8080 /b\u00FCcher",
       u8"http://www.xn--bcher-kva.de:8080/b\u00FCcher"},
      {u8"https://\u00FC.b\u00FCcher.localhost./", "https xn--tda.xn--bcher-kva.localhost. 443 /",
       "https://xn--tda.xn--bcher-kva.localhost./"},
      // a label that is not UTF-8 stays as it is; the others still convert
      {"http://\xc3.b\xc3\xbc" "cher/", "http \xc3.xn--bcher-kva 80 /", "http://\xc3.xn--bcher-kva/"},
  };
  for (const auto& c : cases) {
    split_url u(c.url);
    EXPECT_EQ(u.scheme + " " + u.host + " " + std::to_string(u.port) + " " + u.path, c.parts) << c.url;
    EXPECT_EQ(u.rebuild(), c.rebuilt) << c.url;
  }
}

}  // namespace
