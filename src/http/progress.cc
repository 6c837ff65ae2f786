#include "http/progress.h"

#include <sys/time.h>

#include <string>

#include "base/text.h"

namespace http {

namespace {

const uint32_t quiet_ms = 1500;   // short transfers show nothing
const uint32_t redraw_ms = 250;   // at most four lines a second
const int bar_width = 40;
const size_t text_width = 29;     // so a shorter line still covers the last one

std::string printf_text(const char* format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

req_progress::req_progress(uint32_t start, FILE* out) : start(start), last(start), out(out) {}

void req_progress::operator()(double done, double total, double delta, bool final) {
  (*this)(done, total, delta, final, now_ms());
}

void req_progress::operator()(double done, double total, double delta, bool final,
                              uint32_t now) {
  pending += delta;
  if (uint32_t(now - start) < quiet_ms) return;
  uint32_t since_last = now - last;
  if (since_last < redraw_ms) {
    if (!final) return;
  } else if (!final) {
    rate = pending / since_last * 1000;
    pending = 0;
  }

  spin = (spin + 1) % 4;
  char spinner = "|/-\\"[spin];

  double fraction = 0;
  std::string percent;
  if (done > 0 && done <= total) {
    fraction = done / total;
    percent = fraction < 1 ? printf_text("%.1f%%", fraction * 100) : "100%";
  } else {
    percent = printf_text("%.1f%%", 0);
  }

  std::string text =
      percent + " of " + base::format_size(total) + ", " + base::format_size(rate) + "/s";
  if (text.size() < text_width) text.resize(text_width, ' ');

  int filled = int(fraction * bar_width);
  std::string bar(bar_width, '-');
  for (int i = 0; i < filled && i < bar_width; i++) bar[i] = '=';
  if (filled < bar_width) bar[filled] = spinner;

  last = now;
  fprintf(out, "\r %s %s", bar.c_str(), text.c_str());
  if (final) fputc('\n', out);
  fflush(out);
}

uint32_t req_progress::now_ms() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return uint32_t(uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000);
}

}  // namespace http
