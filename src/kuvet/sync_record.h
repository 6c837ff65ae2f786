// The folder's record of its last sync: what this folder and the store
// agreed on when a run last finished (each key's kind, the time .manifest
// lists, size, ETag and the local file's time), the ETag of the .manifest
// that agreement matches, and what the store does with conditional writes.
// Kept in the hidden file ".kuvet-synced" (never synced), replaced
// atomically, bound to the store URL so that pointing the folder at another
// store starts without one. Records written by earlier versions (key ->
// time) are read too. Not thread-safe; one run uses it at a time.
#pragma once
#include <map>
#include <string>

#include "kuvet/manifest.h"

namespace sync_record {

extern const char file_name[];

struct record {
  bool exists = false;        // false: no record for this store (a first run)
  manifest entries;           // files and folders, by key
  std::string manifest_etag;  // "" when unknown, or when some entry differs from it
  std::string conditional;    // "yes", "puts" (not deletions), "no"; "" not known yet
  // Objects this folder wrote that were not agreed on (the file changed
  // while it was sent): key -> ETag, so that the next run may replace them.
  std::map<std::string, std::string> written;
};

// Reads the record for the store at `url`. A missing file, or a record of
// another store, gives exists == false. False, with the reason in *problem,
// when the file is damaged or cannot be read.
bool load(const std::string& url, record* out, std::string* problem);

// Replaces the record; false, with the reason in *problem, when it could not
// be written whole (the old one then stays).
bool save(const std::string& url, const record& r, std::string* problem);

}  // namespace sync_record
