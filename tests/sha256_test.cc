// SHA-256 against the FIPS 180 examples, and HMAC-SHA256 against RFC 4231.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/hex.h"
#include "base/hmac.h"
#include "base/sha256.h"

namespace {

using base::hex;

// "abcdefghijklmnopqrstuvwxyzabc..." cut to `length` bytes.
std::string alphabet_run(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; i++) text += static_cast<char>('a' + i % 26);
  return text;
}

TEST(Sha256, FipsVectors) {
  EXPECT_EQ(hex(base::sha256("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(base::sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // The 448-bit message: its padding needs a second block.
  EXPECT_EQ(hex(base::sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(base::sha256("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                             "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(hex(base::sha256(std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, ResultIsThirtyTwoRawBytes) {
  std::string digest = base::sha256("abc");
  ASSERT_EQ(digest.size(), 32u);
  EXPECT_EQ(static_cast<unsigned char>(digest[0]), 0xba);
  EXPECT_EQ(static_cast<unsigned char>(digest[31]), 0xad);
}

// Lengths around the point where the length field no longer fits in the
// last block, and around a whole block.
TEST(Sha256, PaddingBoundaries) {
  EXPECT_EQ(hex(base::sha256(alphabet_run(55))),
            "595615dbe4f0f407ae397d08b4c2cb870cb9b0e11937416f950c5160acf9c005");
  EXPECT_EQ(hex(base::sha256(alphabet_run(56))),
            "784f623b787495078e93ff28a25b581df0584055a7e71d8cd90c454716b92f51");
  EXPECT_EQ(hex(base::sha256(alphabet_run(63))),
            "5ca3e1ef5207490eac01a795e5cc94d59582a5118bf9534665c8668d87aa647c");
  EXPECT_EQ(hex(base::sha256(alphabet_run(64))),
            "2fcd5a0d60e4c941381fcc4e00a4bf8be422c3ddfafb93c809e8d1e2bfffae8e");
  EXPECT_EQ(hex(base::sha256(alphabet_run(65))),
            "1b3cd1877ab2f2f19f7be001722554f336cb799df0329de0bb4c118dc6abc06d");
}

TEST(Sha256, EmbeddedZeroBytesCount) {
  EXPECT_NE(base::sha256(std::string("a\0b", 3)), base::sha256("a"));
  EXPECT_NE(base::sha256(std::string(1, '\0')), base::sha256(""));
}

TEST(Sha256Context, OddSizedPiecesEqualOneShot) {
  std::string message = alphabet_run(1000);
  const std::vector<size_t> sizes = {1, 0, 2, 3, 5, 7, 11, 13, 63, 64, 65, 127, 1};
  for (size_t start = 0; start < 3; start++) {  // vary where pieces meet blocks
    base::sha256_context context;
    size_t at = 0;
    for (size_t i = start; at < message.size(); i++) {
      size_t size = std::min(sizes[i % sizes.size()], message.size() - at);
      context.update(message.data() + at, size);
      at += size;
    }
    EXPECT_EQ(context.finish(), base::sha256(message)) << "start " << start;
  }
}

TEST(Sha256Context, StartsOverAfterFinish) {
  base::sha256_context context;
  context.update("some earlier message", 20);
  context.finish();
  context.update(nullptr, 0);
  context.update("abc", 3);
  EXPECT_EQ(hex(context.finish()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(context.finish()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// 513 MiB, past 2^29 bytes, where a bit count kept in 32 bits wraps.
TEST(Sha256Context, MessageLengthAbove512MiB) {
  const std::string block(1 << 20, '\0');
  base::sha256_context context;
  for (int i = 0; i < 513; i++) context.update(block.data(), block.size());
  // head -c 537919488 /dev/zero | sha256sum
  EXPECT_EQ(hex(context.finish()),
            "a3e2acbb469e4e59dde406f912e754c933c1ac0fb0092a3634d61d5073309c0c");
}

std::string hmac_sha256_hex(const std::string& key, const std::string& message) {
  return hex(base::hmac(key, message, base::sha256));
}

TEST(HmacSha256, Rfc4231Cases) {
  EXPECT_EQ(hmac_sha256_hex(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hmac_sha256_hex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmac_sha256_hex(std::string(20, '\xaa'), std::string(50, '\xdd')),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  std::string key4;
  for (char c = 1; c <= 25; c++) key4 += c;
  EXPECT_EQ(hmac_sha256_hex(key4, std::string(50, '\xcd')),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  // Case 5 publishes the first 128 bits only.
  EXPECT_EQ(hmac_sha256_hex(std::string(20, '\x0c'), "Test With Truncation").substr(0, 32),
            "a3b6167473100ee06e0c796c2955552b");
}

// Cases 6 and 7: a 131-byte key is longer than the 64-byte block, so it is
// replaced by its 32-byte digest, zero-padded to a block.
TEST(HmacSha256, Rfc4231KeysLongerThanABlockAreHashedFirst) {
  const std::string key(131, '\xaa');
  EXPECT_EQ(hmac_sha256_hex(key, "Test Using Larger Than Block-Size Key - Hash Key First"),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  EXPECT_EQ(hmac_sha256_hex(key,
                            "This is a test using a larger than block-size key and a larger "
                            "than block-size data. The key needs to be hashed before being "
                            "used by the HMAC algorithm."),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST(Hex, LowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(hex(""), "");
  EXPECT_EQ(hex(std::string("\x00\x0f\xf0\xff\x7a", 5)), "000ff0ff7a");
}

}  // namespace
