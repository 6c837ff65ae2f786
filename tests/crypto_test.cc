// Digests, HMAC and Base64 against their published vectors: SHA-1 and
// SHA-256 (FIPS 180), MD5 (RFC 1321), HMAC (RFC 2202, RFC 4231), Base64
// (RFC 4648); the framing the three hashes share; streamed = whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "base/base64.h"
#include "base/hex.h"
#include "base/hmac.h"
#include "base/md5.h"
#include "base/sha1.h"
#include "base/sha256.h"

namespace {

using base::sha1, base::sha256;

std::string md5(const std::string& bytes) {
  base::md5_context context;
  context.update(bytes.data(), bytes.size());
  return context.finish();
}

// "abcdefghijklmnopqrstuvwxyzabc..." cut to `length` bytes.
std::string alphabet_run(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; i++) text += char('a' + i % 26);
  return text;
}

typedef std::string (*hash_function)(const std::string&);

// Pieces of every size, meeting the blocks at every offset, give the digest
// of the whole; a finished context starts over.
template <class Context>
void expect_streams(hash_function whole) {
  const std::string message = alphabet_run(1000);
  const size_t sizes[] = {1, 0, 2, 3, 5, 7, 11, 13, 63, 64, 65, 127, 1};
  for (size_t start = 0; start < 3; start++) {
    Context context;
    context.update("an earlier message", 18);
    context.finish();
    for (size_t at = 0, i = start; at < message.size(); at += sizes[i++ % 13]) {
      context.update(message.data() + at, std::min(sizes[i % 13], message.size() - at));
    }
    EXPECT_EQ(context.finish(), whole(message)) << start;
    EXPECT_EQ(context.finish(), whole("")) << start;
  }
}

TEST(Crypto, DigestsWholeAndStreamed) {
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::tuple<hash_function, std::string, const char*> rows[] = {
      {sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {sha1, two_blocks, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {sha1, std::string("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
      // Around the point where the length no longer fits the last block (two_blocks is 56 bytes).
      {sha1, alphabet_run(55), "a617d006d1ca12671785098a19a87fe58443bde9"},
      {sha1, alphabet_run(65), "cf2a63cc308225cf07b498d2309a01dd0df52f67"},
      {sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {sha256, two_blocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {sha256, alphabet_run(65), "1b3cd1877ab2f2f19f7be001722554f336cb799df0329de0bb4c118dc6abc06d"},
      {md5, "", "d41d8cd98f00b204e9800998ecf8427e"}, {md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {md5, alphabet_run(56), "31fcfb5165169eb55898e7e4cf34d19a"},
  };
  for (const auto& [hash, message, digest] : rows) EXPECT_EQ(base::hex(hash(message)), digest) << message;
  expect_streams<base::sha1_context>(sha1);
  expect_streams<base::sha256_context>(sha256);
  expect_streams<base::md5_context>(md5);
}

// The last block of a 513 MiB message: a bit count kept in 32 bits wraps
// past 512 MiB. SHA-1 and SHA-256 write it big-endian, MD5 little-endian.
TEST(Crypto, LengthOfLargeMessages) {
  for (bool little : {false, true}) {
    base::hash_blocks blocks;
    std::string last;
    auto keep = [&last](const unsigned char* block) { last.assign(reinterpret_cast<const char*>(block), 64); };
    const std::string mebibyte(1 << 20, 'x');
    for (int i = 0; i < 513; i++) blocks.update(mebibyte.data(), mebibyte.size(), keep);
    blocks.finish(keep, little);
    std::string length = little ? std::string("\0\0\x80\0\x01\0\0\0", 8) : std::string("\0\0\0\x01\0\x80\0\0", 8);
    EXPECT_EQ(last, "\x80" + std::string(55, '\0') + length) << little;
  }
}

TEST(Crypto, HmacAndBase64Vectors) {
  const std::string large_key_text = "Test Using Larger Than Block-Size Key - Hash Key First";
  const std::tuple<hash_function, std::string, std::string, const char*> rows[] = {
      {sha1, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {sha1, std::string(80, '\xaa'), large_key_text, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      // A key of exactly one block is used as it is, not hashed.
      {sha1, std::string(64, 'k'), "m", "d52b5b30393c20f423870bb6d0ad622b02848ca9"},
      // A 32-byte digest of a long key is zero-padded to the block.
      {sha256, std::string(131, '\xaa'), large_key_text,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {sha256, std::string(64, 'k'), "m", "3b7a8d453e76edb519238a515105a57508d0f169f480ebeee120a9e7803289fa"},
  };
  for (const auto& [hash, key, message, mac] : rows) EXPECT_EQ(base::hex(base::hmac(key, message, hash)), mac);
  const std::pair<std::string, const char*> base64[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {std::string(1, '\0'), "AA=="}, {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& row : base64) EXPECT_EQ(base::base64(row.first), row.second) << row.first;
}

}  // namespace
