#include "kuvet/sync_record.h"

#include <errno.h>

#include <cstring>

#include "base/file.h"
#include "json/json.h"
#include "kuvet/temp_file.h"

namespace sync_record {

const char file_name[] = ".kuvet-synced";

var load(const std::string& url) {
  std::string text;
  if (!base::load(file_name, &text)) return var();
  var record = json::parse(text);
  if (!record.is_object() || !record["files"].is_object()) {
    printf("Warning! %s is damaged: nothing will be deleted on either side this time.\n", file_name);
    return var();
  }
  if (record["kuvet_url"].str() != url) return var();
  return record["files"];
}

bool save(const std::string& url, const var& entries) {
  var record = var::object();
  record.set("kuvet_url", url);
  record.set("files", entries);
  if (temp_file::write(file_name, record.str())) return true;
  printf("Error! Could not write %s: %s\n", file_name, strerror(errno));
  return false;
}

}  // namespace sync_record
