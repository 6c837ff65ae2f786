// A path typed on the command line made into a key of the synced folder.
// Pure: works on the text alone, never looks at the file system.
#pragma once
#include <string>

namespace keys {

struct path_key {
  std::string key;      // relative to the synced folder; "" when refused
  std::string refusal;  // why the path cannot be a key (one sentence); "" when usable
};

// `path` is relative to `user_folder` or absolute; `user_folder` and `root`
// (the synced folder) are absolute. "./" and repeated "/" say nothing, ".."
// is resolved lexically; a path that ends outside the folder, names the
// folder itself or breaks keys::is_safe is refused. `for_put` refuses a
// hidden last component too, since sync never sends one.
path_key key_for_path(const std::string& path, const std::string& user_folder,
                      const std::string& root, bool for_put);

}  // namespace keys
