#include "kuvet/manifest.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "json/json_reader.h"
#include "kuvet/keys.h"

namespace {

const size_t block_bytes = 1 << 20;

}  // namespace

const char* manifest::keep(std::string_view text) {
  if (text.empty()) return "";
  if (text.size() > block_free_) {
    size_t bytes = std::max(block_bytes, text.size());
    blocks_.emplace_back(new char[bytes]);
    block_next_ = blocks_.back().get();
    block_free_ = bytes;
  }
  char* kept = block_next_;
  memcpy(kept, text.data(), text.size());
  block_next_ += text.size();
  block_free_ -= text.size();
  return kept;
}

void manifest::add(std::string_view key, const entry& value) {
  slot s;
  s.key = keep(key);
  s.key_size = uint32_t(key.size());
  std::string_view etag = value.etag.substr(0, 0xFFFF);
  s.etag = keep(etag);
  s.etag_size = uint16_t(etag.size());
  s.kind = value.kind;
  s.time = value.time;
  s.size = value.size;
  s.mtime_ns = value.mtime_ns;
  slots_.push_back(s);
}

entry manifest::at(size_t i) const {
  const slot& s = slots_[i];
  entry e;
  e.kind = s.kind;
  e.time = s.time;
  e.size = s.size;
  e.mtime_ns = s.mtime_ns;
  e.etag = std::string_view(s.etag, s.etag_size);
  return e;
}

size_t manifest::lower_bound(std::string_view key) const {
  auto at = std::lower_bound(slots_.begin(), slots_.end(), key, [](const slot& s, std::string_view k) {
    return std::string_view(s.key, s.key_size) < k;
  });
  return size_t(at - slots_.begin());
}

size_t manifest::find(std::string_view key) const {
  size_t i = lower_bound(key);
  return i < slots_.size() && this->key(i) == key ? i : npos;
}

entry manifest::get(std::string_view key) const {
  size_t i = find(key);
  return i == npos ? entry() : at(i);
}

void manifest::sort(bool unique_keys) {
  auto less = [](const slot& a, const slot& b) {
    return std::string_view(a.key, a.key_size) < std::string_view(b.key, b.key_size);
  };
  bool in_order = std::is_sorted(slots_.begin(), slots_.end(), less);
  if (unique_keys) {
    if (!in_order) std::sort(slots_.begin(), slots_.end(), less);  // in place: no second array
    return;
  }
  if (in_order) {
    // Equal neighbours aside, nothing to do; they are rare enough to check.
    bool unique = std::adjacent_find(slots_.begin(), slots_.end(), [](const slot& a, const slot& b) {
                    return std::string_view(a.key, a.key_size) == std::string_view(b.key, b.key_size);
                  }) == slots_.end();
    if (unique) return;
  }
  std::stable_sort(slots_.begin(), slots_.end(), less);
  size_t out = 0;
  for (size_t i = 0; i < slots_.size(); i++) {
    if (out > 0 && key(out - 1) == key(i)) {
      slots_[out - 1] = slots_[i];
    } else {
      slots_[out++] = slots_[i];
    }
  }
  slots_.resize(out);
}

void append_json_string(std::string& out, std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b == 0x7F) {
      out += "\\u00";
      out += hex[b >> 4];
      out += hex[b & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

namespace {

// A time from a member's value: a number, or text that is one (as some
// writers left it), in whole seconds (a fraction is dropped).
bool time_of(const json::reader& in, json::reader::token value, int64_t* time) {
  if (value != json::reader::number && value != json::reader::string) return false;
  if (value == json::reader::number && in.integer(time)) return true;
  const std::string& text = in.text();
  char* end = nullptr;
  double number = strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size()) return false;
  if (!std::isfinite(number) || std::fabs(number) > 9e15) return false;
  *time = int64_t(std::floor(number));
  return true;
}

// The text of the value that follows, whatever it is (for members kept as
// they are). False on a reading error.
bool value_text(json::reader& in, json::reader::token first, std::string* text) {
  int depth = 0;
  for (json::reader::token t = first;; t = in.next()) {
    switch (t) {
      case json::reader::error:
      case json::reader::end:
        return false;
      case json::reader::begin_object:
        *text += '{';
        depth++;
        break;
      case json::reader::begin_array:
        *text += '[';
        depth++;
        break;
      case json::reader::end_object:
      case json::reader::end_array:
        if (text->back() == ',') text->pop_back();
        *text += t == json::reader::end_object ? "}" : "]";
        depth--;
        break;
      case json::reader::key:
        append_json_string(*text, in.text());
        *text += ':';
        continue;
      case json::reader::string:
        append_json_string(*text, in.text());
        break;
      default:
        *text += in.text();
        break;
    }
    if (depth == 0) return true;
    *text += ',';
  }
}

}  // namespace

bool parse_manifest(std::string_view text, manifest_text* out, std::string* problem) {
  json::reader in(text);
  if (in.next() != json::reader::begin_object) {
    *problem = in.problem().empty() ? "not a JSON object" : in.problem();
    return false;
  }
  manifest& entries = out->entries;
  for (json::reader::token t = in.next(); t != json::reader::end_object; t = in.next()) {
    if (t != json::reader::key) {
      *problem = in.problem();
      return false;
    }
    std::string name = in.text();
    json::reader::token value = in.next();
    int64_t time = 0;
    bool is_time = time_of(in, value, &time);
    if (name == "_revision") {
      if (!is_time) {
        *problem = "its _revision is not a number";
        return false;
      }
      out->revision = time;
      continue;
    }
    if (!keys::is_safe(name) || !is_time) {
      std::string kept;
      if (!value_text(in, value, &kept)) {
        *problem = in.problem();
        return false;
      }
      if (!keys::is_safe(name)) out->unsafe.push_back(name);
      // A name that is no UTF-8 cannot be written back as it was.
      if (keys::is_text(name)) out->foreign.emplace_back(name, kept);
      continue;
    }
    entry e;
    e.time = time;
    e.kind = keys::is_folder(name) ? entry_kind::folder : entry_kind::file;
    if (e.kind == entry_kind::folder) name.pop_back();
    entries.add(name, e);
  }
  if (in.next() != json::reader::end) {
    *problem = in.problem();
    return false;
  }
  entries.sort();
  // A file cannot hold other entries: one that seems to (written by a client
  // that merged a file and a folder of one name) is kept as it is, untouched.
  std::string folder;
  auto holds = [&entries, &folder](size_t i) {
    if (entries.at(i).kind != entry_kind::file) return false;
    folder.assign(entries.key(i));
    folder += '/';
    size_t next = entries.lower_bound(folder);
    return next < entries.size() && entries.key(next).compare(0, folder.size(), folder) == 0;
  };
  bool any = false;
  for (size_t i = 0; i < entries.size() && !any; i++) any = holds(i);
  if (any) {
    manifest tree;
    tree.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
      if (holds(i)) {
        out->foreign.emplace_back(std::string(entries.key(i)), std::to_string(entries.at(i).time));
      } else {
        tree.add(entries.key(i), entries.at(i));
      }
    }
    entries = std::move(tree);
  }
  return true;
}

std::string write_manifest(const manifest& entries,
                           const std::vector<std::pair<std::string, std::string>>& foreign,
                           int64_t revision) {
  std::string text = "{\"_revision\":" + std::to_string(revision);
  text.reserve(entries.size() * 40 + 64);
  for (size_t i = 0; i < entries.size(); i++) {
    entry e = entries.at(i);
    if (!e.present()) continue;
    text += ',';
    append_json_string(text, entries.key(i));
    if (e.kind == entry_kind::folder) text.insert(text.size() - 1, 1, '/');
    text += ':';
    text += std::to_string(e.time);
  }
  for (const auto& member : foreign) {
    text += ',';
    append_json_string(text, member.first);
    text += ':';
    text += member.second;
  }
  return text + "}";
}
