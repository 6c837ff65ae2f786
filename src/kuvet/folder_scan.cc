#include "kuvet/folder_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include "kuvet/keys.h"
#include "kuvet/temp_file.h"

namespace {

class walker {
 public:
  walker(folder_scan& out, const skip_rule& skip) : out(out), skip(skip) {}

  // Walks the folder at `path` (relative to the current folder, "" for the
  // root) whose entries have keys beginning with `prefix`.
  bool walk(const std::string& path, const std::string& prefix) {
    DIR* dir = opendir(path.empty() ? "." : path.c_str());
    struct stat self;
    if (dir == nullptr || fstat(dirfd(dir), &self) != 0) {
      if (dir != nullptr) closedir(dir);
      return fail(path);
    }
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      dirent* found = readdir(dir);
      if (found == nullptr) break;
      std::string name = found->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    bool read_all = errno == 0;
    int fd = dirfd(dir);
    if (!read_all) {
      closedir(dir);
      return fail(path);
    }
    // What to add and where to go down, each under the name it sorts by: a
    // folder's contents sort as "name/...", after "name" and "name.txt".
    // Taken in that order, the walk gives the keys already sorted, and every
    // run meets links in the same order.
    struct step {
      std::string sorts_as;
      bool descend;
      entry found;
    };
    std::vector<step> steps;
    auto inside = ancestors.insert({self.st_dev, self.st_ino});
    for (const std::string& name : names) {
      std::string key = prefix + name;
      bool hidden = name[0] == '.';
      if (hidden) {
        if (temp_file::is_stale(name)) out.leftovers.push_back(key);
      } else if (prefix.empty() && name == "_revision") {
        continue;
      }
      struct stat st;
      bool known = fstatat(fd, name.c_str(), &st, 0) == 0;
      if (known && S_ISDIR(st.st_mode)) {
        if (ancestors.count({st.st_dev, st.st_ino}) > 0) continue;  // a link back up
        if (skip && skip(key, true)) continue;
        if (!hidden && !keys::is_safe(key + "/")) {
          out.unsafe.push_back(key);
          continue;
        }
        if (!hidden) steps.push_back({name, false, folder_entry(st)});
        steps.push_back({name + "/", true, entry()});
        continue;
      }
      if (hidden || (skip && skip(key, false))) continue;
      if (!keys::is_safe(key)) {
        out.unsafe.push_back(key);
      } else if (known && S_ISREG(st.st_mode)) {
        steps.push_back({name, false, file_entry(st)});
      } else {
        out.special.push_back(key);
        entry odd;
        odd.kind = entry_kind::file;
        steps.push_back({name, false, odd});
      }
    }
    closedir(dir);
    std::sort(steps.begin(), steps.end(),
              [](const step& a, const step& b) { return a.sorts_as < b.sorts_as; });
    bool ok = true;
    for (const step& next : steps) {
      if (!next.descend) {
        out.entries.add(prefix + next.sorts_as, next.found);
        continue;
      }
      std::string name = next.sorts_as.substr(0, next.sorts_as.size() - 1);
      if (!walk(path.empty() ? name : path + "/" + name, prefix + next.sorts_as)) {
        ok = false;
        break;
      }
    }
    if (inside.second) ancestors.erase(inside.first);
    return ok;
  }

 private:
  static entry folder_entry(const struct stat& st) {
    entry e;
    e.kind = entry_kind::folder;
    e.time = int64_t(st.st_mtime);
    return e;
  }

  static entry file_entry(const struct stat& st) {
    entry e;
    e.kind = entry_kind::file;
    e.time = int64_t(st.st_mtime);
    e.size = int64_t(st.st_size);
    e.mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return e;
  }

  bool fail(const std::string& path) {
    out.complete = false;
    out.failed = path.empty() ? "." : path;
    return false;
  }

  folder_scan& out;
  const skip_rule& skip;
  std::set<std::pair<dev_t, ino_t>> ancestors;  // the folders being walked
};

}  // namespace

folder_scan scan_folder(const std::string& root, const skip_rule& skip) {
  folder_scan out;
  walker(out, skip).walk(root == "." ? "" : root, "");
  out.entries.sort(true);  // in order already: checked, not sorted again
  return out;
}
