#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/text.h"

namespace {

typedef std::vector<std::string> pieces;

TEST(Num, Int) {
  EXPECT_EQ(base::num(-5), "-5");
  EXPECT_EQ(base::num(0), "0");
  EXPECT_EQ(base::num(INT_MAX), "2147483647");
  EXPECT_EQ(base::num(INT_MIN), "-2147483648");
}

TEST(Num, DoubleIntegersInFull) {
  EXPECT_EQ(base::num(3.0), "3");
  EXPECT_EQ(base::num(100000.0), "100000");
  EXPECT_EQ(base::num(-7.0), "-7");
  EXPECT_EQ(base::num(-0.0), "-0");
  EXPECT_EQ(base::num(1e21), "1000000000000000000000");
  EXPECT_EQ(base::num(1e300).size(), 301u) << "no exponent at any magnitude";
  EXPECT_EQ(base::num(1700000000.0), "1700000000") << "a time in seconds";
}

TEST(Num, DoubleFractionsWithSixSignificantDigits) {
  EXPECT_EQ(base::num(2.5), "2.5");
  EXPECT_EQ(base::num(1000000.5), "1e+06");
  EXPECT_EQ(base::num(1.0 / 3), "0.333333");
  EXPECT_EQ(base::num(123456789.5), "1.23457e+08");
  EXPECT_EQ(base::num(1e-7), "1e-07");
  EXPECT_EQ(base::num(-0.25), "-0.25");
}

TEST(Num, DoubleNonFinite) {
  EXPECT_EQ(base::num(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(base::num(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(base::num(std::nan("")), "nan");
}

TEST(Split, KeepingEmptyPieces) {
  EXPECT_EQ(base::split("a,,b", ",", true), (pieces{"a", "", "b"}));
  EXPECT_EQ(base::split("", ",", true), (pieces{""}));
  EXPECT_EQ(base::split(",", ",", true), (pieces{"", ""}));
  EXPECT_EQ(base::split("a,", ",", true), (pieces{"a", ""}));
  EXPECT_EQ(base::split("a, b", ", ", true), (pieces{"a", "", "b"}));
}

TEST(Split, DroppingEmptyPieces) {
  EXPECT_EQ(base::split("a,,b", ",", false), (pieces{"a", "b"}));
  EXPECT_TRUE(base::split("", ",", false).empty());
  EXPECT_TRUE(base::split(",,,", ",", false).empty());
  EXPECT_EQ(base::split(",a,", ",", false), (pieces{"a"}));
  EXPECT_EQ(base::split("a, b", ", ", false), (pieces{"a", "b"}));
}

TEST(Split, DelimitersAreSingleBytesFromASet) {
  EXPECT_EQ(base::split("k=v; x=y", "; ", false), (pieces{"k=v", "x=y"}));
  EXPECT_EQ(base::split("a.b-c", "-.", true), (pieces{"a", "b", "c"}));
  EXPECT_EQ(base::split("abc", "", true), (pieces{"abc"}));
  EXPECT_EQ(base::split("abc", "x", false), (pieces{"abc"}));
}

TEST(Split, NulBytesStayInsidePieces) {
  std::string text("a\0b,c", 5);
  EXPECT_EQ(base::split(text, ",", true), (pieces{std::string("a\0b", 3), "c"}));
  EXPECT_EQ(text, std::string("a\0b,c", 5)) << "the text is not changed";
}

TEST(FormatSize, EveryUnitBoundary) {
  EXPECT_EQ(base::format_size(0), "0 B");
  EXPECT_EQ(base::format_size(999), "999 B");
  EXPECT_EQ(base::format_size(1000), "1000 B");
  EXPECT_EQ(base::format_size(1001), "1.0 KB");
  EXPECT_EQ(base::format_size(1500), "1.5 KB");
  EXPECT_EQ(base::format_size(1e6), "1000.0 KB");
  EXPECT_EQ(base::format_size(1e6 + 1), "1.0 MB");
  EXPECT_EQ(base::format_size(1500000), "1.5 MB");
  EXPECT_EQ(base::format_size(1e9), "1000.0 MB");
  EXPECT_EQ(base::format_size(1e9 + 1), "1.0 GB");
  EXPECT_EQ(base::format_size(2.5e9), "2.5 GB");
  EXPECT_EQ(base::format_size(1e12), "1000.0 GB");
  EXPECT_EQ(base::format_size(1e12 + 1), "1.0 TB");
  EXPECT_EQ(base::format_size(1e15), "1000.0 TB");
  EXPECT_EQ(base::format_size(1e15 + 1), "1.0 PB");
  EXPECT_EQ(base::format_size(1e21), "1000000.0 PB") << "nothing above petabytes";
}

TEST(FormatSize, OddInputs) {
  EXPECT_EQ(base::format_size(-1), "?");
  EXPECT_EQ(base::format_size(-1e-9), "?");
  EXPECT_EQ(base::format_size(0.4), "0 B");
  std::string huge = base::format_size(1e70);
  EXPECT_GT(huge.size(), 55u) << "written out in full: " << huge;
  EXPECT_EQ(huge.substr(huge.size() - 3), " PB");
}

}  // namespace
