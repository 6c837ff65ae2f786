#include "os/dir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "base/linkedlist.h"
#include "base/text.h"
#include "base/wildcard.h"
#include "os/path.h"

namespace os {

namespace {

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};
typedef std::unique_ptr<DIR, dir_closer> dir_handle;

// With no filter every name passes; otherwise the first matching pattern
// accepts it, and an empty list of patterns accepts nothing.
bool accepted(bool filtered, const std::vector<std::string>& patterns,
              const std::string& name) {
  if (!filtered) return true;
  for (const std::string& pattern : patterns) {
    if (base::is_match(pattern, name)) return true;
  }
  return false;
}

// The item of one entry, its status read through symbolic links. The path is
// used as built from the folder's own names: normalising it would turn a "\\"
// inside a file name into a separator and name another file.
item entry_item(const std::string& full_path) {
  item entry;
  entry.ok = true;
  entry.name = full_path;
  struct stat st;
  if (stat(entry.name.c_str(), &st) != 0) {
    entry.ok = false;
    return entry;
  }
  entry.is_dir = S_ISDIR(st.st_mode);
  entry.is_file = S_ISREG(st.st_mode);
  entry.mtime = double(st.st_mtime);
  entry.size = double(st.st_size);
  return entry;
}

}  // namespace

bool for_dir(const std::string& start, const std::function<void(item&)>& callback,
             std::string pattern, bool recursive, std::string* failed_dir) {
  bool filtered = !pattern.empty();
  std::vector<std::string> patterns;
  if (filtered) patterns = base::split(pattern, "\n", false);

  base::linkedlist<std::string> queue;
  queue.add(normalize(start));
  std::set<std::pair<dev_t, ino_t>> entered;  // folders already walked
  while (queue.count > 0) {
    std::string path = queue.pop();
    dir_handle handle(path.find('\0') == std::string::npos ? opendir(path.c_str()) : nullptr);
    struct stat st;
    if (handle == nullptr || fstat(dirfd(handle.get()), &st) != 0) {
      if (failed_dir != nullptr) *failed_dir = path;
      return false;
    }
    if (!entered.insert(std::make_pair(st.st_dev, st.st_ino)).second) continue;

    for (;;) {
      errno = 0;
      dirent* found = readdir(handle.get());
      if (found == nullptr) {
        // A read error would silently drop entries: treat it like a folder
        // that could not be opened.
        if (errno == 0) break;
        if (failed_dir != nullptr) *failed_dir = path;
        return false;
      }
      std::string name = found->d_name;
      std::string full_path = !path.empty() && path.back() == '/' ? path + name : path + "/" + name;
      item entry = entry_item(full_path);
      if (!recursive) entry.name = name;
      if (entry.is_dir) {
        if (name == "." || name == "..") continue;
        if (accepted(filtered, patterns, name)) callback(entry);
        if (recursive) queue.add(full_path);
      } else if (accepted(filtered, patterns, name)) {
        callback(entry);
      }
    }
  }
  return true;
}

dir::dir(const std::string& start, std::string pattern, bool recursive) {
  bool kept_all = true;  // an entry lost to a full memory leaves the list incomplete
  bool walked = for_dir(
      start, [&](item& entry) { kept_all = add(entry) && kept_all; }, std::move(pattern),
      recursive, &failed_dir);
  complete = walked && kept_all;
}

}  // namespace os
