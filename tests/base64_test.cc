#include <gtest/gtest.h>

#include <string>

#include "base/base64.h"
#include "base/hmac.h"
#include "base/sha1.h"

namespace {

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(base::base64(""), "");
  EXPECT_EQ(base::base64("f"), "Zg==");
  EXPECT_EQ(base::base64("fo"), "Zm8=");
  EXPECT_EQ(base::base64("foo"), "Zm9v");
  EXPECT_EQ(base::base64("foob"), "Zm9vYg==");
  EXPECT_EQ(base::base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base::base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, AllByteValuesWithoutLineBreaks) {
  std::string bytes;
  for (int i = 0; i < 256; i++) bytes += static_cast<char>(i);
  EXPECT_EQ(base::base64(bytes),
            "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
            "P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9"
            "fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8"
            "vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7"
            "/P3+/w==");
}

TEST(Base64, ZeroBytesAreEncoded) {
  EXPECT_EQ(base::base64(std::string(3, '\0')), "AAAA");
  EXPECT_EQ(base::base64(std::string(1, '\0')), "AA==");
}

TEST(Base64, TwentyByteDigestGivesTwentyEightCharacters) {
  std::string text = base::base64(base::sha1("abc"));
  EXPECT_EQ(text.size(), 28u);
  EXPECT_EQ(text.back(), '=');
  EXPECT_NE(text[26], '=');
}

// The published request-signing example: Base64 of HMAC-SHA1 over the string to sign.
TEST(Base64, SignatureExample) {
  std::string signature = base::base64(
      base::hmac("wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY",
                 "GET\n\n\nTue, 27 Mar 2007 19:36:42 +0000\n/awsexamplebucket1/photos/puppy.jpg",
                 base::sha1));
  EXPECT_EQ(signature, "qgk2+6Sv9/oM7G3qLEjTH1a1l1g=");
}

}  // namespace
