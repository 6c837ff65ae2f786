// Manifests: the folder's picture from a walk, and the store's ".manifest".
#include <algorithm>

#include "json/json.h"
#include "kuvet/kuvet.h"
#include "kuvet/temp_file.h"
#include "os/dir.h"

namespace {

// Walk names compared byte by byte with A-Z folded, a prefix first.
bool folded_less(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

}  // namespace

kuvet::folder_scan kuvet::scan_folder() {
  folder_scan scan;
  os::dir walk(".", "", true);
  scan.complete = walk.complete;
  scan.failed_dir = walk.failed_dir;
  std::vector<const os::item*> entries(walk.items, walk.items + walk.count);
  std::sort(entries.begin(), entries.end(),
            [](const os::item* a, const os::item* b) { return folded_less(a->name, b->name); });
  for (const os::item* entry : entries) {
    std::string key = entry->name.size() > 2 ? entry->name.substr(2) : "";
    std::string own = key.substr(key.rfind('/') + 1);
    if (own.empty() || own[0] == '.') {
      if (!entry->is_dir && temp_file::is_stale(own)) scan.leftovers.push_back(key);
      continue;
    }
    if (entry->is_dir) key += "/";
    scan.manifest.set(key, entry->mtime);
    if (!entry->is_dir && !entry->is_file) scan.special.set(key, true);
  }
  return scan;
}

var kuvet::get_local_manifest() { return scan_folder().manifest; }

var kuvet::get_remote_manifest(std::string* text) const {
  if (text != nullptr) text->clear();
  request r;
  r.key = ".manifest";
  http::reply reply = send(r);
  if (reply.ok()) {
    if (text != nullptr) *text = reply.body;
    std::string why;
    var manifest = json::parse(reply.body, &why);
    if (manifest.is_object()) return manifest;
    if (why.empty()) why = "not a JSON object";
    printf("Error! The store's .manifest is damaged (%s): repair or remove it. Nothing was changed.\n",
           why.c_str());
    return var();
  }
  // Only "no such key" means an empty store; anything else leaves the store's
  // content unknown, and nothing may be decided from that.
  if (reply.complete && reply.status == 404 && reply.body.find("NoSuchBucket") == std::string::npos)
    return var::object();
  if (!reply.error.empty()) puts(reply.error.c_str());
  if (reply.head.empty()) {
    puts("Error! Could not read the store's .manifest. Nothing was changed.");
  } else {
    std::string line = reply.head.substr(0, reply.head.find("\r\n"));
    printf("Error! Could not read the store's .manifest (%s). Nothing was changed.\n", line.c_str());
    puts((reply.head + reply.body).c_str());
  }
  return var();
}

http::reply kuvet::put_remote_manifest(const var& manifest) const {
  request r;
  r.method = "PUT";
  r.key = ".manifest";
  r.body = manifest.str();
  return send(r);
}
