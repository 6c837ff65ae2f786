// The User-Agent text every request carries; main() sets the program's own.
#pragma once
#include <string>

namespace http {

// A reference to the process-wide User-Agent string (first value "Mozilla/5.0").
// Set it before any request; not synchronised.
std::string& user_agent();

}  // namespace http
