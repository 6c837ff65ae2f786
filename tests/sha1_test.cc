#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// "abcdefghijklmnopqrstuvwxyzabc..." cut to `length` bytes.
std::string alphabet_run(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; i++) text += static_cast<char>('a' + i % 26);
  return text;
}

TEST(Sha1, FipsVectors) {
  EXPECT_EQ(hex(base::sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(base::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(base::sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex(base::sha1(std::string(1000000, 'a'))),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, ResultIsTwentyRawBytes) {
  std::string digest = base::sha1("abc");
  ASSERT_EQ(digest.size(), 20u);
  EXPECT_EQ(static_cast<unsigned char>(digest[0]), 0xa9);
  EXPECT_EQ(static_cast<unsigned char>(digest[19]), 0x9d);
}

// Lengths around the point where the length field no longer fits in the
// last block, and around a whole block.
TEST(Sha1, PaddingBoundaries) {
  EXPECT_EQ(hex(base::sha1(alphabet_run(55))), "a617d006d1ca12671785098a19a87fe58443bde9");
  EXPECT_EQ(hex(base::sha1(alphabet_run(56))), "4ad5bb7ae3c4024768d364b77c52128ea3cffebe");
  EXPECT_EQ(hex(base::sha1(alphabet_run(63))), "fc8a5ab77259625085ead3ec96515b3b8d933fad");
  EXPECT_EQ(hex(base::sha1(alphabet_run(64))), "93249d4c2f8903ebf41ac358473148ae6ddd7042");
  EXPECT_EQ(hex(base::sha1(alphabet_run(65))), "cf2a63cc308225cf07b498d2309a01dd0df52f67");
}

TEST(Sha1, EmbeddedZeroBytesCount) {
  EXPECT_NE(base::sha1(std::string("a\0b", 3)), base::sha1("a"));
  EXPECT_NE(base::sha1(std::string(1, '\0')), base::sha1(""));
}

TEST(Sha1Context, OddSizedPiecesEqualOneShot) {
  std::string message = alphabet_run(1000);
  const std::vector<size_t> sizes = {1, 0, 2, 3, 5, 7, 11, 13, 63, 64, 65, 127, 1};
  for (size_t start = 0; start < 3; start++) {  // vary where pieces meet blocks
    base::sha1_context context;
    size_t at = 0;
    for (size_t i = start; at < message.size(); i++) {
      size_t size = std::min(sizes[i % sizes.size()], message.size() - at);
      context.update(message.data() + at, size);
      at += size;
    }
    EXPECT_EQ(context.finish(), base::sha1(message)) << "start " << start;
  }
}

TEST(Sha1Context, EmptyUpdatesChangeNothing) {
  base::sha1_context context;
  context.update(nullptr, 0);
  context.update("abc", 3);
  context.update(nullptr, 0);
  EXPECT_EQ(hex(context.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1Context, StartsOverAfterFinish) {
  base::sha1_context context;
  context.update("some earlier message", 20);
  context.finish();
  context.update("abc", 3);
  EXPECT_EQ(hex(context.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(context.finish()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

// 513 MiB, past 2^29 bytes, where a bit count kept in 32 bits wraps.
TEST(Sha1Context, MessageLengthAbove512MiB) {
  const std::string block(1 << 20, '\0');
  base::sha1_context context;
  for (int i = 0; i < 513; i++) context.update(block.data(), block.size());
  // head -c 537919488 /dev/zero | sha1sum
  EXPECT_EQ(hex(context.finish()), "56b0894b2b968f40e7a5e9240d242c19f7c56b70");
}

}  // namespace
