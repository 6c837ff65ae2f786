// Whole-file access. A path that names a directory, or holds a NUL byte,
// counts as not openable.
// Each call is self-contained; safe from any thread on different paths.
#pragma once
#include <string>

namespace base {

// True when path is a file that can be opened for reading.
bool exists(const std::string& path);

// The file's bytes; empty when it cannot be read (indistinguishable from an
// empty file: use the second form to tell them apart).
std::string load(const std::string& path);
// Reads the whole file into *data; false when it cannot be opened or read.
bool load(const std::string& path, std::string* data);


}  // namespace base
