// Path helpers: the one clean-up rule for paths, creating folders with their
// ancestors, and setting a file's modification time.
// Self-contained calls; safe from any thread on different paths.
#pragma once
#include <string>

namespace os {

// Turns "\" into "/", collapses runs of "/", drops "./" after a "/" and one
// trailing "/" (but "/" stays "/"). No ".." handling, no current folder.
// Idempotent: a normalised path normalises to itself.
std::string normalize(const std::string& path);

// Creates the normalised path and every missing ancestor (mode 0777, less the
// umask). Existing folders and failures pass silently; a path holding a NUL
// byte is ignored.
void mkdir(const std::string& path);

// Sets the modification time of the normalised path to time (whole seconds)
// and its access time to now. False when that fails, when time does not fit
// the platform's time type, or when the path holds a NUL byte.
bool touch(const std::string& path, double time);

}  // namespace os
