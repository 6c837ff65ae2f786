#include "http/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

// One transfer's calls and what each draws: nothing for 1.5 s (not even for
// a final call), then at most every 250 ms, but a final call at once and with
// a line feed. The clock starts just below 2^32, so every step wraps.
TEST(ReqProgress, Script) {
  const uint32_t start = 0xFFFFFF00u;
  // done, total, new bytes, final, ms after the start -> the bar's '=' and
  // then its spinner (-1: nothing drawn), the text
  const struct { double done, total, delta; bool last; uint32_t at; int fill; char spin; const char* text; } steps[] = {
      {1000, 4000, 1000, false, 1000, -1, 0, ""}, {1000, 4000, 0, true, 1499, -1, 0, ""},
      {1000, 4000, 0, false, 1500, 10, '/', "25.0% of 4.0 KB, 667 B/s"}, {2000, 4000, 1000, false, 1700, -1, 0, ""},
      {3000, 4000, 1000, false, 1750, 30, '-', "75.0% of 4.0 KB, 8.0 KB/s"},
      {4000, 4000, 1000, true, 1800, 40, 0, "100% of 4.0 KB, 8.0 KB/s"},
      {5000, 4000, 1000, false, 2100, 0, '|', "0.0% of 4.0 KB, 6.7 KB/s"},
      {5000, 0, 0, false, 2400, 0, '/', "0.0% of 0 B, 0 B/s"},
  };
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  http::req_progress progress(start, out);
  for (const auto& s : steps) {
    progress(s.done, s.total, s.delta, s.last, start + s.at);
    fflush(out);
    std::string bar = std::string(std::max(s.fill, 0), '=') + std::string(40, '-');
    if (s.fill < 40) bar[std::max(s.fill, 0)] = s.spin;
    std::string line = "\r " + bar.substr(0, 40) + " " + s.text + std::string(29 - strlen(s.text), ' ');
    EXPECT_EQ(std::string(data, size), s.fill < 0 ? "" : line + (s.last ? "\n" : "")) << s.at;
    rewind(out);
    fflush(out);
  }
  fclose(out);
  free(data);
  uint32_t before = uint32_t(uint64_t(time(nullptr)) * 1000);
  EXPECT_LT(http::req_progress::now_ms() - before, 60000u) << "milliseconds since 1970";
}
