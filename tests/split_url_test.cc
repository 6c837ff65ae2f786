#include <gtest/gtest.h>

#include <string>

#include "http/split_url.h"

namespace {

void expect_split(const std::string& url, const std::string& scheme, const std::string& host,
                  int port, const std::string& path) {
  split_url u(url);
  EXPECT_EQ(u.scheme, scheme) << url;
  EXPECT_EQ(u.host, host) << url;
  EXPECT_EQ(u.port, port) << url;
  EXPECT_EQ(u.path, path) << url;
}

TEST(SplitUrl, SchemeHostPortPath) {
  expect_split("http://example.com/a/b?x=1#f", "http", "example.com", 80, "/a/b?x=1#f");
  expect_split("https://example.com/", "https", "example.com", 443, "/");
  expect_split("ftp://example.com/pub", "ftp", "example.com", 21, "/pub");
  expect_split("https://example.com:8443/k", "https", "example.com", 8443, "/k");
  expect_split("gopher://example.com/", "gopher", "example.com", 80, "/");
  expect_split("http://example.com/%41%20b", "http", "example.com", 80, "/%41%20b");
}

TEST(SplitUrl, MissingOrShortScheme) {
  expect_split("example.com/a", "http", "example.com", 80, "/a");
  expect_split("example.com:81", "http", "example.com", 81, "/");
  expect_split("//example.com/a", "https", "example.com", 443, "/a");
  expect_split("//example.com:444", "https", "example.com", 444, "/");
  // "://" at the very start names no scheme: the whole text is the remainder.
  expect_split("://example.com/a", "http", ":", 80, "//example.com/a");
}

TEST(SplitUrl, SchemeCaseIsKept) {
  split_url u("HTTP://Example.COM/");
  EXPECT_EQ(u.scheme, "HTTP");
  EXPECT_EQ(u.host, "Example.COM");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.rebuild(), "HTTP://Example.COM:80/");
  EXPECT_EQ(split_url("HTTPS://h/").port, 80) << "only the exact lower-case name defaults to 443";
  EXPECT_EQ(split_url("HTTPS://h/").rebuild(), "HTTPS://h:80/");
}

TEST(SplitUrl, PathDefaultsAndQueryWithoutSlash) {
  expect_split("http://example.com", "http", "example.com", 80, "/");
  expect_split("http://example.com?x=1", "http", "example.com?x=1", 80, "/");
  expect_split("http://example.com:8080?x=1", "http", "example.com", 8080, "/");
  // A "/" right after the scheme: no host before it, so the text stays whole.
  expect_split("http:///a", "http", "/a", 80, "/");
}

TEST(SplitUrl, HostEdges) {
  expect_split("http://example.com./x", "http", "example.com.", 80, "/x");
  expect_split("http:///", "http", "/", 80, "/");
  expect_split("http://", "http", "", 80, "/");
  expect_split("", "http", "", 80, "/");
  // A ":" first in the host text does not start a port.
  expect_split("http://:81/x", "http", ":81", 80, "/x");
}

TEST(SplitUrl, UserInfoAndIpv6FallIntoHostAndPort) {
  expect_split("http://user:pw@example.com/", "http", "user", 0, "/");
  expect_split("http://user@example.com:81/", "http", "user@example.com", 81, "/");
  expect_split("http://[::1]:8080/", "http", "[", 0, "/");
  expect_split("http://[::1]/", "http", "[", 0, "/");
}

TEST(SplitUrl, PortText) {
  expect_split("http://h:12ab/", "http", "h", 12, "/");
  expect_split("http://h: 81/", "http", "h", 81, "/");
  expect_split("http://h:+81/", "http", "h", 81, "/");
  expect_split("http://h:/", "http", "h", 0, "/");
  expect_split("http://h:x/", "http", "h", 0, "/");
  expect_split("http://h:65535/", "http", "h", 65535, "/");
  expect_split("http://h:0/", "http", "h", 0, "/");
}

// No port is negative or above 65535; such text gives 0 rather than a
// truncated number that could name some other port.
TEST(SplitUrl, PortOutOfRangeBecomesZero) {
  expect_split("http://h:-1/", "http", "h", 0, "/");
  expect_split("http://h:65536/", "http", "h", 0, "/");
  expect_split("http://h:4294967376/", "http", "h", 0, "/");  // not 80 modulo 2^32
  expect_split("http://h:99999999999999999999999/", "http", "h", 0, "/");
  expect_split("http://h:-99999999999999999999999/", "http", "h", 0, "/");
}

TEST(SplitUrl, RebuildDropsOnlyDefaultPorts) {
  EXPECT_EQ(split_url("http://h:80/a").rebuild(), "http://h/a");
  EXPECT_EQ(split_url("https://h:443/a").rebuild(), "https://h/a");
  EXPECT_EQ(split_url("ftp://h:21/a").rebuild(), "ftp://h/a");
  EXPECT_EQ(split_url("http://h:443/a").rebuild(), "http://h:443/a");
  EXPECT_EQ(split_url("https://h:80/a").rebuild(), "https://h:80/a");
  EXPECT_EQ(split_url("ftp://h/").rebuild(), "ftp://h/");
  EXPECT_EQ(split_url("gopher://h/").rebuild(), "gopher://h:80/");
  EXPECT_EQ(split_url("http://h:8080").rebuild(), "http://h:8080/");
  EXPECT_EQ(split_url("//h/x?y").rebuild(), "https://h/x?y");
  EXPECT_EQ(split_url("h").rebuild(), "http://h/");
}

TEST(SplitUrl, RebuildWritesAnyPortInDecimal) {
  split_url u("http://h/");
  u.port = -2147483647 - 1;
  EXPECT_EQ(u.rebuild(), "http://h:-2147483648/");
}

TEST(SplitUrl, HostTurnedToAsciiForm) {
  expect_split(u8"http://www.b\u00FCcher.de:8080/b\u00FCcher", "http", "www.xn--bcher-kva.de", 8080,
               u8"/b\u00FCcher");
  EXPECT_EQ(split_url(u8"https://b\u00FCcher.de/").rebuild(), "https://xn--bcher-kva.de/");
}

TEST(Utf8ToIdn, NonAsciiLabelsOnly) {
  EXPECT_EQ(split_url::utf8_to_idn(u8"www.b\u00FCcher.de"), "www.xn--bcher-kva.de");
  EXPECT_EQ(split_url::utf8_to_idn(u8"b\u00FCcher"), "xn--bcher-kva");
  EXPECT_EQ(split_url::utf8_to_idn(u8"\u00FC.\u00FC"), "xn--tda.xn--tda");
  EXPECT_EQ(split_url::utf8_to_idn(u8"WWW.B\u00FCcher.DE"), "WWW.xn--Bcher-kva.DE");
}

TEST(Utf8ToIdn, AsciiHostsByteForByte) {
  const char* const hosts[] = {"", ".", "..", "example.com", "Example.COM", "example.com.",
                               ".example..com", "127.0.0.1", "xn--bcher-kva.de", "a-.-b"};
  for (const char* host : hosts) EXPECT_EQ(split_url::utf8_to_idn(host), host) << host;
}

TEST(Utf8ToIdn, EmptyLabelsKeepTheirPlaces) {
  EXPECT_EQ(split_url::utf8_to_idn(u8".b\u00FCcher..de."), ".xn--bcher-kva..de.");
}

// Labels that are not UTF-8 stay as they are; the other labels still convert.
TEST(Utf8ToIdn, InvalidUtf8LabelsKept) {
  EXPECT_EQ(split_url::utf8_to_idn("\xff.example"), "\xff.example");
  EXPECT_EQ(split_url::utf8_to_idn("\xc3.b\xc3\xbc" "cher"), "\xc3.xn--bcher-kva");
  EXPECT_EQ(split_url("http://\xc3\x28:81/").host, "\xc3\x28");
}

}  // namespace
