// The binding of the current folder to one store: signed requests, single
// object transfer, manifests, synchronisation and listing. Built from the
// parsed ".kuvet" for one command; owns only its strings. Requests and the
// object operations return what happened by value and print nothing; the
// listing and the synchronisation report on standard output. `send` and the
// object operations are safe to call from several threads at once.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "http/req.h"
#include "var/var.h"

class temp_file;
class upload_journal;
struct sync_options;
namespace os {
class itemlist;
}

class kuvet {
 public:
  // Takes `kuvet_url`, `aws_id` and `aws_key` from the configuration object;
  // a missing member gives the text "null". A string `region` selects
  // signature version 4 (anything else is left to the caller to refuse); a
  // string `aws_token` is sent, signed, as x-amz-security-token.
  // The optional numbers `connect_timeout`, `idle_timeout` and
  // `low_speed_time` (seconds, fractions allowed) and `low_speed_limit`
  // (bytes per second) replace the defaults of `limits`; values that are
  // not positive numbers (for the speed limit: not 0 or more) are ignored.
  // Never fails.
  explicit kuvet(var config);

  // The most bytes of a reply kept in memory: the store's ".manifest" (a
  // million keys take about 30-60 MB), and any other document (a listing
  // page, an error document).
  static const int64_t manifest_limit = int64_t(128) << 20;
  static const int64_t document_limit = int64_t(4) << 20;

  // (name, value) pairs: query parameters (unencoded) or header lines.
  using query_params = std::vector<std::pair<std::string, std::string>>;

  // One request to the store.
  struct request {
    std::string method = "GET";
    std::string key;        // unencoded; "" addresses the store itself
    query_params query;     // sent after a "?" (signed only by version 4)
    query_params headers;   // extra headers (If-Match, Content-Type, ...), all signed
    std::string body;       // an in-memory body
    FILE* upload = nullptr; // or a region of a file (see http::request)
    int64_t upload_offset = 0;
    int64_t upload_length = -1;
    FILE* download = nullptr;  // receives the body of a 2xx reply
    int64_t max_body = document_limit;  // any other body is kept in memory up to this
    bool progress_line = false;
    std::function<void(int64_t)> on_bytes;
    std::function<void(int64_t, const char*, size_t)> on_upload_data;
  };
  // Signs and sends `r`; the reply by value (see http::reply).
  http::reply send(const request& r) const;

  // What an object operation did. On failure `error` holds the lines to show
  // (for a store error: a line naming the request, then the reply's head and
  // body, the body cut to 64 KiB).
  struct transfer {
    bool ok = false;
    int status = 0;          // the store's last status; 0 when none arrived
    std::string error;
    std::string etag;        // the object's ETag as the store sent it
    int64_t size = -1;       // bytes sent or received
    double mtime = 0;        // get: the object's Last-Modified; put: the sent file's time
    int64_t mtime_ns = 0;    // put: the sent file's time in nanoseconds
    bool changed = false;    // put: the store took it, but the file changed while it was sent
  };
  // A precondition on the object's current version: none, "If-Match: etag",
  // or "If-None-Match: *" (the object must not exist).
  struct condition {
    enum kind_t { none, match, absent } kind = none;
    std::string etag;
  };

  // Downloads object `path` into the file `path`, replacing it only once the
  // whole object has arrived; on failure the file is left as it was.
  transfer get(const std::string& path) const;
  // Uploads the regular file `path` as object `path`, in parts when it is
  // large. A file that changed while it was sent counts as not sent (the
  // store may hold a mix).
  transfer put(const std::string& path, const condition& when) const;
  transfer put(const std::string& path) const { return put(path, condition()); }
  // Deletes object `path`.
  transfer del(const std::string& path, const condition& when) const;
  transfer del(const std::string& path) const { return del(path, condition()); }
  // The object's size, ETag and Last-Modified, without its bytes.
  transfer head(const std::string& key) const;
  // Downloads object `key` into `part` (opened here).
  transfer download(const std::string& key, temp_file& part) const;

  // Appends one item per object of the store (key made printable, size,
  // last-modified time) to `items`, following the listing page by page. A
  // page is at most document_limit bytes of XML of at most 250,000 nodes
  // nested at most 64 deep. The total size in bytes, or -1 (after the lines
  // saying why) when a request failed or a page was refused; the items of
  // the pages read before stay.
  double list(os::itemlist& items) const;

  // Two-way synchronisation of the current folder with the store; every
  // line of its report goes to `print`. False when anything failed (each
  // failure has been reported) or it did not finish.
  bool sync(const sync_options& options, const std::function<void(const std::string&)>& print);
  // The same with the defaults, printing on standard output.
  bool sync();

  // The lines that show a failed request: "Error! METHOD of KEY failed:",
  // then the reply's head and its body cut to 64 KiB, or why no reply came.
  static std::string failure(const std::string& method, const std::string& key,
                             const http::reply& reply);

  // The signing pieces, exposed for tests.
  static std::string date_text(double seconds);
  // The key as it goes into the URL and the signature: version 2 encodes
  // "/" too, version 4 keeps it (stores rebuild its canonical path that way).
  std::string encode_key(const std::string& key) const;
  // The query as sent; for version 4 it is the canonical query.
  std::string query_text(const query_params& query) const;
  // Version 2 ("AWS"): the string to sign (Content-Type and the x-amz-
  // headers among `headers` included) and the header lines that sign.
  std::string string_to_sign(const std::string& method, const std::string& date,
                             const std::string& encoded_key,
                             const query_params& headers = {}) const;
  std::string header_block(const std::string& method, const std::string& encoded_key,
                           const std::string& date, const query_params& headers = {}) const;
  // Version 4 ("AWS4-HMAC-SHA256") at time `seconds`: the header lines that
  // sign, `headers` among them. A `streamed` upload is sent with an unsigned
  // payload; otherwise the hash of `body` is signed.
  std::string sigv4_header_block(const std::string& method, const std::string& encoded_key,
                                 const std::string& query, double seconds,
                                 const std::string& body, bool streamed,
                                 const query_params& headers = {}) const;

  std::string name;    // the bucket: the URL's first host label, or the first
                       // segment of its path when path_style
  std::string url;     // the store URL, ending in "/"; keys are appended to it
  std::string aws_id;
  std::string aws_key;
  std::string token;   // a session token; "" when there is none
  std::string region;  // empty: sign with version 2; else version 4 for it
  std::string url_path;     // the path of `url`: "/" or e.g. "/bucket/"
  bool path_style = false;  // url_path is more than "/": it names the bucket
  http::limits limits;      // of every request
  // How transfers show progress: each its own line on standard error, and/or
  // a count of bytes moved, for one line about many. Set before transfers start.
  bool progress_lines = true;
  std::function<void(int64_t)> on_bytes;
  int transfers = 16;       // transfers a sync runs at once (.kuvet "transfers")
  int max_delete = 50;      // percent of its entries a sync may delete per side (.kuvet "max_delete")
  // Files of this many bytes and more go up in parts, on `transfers` threads
  // (.kuvet "multipart_threshold"); their uploads are written down in
  // `journal` while they run, when one is given.
  int64_t multipart_threshold = int64_t(64) << 20;
  upload_journal* journal = nullptr;
  // Called with each request as sent and its reply (from the sending thread).
  std::function<void(const http::request&, const http::reply&)> on_reply;
};
