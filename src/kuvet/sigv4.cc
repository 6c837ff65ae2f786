#include "kuvet/sigv4.h"

#include <algorithm>

#include "base/hex.h"
#include "base/hmac.h"
#include "base/sha256.h"
#include "calendar/gregorian.h"

namespace sigv4 {

const char unsigned_payload[] = "UNSIGNED-PAYLOAD";

namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

// Leading and trailing blanks dropped, each inner run of them made one space.
std::string trimmed(const std::string& value) {
  std::string out;
  bool blank = false;
  for (char c : value) {
    if (c == ' ' || c == '\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

// Lower-case names with their canonical values, sorted by name; repeated
// names keep their order and are merged with ",".
pairs canonical_headers(const pairs& headers) {
  pairs sorted;
  for (const auto& header : headers) sorted.emplace_back(lower(header.first), trimmed(header.second));
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  pairs merged;
  for (const auto& header : sorted) {
    if (!merged.empty() && merged.back().first == header.first) {
      merged.back().second += "," + header.second;
    } else {
      merged.push_back(header);
    }
  }
  return merged;
}

}  // namespace

std::string uri_encode(const std::string& text, bool encode_slash) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char b : text) {
    bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                b == '-' || b == '.' || b == '_' || b == '~' || (b == '/' && !encode_slash);
    if (keep) {
      out += char(b);
    } else {
      out += '%';
      out += digits[b >> 4];
      out += digits[b & 15];
    }
  }
  return out;
}

std::string canonical_query(const pairs& params) {
  pairs encoded;
  for (const auto& param : params) encoded.emplace_back(uri_encode(param.first, true), uri_encode(param.second, true));
  std::sort(encoded.begin(), encoded.end());
  std::string query;
  for (const auto& param : encoded) {
    if (!query.empty()) query += '&';
    query += param.first + "=" + param.second;
  }
  return query;
}

std::string signed_headers(const pairs& headers) {
  std::string names;
  for (const auto& header : canonical_headers(headers)) {
    if (!names.empty()) names += ';';
    names += header.first;
  }
  return names;
}

std::string canonical_request(const std::string& method, const std::string& uri,
                              const std::string& query, const pairs& headers,
                              const std::string& payload_hash) {
  std::string lines;
  for (const auto& header : canonical_headers(headers)) lines += header.first + ":" + header.second + "\n";
  return method + "\n" + uri + "\n" + query + "\n" + lines + "\n" + signed_headers(headers) + "\n" +
         payload_hash;
}

std::string scope(const std::string& date, const std::string& region, const std::string& service) {
  return date + "/" + region + "/" + service + "/aws4_request";
}

std::string string_to_sign(const std::string& amz_date, const std::string& scope,
                           const std::string& canonical_request) {
  return "AWS4-HMAC-SHA256\n" + amz_date + "\n" + scope + "\n" +
         base::hex(base::sha256(canonical_request));
}

std::string signing_key(const std::string& secret, const std::string& date,
                        const std::string& region, const std::string& service) {
  std::string key = base::hmac("AWS4" + secret, date, base::sha256);
  key = base::hmac(key, region, base::sha256);
  key = base::hmac(key, service, base::sha256);
  return base::hmac(key, "aws4_request", base::sha256);
}

std::string signature(const std::string& signing_key, const std::string& string_to_sign) {
  return base::hex(base::hmac(signing_key, string_to_sign, base::sha256));
}

std::string authorization(const std::string& access_id, const std::string& scope,
                          const std::string& signed_headers, const std::string& signature) {
  return "AWS4-HMAC-SHA256 Credential=" + access_id + "/" + scope +
         ",SignedHeaders=" + signed_headers + ",Signature=" + signature;
}

std::string amz_date(double seconds) {
  return calendar::gregorian(seconds).format("%Y%m%dT%H%M%SZ");
}

}  // namespace sigv4
