#include "main/locate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace cli {

namespace {

bool same_entry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

location locate(const std::string& name) {
  location found;
  struct stat here, there;
  if (stat(".", &here) != 0) return found;
  const char* pwd = getenv("PWD");
  if (pwd != nullptr && pwd[0] == '/' && stat(pwd, &there) == 0 && same_entry(here, there)) {
    found.user_folder = pwd;
  } else if (char* physical = getcwd(nullptr, 0)) {
    found.user_folder = physical;
    free(physical);
  } else {
    return found;
  }
  std::string folder = found.user_folder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  for (;;) {
    struct stat entry;
    std::string file = (folder == "/" ? "" : folder) + "/" + name;
    if (stat(file.c_str(), &entry) == 0 && !S_ISDIR(entry.st_mode)) {
      found.root = folder;
      return found;
    }
    if (folder == "/") return found;
    size_t slash = folder.rfind('/');
    std::string parent = slash == 0 ? "/" : folder.substr(0, slash);
    // Like git, never across a mount point: another file system is another world.
    if (stat(parent.c_str(), &there) != 0 || there.st_dev != here.st_dev) return found;
    folder = parent;
  }
}

}  // namespace cli
