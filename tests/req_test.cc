#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "http/chunked.h"
#include "http/req.h"

namespace {

// Decodes `text` fed in pieces of `step` bytes; the outcome and the data.
std::pair<http::chunk_decoder::result, std::string> decode(const std::string& text, size_t step) {
  http::chunk_decoder decoder;
  std::string data;
  auto out = [&data](const char* piece, size_t length) {
    data.append(piece, length);
    return true;
  };
  http::chunk_decoder::result result = http::chunk_decoder::more;
  for (size_t at = 0; at < text.size() && result == http::chunk_decoder::more; at += step)
    result = decoder.feed(text.data() + at, std::min(step, text.size() - at), out);
  return {result, data};
}

TEST(ChunkDecoder, Table) {
  using r = http::chunk_decoder;
  const struct {
    std::string text;
    r::result result;
    std::string data;
  } cases[] = {
      {"5\r\nhello\r\nA\r\n0123456789\r\n0\r\n\r\n", r::done, "hello0123456789"},
      {"1F\r\n" + std::string(31, 'x') + "\r\n1f\r\n" + std::string(31, 'y') + "\r\n0\r\n\r\n",
       r::done, std::string(31, 'x') + std::string(31, 'y')},
      {"4\r\n\r\n\r\n\r\n0\r\n\r\n", r::done, "\r\n\r\n"},
      {"5;name=value\r\nhello\r\n3 ; x\r\nabc\r\n0;last\r\n\r\n", r::done, "helloabc"},
      {"3\r\nabc\r\n0\r\nX-One: 1\r\nX-Two: 2\r\n\r\n", r::done, "abc"},
      {"000000010\r\n" + std::string(16, 'x') + "\r\n0\r\n\r\n", r::done, std::string(16, 'x')},
      {"5\r\nhello\r\n0\r\nX: 1\r\n", r::more, "hello"},  // waits for the rest
      {"7fffffff\r\nabc", r::more, "abc"},  // a huge chunk streams as it comes
      {"0x3\r\nabc\r\n0\r\n\r\n", r::bad, ""},
      {"3 x\r\nabc\r\n", r::bad, ""},
      {"\r\n", r::bad, ""},
      {"-1\r\n", r::bad, ""},
      {"1000000000000000\r\n", r::bad, ""},  // 16 significant digits
      {"3\nabc\r\n", r::bad, ""},
      {"3\r\nabcXY0\r\n\r\n", r::bad, "abc"},
      {"3\r\nabc\n0\r\n\r\n", r::bad, "abc"},
      {std::string(5000, '0') + "\r\n", r::bad, ""},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t(1), size_t(3), c.text.size()}) {
      auto got = decode(c.text, step);
      EXPECT_EQ(got.first, c.result) << c.text << " in pieces of " << step;
      EXPECT_EQ(got.second, c.data) << c.text << " in pieces of " << step;
    }
  }
}

TEST(GetHeader, Table) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length-Range: 1\r\ncontent-length: 12\r\nX-Amz-Id:abc \r\n"
      "Empty: \r\nVia: a\r\nvia: b \r\n\r\n";
  // head, name -> the first value, every value
  const std::string cases[][4] = {
      {head, "Content-Length", "12", "12"},
      {head, "CONTENT-LENGTH", "12", "12"},
      {head, "x-amz-id", "abc", "abc"},
      {head, "content-length-range", "1", "1"},
      {head, "content", "", ""},  // a longer name that begins with the name is not it
      {head, "X-Amz", "", ""},
      {head, "location", "", ""},
      {head, "empty", "", ""},
      {head, "via", "a", "a, b"},
      {"", "location", "", ""},
      {"HTTP/1.1 301 Moved\r\nLocation", "location", "", ""},  // a head cut short
      {"HTTP/1.1 301 Moved\r\nLocation:", "location", "", ""},
      {"HTTP/1.1 301 Moved\r\nLocation: /a", "location", "/a", "/a"},
      {"HTTP/1.1: 200\r\n\r\n", "HTTP/1.1", "", ""},  // the status line is never matched
      {"Location: /x\r\nA: b\r\n\r\n", "location", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(http_connection::get_header(c[1], c[0]), c[2]) << c[1] << " in " << c[0];
    EXPECT_EQ(http_connection::get_headers(c[1], c[0]), c[3]) << c[1] << " in " << c[0];
  }
}

}  // namespace
