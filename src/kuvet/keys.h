// Rules for manifest keys: relative paths with "/" between folder names,
// folders ending in "/". Keys from the store are input from the network and
// are checked before they touch the folder. Pure functions.
#pragma once
#include <string>
#include <string_view>

namespace keys {

// A folder key ends in "/".
bool is_folder(const std::string& key);
// A conflict copy, or something inside one: a name along the key ends in
// ".CONFLICT". Such copies stay in the folder where they were made.
bool is_conflict_copy(std::string_view key);

// True when key names a path inside the folder that the manifest could hold:
// relative, valid UTF-8, no NUL or backslash, no empty, "." or ".." component
// (a folder key's trailing "/" aside), and a last component that does not
// begin with "." (hidden names are never synchronised) unless allow_hidden.
bool is_safe(const std::string& key, bool allow_hidden = false);

// True when key is valid UTF-8, so that ".manifest" can hold it unchanged
// (the JSON writer turns invalid bytes into U+FFFF).
bool is_text(const std::string& key);

// The first name among key + ".CONFLICT", key + ".2.CONFLICT", ... that names
// no existing entry. A name that would be longer than a file name may be is
// shortened: its extension stays, a short hash of the whole name is added.
std::string free_conflict_name(const std::string& key);

}  // namespace keys
