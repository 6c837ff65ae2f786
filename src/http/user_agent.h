// Process-wide settings of the HTTP client, set by main() before any request
// and read by every request. Not synchronised.
#pragma once
#include <string>

namespace http {

// The User-Agent text every request carries (first value "Mozilla/5.0").
std::string& user_agent();

// Whether TLS certificates (chain and host name) are verified; on by default.
bool& verify_tls();

}  // namespace http
