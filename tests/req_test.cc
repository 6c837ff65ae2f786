#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http/req.h"

namespace {

// A temporary file as a chunk sink; contents() reads back what was written.
class Sink {
 public:
  Sink() : file(tmpfile()) {}
  ~Sink() {
    if (file) fclose(file);
  }
  std::string contents() {
    fflush(file);
    std::string text;
    rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    fseek(file, 0, SEEK_END);
    return text;
  }
  FILE* file;
};

// unchunk with what it printed.
int unchunk_said(std::string& body, FILE* sink, std::string* said) {
  testing::internal::CaptureStdout();
  int result = http::unchunk(body, sink);
  fflush(stdout);
  *said = testing::internal::GetCapturedStdout();
  return result;
}

TEST(Unchunk, InMemoryBodyIsDecodedWhenComplete) {
  std::string body = "5\r\nhello\r\nA\r\n0123456789\r\n0\r\n\r\n";
  EXPECT_EQ(http::unchunk(body, nullptr), 1);
  EXPECT_EQ(body, "hello0123456789");
}

TEST(Unchunk, SizesInUpperAndLowerCaseHex) {
  std::string data(0x1f, 'x');
  std::string upper = "1F\r\n" + data + "\r\n0\r\n\r\n";
  std::string lower = "1f\r\n" + data + "\r\n0\r\n\r\n";
  EXPECT_EQ(http::unchunk(upper, nullptr), 1);
  EXPECT_EQ(http::unchunk(lower, nullptr), 1);
  EXPECT_EQ(upper, data);
  EXPECT_EQ(lower, data);
}

TEST(Unchunk, IncompleteTextWaitsAndStaysUnchanged) {
  for (std::string text : {"", "5", "5\r", "5\r\nhel", "5\r\nhello", "5\r\nhello\r",
                           "5\r\nhello\r\n", "5\r\nhello\r\n0", "5\r\nhello\r\n0\r\n",
                           "5\r\nhello\r\n0\r\nX-Trailer: 1\r\n"}) {
    std::string body = text;
    EXPECT_EQ(http::unchunk(body, nullptr), 0) << text;
    EXPECT_EQ(body, text);
  }
}

TEST(Unchunk, DataMayHoldLineBreaks) {
  std::string body = "4\r\n\r\n\r\n\r\n0\r\n\r\n";
  EXPECT_EQ(http::unchunk(body, nullptr), 1);
  EXPECT_EQ(body, "\r\n\r\n");
}

TEST(Unchunk, ExtensionsAfterTheSizeAreIgnored) {
  std::string body = "5;name=value\r\nhello\r\n3 ; x\r\nabc\r\n0;last\r\n\r\n";
  EXPECT_EQ(http::unchunk(body, nullptr), 1);
  EXPECT_EQ(body, "helloabc");
}

TEST(Unchunk, TrailerLinesAreReadToTheEmptyLine) {
  std::string body = "3\r\nabc\r\n0\r\nX-One: 1\r\nX-Two: 2\r\n\r\n";
  EXPECT_EQ(http::unchunk(body, nullptr), 1);
  EXPECT_EQ(body, "abc");
}

TEST(Unchunk, AnEmptySizeLineEndsTheBody) {
  std::string body = "3\r\nabc\r\n\r\n";
  EXPECT_EQ(http::unchunk(body, nullptr), 1);
  EXPECT_EQ(body, "abc");
}

TEST(Unchunk, WithASinkEachWholeChunkIsWrittenAndDropped) {
  Sink sink;
  std::string body = "5\r\nhello\r\n3\r\nab";
  EXPECT_EQ(http::unchunk(body, sink.file), 0);
  EXPECT_EQ(sink.contents(), "hello");
  EXPECT_EQ(body, "3\r\nab");
  body += "c\r\n0\r\n";
  EXPECT_EQ(http::unchunk(body, sink.file), 0);
  EXPECT_EQ(body, "0\r\n");
  body += "\r\n";
  EXPECT_EQ(http::unchunk(body, sink.file), 1);
  EXPECT_EQ(body, "");
  EXPECT_EQ(sink.contents(), "helloabc");
}

TEST(Unchunk, WithASinkLargeAndManyChunks) {
  Sink sink;
  std::string expected, body;
  for (int i = 1; i <= 300; i++) {
    std::string data(size_t(i * 37), char('a' + i % 26));
    char size[16];
    snprintf(size, sizeof size, i % 2 ? "%x" : "%X", unsigned(data.size()));
    body += std::string(size) + "\r\n" + data + "\r\n";
    expected += data;
  }
  body += "0\r\n\r\n";
  // Fed in pieces of 1000 bytes, as reads would bring them.
  std::string pending;
  int result = 0;
  for (size_t at = 0; at < body.size(); at += 1000) {
    EXPECT_EQ(result, 0);
    pending += body.substr(at, 1000);
    result = http::unchunk(pending, sink.file);
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(sink.contents(), expected);
}

TEST(Unchunk, BadSizesAbandonTheBody) {
  std::string said;
  std::string body = "FFFFFFFF\r\nabc\r\n";
  EXPECT_EQ(unchunk_said(body, nullptr, &said), 1);
  EXPECT_EQ(body, "FFFFFFFF\r\nabc\r\n");

  body = "80000000\r\n";
  EXPECT_EQ(unchunk_said(body, nullptr, &said), 1);

  body = "zz\r\nabc\r\n";  // no digit at all
  EXPECT_EQ(unchunk_said(body, nullptr, &said), 1);

  body = "100000000\r\n";  // more than 32 bits would wrap to 0
  EXPECT_EQ(unchunk_said(body, nullptr, &said), 1);

  body = "000000010\r\n" + std::string(16, 'x') + "\r\n0\r\n\r\n";  // leading zeros are fine
  EXPECT_EQ(unchunk_said(body, nullptr, &said), 1);
  EXPECT_EQ(said, "");
  EXPECT_EQ(body, std::string(16, 'x'));
}

TEST(Unchunk, ABadSizeWithASinkKeepsWhatCameBefore) {
  Sink sink;
  std::string said;
  std::string body = "2\r\nok\r\nFFFFFFFE\r\n";
  EXPECT_EQ(unchunk_said(body, sink.file, &said), 1);
  EXPECT_EQ(sink.contents(), "ok");
}

const char head[] =
    "HTTP/1.1 200 OK\r\n"
    "Content-Length-Range: 1\r\n"
    "content-length: 12\r\n"
    "X-Amz-Id:abc \r\n"
    "Empty: \r\n"
    "\r\n";

TEST(GetHeader, NamesMatchInAnyLetterCase) {
  EXPECT_EQ(http_connection::get_header("Content-Length", head), "12");
  EXPECT_EQ(http_connection::get_header("CONTENT-LENGTH", head), "12");
  EXPECT_EQ(http_connection::get_header("x-amz-id", head), "abc");
}

TEST(GetHeader, ALongerNameThatBeginsWithTheNameIsNotIt) {
  EXPECT_EQ(http_connection::get_header("content-length-range", head), "1");
  EXPECT_EQ(http_connection::get_header("content", head), "");
  EXPECT_EQ(http_connection::get_header("X-Amz", head), "");
}

TEST(GetHeader, MissingAndEmptyValues) {
  EXPECT_EQ(http_connection::get_header("location", head), "");
  EXPECT_EQ(http_connection::get_header("empty", head), "");
  EXPECT_EQ(http_connection::get_header("location", ""), "");
}

TEST(GetHeader, AHeadCutShort) {
  EXPECT_EQ(http_connection::get_header("location", "HTTP/1.1 301 Moved\r\nLocation"), "");
  EXPECT_EQ(http_connection::get_header("location", "HTTP/1.1 301 Moved\r\nLocation:"), "");
  EXPECT_EQ(http_connection::get_header("location", "HTTP/1.1 301 Moved\r\nLocation: /a"), "/a");
}

TEST(GetHeader, TheStatusLineIsNeverMatched) {
  EXPECT_EQ(http_connection::get_header("HTTP/1.1", "HTTP/1.1: 200\r\n\r\n"), "");
  EXPECT_EQ(http_connection::get_header("location", "Location: /x\r\nA: b\r\n\r\n"), "");
}

TEST(GetCookies, SetCookieLinesJoinWithoutAttributes) {
  std::string reply =
      "HTTP/1.1 301 Moved\r\n"
      "Set-Cookie: a=1; Path=/; HttpOnly\r\n"
      "Location: /x\r\n"
      "Set-Cookie: b=2\r\n"
      "\r\n";
  EXPECT_EQ(http::get_cookies(reply), "a=1; b=2");
}

TEST(GetCookies, OnlyTheExactHeaderName) {
  EXPECT_EQ(http::get_cookies("HTTP/1.1 200 OK\r\nset-cookie: a=1\r\nSet-Cookie2: b=2\r\n\r\n"),
            "");
  EXPECT_EQ(http::get_cookies("HTTP/1.1 200 OK\r\n\r\n"), "");
}

TEST(GetCookies, ValuesKeepTheirColonsAndEmptyOnesAreSkipped) {
  EXPECT_EQ(http::get_cookies("HTTP/1.1 200 OK\r\nSet-Cookie: u=http://x/\r\nSet-Cookie:\r\n"
                              "Set-Cookie:c=3\r\n\r\n"),
            "u=http://x/; c=3");
}

}  // namespace
