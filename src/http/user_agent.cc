#include "http/user_agent.h"

namespace http {

std::string& user_agent() {
  static std::string text = "Mozilla/5.0";
  return text;
}

bool& verify_tls() {
  static bool verify = true;
  return verify;
}

}  // namespace http
