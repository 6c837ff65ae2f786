#include "os/item.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <utility>

#include "base/text.h"

namespace os {

itemlist::itemlist(itemlist&& other) noexcept
    : items(other.items), count(other.count), capacity(other.capacity) {
  other.items = nullptr;
  other.count = other.capacity = 0;
}

itemlist& itemlist::operator=(itemlist&& other) noexcept {
  if (this != &other) {
    clear();
    std::swap(items, other.items);
    std::swap(count, other.count);
    std::swap(capacity, other.capacity);
  }
  return *this;
}

itemlist::~itemlist() { clear(); }

void itemlist::clear() {
  for (uint32_t i = 0; i < count; i++) delete items[i];
  free(items);
  items = nullptr;
  count = capacity = 0;
}

bool itemlist::add(const item& entry) { return add(new item(entry)); }

bool itemlist::add(item* entry) {
  if (count == capacity) {
    // Capacity runs 0, 2, 4, 8, ... with one extra slot for the null end.
    uint32_t grown = capacity == 0 ? 2 : capacity * 2;
    void* array = grown > capacity ? realloc(items, (size_t(grown) + 1) * sizeof(item*))
                                   : nullptr;
    if (array == nullptr) {
      delete entry;
      return false;
    }
    items = static_cast<item**>(array);
    capacity = grown;
  }
  items[count++] = entry;
  items[count] = nullptr;
  return true;
}

void itemlist::print(bool exact_sizes) const {
  for (uint32_t i = 0; i < count; i++) puts(item_line(*items[i], exact_sizes).c_str());
}

namespace {

// Local time in the "C" locale's "%c" form; "?" for a time that cannot be
// represented (it would not fit the platform's time type).
std::string local_time_text(double mtime) {
  const double limit = double(std::numeric_limits<time_t>::max());
  if (!std::isfinite(mtime) || mtime >= limit || mtime <= -limit) return "?";
  time_t seconds = time_t(mtime);
  struct tm parts;
  if (localtime_r(&seconds, &parts) == nullptr) return "?";
  char text[64];
  size_t length = strftime(text, sizeof text, "%c", &parts);
  return length == 0 ? "?" : std::string(text, length);
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string item_line(const item& entry, bool exact_sizes) {
  std::string size = base::format_size(entry.size);
  if (exact_sizes) size = entry.size < 0 ? "?" : base::num(entry.size);
  if (ends_with(size, " B")) size += ' ';
  size_t width = exact_sizes ? 12 : 8;
  if (size.size() < width) size.insert(0, width - size.size(), ' ');
  std::string line = local_time_text(entry.mtime);
  line += "  ";
  line += size;
  line += "  ";
  line += entry.name;
  if (entry.is_dir) line += '/';
  return line;
}

}  // namespace os
