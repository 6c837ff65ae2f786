#include "kuvet/ignore.h"

namespace {

enum outcome { no_match, match, abort_all, abort_to_double_star };

// "[...]" at p against c; *end is set past the class. False with *end null
// when the class is not closed (the "[" is then taken literally).
bool in_class(const char* p, unsigned char c, const char** end) {
  bool negate = *p == '!' || *p == '^';
  if (negate) p++;
  bool hit = false;
  for (bool first = true; *p != '\0' && (first || *p != ']'); first = false) {
    unsigned char low = *p == '\\' && p[1] != '\0' ? *++p : *p;
    p++;
    unsigned char high = low;
    if (*p == '-' && p[1] != ']' && p[1] != '\0') {
      high = p[1] == '\\' && p[2] != '\0' ? p[2] : p[1];
      p += p[1] == '\\' && p[2] != '\0' ? 3 : 2;
    }
    hit |= c >= low && c <= high;
  }
  *end = *p == ']' ? p + 1 : nullptr;
  return hit != negate;
}

// Matches the text from `text` to `end` against a pattern whose "*", "?" and
// classes never match "/"; "**" as a whole component matches any run of
// folders. The abort outcomes stop a failing search early, so no pattern
// takes exponential time.
outcome wild(const char* p, const char* text, const char* end, const char* pattern_start) {
  for (; *p != '\0'; p++, text++) {
    if (text == end && *p != '*') return abort_all;
    char c = text == end ? '\0' : *text;
    switch (*p) {
      case '?':
        if (c == '/') return no_match;
        break;
      case '[': {
        const char* after;
        bool hit = in_class(p + 1, c, &after);
        if (after == nullptr) {
          if (c != '[') return no_match;
          break;
        }
        if (!hit || c == '/') return no_match;
        p = after - 1;
        break;
      }
      case '*': {
        bool double_star = p[1] == '*' && (p == pattern_start || p[-1] == '/') &&
                           (p[2] == '\0' || p[2] == '/');
        while (*p == '*') p++;
        if (double_star && *p == '\0') return match;
        if (double_star) {
          // "**/" matches no folder, or any number of them.
          for (const char* t = text;; t++) {
            if (t == text || t[-1] == '/') {
              outcome o = wild(p + 1, t, end, pattern_start);
              if (o != no_match && o != abort_to_double_star) return o;
            }
            if (t == end) return abort_all;
          }
        }
        if (*p == '\0') {
          for (const char* t = text; t != end; t++) {
            if (*t == '/') return abort_to_double_star;
          }
          return match;
        }
        for (const char* t = text;; t++) {
          if (t == end) return abort_all;
          outcome o = wild(p, t, end, pattern_start);
          if (o != no_match) return o;
          if (*t == '/') return abort_to_double_star;
        }
      }
      case '\\':
        if (p[1] != '\0') p++;
        if (c != *p) return no_match;
        break;
      default:
        if (c != *p) return no_match;
    }
  }
  return text == end ? match : no_match;
}

bool has_wildcard(const std::string& text) { return text.find_first_of("*?[\\") != std::string::npos; }

}  // namespace

ignore_rules::ignore_rules(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Trailing blanks go, unless the last one is escaped.
    size_t keep = line.size();
    while (keep > 0 && (line[keep - 1] == ' ' || line[keep - 1] == '\t') &&
           !(keep > 1 && line[keep - 2] == '\\'))
      keep--;
    line.resize(keep);
    if (line.empty() || line[0] == '#') continue;
    rule r;
    if (line[0] == '!') {
      r.negated = true;
      line.erase(0, 1);
    }
    if (!line.empty() && line.back() == '/') {
      r.folders_only = true;
      line.pop_back();
    }
    r.anchored = line.find('/') != std::string::npos;
    if (!line.empty() && line[0] == '/') line.erase(0, 1);
    if (line.empty()) continue;
    r.pattern = line;
    // Most patterns are a name or "*.ext": those are compared directly.
    r.prefix = line.substr(0, line.find_first_of("*?[\\"));
    r.exact = !has_wildcard(line);
    r.suffix = !r.anchored && line[0] == '*' && !has_wildcard(line.substr(1));
    rules.push_back(r);
  }
}

bool ignore_rules::matches(std::string_view key, bool is_folder) const {
  std::string_view name = key.substr(key.rfind('/') + 1);
  for (auto r = rules.rbegin(); r != rules.rend(); ++r) {
    if (r->folders_only && !is_folder) continue;
    std::string_view subject = r->anchored ? key : name;
    std::string_view pattern = r->pattern;
    bool hit;
    if (r->exact) {
      hit = subject == pattern;
    } else if (r->suffix) {
      hit = subject.size() + 1 >= pattern.size() &&
            subject.substr(subject.size() + 1 - pattern.size()) == pattern.substr(1);
    } else {
      hit = subject.substr(0, r->prefix.size()) == r->prefix &&
            wild(pattern.data(), subject.data(), subject.data() + subject.size(), pattern.data()) == match;
    }
    if (hit) return !r->negated;
  }
  return false;
}

bool ignore_rules::ignored(std::string_view key, bool is_folder) const {
  if (rules.empty()) return false;
  for (size_t slash = key.find('/'); slash != std::string_view::npos; slash = key.find('/', slash + 1)) {
    if (matches(key.substr(0, slash), true)) return true;
  }
  return matches(key, is_folder);
}
