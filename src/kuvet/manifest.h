// The typed picture of one side of a sync: an ordered map from key to entry.
// Keys are relative paths with "/" between folder names and no trailing "/"
// (a folder is an entry of kind folder); they are ordered byte by byte, the
// one order of every map, file and listing of the sync, in which a folder
// comes before everything inside it and its contents are contiguous.
// Held compactly (the keys and ETags in one chunked buffer) for folders of a
// million entries. Views returned by a map stay valid while the map lives.
// A map belongs to one thread while it is changed; reading is safe from many.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class entry_kind : uint8_t { none, file, folder };

// One key's state on one side.
struct entry {
  entry_kind kind = entry_kind::none;
  int64_t time = 0;       // whole seconds since the epoch, as .manifest lists it
  int64_t size = -1;      // bytes; -1 when unknown
  int64_t mtime_ns = -1;  // the local file's modification time; -1 when unknown
  std::string_view etag;  // the object's ETag as the store sent it; "" when unknown

  bool present() const { return kind != entry_kind::none; }
};

class manifest {
 public:
  static const size_t npos = size_t(-1);

  size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  std::string_view key(size_t i) const { return {slots_[i].key, slots_[i].key_size}; }
  entry at(size_t i) const;
  // The position of `key`, or npos.
  size_t find(std::string_view key) const;
  // The entry at `key`; kind none when absent.
  entry get(std::string_view key) const;
  // The first position whose key is not before `key`.
  size_t lower_bound(std::string_view key) const;

  // Appends an entry (its key and ETag are copied). Keys must come in
  // order, or sort() must follow before any lookup.
  void add(std::string_view key, const entry& value);
  // Orders the entries by key; of equal keys the one added last stays.
  // `unique`: no key was added twice (a folder's names), which sorts faster.
  void sort(bool unique = false);
  void reserve(size_t entries) { slots_.reserve(entries); }

 private:
  struct slot {
    const char* key;
    const char* etag;
    uint32_t key_size;
    uint16_t etag_size;
    entry_kind kind;
    int64_t time;
    int64_t size;
    int64_t mtime_ns;
  };
  const char* keep(std::string_view text);

  std::vector<slot> slots_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_free_ = 0;  // bytes left in the last block
  char* block_next_ = nullptr;
};

// The store's ".manifest" parsed: the entries, and its "_revision" member.
struct manifest_text {
  manifest entries;
  int64_t revision = 0;  // 0 when it has none
  // Members that name no safe key (kept as they are when the manifest is
  // written again), as (member, value text) pairs.
  std::vector<std::pair<std::string, std::string>> foreign;
  std::vector<std::string> unsafe;  // the names of members that name no safe key
};

// Reads the text of a ".manifest": an object of key -> time (folders as
// "key/"), and "_revision". False, with the reason in *problem, when it is
// not such an object; a member whose time is no number is an error too.
bool parse_manifest(std::string_view text, manifest_text* out, std::string* problem);

// The text of a ".manifest" for `entries` (files and folders), the foreign
// members, and the revision: one JSON object that earlier versions read.
std::string write_manifest(const manifest& entries,
                           const std::vector<std::pair<std::string, std::string>>& foreign,
                           int64_t revision);

// A key as a JSON string (quotes included).
void append_json_string(std::string& out, std::string_view text);
