#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/utf8.h"

namespace {

const uint32_t invalid = 0xFFFFFFFF;

struct decoded {
  uint32_t code;
  int length;
};

decoded decode(const std::string& bytes) {
  decoded d;
  d.length = -1;
  d.code = base::utf8_decode(reinterpret_cast<const unsigned char*>(bytes.c_str()), &d.length);
  return d;
}

void expect_decodes(const std::string& bytes, uint32_t code, int length) {
  decoded d = decode(bytes);
  EXPECT_EQ(d.code, code) << "code of " << testing::PrintToString(bytes);
  EXPECT_EQ(d.length, length) << "length of " << testing::PrintToString(bytes);
}

void expect_invalid(const std::string& bytes) { expect_decodes(bytes, invalid, 1); }

TEST(Utf8Decode, AsciiIsItself) {
  expect_decodes("A", 'A', 1);
  expect_decodes("\x7f", 0x7f, 1);
  expect_decodes("", 0, 1);
}

TEST(Utf8Decode, ShortestFormsOfEveryLength) {
  expect_decodes("\xc2\x80", 0x80, 2);
  expect_decodes("\xc3\xa9", 0xe9, 2);
  expect_decodes("\xdf\xbf", 0x7ff, 2);
  expect_decodes("\xe0\xa0\x80", 0x800, 3);
  expect_decodes("\xe2\x82\xac", 0x20ac, 3);
  expect_decodes("\xed\x9f\xbf", 0xd7ff, 3);
  expect_decodes("\xee\x80\x80", 0xe000, 3);
  expect_decodes("\xef\xbf\xbf", 0xffff, 3);
  expect_decodes("\xf0\x90\x80\x80", 0x10000, 4);
  expect_decodes("\xf0\x9f\x98\x80", 0x1f600, 4);
  expect_decodes("\xf4\x8f\xbf\xbf", 0x10ffff, 4);
  expect_decodes("\xc3\xa9tail", 0xe9, 2);
}

TEST(Utf8Decode, BadLeadBytes) {
  expect_invalid("\x80");
  expect_invalid("\xbf\x80");
  expect_invalid("\xf8\x88\x80\x80\x80");
  expect_invalid("\xfc\x84\x80\x80\x80\x80");
  expect_invalid("\xfe");
  expect_invalid("\xff");
}

TEST(Utf8Decode, OverlongForms) {
  expect_invalid("\xc0\x80");
  expect_invalid("\xc1\xbf");
  expect_invalid("\xe0\x80\x80");
  expect_invalid("\xe0\x9f\xbf");
  expect_invalid("\xf0\x80\x80\x80");
  expect_invalid("\xf0\x8f\xbf\xbf");
}

TEST(Utf8Decode, SurrogatesAndValuesAboveTheLastCodePoint) {
  expect_invalid("\xed\xa0\x80");
  expect_invalid("\xed\xbf\xbf");
  expect_invalid("\xf4\x90\x80\x80");
  expect_invalid("\xf7\xbf\xbf\xbf");
}

TEST(Utf8Decode, MissingContinuationBytes) {
  expect_invalid("\xc3");
  expect_invalid("\xe2\x82");
  expect_invalid("\xf0\x9f\x98");
  expect_invalid("\xc3z");
  expect_invalid("\xe2\x82\xc3\xa9");
  expect_invalid(std::string("\xe2\0\xac", 3));
}

TEST(Printable, ControlsAndInvalidBytesBecomeQuestionMarks) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\x1b[31mb", "a?[31mb"},                 // escape sequence (C0)
      {"x\nNew revision: 99", "x?New revision: 99"},
      {"a\x7f" "b", "a?b"},                      // DEL
      {"a\xc2\x9b" "2Jb", "a?2Jb"},               // U+009B, a C1 control sequence introducer
      {"a\xc2\xa0\xc3\xbc\xe2\x82\xac", "a\xc2\xa0\xc3\xbc\xe2\x82\xac"},  // kept
      {"a\xff\xc3" "b\xe2\x82", "a??b??"},           // invalid UTF-8, byte by byte
      {std::string("a\0b", 3), "a?b"},
  };
  for (const auto& c : cases) EXPECT_EQ(base::printable(c.first), c.second) << c.first;
}

}  // namespace
