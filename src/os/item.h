// A named entry with a size and a modification time, and the owning list of
// them that prints as the listing table.
// An itemlist owns its items (each a separate heap object) and frees them and
// its array when destroyed. Not thread-safe.
#pragma once
#include <cstdint>
#include <string>

namespace os {

struct item {
  bool ok = false;      // the entry's status is known
  bool is_dir = false;  // the entry is a folder
  bool is_file = false;  // the entry is a regular file (not a pipe, socket or device)
  std::string name;     // path or bare name
  double mtime = 0;     // seconds since the epoch
  double size = 0;      // bytes; negative when unknown
};

class itemlist {
 public:
  // Items in insertion order, followed by a null pointer; null while empty.
  item** items = nullptr;
  uint32_t count = 0;
  uint32_t capacity = 0;  // slots, not counting the terminating null

  itemlist() = default;
  itemlist(itemlist&& other) noexcept;
  itemlist& operator=(itemlist&& other) noexcept;
  itemlist(const itemlist&) = delete;
  itemlist& operator=(const itemlist&) = delete;
  ~itemlist();

  // Appends a heap copy of entry. False (nothing appended) when out of memory.
  bool add(const item& entry);
  // Takes ownership of entry and appends it; deletes it and returns false
  // when out of memory.
  bool add(item* entry);

  // One line per item on standard output, in list order (see item_line).
  void print(bool exact_sizes = false) const;

 private:
  void clear();
};

// The printed line of one item: local time ("%c"), two blanks, the size
// right-aligned in 8 columns ("?" when negative; a text ending in " B" gets one
// blank more), two blanks, the name and "/" for a folder. No length limit.
// With exact_sizes the size is the byte count, right-aligned in 12 columns.
std::string item_line(const item& entry, bool exact_sizes = false);

}  // namespace os
