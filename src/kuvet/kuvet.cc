// The kuvet object and kuvet::req: every store request is signed here.
#include "kuvet/kuvet.h"

#include <cstdlib>
#include <ctime>

#include "base/base64.h"
#include "base/hex.h"
#include "base/hmac.h"
#include "base/sha1.h"
#include "base/sha256.h"
#include "base/text.h"
#include "base/url_encode.h"
#include "calendar/gregorian.h"
#include "http/req.h"
#include "http/split_url.h"
#include "kuvet/sigv4.h"

namespace {

// The bucket of a virtual-hosted URL: between the first "//" and the first
// "." after it.
std::string host_label(const std::string& url) {
  size_t start = url.find("//");
  if (start == std::string::npos) return "";
  start += 2;
  size_t dot = url.find('.', start);
  if (dot == std::string::npos) return "";
  return url.substr(start, dot - start);
}

// The bucket of a path-style URL: the path's first segment.
std::string first_segment(const std::string& path) {
  size_t end = path.find('/', 1);
  return path.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

int status_of(const std::string& head) {
  if (head.compare(0, 5, "HTTP/") != 0) return 0;
  size_t space = head.find(' ');
  return space == std::string::npos ? 0 : atoi(head.c_str() + space + 1);
}

}  // namespace

kuvet::kuvet(var config)
    : url(config["kuvet_url"].str()),
      aws_id(config["aws_id"].str()),
      aws_key(config["aws_key"].str()) {
  var given_region = config["region"];
  if (given_region.is_string()) region = given_region.str();
  url_path = split_url(url).path;
  path_style = url_path != "/";
  name = path_style ? first_segment(url_path) : host_label(url);
}

std::string kuvet::date_text(double seconds) {
  return calendar::gregorian(seconds).format("%a, %d %b %Y %H:%M:%S GMT");
}

std::string kuvet::encode_key(const std::string& key) const {
  return region.empty() ? base::url_encode(key, true) : sigv4::uri_encode(key, false);
}

std::string kuvet::query_text(const query_params& query) const {
  if (!region.empty()) return sigv4::canonical_query(query);
  std::string text;
  for (const auto& param : query) {
    if (!text.empty()) text += '&';
    text += param.first + "=" + base::url_encode(param.second, true);
  }
  return text;
}

std::string kuvet::string_to_sign(const std::string& method, const std::string& date,
                                  const std::string& encoded_key) const {
  // The resource is the bucket and the key: a virtual-hosted URL names the
  // bucket in its host, a path-style one in its path.
  std::string resource = path_style ? url_path : "/" + name + "/";
  return method + "\n\n\n" + date + "\n" + resource + encoded_key;
}

std::string kuvet::header_block(const std::string& method, const std::string& encoded_key,
                                const std::string& date, const std::string& body) const {
  std::string signature =
      base::base64(base::hmac(aws_key, string_to_sign(method, date, encoded_key), base::sha1));
  std::string block = "Date: " + date + "\r\nAuthorization: AWS " + aws_id + ":" + signature + "\r\n";
  if (!body.empty()) block += "Content-Length: " + base::num(double(body.size())) + "\r\n";
  return block + "\r\n" + body;
}

std::string kuvet::sigv4_header_block(const std::string& method, const std::string& encoded_key,
                                      const std::string& query, double seconds,
                                      const std::string& body, bool streamed) const {
  std::string when = sigv4::amz_date(seconds);
  std::string day = when.substr(0, 8);
  std::string payload = streamed ? sigv4::unsigned_payload : base::hex(base::sha256(body));
  // Host as http::req sends it: the URL's host in ASCII form, no port.
  sigv4::pairs signed_headers = {
      {"host", split_url(url).host}, {"x-amz-content-sha256", payload}, {"x-amz-date", when}};
  std::string canonical =
      sigv4::canonical_request(method, url_path + encoded_key, query, signed_headers, payload);
  std::string scope = sigv4::scope(day, region, "s3");
  std::string signature = sigv4::signature(sigv4::signing_key(aws_key, day, region, "s3"),
                                           sigv4::string_to_sign(when, scope, canonical));
  std::string block = "x-amz-date: " + when + "\r\nx-amz-content-sha256: " + payload +
                      "\r\nAuthorization: " +
                      sigv4::authorization(aws_id, scope, sigv4::signed_headers(signed_headers),
                                           signature) +
                      "\r\n";
  if (!body.empty()) block += "Content-Length: " + base::num(double(body.size())) + "\r\n";
  return block + "\r\n" + body;
}

bool kuvet::req(const std::string& method, const std::string& path, FILE* upload,
                FILE* download, const std::string& body, std::string* response,
                const query_params& query) {
  std::string key = encode_key(path);
  std::string query_string = query_text(query);
  double now = double(time(nullptr));
  std::string headers =
      region.empty() ? header_block(method, key, date_text(now), body)
                     : sigv4_header_block(method, key, query_string, now, body, upload != nullptr);
  bool complete = false;
  reply_head.clear();
  std::string target = url + key + (query_string.empty() ? "" : "?" + query_string);
  std::string reply = http::req(target, headers, method, upload, download, &reply_head, nullptr,
                                &complete);
  status = status_of(reply_head);
  bool ok = complete && reply_head.compare(0, 10, "HTTP/1.1 2") == 0;
  if (response != nullptr) {
    *response = reply;
  } else if (!ok && !reply_head.empty()) {
    printf("Error! %s of %s failed:\n", method.c_str(), path.empty() ? "the store listing" : path.c_str());
    puts((reply_head + reply).c_str());
  }
  return ok;
}
