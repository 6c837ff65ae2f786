#include "kuvet/multipart.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/md5.h"
#include "base/workers.h"
#include "json/json_reader.h"
#include "kuvet/content_type.h"
#include "kuvet/manifest.h"
#include "kuvet/sync_progress.h"
#include "kuvet/temp_file.h"
#include "xml/xml.h"

const char upload_journal::file_name[] = ".kuvet-uploads";

std::vector<std::pair<std::string, std::string>> upload_journal::entries() const {
  std::lock_guard<std::mutex> hold(lock);
  std::vector<std::pair<std::string, std::string>> list;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return list;
  // {"upload id":"key",...}
  json::reader in(file);
  if (in.next() == json::reader::begin_object) {
    for (json::reader::token t = in.next(); t == json::reader::key; t = in.next()) {
      std::string id = in.text();
      if (in.next() != json::reader::string) break;
      list.emplace_back(in.text(), id);
    }
  }
  fclose(file);
  return list;
}

bool upload_journal::write(const std::vector<std::pair<std::string, std::string>>& list) {
  if (list.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
  std::string text = "{";
  for (const auto& entry : list) {
    if (text.size() > 1) text += ',';
    append_json_string(text, entry.second);
    text += ':';
    append_json_string(text, entry.first);
  }
  return temp_file::write(path, text + "}\n");
}

bool upload_journal::add(const std::string& key, const std::string& id) {
  auto list = entries();
  std::lock_guard<std::mutex> hold(lock);
  list.emplace_back(key, id);
  return write(list);
}

void upload_journal::remove(const std::string& key, const std::string& id) {
  auto list = entries();
  std::lock_guard<std::mutex> hold(lock);
  std::vector<std::pair<std::string, std::string>> kept;
  for (const auto& entry : list) {
    if (entry != std::make_pair(key, id)) kept.push_back(entry);
  }
  write(kept);
}

namespace multipart {

int64_t part_size(int64_t size) {
  int64_t needed = (size + max_parts - 1) / max_parts;
  int64_t mib = int64_t(1) << 20;
  return std::max(min_part, (needed + mib - 1) / mib * mib);
}

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// The text of the first element `tag` in an XML reply, entities decoded.
std::string element(const std::string& body, const std::string& tag) {
  xml document;
  xml_parser::parse(body, document.nodes);
  return xml::decode_entities(document.query(tag).inner());
}

kuvet::transfer failed(const std::string& key, const std::string& what, const http::reply& reply) {
  kuvet::transfer t;
  t.status = reply.status;
  t.error = kuvet::failure(what, key, reply);
  return t;
}

class upload_run {
 public:
  upload_run(const kuvet& store, const std::string& key, int fd, int64_t size, int workers)
      : store(store), key(key), fd(fd), size(size), workers(workers), part(part_size(size)),
        count((size + part - 1) / part), etags(size_t(count)) {}

  // Begins the upload; "" when the store did not take it.
  std::string begin(kuvet::transfer* t) {
    kuvet::request r;
    r.method = "POST";
    r.key = key;
    r.query.emplace_back("uploads", "");
    r.headers.emplace_back("Content-Type", content_type::for_name(key));
    http::reply reply = store.send(r);
    std::string id = reply.ok() ? element(reply.body, "UploadId") : "";
    if (id.empty()) *t = failed(key, "POST (the start of a multipart upload)", reply);
    return id;
  }

  // Sends every part; false (with *t saying why) when one failed.
  bool send_parts(const std::string& id, kuvet::transfer* t) {
    std::atomic<bool> stop{false};
    std::mutex first;
    base::for_each_parallel(size_t(count), workers, [&](size_t n) {
      if (stop) return;
      std::string why;
      if (send_part(id, int64_t(n), &why)) return;
      stop = true;
      std::lock_guard<std::mutex> hold(first);
      if (t->error.empty()) t->error = why;
    });
    return !stop;
  }

  // Completes the upload on the caller's condition.
  kuvet::transfer complete(const std::string& id, const kuvet::condition& when) {
    kuvet::request r;
    r.method = "POST";
    r.key = key;
    r.query.emplace_back("uploadId", id);
    r.body = "<CompleteMultipartUpload>";
    for (int64_t n = 0; n < count; n++) {
      r.body += "<Part><PartNumber>" + std::to_string(n + 1) + "</PartNumber><ETag>" +
                etags[size_t(n)] + "</ETag></Part>";
    }
    r.body += "</CompleteMultipartUpload>";
    if (when.kind == kuvet::condition::match) r.headers.emplace_back("If-Match", when.etag);
    if (when.kind == kuvet::condition::absent) r.headers.emplace_back("If-None-Match", "*");
    // Joining the parts can keep a store silent for a while (some send nothing
    // until done): a second more per 32 MiB, and no rate check on the answer.
    kuvet patient = store;
    patient.limits.idle_ms = int(std::min(1e9, patient.limits.idle_ms + double(size) / (32 << 20) * 1000));
    patient.limits.low_speed_limit = 0;
    http::reply reply = patient.send(r);
    // The store may answer 200 and still say in the body that it failed.
    std::string code = reply.ok() ? element(reply.body, "Error Code") : "";
    if (!reply.ok() || !code.empty()) {
      kuvet::transfer t = failed(key, "POST (the end of a multipart upload)", reply);
      if (code == "PreconditionFailed") t.status = 412;
      if (code == "ConditionalRequestConflict") t.status = 409;
      return t;
    }
    kuvet::transfer t;
    t.ok = true;
    t.status = reply.status;
    t.etag = element(reply.body, "ETag");
    if (t.etag.empty()) t.etag = reply.header("etag");
    return t;
  }

 private:
  bool send_part(const std::string& id, int64_t n, std::string* why) {
    // A file description of its own, so that the parts read in parallel.
    int own = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    FILE* file = own >= 0 ? fdopen(own, "rb") : nullptr;
    if (file == nullptr) {
      if (own >= 0) close(own);
      *why = "Failed to open " + key + " for reading.";
      return false;
    }
    base::md5_context md5;
    kuvet::request r;
    r.method = "PUT";
    r.key = key;
    r.query = {{"partNumber", std::to_string(n + 1)}, {"uploadId", id}};
    r.upload = file;
    r.upload_offset = n * part;
    r.upload_length = std::min(part, size - n * part);
    r.on_bytes = store.on_bytes;
    r.on_upload_data = [&md5](int64_t at, const char* data, size_t length) {
      if (at == 0) md5.finish();  // sent again from the start: count afresh
      md5.update(data, length);
    };
    http::reply reply = store.send(r);
    fclose(file);
    std::string expected = "\"" + hex(md5.finish()) + "\"";
    if (!reply.ok()) {
      *why = kuvet::failure("PUT (part " + std::to_string(n + 1) + ")", key, reply);
      return false;
    }
    std::string etag = reply.header("etag");
    if (etag != expected) {
      *why = "Error! The store's checksum of part " + std::to_string(n + 1) + " of " + key +
             " is not the sent one's (" + etag + ", sent " + expected + ").";
      return false;
    }
    etags[size_t(n)] = etag;
    return true;
  }

  const kuvet& store;
  const std::string& key;
  int fd;
  int64_t size;
  int workers;
  int64_t part;
  int64_t count;
  std::vector<std::string> etags;
};

// Aborts one upload; true when nothing more can be done: the store no longer
// has it, or cannot abort uploads at all (405, 501: retrying would not help).
bool abort_upload(const kuvet& store, const std::string& key, const std::string& id,
                  std::string* why) {
  kuvet::request r;
  r.method = "DELETE";
  r.key = key;
  r.query.emplace_back("uploadId", id);
  http::reply reply = store.send(r);
  if (reply.ok() || (reply.complete && (reply.status == 404 || reply.status == 405 || reply.status == 501))) {
    return true;
  }
  *why = kuvet::failure("DELETE (an unfinished multipart upload)", key, reply);
  return false;
}

}  // namespace

kuvet::transfer upload(const kuvet& store, const std::string& key, int fd, int64_t size,
                       const kuvet::condition& when, int workers, upload_journal* journal) {
  // The parts share one progress line, where the caller wants lines.
  sync_progress progress(stderr, store.progress_lines && isatty(STDERR_FILENO) == 1);
  progress.expect(1);
  kuvet counting = store;
  counting.on_bytes = [&progress, &store](int64_t n) {
    progress.moved(n);
    if (store.on_bytes) store.on_bytes(n);
  };
  upload_run run(counting, key, fd, size, workers);
  kuvet::transfer t;
  std::string id = run.begin(&t);
  if (id.empty()) return t;
  if (journal != nullptr && !journal->add(key, id)) {
    std::string unused;
    abort_upload(store, key, id, &unused);
    t.error = "Error! Could not write " + std::string(upload_journal::file_name) + ": " + strerror(errno);
    return t;
  }
  if (run.send_parts(id, &t)) t = run.complete(id, when);
  std::string why;
  if (!t.ok && !abort_upload(store, key, id, &why)) {
    t.error += "\n" + why;
    return t;  // still in the journal: the next run aborts it
  }
  if (journal != nullptr) journal->remove(key, id);
  progress.clear();
  return t;
}

std::string abort_unfinished(const kuvet& store, upload_journal& journal) {
  std::string lines;
  for (const auto& entry : journal.entries()) {
    std::string why;
    if (abort_upload(store, entry.first, entry.second, &why)) {
      journal.remove(entry.first, entry.second);
    } else {
      lines += (lines.empty() ? "" : "\n") + why;
    }
  }
  return lines;
}

}  // namespace multipart
