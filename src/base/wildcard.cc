#include "base/wildcard.h"

namespace base {

bool find_case_insensitive = true;

namespace {

unsigned char fold(unsigned char c) {
  if (find_case_insensitive && c >= 'A' && c <= 'Z') return c - 'A' + 'a';
  return c;
}

enum class outcome { match, no_match, restart };

// Matches pattern against text from text position n. A whole match must use
// up the text as well; otherwise the match ends with the pattern. A mismatch
// before any "*" was passed asks the caller to try the next start position.
outcome match_from(const std::string& pattern, const std::string& text, size_t n,
                   bool whole) {
  size_t p = 0;
  size_t star = 0;
  for (;;) {
    while (p < pattern.size() && pattern[p] == '*') star = p++;
    bool pattern_done = p == pattern.size();
    if (pattern_done && (!whole || n == text.size())) return outcome::match;
    if (!pattern_done && n == text.size()) {
      return pattern[star] == '*' ? outcome::no_match : outcome::restart;
    }
    // A used-up pattern disagrees with any byte still left in the text.
    bool agree = !pattern_done &&
                 (pattern[p] == '?' || fold(pattern[p]) == fold(text[n]));
    if (agree) {
      p++;
      n++;
    } else if (pattern.empty() || pattern[star] != '*') {
      return outcome::restart;
    } else if (p == star + 1) {
      n++;  // the star takes one more byte
    } else {
      p = star + 1;
    }
  }
}

}  // namespace

bool is_match(const std::string& pattern, const std::string& name) {
  return match_from(pattern, name, 0, true) == outcome::match;
}

size_t find(const std::string& text, const std::string& pattern, size_t start) {
  for (size_t at = start; at <= text.size(); at++) {
    outcome result = match_from(pattern, text, at, false);
    if (result == outcome::match) return at;
    if (result == outcome::no_match) return std::string::npos;
  }
  return std::string::npos;
}

}  // namespace base
