// Breadth-first walk of a folder tree, and the item list filled by one.
// Symbolic links are followed, but no folder (by device and inode) is entered
// twice, so link cycles end. Nothing is printed: a folder that cannot be opened
// or read stops the walk, and its path is handed back for the caller to name.
// Each walk is self-contained; walks may run on different threads when their
// callbacks share nothing.
#pragma once
#include <functional>
#include <string>

#include "os/item.h"

namespace os {

// Walks start breadth first, calling callback once per accepted entry.
// Entries are named by their normalised path ("./docs/b.txt"), or by their
// bare name when recursive is false. pattern holds wildcard patterns split at
// line feeds; empty means no filter. Folders are filtered like files but are
// still descended into. "." and ".." are never reported. Returns true when the
// walk ran to its end; false when a folder could not be opened or read, with
// that folder's path in *failed_dir when failed_dir is given.
bool for_dir(const std::string& start, const std::function<void(item&)>& callback,
             std::string pattern, bool recursive, std::string* failed_dir = nullptr);

// An item list filled once, by a walk in the constructor. A walk that stopped
// early keeps what it found, with complete false and failed_dir naming the
// folder that failed.
class dir : public itemlist {
 public:
  dir(const std::string& start, std::string pattern, bool recursive);

  bool complete = false;
  std::string failed_dir;
};

}  // namespace os
