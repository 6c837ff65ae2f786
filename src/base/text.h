// Numbers and sizes as text, and splitting text at delimiter bytes. Pure.
#pragma once
#include <string>
#include <vector>

namespace base {

// "%d" of n.
std::string num(int n);
// "%.0f" when n has no fractional part (integers in full, "-0", "inf"), else "%g".
std::string num(double n);

// Cuts text at every byte that is one of `delimiters`. Empty pieces are kept
// when keep_empty is set (so there is always at least one piece); otherwise
// they are dropped (and an empty text gives no piece).
std::vector<std::string> split(const std::string& text, const std::string& delimiters,
                               bool keep_empty);

// A byte count with a decimal unit: "512 B", "1.5 KB", ... "2.0 PB"; "?" when negative.
std::string format_size(double bytes);

}  // namespace base
