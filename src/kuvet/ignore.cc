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

// Matches text against a pattern whose "*", "?" and classes never match "/";
// "**" as a whole component matches any run of folders. The abort outcomes
// stop a failing search early, so no pattern takes exponential time.
outcome wild(const char* p, const char* text, const char* pattern_start) {
  for (; *p != '\0'; p++, text++) {
    char c = *text;
    if (c == '\0' && *p != '*') return abort_all;
    switch (*p) {
      case '?':
        if (c == '/') return no_match;
        break;
      case '[': {
        const char* end;
        bool hit = in_class(p + 1, c, &end);
        if (end == nullptr) {
          if (c != '[') return no_match;
          break;
        }
        if (!hit || c == '/') return no_match;
        p = end - 1;
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
              outcome o = wild(p + 1, t, pattern_start);
              if (o != no_match && o != abort_to_double_star) return o;
            }
            if (*t == '\0') return abort_all;
          }
        }
        if (*p == '\0') {
          for (const char* t = text; *t != '\0'; t++) {
            if (*t == '/') return abort_to_double_star;
          }
          return match;
        }
        for (const char* t = text;; t++) {
          if (*t == '\0') return abort_all;
          outcome o = wild(p, t, pattern_start);
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
  return *text == '\0' ? match : no_match;
}

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
    rules.push_back(r);
  }
}

bool ignore_rules::matches(const std::string& key, bool is_folder) const {
  std::string name = key.substr(key.rfind('/') + 1);
  for (auto r = rules.rbegin(); r != rules.rend(); ++r) {
    if (r->folders_only && !is_folder) continue;
    const std::string& subject = r->anchored ? key : name;
    if (wild(r->pattern.c_str(), subject.c_str(), r->pattern.c_str()) == match) return !r->negated;
  }
  return false;
}

bool ignore_rules::ignored(const std::string& key, bool is_folder) const {
  if (rules.empty()) return false;
  for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
    if (matches(key.substr(0, slash), true)) return true;
  }
  return matches(key, is_folder);
}
