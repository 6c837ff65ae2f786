#include <gtest/gtest.h>

#include <string>

#include "base/wildcard.h"

namespace {

const size_t npos = std::string::npos;

TEST(IsMatch, PlainNamesMatchWhole) {
  EXPECT_TRUE(base::is_match("abc", "abc"));
  EXPECT_FALSE(base::is_match("abc", "abcd"));
  EXPECT_FALSE(base::is_match("abcd", "abc"));
  EXPECT_FALSE(base::is_match("abc", "xabc"));
  EXPECT_TRUE(base::is_match("", ""));
  EXPECT_FALSE(base::is_match("", "a"));
  EXPECT_FALSE(base::is_match("a", ""));
}

TEST(IsMatch, QuestionMarkTakesExactlyOneByte) {
  EXPECT_TRUE(base::is_match("a?c", "abc"));
  EXPECT_TRUE(base::is_match("a?c", "a.c"));
  EXPECT_FALSE(base::is_match("a?c", "ac"));
  EXPECT_FALSE(base::is_match("a?c", "abbc"));
  EXPECT_TRUE(base::is_match("???", "xyz"));
  EXPECT_FALSE(base::is_match("?", ""));
}

TEST(IsMatch, StarTakesAnyRun) {
  EXPECT_TRUE(base::is_match("*", ""));
  EXPECT_TRUE(base::is_match("*", "anything at all"));
  EXPECT_TRUE(base::is_match("**", "x"));
  EXPECT_TRUE(base::is_match("abc*", "abc")) << "a trailing star accepts nothing more";
  EXPECT_TRUE(base::is_match("abc*", "abcdef"));
  EXPECT_FALSE(base::is_match("abc*", "ab"));
  EXPECT_TRUE(base::is_match("*.txt", "a.txt"));
  EXPECT_TRUE(base::is_match("*.txt", ".txt"));
  EXPECT_FALSE(base::is_match("*.txt", "a.txt.bak"));
  EXPECT_TRUE(base::is_match("*.txt", "a.txt.txt")) << "the star takes more after the pattern ran out";
  EXPECT_TRUE(base::is_match("a*b*c", "axxbyyc"));
  EXPECT_FALSE(base::is_match("a*b*c", "axxbyy"));
  EXPECT_TRUE(base::is_match("*ab", "aab"));
  EXPECT_TRUE(base::is_match("*aab", "xaab"));
  EXPECT_FALSE(base::is_match("a*", "ba"));
}

TEST(IsMatch, NamePositionIsNeverMovedBack) {
  EXPECT_FALSE(base::is_match("*aab", "aaab"));
  EXPECT_FALSE(base::is_match("*abab", "ababab"));
}

TEST(IsMatch, FoldsAsciiLettersOnly) {
  ASSERT_TRUE(base::find_case_insensitive);
  EXPECT_TRUE(base::is_match("*.TXT", "a.txt"));
  EXPECT_TRUE(base::is_match("*.TXT", "B.Txt"));
  EXPECT_FALSE(base::is_match("*.TXT", "a.txt.bak"));
  EXPECT_TRUE(base::is_match("jan*", "JANUARY"));
  EXPECT_FALSE(base::is_match("@", "`")) << "0x40 and 0x60 are not letters";
  EXPECT_FALSE(base::is_match("[", "{"));
  EXPECT_FALSE(base::is_match("\xC4", "\xE4")) << "bytes above ASCII are not folded";
}

TEST(IsMatch, ComparesEmbeddedNulBytes) {
  EXPECT_TRUE(base::is_match(std::string("a\0b", 3), std::string("a\0b", 3)));
  EXPECT_FALSE(base::is_match(std::string("a\0b", 3), "a"));
  EXPECT_FALSE(base::is_match("a", std::string("a\0", 2)));
}

TEST(Find, FirstMatchPosition) {
  EXPECT_EQ(base::find("hello world", "world"), 6u);
  EXPECT_EQ(base::find("hello world", "o"), 4u);
  EXPECT_EQ(base::find("hello world", "xyz"), npos);
  EXPECT_EQ(base::find("abc", "abcd"), npos);
  EXPECT_EQ(base::find("", "a"), npos);
  EXPECT_EQ(base::find(std::string("a\0b", 3), "b"), 2u);
}

TEST(Find, RestartsOnePastThePreviousStart) {
  EXPECT_EQ(base::find("aab", "ab"), 1u);
  EXPECT_EQ(base::find("ababac", "abac"), 2u);
  EXPECT_EQ(base::find("xxab", "ab"), 2u);
}

TEST(Find, EndsWhenThePatternIsUsedUp) {
  EXPECT_EQ(base::find("abc", ""), 0u);
  EXPECT_EQ(base::find("abcdef", "a*"), 0u);
  EXPECT_EQ(base::find("hello world", "w*d"), 6u);
  EXPECT_EQ(base::find("xyz", "?z"), 1u);
  EXPECT_EQ(base::find("xyz", "y?"), 1u);
  EXPECT_EQ(base::find("xy", "y?"), npos);
}

TEST(Find, HonoursStart) {
  EXPECT_EQ(base::find("abab", "ab", 1), 2u);
  EXPECT_EQ(base::find("abab", "ab", 3), npos);
  EXPECT_EQ(base::find("abc", "", 3), 3u);
  EXPECT_EQ(base::find("abc", "", 4), npos);
  EXPECT_EQ(base::find("abc", "a", 100), npos);
}

TEST(Find, IgnoresLetterCase) {
  EXPECT_EQ(base::find("Time: 3 pm", "PM"), 8u);
  EXPECT_EQ(base::find("10:00 AM", "PM"), npos);
  EXPECT_EQ(base::find("a@b", "`"), npos);
}

TEST(Find, HeaderLookup) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCONTENT-LENGTH: 5\r\n"
      "X-Amz-Request-Id-Extra: 1\r\n";
  EXPECT_EQ(base::find(head, "\r\ncontent-length"), 41u);
  EXPECT_EQ(base::find(head, "\r\nhttp"), npos) << "the status line has no line break before it";
  EXPECT_EQ(base::find(head, "\r\nx-amz-request-id"), 60u) << "a longer name also matches";
  EXPECT_EQ(base::find(head, "\r\nlocation"), npos);
}

}  // namespace
