#include <gtest/gtest.h>

#include <string>

#include "base/punycode.h"

namespace {

struct sample {
  const char* name;
  const char* label;  // UTF-8
  const char* encoded;
};

// The sample strings of RFC 3492 section 7.1. Basic code points keep their
// case (nothing is folded); digits are lower case, so (I) ends in "...baDot..."
// there and "...badot..." here.
const sample rfc_samples[] = {
    {"A Arabic (Egyptian)",
     u8"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628"
     u8"\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {"B Chinese (simplified)", u8"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587",
     "ihqwcrb4cv8a8dqg056pqjye"},
    {"C Chinese (traditional)", u8"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587",
     "ihqwctvzc91f659drss3x8bo0yb"},
    {"D Czech", u8"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "Proprostnemluvesky-uyb24dma41a"},
    {"E Hebrew",
     u8"\u05DC\u05DE\u05D4\u05D4\u05DD\u05E4\u05E9\u05D5\u05D8\u05DC\u05D0\u05DE\u05D3\u05D1\u05E8"
     u8"\u05D9\u05DD\u05E2\u05D1\u05E8\u05D9\u05EA",
     "4dbcagdahymbxekheh6e0a7fei0b"},
    {"F Hindi (Devanagari)",
     u8"\u092F\u0939\u0932\u094B\u0917\u0939\u093F\u0928\u094D\u0926\u0940\u0915\u094D\u092F\u094B"
     u8"\u0902\u0928\u0939\u0940\u0902\u092C\u094B\u0932\u0938\u0915\u0924\u0947\u0939\u0948\u0902",
     "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {"G Japanese (kanji and hiragana)",
     u8"\u306A\u305C\u307F\u3093\u306A\u65E5\u672C\u8A9E\u3092\u8A71\u3057\u3066\u304F\u308C\u306A"
     u8"\u3044\u306E\u304B",
     "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {"H Korean (Hangul syllables)",
     u8"\uC138\uACC4\uC758\uBAA8\uB4E0\uC0AC\uB78C\uB4E4\uC774\uD55C\uAD6D\uC5B4\uB97C\uC774\uD574"
     u8"\uD55C\uB2E4\uBA74\uC5BC\uB9C8\uB098\uC88B\uC744\uAE4C",
     "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
    {"I Russian (Cyrillic)",
     u8"\u043F\u043E\u0447\u0435\u043C\u0443\u0436\u0435\u043E\u043D\u0438\u043D\u0435\u0433\u043E"
     u8"\u0432\u043E\u0440\u044F\u0442\u043F\u043E\u0440\u0443\u0441\u0441\u043A\u0438",
     "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
    {"J Spanish", u8"Porqu\u00E9nopuedensimplementehablarenEspa\u00F1ol",
     "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"K Vietnamese",
     u8"T\u1EA1isaoh\u1ECDkh\u00F4ngth\u1EC3ch\u1EC9n\u00F3iti\u1EBFngVi\u1EC7t",
     "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"L 3<nen>B<gumi><kinpachi><sensei>", u8"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F",
     "3B-ww4c5e180e575a65lsy2b"},
    {"M <amuro><namie>-with-SUPER-MONKEYS", u8"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS",
     "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"N Hello-Another-Way-<sorezore><no><basho>",
     u8"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240",
     "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"O <hitotsu><yane><no><shita>2", u8"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B2",
     "2-u9tlzr9756bt3uc0v"},
    {"P Maji<de>Koi<suru>5<byou><mae>", u8"Maji\u3067Koi\u3059\u308B5\u79D2\u524D",
     "MajiKoi5-783gue6qz075azm5e"},
    {"Q <pafii>de<runba>", u8"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"},
    {"R <sono><supiido><de>", u8"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
    // All basic: the label itself, without the "-" that RFC 3492 appends.
    {"S -> $1.00 <-", "-> $1.00 <-", "-> $1.00 <-"},
};

TEST(Punycode, Rfc3492Samples) {
  for (const sample& s : rfc_samples) {
    EXPECT_EQ(base::punycode(s.label), s.encoded) << s.name;
  }
}

TEST(Punycode, OneNonAsciiLetter) {
  EXPECT_EQ(base::punycode(u8"b\u00FCcher"), "bcher-kva");
  EXPECT_EQ(base::punycode(u8"\u00FC"), "tda") << "no basic code point: no delimiter";
}

TEST(Punycode, AsciiLabelsUnchanged) {
  EXPECT_EQ(base::punycode(""), "");
  EXPECT_EQ(base::punycode("www"), "www");
  EXPECT_EQ(base::punycode("WWW-Example-"), "WWW-Example-");
  EXPECT_EQ(base::punycode(std::string("a\0b", 3)), std::string("a\0b", 3));
}

// Bytes that are not UTF-8 cannot be encoded; the label comes back as it was.
TEST(Punycode, InvalidUtf8ComesBackUnchanged) {
  const char* const labels[] = {
      "\xff",              // never in UTF-8
      "\x80",              // lone continuation byte
      "b\xc3",             // sequence cut by the end of the label
      "\xc3" "b",          // sequence cut by an ASCII byte
      "\xc0\xaf",          // overlong "/"
      "\xed\xa0\x80",      // surrogate
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "ok\xc3\xbc\xfe",    // valid, then invalid
  };
  for (const char* label : labels) {
    EXPECT_EQ(base::punycode(label), label) << testing::PrintToString(label);
  }
  std::string cut_by_nul("\xc3\0\xbc", 3);
  EXPECT_EQ(base::punycode(cut_by_nul), cut_by_nul);
  std::string many_bad(100000, '\xff');
  EXPECT_EQ(base::punycode(many_bad), many_bad);
}

// The first delta is (0x10FFFF - 0x80) * (basic + 1): it fits 32 bits for
// 3854 basic code points and not for 3855, where the label is kept as it is.
TEST(Punycode, OverflowKeepsLabel) {
  const std::string top = u8"\U0010FFFF";
  EXPECT_EQ(base::punycode(std::string(3854, 'a') + top), std::string(3854, 'a') + "-tp357616a");
  std::string too_big = std::string(3855, 'a') + top;
  EXPECT_EQ(base::punycode(too_big), too_big);
}

}  // namespace
