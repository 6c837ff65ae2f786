// The kuvet object and kuvet::req: every store request is signed here.
#include "kuvet/kuvet.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "base/base64.h"
#include "base/hex.h"
#include "base/hmac.h"
#include "base/sha1.h"
#include "base/sha256.h"
#include "base/text.h"
#include "base/url_encode.h"
#include "base/utf8.h"
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

}  // namespace

kuvet::kuvet(var config)
    : url(config["kuvet_url"].str()),
      aws_id(config["aws_id"].str()),
      aws_key(config["aws_key"].str()) {
  if (config["aws_token"].is_string()) token = config["aws_token"].str();
  var given_region = config["region"];
  if (given_region.is_string()) region = given_region.str();
  if (config["transfers"].is_number()) transfers = std::max(1, std::min(64, int(config["transfers"].num())));
  if (config["max_delete"].is_number()) max_delete = std::max(0, std::min(100, int(config["max_delete"].num())));
  var threshold = config["multipart_threshold"];
  if (threshold.is_number() && threshold.num() >= 0) multipart_threshold = int64_t(threshold.num());
  url_path = split_url(url).path;
  path_style = url_path != "/";
  name = path_style ? first_segment(url_path) : host_label(url);
  // Time limits in seconds, fractions allowed (bounded so that milliseconds fit an int).
  auto seconds = [&config](const char* key, int* ms) {
    var given = config[key];
    if (given.is_number() && given.number > 0) *ms = int(std::min(given.number, 1e6) * 1000 + 0.5);
  };
  seconds("connect_timeout", &limits.connect_ms);
  seconds("idle_timeout", &limits.idle_ms);
  seconds("low_speed_time", &limits.low_speed_ms);
  var rate = config["low_speed_limit"];
  if (rate.is_number() && rate.number >= 0) limits.low_speed_limit = int64_t(std::min(rate.number, 1e15));
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
    text += param.first;
    if (!param.second.empty()) text += "=" + base::url_encode(param.second, true);
  }
  return text;
}

namespace {

// Version 2 signs the query parameters that name a sub-resource of the
// object (a multipart upload and its parts), sorted, after the key.
std::string signed_subresources(const kuvet::query_params& query) {
  std::vector<std::pair<std::string, std::string>> subs;
  for (const auto& param : query) {
    if (param.first == "uploads" || param.first == "uploadId" || param.first == "partNumber")
      subs.push_back(param);
  }
  std::sort(subs.begin(), subs.end());
  std::string text;
  for (const auto& sub : subs) {
    text += (text.empty() ? "?" : "&") + sub.first;
    if (!sub.second.empty()) text += "=" + sub.second;
  }
  return text;
}

}  // namespace

namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

// The value of header `name` (lower case) among `headers`, or "".
std::string value_of(const kuvet::query_params& headers, const std::string& name) {
  for (const auto& header : headers) {
    if (lower(header.first) == name) return header.second;
  }
  return "";
}

std::string header_lines(const kuvet::query_params& headers) {
  std::string lines;
  for (const auto& header : headers) lines += header.first + ": " + header.second + "\r\n";
  return lines;
}

}  // namespace

std::string kuvet::string_to_sign(const std::string& method, const std::string& date,
                                  const std::string& encoded_key,
                                  const query_params& headers) const {
  // The resource is the bucket and the key: a virtual-hosted URL names the
  // bucket in its host, a path-style one in its path.
  std::string resource = path_style ? url_path : "/" + name + "/";
  std::vector<std::pair<std::string, std::string>> amz;
  for (const auto& header : headers) {
    std::string lowered = lower(header.first);
    if (lowered.compare(0, 6, "x-amz-") == 0) amz.emplace_back(lowered, header.second);
  }
  std::sort(amz.begin(), amz.end());
  std::string amz_lines;
  for (const auto& header : amz) amz_lines += header.first + ":" + header.second + "\n";
  return method + "\n" + value_of(headers, "content-md5") + "\n" +
         value_of(headers, "content-type") + "\n" + date + "\n" + amz_lines + resource +
         encoded_key;
}

std::string kuvet::header_block(const std::string& method, const std::string& encoded_key,
                                const std::string& date, const query_params& headers) const {
  std::string signature = base::base64(
      base::hmac(aws_key, string_to_sign(method, date, encoded_key, headers), base::sha1));
  return "Date: " + date + "\r\nAuthorization: AWS " + aws_id + ":" + signature + "\r\n" +
         header_lines(headers);
}

std::string kuvet::sigv4_header_block(const std::string& method, const std::string& encoded_key,
                                      const std::string& query, double seconds,
                                      const std::string& body, bool streamed,
                                      const query_params& headers) const {
  std::string when = sigv4::amz_date(seconds);
  std::string day = when.substr(0, 8);
  std::string payload = streamed ? sigv4::unsigned_payload : base::hex(base::sha256(body));
  // Host exactly as http::send sends it.
  sigv4::pairs signed_headers = {
      {"host", split_url(url).host_port()}, {"x-amz-content-sha256", payload}, {"x-amz-date", when}};
  for (const auto& header : headers) signed_headers.emplace_back(lower(header.first), header.second);
  std::string canonical =
      sigv4::canonical_request(method, url_path + encoded_key, query, signed_headers, payload);
  std::string scope = sigv4::scope(day, region, "s3");
  std::string signature = sigv4::signature(sigv4::signing_key(aws_key, day, region, "s3"),
                                           sigv4::string_to_sign(when, scope, canonical));
  return "x-amz-date: " + when + "\r\nx-amz-content-sha256: " + payload + "\r\nAuthorization: " +
         sigv4::authorization(aws_id, scope, sigv4::signed_headers(signed_headers), signature) +
         "\r\n" + header_lines(headers);
}

http::reply kuvet::send(const request& r) const {
  std::string key = encode_key(r.key);
  std::string query_string = query_text(r.query);
  double now = double(time(nullptr));
  query_params headers = r.headers;
  if (!token.empty()) headers.emplace_back("x-amz-security-token", token);
  http::request out;
  out.method = r.method;
  out.url = url + key + (query_string.empty() ? "" : "?" + query_string);
  out.headers = region.empty() ? header_block(r.method, key + signed_subresources(r.query),
                                              date_text(now), headers)
                               : sigv4_header_block(r.method, key, query_string, now, r.body,
                                                    r.upload != nullptr, headers);
  out.body = r.body;
  out.upload = r.upload;
  out.upload_offset = r.upload_offset;
  out.upload_length = r.upload_length;
  out.download = r.download;
  out.max_body = r.max_body;
  out.progress_line = r.progress_line;
  out.on_bytes = r.on_bytes;
  out.on_upload_data = r.on_upload_data;
  http::reply reply = http::send(out, limits);
  if (on_reply) on_reply(out, reply);
  return reply;
}

std::string kuvet::failure(const std::string& method, const std::string& key,
                           const http::reply& reply) {
  std::string text = reply.error;
  if (!reply.head.empty()) {
    if (!text.empty() && text.back() != '\n') text += "\n";
    std::string body = reply.body.size() > 65536 ? reply.body.substr(0, 65536) : reply.body;
    text += "Error! " + method + " of " + (key.empty() ? "the store listing" : base::printable(key)) +
            " failed:\n" + reply.head + body;
  }
  return text;
}
