#include "kuvet/path_key.h"

#include <vector>

#include "kuvet/keys.h"

namespace keys {

namespace {

// The components of an absolute path with "", "." and ".." resolved.
std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  return parts;
}

}  // namespace

path_key key_for_path(const std::string& path, const std::string& user_folder,
                      const std::string& root, bool for_put) {
  path_key result;
  std::string quoted = "'" + path + "'";
  if (path.empty()) {
    result.refusal = "an empty path names no file";
    return result;
  }
  std::vector<std::string> parts = components(path[0] == '/' ? path : user_folder + "/" + path);
  std::vector<std::string> top = components(root);
  bool inside = parts.size() >= top.size();
  for (size_t i = 0; inside && i < top.size(); i++) inside = parts[i] == top[i];
  if (!inside) {
    result.refusal = quoted + " is outside the synced folder " + root;
    return result;
  }
  if (parts.size() == top.size()) {
    result.refusal = quoted + " names the synced folder itself, not a file";
    return result;
  }
  std::string key;
  for (size_t i = top.size(); i < parts.size(); i++) key += (key.empty() ? "" : "/") + parts[i];
  if (!is_safe(key, true)) {
    result.refusal = quoted + " cannot be a key: keys are UTF-8 text without a backslash";
  } else if (for_put && !is_safe(key)) {
    result.refusal = quoted + " is hidden, and hidden files are never synced";
  } else {
    result.key = key;
  }
  return result;
}

}  // namespace keys
