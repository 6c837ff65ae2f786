#include "kuvet/keys.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdint>

#include "base/utf8.h"

namespace keys {

namespace {

bool valid_utf8(const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  for (size_t i = 0; i < text.size();) {
    int length;
    if (base::utf8_decode(bytes + i, &length) == 0xFFFFFFFF) return false;
    i += size_t(length);
  }
  return true;
}

}  // namespace

bool is_text(const std::string& key) { return valid_utf8(key); }

bool is_folder(const std::string& key) { return !key.empty() && key.back() == '/'; }

bool is_conflict_copy(std::string_view key) {
  static const std::string_view mark = ".CONFLICT";
  for (size_t at = key.find(mark); at != std::string_view::npos; at = key.find(mark, at + 1)) {
    size_t after = at + mark.size();
    if (after == key.size() || key[after] == '/') return true;
  }
  return false;
}

bool is_safe(const std::string& key, bool allow_hidden) {
  std::string path = is_folder(key) ? key.substr(0, key.size() - 1) : key;
  if (path.empty() || path.find('\0') != std::string::npos || path.find('\\') != std::string::npos)
    return false;
  if (!valid_utf8(path)) return false;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return allow_hidden || part[0] != '.';
    start = slash + 1;
  }
}

namespace {

const size_t name_limit = 255;  // bytes in one name on the usual file systems

// `key` + `tail`, its last name shortened to fit the limit when needed: the
// stem is cut (on a character boundary), "~" and eight hex digits of a hash
// of the whole name follow, then the extension and the tail.
std::string with_tail(const std::string& key, const std::string& tail) {
  size_t slash = key.rfind('/');
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  if (key.size() - start + tail.size() <= name_limit) return key + tail;
  std::string name = key.substr(start);
  size_t dot = name.rfind('.');
  std::string extension = dot != std::string::npos && dot > 0 && name.size() - dot <= 16 ? name.substr(dot) : "";
  uint32_t hash = 2166136261u;  // FNV-1a of the key
  for (char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char mark[10];
  snprintf(mark, sizeof mark, "~%08x", hash);
  size_t keep = name_limit - tail.size() - extension.size() - 9;
  std::string stem = name.substr(0, name.size() - extension.size()).substr(0, keep);
  while (!stem.empty() && (static_cast<unsigned char>(stem.back()) & 0xC0) == 0x80) stem.pop_back();
  if (!stem.empty() && static_cast<unsigned char>(stem.back()) >= 0xC0) stem.pop_back();
  return key.substr(0, start) + stem + mark + extension + tail;
}

}  // namespace

std::string free_conflict_name(const std::string& key) {
  struct stat st;
  std::string name = with_tail(key, ".CONFLICT");
  for (int n = 2; lstat(name.c_str(), &st) == 0; n++) {
    name = with_tail(key, "." + std::to_string(n) + ".CONFLICT");
  }
  return name;
}

}  // namespace keys
