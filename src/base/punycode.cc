#include "base/punycode.h"

#include <cstdint>

#include "base/arraylist.h"
#include "base/utf8.h"

namespace base {

namespace {

const uint32_t base = 36, tmin = 1, tmax = 26, skew = 38, damp = 700;
const uint32_t initial_bias = 72, initial_n = 128;
const uint32_t max_value = UINT32_MAX;
const uint32_t invalid_utf8 = 0xFFFFFFFF;

char digit(uint32_t d) { return char(d < 26 ? 'a' + d : '0' + (d - 26)); }

// The bias adaptation of RFC 3492 section 6.1.
uint32_t adapt(uint32_t delta, uint32_t points, bool first) {
  delta = first ? delta / damp : delta / 2;
  delta += delta / points;
  uint32_t k = 0;
  while (delta > ((base - tmin) * tmax) / 2) {
    delta /= base - tmin;
    k += base;
  }
  return k + (base - tmin + 1) * delta / (delta + skew);
}

// Appends delta as a generalized variable-length integer.
void put_number(std::string& out, uint32_t delta, uint32_t bias) {
  uint32_t q = delta;
  for (uint32_t k = base;; k += base) {
    uint32_t t = k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
    if (q < t) break;
    out += digit(t + (q - t) % (base - t));
    q = (q - t) / (base - t);
  }
  out += digit(q);
}

}  // namespace

std::string punycode(const std::string& label) {
  arraylist<uint32_t> points;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(label.c_str());
  // utf8_decode stops at the terminating NUL, so it never reads past the label.
  for (size_t at = 0; at < label.size();) {
    int length = 1;
    uint32_t c = utf8_decode(bytes + at, &length);
    if (c == invalid_utf8) return label;
    points.add(c);
    at += size_t(length);
  }

  std::string out;
  for (uint32_t i = 0; i < points.count; i++) {
    if (points[i] < 0x80) out += char(points[i]);
  }
  uint32_t basic = uint32_t(out.size());
  if (basic == points.count) return label;  // also the empty label
  if (basic > 0) out += '-';

  // The encoding loop of RFC 3492 section 6.3, with its overflow checks.
  uint32_t n = initial_n, delta = 0, bias = initial_bias, handled = basic;
  while (handled < points.count) {
    uint32_t m = max_value;
    for (uint32_t i = 0; i < points.count; i++) {
      if (points[i] >= n && points[i] < m) m = points[i];
    }
    if (m - n > (max_value - delta) / (handled + 1)) return label;
    delta += (m - n) * (handled + 1);
    n = m;
    for (uint32_t i = 0; i < points.count; i++) {
      uint32_t c = points[i];
      if (c < n && ++delta == 0) return label;
      if (c == n) {
        put_number(out, delta, bias);
        bias = adapt(delta, handled + 1, handled == basic);
        delta = 0;
        handled++;
      }
    }
    delta++;
    n++;
  }
  return out;
}

}  // namespace base
