#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "http/progress.h"

namespace {

// A memory stream standing in for standard error.
class capture {
 public:
  capture() : stream(open_memstream(&data, &size)) {}
  ~capture() {
    fclose(stream);
    free(data);
  }
  // Everything written so far, then forgotten.
  std::string take() {
    fflush(stream);
    std::string text(data, size);
    rewind(stream);
    fflush(stream);
    return text;
  }

  char* data = nullptr;
  size_t size = 0;
  FILE* stream;
};

std::string bar(int filled, char spinner) {
  std::string b = std::string(filled, '=');
  if (filled < 40) b += spinner + std::string(39 - filled, '-');
  return b;
}

std::string padded(const std::string& text) {
  std::string t = text;
  if (t.size() < 29) t.resize(29, ' ');
  return t;
}

std::string line(const std::string& bar_text, const std::string& text, bool final = false) {
  return "\r " + bar_text + " " + padded(text) + (final ? "\n" : "");
}

TEST(ReqProgress, QuarterDone) {
  capture out;
  http::req_progress progress(1000, out.stream);
  progress(1000, 4000, 1000, false, 3000);
  std::string expected = "\r ==========/" + std::string(29, '-') + " 25.0% of 4.0 KB, 500 B/s     ";
  EXPECT_EQ(out.take(), expected);
  EXPECT_EQ(expected.size(), 2u + 40 + 1 + 29);
}

TEST(ReqProgress, SilentForTheFirstSecondAndAHalf) {
  capture out;
  http::req_progress progress(5000, out.stream);
  progress(10, 100, 10, false, 5000);
  progress(50, 100, 40, false, 6000);
  progress(100, 100, 50, true, 6499);
  EXPECT_EQ(out.take(), "") << "not even a line feed for a final call";
  progress(100, 100, 0, false, 6500);
  EXPECT_EQ(out.take(), line(bar(40, '/'), "100% of 100 B, 67 B/s"))
      << "100 bytes over 1.5 s, counted from the start";
}

TEST(ReqProgress, UnknownTotalThenFinal) {
  capture out;
  http::req_progress progress(0, out.stream);
  progress(5000, 0, 5000, false, 2000);
  EXPECT_EQ(out.take(), line(bar(0, '/'), "0.0% of 0 B, 2.5 KB/s"));
  progress(6000, 0, 1000, false, 2300);
  EXPECT_EQ(out.take(), line(bar(0, '-'), "0.0% of 0 B, 3.3 KB/s"));
  // The final call of a chunked download reports done = total; it comes soon
  // after the last display and keeps that rate.
  progress(6000, 6000, 0, true, 2400);
  EXPECT_EQ(out.take(), line(std::string(40, '='), "100% of 6.0 KB, 3.3 KB/s", true));
}

TEST(ReqProgress, AtMostEveryQuarterSecondUnlessFinal) {
  capture out;
  http::req_progress progress(0, out.stream);
  progress(1000, 10000, 1000, false, 2000);
  EXPECT_EQ(out.take(), line(bar(4, '/'), "10.0% of 10.0 KB, 500 B/s"));
  progress(2000, 10000, 1000, false, 2100);
  progress(3000, 10000, 1000, false, 2249);
  EXPECT_EQ(out.take(), "");
  progress(4000, 10000, 1000, false, 2250);
  EXPECT_EQ(out.take(), line(bar(16, '-'), "40.0% of 10.0 KB, 12.0 KB/s"))
      << "3000 bytes since the last display, over 250 ms";
  progress(5000, 10000, 1000, true, 2300);
  EXPECT_EQ(out.take(), line(bar(20, '\\'), "50.0% of 10.0 KB, 12.0 KB/s", true))
      << "a final call is drawn at once, with the rate unchanged";
}

TEST(ReqProgress, FinalCallKeepsTheRate) {
  capture out;
  http::req_progress progress(0, out.stream);
  progress(1000, 2000, 1000, false, 2000);
  EXPECT_EQ(out.take(), line(bar(20, '/'), "50.0% of 2.0 KB, 500 B/s"));
  progress(2000, 2000, 1000, false, 4000);
  EXPECT_EQ(out.take(), line(std::string(40, '='), "100% of 2.0 KB, 500 B/s"));
  progress(2000, 2000, 0, true, 9000);
  EXPECT_EQ(out.take(), line(std::string(40, '='), "100% of 2.0 KB, 500 B/s", true));
}

TEST(ReqProgress, RateCountsBytesSinceTheLastComputation) {
  capture out;
  http::req_progress progress(0, out.stream);
  progress(1000, 0, 1000, false, 500);
  progress(2000, 0, 1000, false, 1000);
  progress(3000, 0, 1000, false, 1600);
  EXPECT_EQ(out.take(), line(bar(0, '/'), "0.0% of 0 B, 1.9 KB/s")) << "3000 bytes in 1.6 s";
  progress(3000, 0, 0, false, 2600);
  EXPECT_EQ(out.take(), line(bar(0, '-'), "0.0% of 0 B, 0 B/s"));
  progress(4500000, 0, 4497000, false, 3600);
  EXPECT_EQ(out.take(), line(bar(0, '\\'), "0.0% of 0 B, 4.5 MB/s"));
}

TEST(ReqProgress, PercentageAndBar) {
  capture out;
  http::req_progress progress(0, out.stream);
  progress(1, 3, 1, false, 2000);
  EXPECT_EQ(out.take(), line(bar(13, '/'), "33.3% of 3 B, 0 B/s"));
  progress(4, 3, 3, false, 2250);
  EXPECT_EQ(out.take(), line(bar(0, '-'), "0.0% of 3 B, 12 B/s")) << "total exceeded";
  progress(0, 3, 0, false, 2500);
  EXPECT_EQ(out.take(), line(bar(0, '\\'), "0.0% of 3 B, 0 B/s"));
  progress(-1, 3, 0, false, 2750);
  EXPECT_EQ(out.take(), line(bar(0, '|'), "0.0% of 3 B, 0 B/s"));
  progress(3999, 4000, 0, false, 3000);
  EXPECT_EQ(out.take(), line(bar(39, '/'), "100.0% of 4.0 KB, 0 B/s")) << "rounded, not complete";
}

TEST(ReqProgress, TextPaddedToTwentyNineNeverCut) {
  capture out;
  http::req_progress progress(0, out.stream);
  progress(0, 0, 0, false, 2000);
  std::string shortest = out.take();
  EXPECT_EQ(shortest, "\r /" + std::string(39, '-') + " 0.0% of 0 B, 0 B/s           ");
  EXPECT_EQ(shortest.size(), 2u + 40 + 1 + 29);
  progress(0, 2e18, 5e17, false, 2250);
  EXPECT_EQ(out.take(), line(bar(0, '-'), "0.0% of 2000.0 PB, 2000.0 PB/s"));
}

TEST(ReqProgress, SpinnerTurns) {
  capture out;
  http::req_progress progress(0, out.stream);
  const char expected[] = {'/', '-', '\\', '|', '/', '-'};
  uint32_t now = 1500;
  for (char spinner : expected) {
    progress(0, 100, 0, false, now);
    EXPECT_EQ(out.take(), line(bar(0, spinner), "0.0% of 100 B, 0 B/s")) << now;
    now += 250;
  }
  EXPECT_EQ(progress.spin, 2);
}

TEST(ReqProgress, ClockWrapsAround) {
  capture out;
  const uint32_t start = 0xFFFFFF00u;
  http::req_progress progress(start, out.stream);
  progress(10, 100, 10, true, start + 1499);  // 0x5DB after the wrap
  EXPECT_EQ(out.take(), "");
  progress(10, 100, 0, false, start + 1500);
  EXPECT_EQ(out.take(), line(bar(4, '/'), "10.0% of 100 B, 7 B/s"));
  progress(20, 100, 10, false, start + 1600);
  EXPECT_EQ(out.take(), "");
}

TEST(ReqProgress, ClockIsMilliseconds) {
  uint32_t before = uint32_t(uint64_t(time(nullptr)) * 1000);
  uint32_t now = http::req_progress::now_ms();
  EXPECT_LT(uint32_t(now - before), 60000u) << "the same second count, give or take";
}

}  // namespace
