// The walk of the synced folder that gives this side of a sync: every file
// and folder whose own name does not begin with "." (so ".kuvet" and the
// tool's other files stay out, while the contents of a hidden folder are
// walked), keyed by its path. Symbolic links are followed; a folder is not
// entered again inside itself, so link cycles end. Nothing is printed.
// Self-contained: safe from any thread on its own folder.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kuvet/manifest.h"

struct folder_scan {
  manifest entries;                   // files (time, size, mtime_ns) and folders
  std::vector<std::string> special;   // neither file nor folder: pipes, devices, broken links
                                      // (in `entries` too, as files of unknown size)
  std::vector<std::string> unsafe;    // names no key may have (not UTF-8, a backslash): left out
  std::vector<std::string> leftovers; // temporary files of interrupted downloads, to remove
  bool complete = true;               // false when a folder could not be read
  std::string failed;                 // that folder
};

// Whether a key is left out of the walk (and, for a folder, not entered).
using skip_rule = std::function<bool(std::string_view key, bool folder)>;

// Walks the folder `root`; the root's own "_revision" file is left out.
folder_scan scan_folder(const std::string& root, const skip_rule& skip = nullptr);
