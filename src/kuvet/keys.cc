#include "kuvet/keys.h"

#include <sys/stat.h>

#include "base/utf8.h"

namespace keys {

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool valid_utf8(const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  for (size_t i = 0; i < text.size();) {
    int length;
    if (base::utf8_decode(bytes + i, &length) == 0xFFFFFFFF) return false;
    i += size_t(length);
  }
  return true;
}

unsigned char folded(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace

bool is_text(const std::string& key) { return valid_utf8(key); }

bool is_folder(const std::string& key) { return !key.empty() && key.back() == '/'; }

bool is_conflict_copy(const std::string& key) { return ends_with(key, ".CONFLICT"); }

bool is_safe(const std::string& key) {
  std::string path = is_folder(key) ? key.substr(0, key.size() - 1) : key;
  if (path.empty() || path.find('\0') != std::string::npos || path.find('\\') != std::string::npos)
    return false;
  if (!valid_utf8(path)) return false;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return part[0] != '.';
    start = slash + 1;
  }
}

bool walk_order(const std::string& a, const std::string& b) {
  size_t na = a.size() - (is_folder(a) ? 1 : 0);
  size_t nb = b.size() - (is_folder(b) ? 1 : 0);
  size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; i++) {
    unsigned char x = folded(static_cast<unsigned char>(a[i]));
    unsigned char y = folded(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return na < nb;
}

std::string free_conflict_name(const std::string& key) {
  struct stat st;
  std::string name = key + ".CONFLICT";
  for (int n = 2; lstat(name.c_str(), &st) == 0; n++) name = key + "." + std::to_string(n) + ".CONFLICT";
  return name;
}

}  // namespace keys
