#include "base/text.h"

#include <cmath>
#include <cstdio>

namespace base {

namespace {

std::string printf_double(const char* format, double n) {
  int length = snprintf(nullptr, 0, format, n);
  std::string text(size_t(length) + 1, '\0');
  snprintf(&text[0], text.size(), format, n);
  text.resize(size_t(length));
  return text;
}

}  // namespace

std::string num(int n) { return std::to_string(n); }

std::string num(double n) {
  double whole;
  return printf_double(std::modf(n, &whole) == 0 ? "%.0f" : "%g", n);
}

std::vector<std::string> split(const std::string& text, const std::string& delimiters,
                               bool keep_empty) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  for (;;) {
    size_t found = text.find_first_of(delimiters, pos);
    size_t end = found == std::string::npos ? text.size() : found;
    if (end > pos || keep_empty) pieces.push_back(text.substr(pos, end - pos));
    if (found == std::string::npos) break;
    pos = found + 1;
  }
  return pieces;
}

std::string format_size(double bytes) {
  if (bytes < 0) return "?";
  static const char* const units[] = {"%.1f KB", "%.1f MB", "%.1f GB", "%.1f TB", "%.1f PB"};
  static const double above[] = {1000, 1e6, 1e9, 1e12, 1e15};
  for (int unit = 4; unit >= 0; unit--) {
    if (bytes > above[unit]) {
      double scaled = bytes;
      for (int step = 0; step <= unit; step++) scaled /= 1000;
      return printf_double(units[unit], scaled);
    }
  }
  return printf_double("%.0f B", bytes);
}

}  // namespace base
