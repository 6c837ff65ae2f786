// The one-line transfer progress display: a 40-character bar with a spinner,
// the percentage, the total size and the rate, redrawn in place with "\r".
// Silent for the first 1.5 s, redrawn at most every 250 ms (a final call
// always draws once shown). Times are 32-bit milliseconds; differences wrap.
// One object per transfer; not shared between threads.
#pragma once
#include <cstdint>
#include <cstdio>

namespace http {

class req_progress {
 public:
  // `start`: when the transfer began, on the now_ms() clock. The line goes to
  // `out` (not owned), standard error unless given.
  explicit req_progress(uint32_t start, FILE* out = stderr);

  // Reports `done` of `total` bytes (total 0: unknown), `delta` of them new
  // since the previous call; `final` when the transfer is complete.
  void operator()(double done, double total, double delta, bool final);
  // The same at the given time instead of the clock.
  void operator()(double done, double total, double delta, bool final, uint32_t now);

  // Wall-clock milliseconds (seconds * 1000 + microseconds / 1000), kept in 32 bits.
  static uint32_t now_ms();

  uint32_t start;
  uint32_t last;       // time of the last display; `start` before the first
  double pending = 0;  // bytes reported since the rate was last computed
  double rate = 0;     // bytes per second shown
  int32_t spin = 0;    // index in "|/-\\" of the spinner shown last
  FILE* out;
};

}  // namespace http
