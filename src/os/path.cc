#include "os/path.h"

#include <sys/stat.h>
#include <utime.h>

#include <cmath>
#include <ctime>
#include <limits>

namespace os {

std::string normalize(const std::string& path) {
  std::string result;
  for (size_t i = 0; i < path.size(); i++) {
    char c = path[i];
    bool after_slash = !result.empty() && result.back() == '/';
    if (c == '\\' || c == '/') {
      if (!after_slash) result += '/';
    } else if (c == '.' && after_slash && i + 1 < path.size() &&
               (path[i + 1] == '/' || path[i + 1] == '\\')) {
      i++;  // "./" or ".\" after a "/" says nothing
    } else {
      result += c;
    }
  }
  if (result.size() >= 2 && result.back() == '/') result.pop_back();
  return result;
}

void mkdir(const std::string& path) {
  std::string clean = normalize(path);
  if (clean.find('\0') != std::string::npos) return;
  for (size_t i = 0; i <= clean.size(); i++) {
    if (i < clean.size() && clean[i] != '/') continue;
    if (i > 0) ::mkdir(clean.substr(0, i).c_str(), 0777);
  }
}

bool touch(const std::string& path, double time) {
  const double limit = double(std::numeric_limits<time_t>::max());
  if (!std::isfinite(time) || time >= limit || time <= -limit) return false;
  std::string clean = normalize(path);
  if (clean.find('\0') != std::string::npos) return false;
  struct utimbuf times;
  times.actime = ::time(nullptr);
  times.modtime = time_t(time);
  return utime(clean.c_str(), &times) == 0;
}

}  // namespace os
