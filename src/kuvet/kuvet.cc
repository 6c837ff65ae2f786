// The kuvet object and kuvet::req: every store request is signed here.
#include "kuvet/kuvet.h"

#include <cstdlib>
#include <ctime>

#include "base/base64.h"
#include "base/hmac.h"
#include "base/sha1.h"
#include "base/text.h"
#include "base/url_encode.h"
#include "calendar/gregorian.h"
#include "http/req.h"

namespace {

// The store's name: between the first "//" and the first "." after it.
std::string name_of(const std::string& url) {
  size_t start = url.find("//");
  if (start == std::string::npos) return "";
  start += 2;
  size_t dot = url.find('.', start);
  if (dot == std::string::npos) return "";
  return url.substr(start, dot - start);
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
  name = name_of(url);
}

std::string kuvet::date_text(double seconds) {
  return calendar::gregorian(seconds).format("%a, %d %b %Y %H:%M:%S GMT");
}

std::string kuvet::string_to_sign(const std::string& method, const std::string& date,
                                  const std::string& encoded_key) const {
  return method + "\n\n\n" + date + "\n/" + name + "/" + encoded_key;
}

std::string kuvet::header_block(const std::string& method, const std::string& encoded_key,
                                const std::string& date, const std::string& body) const {
  std::string signature =
      base::base64(base::hmac(aws_key, string_to_sign(method, date, encoded_key), base::sha1));
  std::string block = "Date: " + date + "\r\nAuthorization: AWS " + aws_id + ":" + signature + "\r\n";
  if (!body.empty()) block += "Content-Length: " + base::num(double(body.size())) + "\r\n";
  return block + "\r\n" + body;
}

bool kuvet::req(const std::string& method, const std::string& path, FILE* upload,
                FILE* download, const std::string& body, std::string* response,
                const std::string& query) {
  std::string key = base::url_encode(path, true);
  std::string date = date_text(double(time(nullptr)));
  bool complete = false;
  reply_head.clear();
  std::string target = url + key + (query.empty() ? "" : "?" + query);
  std::string reply = http::req(target, header_block(method, key, date, body), method, upload,
                                download, &reply_head, nullptr, &complete);
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
