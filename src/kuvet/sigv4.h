// The "AWS4-HMAC-SHA256" request signature (signature version 4), stage by
// stage: canonical request, string to sign, signing key, Authorization
// header. Pure functions over byte strings; safe from any thread.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace sigv4 {

// (name, value) pairs: request headers, or query parameters (unencoded).
using pairs = std::vector<std::pair<std::string, std::string>>;

// The hash of a streamed body that is not read in advance.
extern const char unsigned_payload[];

// Every byte but A-Z a-z 0-9 - . _ ~ as "%" and two upper-case hex digits;
// "/" is kept unless encode_slash is set (it is set for query parts).
std::string uri_encode(const std::string& text, bool encode_slash);

// "name=value" of each parameter, both encoded (so "/" is too), sorted by
// name then value and joined by "&". The same text serves as the query sent.
std::string canonical_query(const pairs& params);

// The header names in lower case, sorted and joined by ";".
std::string signed_headers(const pairs& headers);

// Method, the encoded path, the canonical query, one "name:value" line per
// header (names in lower case and sorted, values trimmed with inner runs of
// spaces made one, repeated names joined by ","), the signed header names and
// the payload's hash (hex SHA-256 or unsigned_payload), each on its line.
std::string canonical_request(const std::string& method, const std::string& uri,
                              const std::string& query, const pairs& headers,
                              const std::string& payload_hash);

// "DATE/REGION/SERVICE/aws4_request"; date is YYYYMMDD.
std::string scope(const std::string& date, const std::string& region, const std::string& service);

// "AWS4-HMAC-SHA256", the request time (YYYYMMDDTHHMMSSZ), the scope and the
// hex SHA-256 of the canonical request, one per line.
std::string string_to_sign(const std::string& amz_date, const std::string& scope,
                           const std::string& canonical_request);

// The key derived from the secret through the date, region, service and
// "aws4_request" (HMAC-SHA256 each step), as 32 raw bytes.
std::string signing_key(const std::string& secret, const std::string& date,
                        const std::string& region, const std::string& service);

// Hex HMAC-SHA256 of the string to sign under the signing key.
std::string signature(const std::string& signing_key, const std::string& string_to_sign);

// The Authorization header's value.
std::string authorization(const std::string& access_id, const std::string& scope,
                          const std::string& signed_headers, const std::string& signature);

// The request time for x-amz-date, YYYYMMDDTHHMMSSZ in UTC.
std::string amz_date(double seconds);

}  // namespace sigv4
