#include "base/url_encode.h"

#include <gtest/gtest.h>

TEST(UrlEncode, EveryByteValue) {
  for (int b = 0; b < 256; b++) {
    std::string byte(1, char(b));
    bool alnum = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
    bool unreserved = b != 0 && std::string("-_.!~*'()").find(char(b)) != std::string::npos;
    if (alnum || unreserved) {
      EXPECT_EQ(base::url_encode(byte, true), byte) << b;
    } else {
      char expected[4];
      snprintf(expected, sizeof expected, "%%%02X", b);
      EXPECT_EQ(base::url_encode(byte, true), expected) << b;
    }
  }
}

TEST(UrlEncode, KeysWithFoldersSpacesAndUtf8) {
  EXPECT_EQ(base::url_encode("a/b c.txt", true), "a%2Fb%20c.txt");
  EXPECT_EQ(base::url_encode("1+1=2", true), "1%2B1%3D2");
  EXPECT_EQ(base::url_encode("caf\xc3\xa9", true), "caf%C3%A9");
  EXPECT_EQ(base::url_encode("it's (1)~*", true), "it's%20(1)~*");
  EXPECT_EQ(base::url_encode("", true), "");
  EXPECT_EQ(base::url_encode(std::string("a\0b", 3), true), "a%00b");
}

TEST(UrlEncode, ReservedKeptInTheOtherMode) {
  EXPECT_EQ(base::url_encode("a/b?c=d&e", false), "a/b?c=d&e");
  EXPECT_EQ(base::url_encode("a b%", false), "a%20b%25");
}
