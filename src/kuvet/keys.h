// Rules for manifest keys: relative paths with "/" between folder names,
// folders ending in "/". Keys from the store are input from the network and
// are checked before they touch the folder. Pure functions.
#pragma once
#include <string>

namespace keys {

// A folder key ends in "/".
bool is_folder(const std::string& key);
// A conflict copy's key ends in ".CONFLICT"; such copies stay local.
bool is_conflict_copy(const std::string& key);

// True when key names a path inside the folder that the manifest could hold:
// relative, valid UTF-8, no NUL or backslash, no empty, "." or ".." component
// (a folder key's trailing "/" aside), and a last component that does not
// begin with "." (hidden names are never synchronised).
bool is_safe(const std::string& key);

// True when key is valid UTF-8, so that ".manifest" can hold it unchanged
// (the JSON writer turns invalid bytes into U+FFFF).
bool is_text(const std::string& key);

// The order of the folder walk's sorted names: "./" + key without a folder's
// trailing "/", compared byte by byte with A-Z folded to a-z, a prefix first.
bool walk_order(const std::string& a, const std::string& b);

// The first name among key + ".CONFLICT", key + ".2.CONFLICT", ... that names
// no existing entry.
std::string free_conflict_name(const std::string& key);

}  // namespace keys
