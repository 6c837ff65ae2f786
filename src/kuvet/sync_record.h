// The folder's record of its last synchronisation: the keys and times of what
// the folder itself held when it last agreed with the store. Kept in the
// hidden file ".kuvet-synced" (never synchronised), written atomically, and
// bound to the store URL so that pointing the folder at another store starts
// without one. Deletions on either side are decided only from this record.
#pragma once
#include <string>

#include "var/var.h"

namespace sync_record {

extern const char file_name[];

// The recorded entries (key -> time) for the store at `url`; null when there
// is no record, it belongs to another store, or it is damaged (a warning is
// printed then).
var load(const std::string& url);

// Replaces the record with `entries`; false after a line saying why.
bool save(const std::string& url, const var& entries);

}  // namespace sync_record
