// A hidden temporary file beside a target path, for downloads that must not
// touch the target until they are whole. Its name begins with "." (so the
// folder's manifest never lists it) and holds ".kuvet-part-" so that left-overs
// of an interrupted run can be recognised. Created readable by the owner
// alone, it takes the target's permissions when committed. Removed on
// destruction unless committed. One object belongs to one thread; several
// may be made at once.
#pragma once
#include <cstdio>
#include <string>

class temp_file {
 public:
  explicit temp_file(const std::string& target);
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;
  ~temp_file();

  // Creates the file for writing, mode 0600. False with errno set.
  bool open();
  // Flushes and closes it; false when a write or the close failed.
  bool close();
  // Gives it the permissions of `target` (as it is now, else as it was when
  // the file was opened, else 0666 less the umask) and renames it over
  // `target`; false with errno set.
  bool commit(const std::string& target);

  // True when a folder entry named `name` is a temporary file of this kind.
  static bool is_temp_name(const std::string& name);
  // True when it is one that no running process is writing any more: the
  // left-over of an interrupted download, safe to remove.
  static bool is_stale(const std::string& name);

  // Replaces `target` with `data` atomically (a temporary file renamed over
  // it): a crash leaves the old content or the new, never a mix.
  static bool write(const std::string& target, const std::string& data);
  // The same, the file taking modification time `mtime` before it replaces
  // `target`.
  static bool write(const std::string& target, const std::string& data, double mtime);

  std::string path;
  FILE* file = nullptr;

 private:
  std::string target_path;
  std::string folder;
  std::string base;
  bool committed = false;
  unsigned target_mode = 0;  // the target's permissions when opened; 0 when it had none
};
