// The wildcard comparison shared by the folder filter, header lookup and the
// date parser: "?" matches any one byte, "*" any run of bytes. ASCII letters
// A-Z compare without regard to case while find_case_insensitive is set.
// Pure functions; safe across threads (the switch is never changed).
#pragma once
#include <cstddef>
#include <string>

namespace base {

// Program-wide switch for letter case; on from the start and never turned off.
extern bool find_case_insensitive;

// True when the whole of name matches pattern. After a mismatch the name
// position is never moved back, so "*aab" does not accept "aaab".
bool is_match(const std::string& pattern, const std::string& name);

// Position of the first match of pattern in text at or after start; the match
// ends wherever the pattern is used up. std::string::npos when there is none.
size_t find(const std::string& text, const std::string& pattern, size_t start = 0);

}  // namespace base
