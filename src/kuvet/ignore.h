// The ignore rules of a synced folder, read from the text of its
// ".kuvetignore" in the syntax of .gitignore: "*", "?", "[...]" (ranges, "!"
// or "^" to negate), "**" for any run of folders, a leading or inner "/"
// anchoring to the synced folder, a trailing "/" for folders only, "!" to
// re-include, "#" comments, "\" escapes, trailing blanks dropped. As there,
// nothing inside an ignored folder can be re-included.
// Pure; immutable once built, so safe to share across threads.
#pragma once
#include <string>
#include <string_view>
#include <vector>

class ignore_rules {
 public:
  ignore_rules() = default;  // ignores nothing
  explicit ignore_rules(const std::string& text);

  // Whether `key` (relative to the synced folder, "/" between names, no
  // trailing "/") is ignored, itself or through one of its folders.
  bool ignored(std::string_view key, bool is_folder) const;

 private:
  struct rule {
    std::string pattern;
    bool negated = false;
    bool anchored = false;      // matched against the whole key, not its last name
    bool folders_only = false;
    std::string prefix;   // the pattern's text before its first wildcard
    bool exact = false;   // no wildcard: the text itself
    bool suffix = false;  // "*" and a text: a name ending in it
  };
  // The verdict of the last rule matching `key` itself; false when none does.
  bool matches(std::string_view key, bool is_folder) const;

  std::vector<rule> rules;
};
