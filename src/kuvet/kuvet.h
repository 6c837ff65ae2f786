// The binding of the current folder to one store: signed requests, single
// object transfer, manifests, synchronisation and listing. Built from the
// parsed ".kuvet" for one command; owns only its strings. Results are
// reported on standard output where they happen; methods return whether
// they succeeded. Single-threaded.
#pragma once
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "var/var.h"

class temp_file;
namespace os {
class itemlist;
}

class kuvet {
 public:
  // Takes `kuvet_url`, `aws_id` and `aws_key` from the configuration object;
  // a missing member gives the text "null". A string `region` selects
  // signature version 4 (anything else is left to the caller to refuse).
  // Never fails.
  explicit kuvet(var config);

  // Query parameters of a request, unencoded: (name, value).
  using query_params = std::vector<std::pair<std::string, std::string>>;

  // One signed request for `path` (the object key, unencoded; "" for the
  // store itself). `upload` is streamed as the body, the reply body goes to
  // `download` or, when `response` is given, into *response; otherwise a
  // failed request prints the store's reply. True for a whole 2xx reply.
  // `query`, when given, is sent after a "?" (signed only by version 4).
  bool req(const std::string& method, const std::string& path, FILE* upload, FILE* download,
           const std::string& body, std::string* response, const query_params& query = {});

  // Downloads object `path` into the file `path`, replacing it only once the
  // whole object has arrived; on failure the file is left as it was.
  bool get(const std::string& path);
  // Uploads the regular file `path` as object `path`. A file that changed
  // while it was sent counts as not sent (the store may hold a mix). When
  // given, *sent_time receives the modification time of what was sent.
  bool put(const std::string& path, double* sent_time = nullptr);
  // Deletes object `path`.
  bool del(const std::string& path);

  // What a walk of the current folder found.
  struct folder_scan {
    var manifest = var::object();  // key -> modification time, in walk order
    var special = var::object();   // keys that are neither folders nor regular files
    bool complete = true;          // false when a folder could not be read
    std::string failed_dir;        // the folder that could not be read
    std::vector<std::string> leftovers;  // hidden temporary files of interrupted downloads
  };
  // Walks the current folder: every entry whose own name does not begin
  // with "." becomes a member (folders with a trailing "/"), sorted by name
  // with letters folded.
  static folder_scan scan_folder();
  // The members of scan_folder().
  static var get_local_manifest();
  // The store's ".manifest" as an object; an empty object when the store
  // has none yet (404). Null, after a line saying why, when it cannot be
  // read or is not a JSON object: nothing may be decided from it.
  // `text`, when given, receives the manifest's text ("" when there is none).
  var get_remote_manifest(std::string* text = nullptr);
  // Uploads `manifest` as ".manifest".
  bool put_remote_manifest(const var& manifest);

  // Appends one item per object of the store (key, size, last-modified
  // time) to `items`, following the listing page by page. The total size in
  // bytes, or -1 (after the store's reply has been printed) when a request
  // failed; the items of the pages read before stay.
  double list(os::itemlist& items);

  // Two-way synchronisation of the current folder with the store. False
  // when anything failed (each failure has been reported).
  bool sync();

  // Downloads object `key` into `part` (opened here); false on failure, after
  // the store's reply has been shown (a 404 only when report_missing is set).
  bool download(const std::string& key, temp_file& part, bool report_missing = true);

  // The signing pieces, exposed for tests.
  static std::string date_text(double seconds);
  // The key as it goes into the URL and the signature: version 2 encodes
  // "/" too, version 4 keeps it (stores rebuild its canonical path that way).
  std::string encode_key(const std::string& key) const;
  // The query as sent; for version 4 it is the canonical query.
  std::string query_text(const query_params& query) const;
  // Version 2 ("AWS"): the string to sign and the header block with the body.
  std::string string_to_sign(const std::string& method, const std::string& date,
                             const std::string& encoded_key) const;
  std::string header_block(const std::string& method, const std::string& encoded_key,
                           const std::string& date, const std::string& body) const;
  // Version 4 ("AWS4-HMAC-SHA256") at time `seconds`: the header block with
  // the body. A `streamed` upload is sent with an unsigned payload.
  std::string sigv4_header_block(const std::string& method, const std::string& encoded_key,
                                 const std::string& query, double seconds,
                                 const std::string& body, bool streamed) const;

  std::string name;    // the bucket: the URL's first host label, or the first
                       // segment of its path when path_style
  std::string url;     // the store URL, ending in "/"; keys are appended to it
  std::string aws_id;
  std::string aws_key;
  std::string region;  // empty: sign with version 2; else version 4 for it
  std::string url_path;     // the path of `url`: "/" or e.g. "/bucket/"
  bool path_style = false;  // url_path is more than "/": it names the bucket

  // The status code of the last reply (0 when none arrived) and its head.
  int status = 0;
  std::string reply_head;
};
