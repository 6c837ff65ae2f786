// Text helpers: numbers and sizes as text, splitting, UTF-8 decoding and
// terminal-safe text, URL encoding, Punycode and the wildcard match.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <tuple>

#include "base/punycode.h"
#include "base/text.h"
#include "base/url_encode.h"
#include "base/utf8.h"
#include "base/wildcard.h"

const size_t npos = std::string::npos;

TEST(Text, NumbersAndSizes) {
  EXPECT_EQ(base::num(INT_MIN), "-2147483648");
  // Whole numbers in full, such as a Content-Length; others to six digits.
  const std::pair<double, const char*> numbers[] = {
      {0, "0"}, {-0.0, "-0"}, {5e9, "5000000000"}, {1e21, "1000000000000000000000"}, {2.5, "2.5"},
      {1.0 / 3, "0.333333"}, {1000000.5, "1e+06"}, {HUGE_VAL, "inf"}, {std::nan(""), "nan"},
  };
  for (const auto& [number, text] : numbers) EXPECT_EQ(base::num(number), text) << text;
  const std::pair<double, const char*> sizes[] = {
      {0.4, "0 B"}, {1000, "1000 B"}, {1001, "1.0 KB"}, {1e6, "1000.0 KB"}, {1e6 + 1, "1.0 MB"}, {2.5e9, "2.5 GB"},
      {1e12 + 1, "1.0 TB"}, {1e15 + 1, "1.0 PB"}, {1e21, "1000000.0 PB"}, {-1e-9, "?"},
  };
  for (const auto& [size, text] : sizes) EXPECT_EQ(base::format_size(size), text) << text;
}

TEST(Text, Split) {
  // Text, delimiters, whether empty pieces are kept, and each piece in brackets.
  const std::tuple<std::string, const char*, bool, std::string> rows[] = {
      {"a,,b", ",", true, "[a][][b]"}, {"a,,b", ",", false, "[a][b]"}, {"", ",", true, "[]"}, {"", ",", false, ""},
      {",", ",", true, "[][]"}, {",,,", ",", false, ""}, {",a,", ",", false, "[a]"}, {"a.b-c", "-.", true, "[a][b][c]"},
      {"k=v; x=y", "; ", false, "[k=v][x=y]"}, {std::string("a\0b,c", 5), ",", true, std::string("[a\0b][c]", 8)},
  };
  for (const auto& [text, delimiters, keep_empty, expected] : rows) {
    std::string pieces;
    for (const std::string& piece : base::split(text, delimiters, keep_empty)) pieces += "[" + piece + "]";
    EXPECT_EQ(pieces, expected) << text << " at " << delimiters;
  }
}

TEST(Text, Utf8Decode) {
  // Whole sequences of each length and edge: the bytes, the code point and the length. The end of
  // the text reads as a 1-byte NUL, and bytes after a whole sequence are not read.
  const std::tuple<std::string, uint32_t, int> valid[] = {
      {"A", 'A', 1}, {"\x7f", 0x7f, 1}, {"\xc2\x80", 0x80, 2}, {"\xdf\xbf", 0x7ff, 2}, {"\xe0\xa0\x80", 0x800, 3},
      {"\xed\x9f\xbf", 0xd7ff, 3}, {"\xee\x80\x80", 0xe000, 3}, {"\xef\xbf\xbf", 0xffff, 3}, {"", 0, 1},
      {"\xf0\x90\x80\x80", 0x10000, 4}, {"\xf4\x8f\xbf\xbf", 0x10ffff, 4}, {"\xc3\xa9tail", 0xe9, 2},
  };
  // A lone continuation byte, leads of 5 and 6 bytes, overlong forms,
  // surrogates, beyond U+10FFFF, cut short: each is one bad byte.
  const std::string invalid[] = {
      "\x80", "\xf8\x88\x80\x80\x80", "\xfc\x84\x80\x80\x80\x80", "\xff", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf",
      "\xf0\x8f\xbf\xbf", "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf7\xbf\xbf\xbf", "\xc3",
      "\xf0\x9f\x98", "\xc3z", std::string("\xe2\0\xac", 3),
  };
  auto decode = [](const std::string& bytes) {
    int length = -1;
    uint32_t code = base::utf8_decode(reinterpret_cast<const unsigned char*>(bytes.c_str()), &length);
    return std::make_pair(code, length);
  };
  for (const auto& [bytes, code, length] : valid) EXPECT_EQ(decode(bytes), std::make_pair(code, length)) << bytes;
  for (const std::string& bytes : invalid) EXPECT_EQ(decode(bytes), std::make_pair(0xFFFFFFFFu, 1)) << bytes;
}

// Keys and error documents from the network are printed through these: no
// control byte or broken sequence may reach the terminal.
TEST(Text, Printable) {
  // Text, as one line, and line by line. DEL and U+009B (C1) are controls; U+00A0 is not.
  const std::tuple<std::string, const char*, const char*> rows[] = {
      {"a\x1b[31mb", "a?[31mb", "a?[31mb"}, {"x\nNew revision: 99", "x?New revision: 99", "x\nNew revision: 99"},
      {"a\r\nb\rc\n", "a??b?c?", "a\r\nb?c\n"}, {"a\x7f" "b\xc2\x9b" "2J", "a?b?2J", "a?b?2J"},
      {"\xc2\xa0\xc3\xbc\xe2\x82\xac", "\xc2\xa0\xc3\xbc\xe2\x82\xac", "\xc2\xa0\xc3\xbc\xe2\x82\xac"},
      {"a\xff\xc3" "b\xe2\x82", "a??b??", "a??b??"}, {std::string("a\0b", 3), "a?b", "a?b"}, {"", "", ""},
  };
  for (const auto& [text, line, lines] : rows) {
    EXPECT_EQ(base::printable(text), line) << text;
    EXPECT_EQ(base::printable_lines(text), lines) << text;
  }
}

TEST(Text, UrlEncode) {
  const std::tuple<std::string, bool, const char*> rows[] = {
      {"azAZ09-_.!~*'()", true, "azAZ09-_.!~*'()"}, {";,/?:@&=+$# %", false, ";,/?:@&=+$#%20%25"},
      {";,/?:@&=+$# %\"<>[]\\^`{|}", true, "%3B%2C%2F%3F%3A%40%26%3D%2B%24%23%20%25%22%3C%3E%5B%5D%5C%5E%60%7B%7C%7D"},
      {std::string("\0\x01\x1f\x7f\x80\xff", 6), true, "%00%01%1F%7F%80%FF"},
  };
  for (const auto& [text, reserved, encoded] : rows) EXPECT_EQ(base::url_encode(text, reserved), encoded) << text;
}

TEST(Text, Punycode) {
  const std::pair<std::string, std::string> rows[] = {
      // Samples of RFC 3492 section 7.1 (B, D, L, M, Q); basic code points keep their case.
      {u8"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
      {u8"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "Proprostnemluvesky-uyb24dma41a"},
      {u8"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
      {u8"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
      {u8"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"}, {u8"\U0010FFFF", "dn32g"},
      // The first delta, (0x10FFFF - 0x80) * (basic + 1), fits 32 bits for
      // 3854 basic code points, not for 3855: then the label is kept.
      {std::string(3854, 'a') + u8"\U0010FFFF", std::string(3854, 'a') + "-tp357616a"},
  };
  for (const auto& [label, encoded] : rows) EXPECT_EQ(base::punycode(label), encoded) << encoded.substr(0, 40);
  // All basic (no "-" added), or not UTF-8: the label comes back as it is.
  const std::string kept[] = {"-> $1.00 <-", "", std::string("a\0b", 3), "\xff", "b\xc3", "ok\xc3\xbc\xfe",
                              std::string("\xc3\0\xbc", 3), std::string(3855, 'a') + u8"\U0010FFFF"};
  for (const std::string& label : kept) EXPECT_EQ(base::punycode(label), label) << label.substr(0, 20);
}

TEST(Text, Wildcard) {
  ASSERT_TRUE(base::find_case_insensitive);
  // After a mismatch the name position never moves back ("*aab"); ASCII letters only compare
  // without case.
  const std::tuple<std::string, std::string, bool> matches[] = {
      {"abc", "abc", true}, {"abc", "abcd", false}, {"abcd", "abc", false}, {"", "", true}, {"a?c", "abc", true},
      {"a?c", "abbc", false}, {"*aab", "aaab", false}, {"*abab", "ababab", false}, {"*", "", true}, {"**", "x", true},
      {"*.txt", ".txt", true}, {"*.txt", "a.txt.bak", false}, {"*.txt", "a.txt.txt", true}, {"a*b*c", "axxbyyc", true},
      {"*ab", "aab", true}, {"a*", "ba", false}, {"*.TXT", "B.Txt", true}, {"@", "`", false}, {"[", "{", false},
      {"\xC4", "\xE4", false}, {std::string("a\0b", 3), "a", false}, {"a", std::string("a\0", 2), false},
      {std::string("a\0b", 3), std::string("a\0b", 3), true},
  };
  for (const auto& [pattern, name, match] : matches) EXPECT_EQ(base::is_match(pattern, name), match) << pattern;

  // Text, pattern, where to start, and where the match is.
  const std::tuple<std::string, const char*, size_t, size_t> finds[] = {
      {"hello world", "world", 0, 6}, {"abc", "abcd", 0, npos}, {"", "a", 0, npos}, {std::string("a\0b", 3), "b", 0, 2},
      {"ababac", "abac", 0, 2}, {"abc", "", 0, 0}, {"abcdef", "a*", 0, 0}, {"hello world", "w*d", 0, 6},
      {"xyz", "?z", 0, 1}, {"xy", "y?", 0, npos}, {"abab", "ab", 1, 2}, {"abab", "ab", 3, npos}, {"abc", "", 3, 3},
      {"abc", "", 4, npos}, {"Time: 3 pm", "PM", 0, 8}, {"10:00 AM", "PM", 0, npos},
  };
  for (const auto& [text, pattern, start, found] : finds) EXPECT_EQ(base::find(text, pattern, start), found) << pattern;
}
