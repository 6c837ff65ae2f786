#include "kuvet/sync_record.h"

#include <errno.h>

#include <cstdio>
#include <cstring>

#include "json/json_reader.h"
#include "kuvet/temp_file.h"

namespace sync_record {

const char file_name[] = ".kuvet-synced";

namespace {

using json::reader;

// One entry: a number (an earlier version's time), [time] for a folder, or
// [time, size, etag, local time in ns] for a file.
bool read_entry(reader& in, reader::token first, bool folder, entry* e, std::string* etag) {
  e->kind = folder ? entry_kind::folder : entry_kind::file;
  if (first == reader::number) return in.integer(&e->time);
  if (first != reader::begin_array || in.next() != reader::number || !in.integer(&e->time))
    return false;
  if (folder) return in.next() == reader::end_array;
  if (in.next() != reader::number || !in.integer(&e->size)) return false;
  if (in.next() != reader::string) return false;
  *etag = in.text();
  return in.next() == reader::number && in.integer(&e->mtime_ns) && in.next() == reader::end_array;
}

bool read_files(reader& in, manifest* entries) {
  if (in.next() != reader::begin_object) return false;
  std::string etag;
  for (reader::token t = in.next(); t != reader::end_object; t = in.next()) {
    if (t != reader::key) return false;
    std::string key = in.text();
    bool folder = !key.empty() && key.back() == '/';
    if (folder) key.pop_back();
    entry e;
    etag.clear();
    if (!read_entry(in, in.next(), folder, &e, &etag)) return false;
    e.etag = etag;
    entries->add(key, e);
  }
  entries->sort();
  return true;
}

bool read_record(FILE* file, const std::string& url, record* out) {
  reader in(file);
  if (in.next() != reader::begin_object) return false;
  std::string kuvet_url;
  for (reader::token t = in.next(); t != reader::end_object; t = in.next()) {
    if (t != reader::key) return false;
    std::string name = in.text();
    if (name == "files") {
      if (!read_files(in, &out->entries)) return false;
      continue;
    }
    if (name == "written") {
      if (in.next() != reader::begin_object) return false;
      for (reader::token t = in.next(); t != reader::end_object; t = in.next()) {
        std::string key = in.text();
        if (t != reader::key || in.next() != reader::string) return false;
        out->written[key] = in.text();
      }
      continue;
    }
    if (in.next() != reader::string) return false;
    if (name == "kuvet_url") kuvet_url = in.text();
    if (name == "manifest_etag") out->manifest_etag = in.text();
    if (name == "conditional") out->conditional = in.text();
  }
  if (in.next() != reader::end) return false;
  out->exists = kuvet_url == url;
  if (!out->exists) *out = record();
  return true;
}

}  // namespace

bool load(const std::string& url, record* out, std::string* problem) {
  *out = record();
  FILE* file = fopen(file_name, "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return true;
    *problem = std::string("cannot be read: ") + strerror(errno);
    return false;
  }
  bool ok = read_record(file, url, out) && !ferror(file);
  fclose(file);
  if (!ok) {
    *out = record();
    *problem = "is damaged";
  }
  return ok;
}

bool save(const std::string& url, const record& r, std::string* problem) {
  temp_file part(file_name);
  if (!part.open()) {
    *problem = strerror(errno);
    return false;
  }
  std::string text = "{\"kuvet_url\":";
  append_json_string(text, url);
  text += ",\"manifest_etag\":";
  append_json_string(text, r.manifest_etag);
  text += ",\"conditional\":";
  append_json_string(text, r.conditional);
  text += ",\"written\":{";
  for (const auto& w : r.written) {
    if (text.back() != '{') text += ',';
    append_json_string(text, w.first);
    text += ':';
    append_json_string(text, w.second);
  }
  text += "},\"files\":{";
  bool ok = true;
  bool first = true;
  for (size_t i = 0; i < r.entries.size() && ok; i++) {
    entry e = r.entries.at(i);
    if (!e.present()) continue;
    if (!first) text += ',';
    first = false;
    append_json_string(text, r.entries.key(i));
    if (e.kind == entry_kind::folder) {
      text.insert(text.size() - 1, 1, '/');
      text += ":[" + std::to_string(e.time) + "]";
    } else {
      text += ":[" + std::to_string(e.time) + "," + std::to_string(e.size) + ",";
      append_json_string(text, e.etag);
      text += "," + std::to_string(e.mtime_ns) + "]";
    }
    if (text.size() > (1 << 20)) {
      ok = fwrite(text.data(), 1, text.size(), part.file) == text.size();
      text.clear();
    }
  }
  text += "}}\n";
  ok = ok && fwrite(text.data(), 1, text.size(), part.file) == text.size();
  ok = part.close() && ok;
  if (ok && part.commit(file_name)) return true;
  *problem = strerror(errno);
  return false;
}

}  // namespace sync_record
