#include <gtest/gtest.h>

#include <string>

#include "base/hmac.h"
#include "base/sha1.h"

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

std::string hmac_sha1_hex(const std::string& key, const std::string& message) {
  return hex(base::hmac(key, message, base::sha1));
}

TEST(HmacSha1, Rfc2202Cases) {
  EXPECT_EQ(hmac_sha1_hex(std::string(20, '\x0b'), "Hi There"),
            "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(hmac_sha1_hex("Jefe", "what do ya want for nothing?"),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(hmac_sha1_hex(std::string(20, '\xaa'), std::string(50, '\xdd')),
            "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  std::string key4;
  for (char c = 1; c <= 25; c++) key4 += c;
  EXPECT_EQ(hmac_sha1_hex(key4, std::string(50, '\xcd')),
            "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
  EXPECT_EQ(hmac_sha1_hex(std::string(20, '\x0c'), "Test With Truncation"),
            "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
}

TEST(HmacSha1, Rfc2202KeysLongerThanABlockAreHashedFirst) {
  const std::string key(80, '\xaa');
  EXPECT_EQ(hmac_sha1_hex(key, "Test Using Larger Than Block-Size Key - Hash Key First"),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(hmac_sha1_hex(key,
                          "Test Using Larger Than Block-Size Key and Larger "
                          "Than One Block-Size Data"),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(HmacSha1, KeyOfExactlyOneBlockIsUsedAsIs) {
  const std::string key(64, 'k');
  EXPECT_NE(base::hmac(key, "m", base::sha1), base::hmac(base::sha1(key), "m", base::sha1));
  // A shorter key is zero-padded, so trailing zeros up to a block change nothing.
  EXPECT_EQ(base::hmac("key", "m", base::sha1),
            base::hmac(std::string("key") + std::string(61, '\0'), "m", base::sha1));
}

// A stand-in hash with a 32-byte digest, to check that nothing assumes 20.
std::string wide_hash(const std::string& bytes) {
  return base::sha1(bytes) + base::sha1("x" + bytes).substr(0, 12);
}

TEST(Hmac, LongKeyDigestIsZeroPaddedWhateverItsLength) {
  const std::string key(100, 'q');
  std::string result = base::hmac(key, "message", wide_hash);
  EXPECT_EQ(result.size(), 32u);
  EXPECT_EQ(result, base::hmac(wide_hash(key), "message", wide_hash));
}

TEST(Hmac, AcceptsAnyCallable) {
  auto hash = [](const std::string& bytes) { return base::sha1(bytes); };
  EXPECT_EQ(hex(base::hmac("Jefe", "what do ya want for nothing?", hash)),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

}  // namespace
