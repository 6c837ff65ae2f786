// Finding the synced folder: the nearest folder at or above the current one
// that holds ".kuvet". Reads the file system and the environment (PWD) only.
#pragma once
#include <string>

namespace cli {

struct location {
  std::string user_folder;  // where the user stands, absolute; "" when unknown
  std::string root;         // the folder holding the file, absolute; "" when none
};

// Looks for `name` (an entry that is not a folder) in the current folder and
// its parents, stopping at the file system's root and before a mount point.
// The user's folder is $PWD when it names the current folder (so symbolic
// links the user went through stay in the paths), else the physical one.
location locate(const std::string& name);

}  // namespace cli
