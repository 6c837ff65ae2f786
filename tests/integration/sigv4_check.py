"""Signature version 4 ("AWS4-HMAC-SHA256" in the Authorization header)
checked on the store's side, from the request as it arrived: the canonical
request is rebuilt from the decoded path and query and the signed headers'
values, hashed into the string to sign, and signed with the key derived from
the secret, the date, the region and the service.

Stores differ in whether they sign the path as it was sent or re-encode the
decoded path; a request passes here only when both give its signature, so
the path sent must be the canonical one.

verify() raises Failure with the S3 error it would answer. Standard library
only; no state.
"""

import datetime
import hashlib
import hmac
import re
import urllib.parse

ALGORITHM = "AWS4-HMAC-SHA256"
UNSIGNED_PAYLOAD = "UNSIGNED-PAYLOAD"
SERVICE = "s3"
TERMINATOR = "aws4_request"
MAX_SKEW = 15 * 60
# Headers that must be signed whenever they are sent (besides every x-amz-*).
MUST_SIGN = ("host", "content-type", "content-md5")


class Failure(Exception):
    """The S3 error a store answers: status, code, message and details."""

    def __init__(self, status, code, message, **details):
        super().__init__(code)
        self.status = status
        self.code = code
        self.message = message
        self.details = details


def uri_encode(data, encode_slash):
    """Every byte but A-Z a-z 0-9 - . _ ~ (and "/" unless encode_slash) as %XX."""
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    return urllib.parse.quote(data, safe="" if encode_slash else "/")


def canonical_uri(raw_path):
    """The decoded path encoded again; "/" when empty."""
    return uri_encode(urllib.parse.unquote_to_bytes(raw_path), False) or "/"


def canonical_query(raw_query):
    """Each parameter decoded, encoded again (names and values), sorted."""
    params = []
    for piece in raw_query.split("&") if raw_query else []:
        name, _, value = piece.partition("=")
        params.append((uri_encode(urllib.parse.unquote_to_bytes(name), True),
                       uri_encode(urllib.parse.unquote_to_bytes(value), True)))
    return "&".join("%s=%s" % pair for pair in sorted(params))


def canonical_value(values):
    """Values of one header: each trimmed with inner runs of blanks made
    one space, joined by ","."""
    return ",".join(" ".join(v.split()) for v in values)


def canonical_request(method, uri, query, headers, names, payload_hash):
    """headers: (name, value) pairs as received; names: the signed names."""
    lines = ""
    for name in names:
        values = [v for n, v in headers if n.strip().lower() == name]
        lines += "%s:%s\n" % (name, canonical_value(values))
    return "\n".join([method, uri, query, lines, ";".join(names), payload_hash])


def string_to_sign(amz_date, scope, canonical):
    return "\n".join([ALGORITHM, amz_date, scope,
                      hashlib.sha256(canonical.encode("utf-8", "surrogateescape")).hexdigest()])


def signing_key(secret, date, region, service=SERVICE):
    key = hmac.new(("AWS4" + secret).encode(), date.encode(), hashlib.sha256).digest()
    for part in (region, service, TERMINATOR):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    return key


def signature(key, text):
    return hmac.new(key, text.encode("utf-8", "surrogateescape"), hashlib.sha256).hexdigest()


def parse_authorization(value):
    """(access id, date, region, service, terminator, signed names, signature)
    from "AWS4-HMAC-SHA256 Credential=..., SignedHeaders=..., Signature=..."."""
    algorithm, _, rest = value.partition(" ")
    if algorithm != ALGORITHM:
        raise Failure(400, "InvalidArgument", "Unsupported Authorization Type",
                      ArgumentName="Authorization", ArgumentValue=value)
    parts = {}
    for component in rest.split(","):
        name, equals, text = component.strip().partition("=")
        if not equals or name in parts:
            raise malformed("the authorization component %r is malformed" % component.strip())
        parts[name] = text
    for name in ("Credential", "SignedHeaders", "Signature"):
        if name not in parts:
            raise malformed("missing %s" % name)
    if len(parts) != 3:
        raise malformed("the authorization header requires three components: "
                        "Credential, SignedHeaders, and Signature")
    credential = parts["Credential"].split("/")
    if len(credential) != 5 or not credential[0]:
        raise malformed("the Credential is mal-formed; expecting "
                        "\"<YOUR-AKID>/YYYYMMDD/REGION/SERVICE/aws4_request\"")
    names = parts["SignedHeaders"].split(";")
    return credential + [names, parts["Signature"]]


def malformed(why):
    return Failure(400, "AuthorizationHeaderMalformed",
                   "The authorization header is malformed; " + why)


def header_values(headers, name):
    return [v for n, v in headers if n.strip().lower() == name]


def check_time(amz_date, now):
    when = None
    if amz_date and re.fullmatch(r"\d{8}T\d{6}Z", amz_date):
        try:
            when = datetime.datetime.strptime(amz_date, "%Y%m%dT%H%M%SZ").replace(
                tzinfo=datetime.timezone.utc)
        except ValueError:
            when = None
    if when is None:
        raise Failure(403, "AccessDenied",
                      "AWS authentication requires a valid Date or x-amz-date header")
    if abs((now - when).total_seconds()) > MAX_SKEW:
        raise Failure(403, "RequestTimeTooSkewed",
                      "The difference between the request time and the current time is too "
                      "large.", RequestTime=amz_date)


def check_payload(headers, body):
    """The x-amz-content-sha256 value, which must be sent and, unless the
    payload is unsigned, be the hex SHA-256 of the body received."""
    values = header_values(headers, "x-amz-content-sha256")
    if not values:
        raise Failure(400, "InvalidRequest",
                      "Missing required header for this request: x-amz-content-sha256")
    claimed = values[0].strip()
    if claimed == UNSIGNED_PAYLOAD:
        return claimed
    if not re.fullmatch(r"[0-9a-f]{64}", claimed):
        raise Failure(400, "InvalidArgument",
                      "x-amz-content-sha256 must be UNSIGNED-PAYLOAD or a valid sha256 value.",
                      ArgumentName="x-amz-content-sha256", ArgumentValue=claimed)
    computed = hashlib.sha256(body).hexdigest()
    if computed != claimed:
        raise Failure(400, "XAmzContentSHA256Mismatch",
                      "The provided 'x-amz-content-sha256' header does not match what was "
                      "computed.", ClientComputedContentSHA256=claimed,
                      S3ComputedContentSHA256=computed)
    return claimed


def check_signed_names(headers, names):
    if names != sorted(set(names)) or any(n != n.lower() or not n for n in names):
        raise malformed("SignedHeaders must be lower-case names, sorted, each once")
    sent = {n.strip().lower() for n, _ in headers}
    missing = [n for n in names if n not in sent]
    if missing:
        raise Failure(403, "AccessDenied", "A signed header is missing from the request",
                      MissingHeaders=";".join(missing))
    unsigned = sorted(n for n in sent if (n.startswith("x-amz-") or n in MUST_SIGN)
                      and n not in names)
    if unsigned:
        raise Failure(403, "AccessDenied",
                      "There were headers present in the request which were not signed",
                      HeadersNotSigned=", ".join(unsigned))


def verify(method, raw_path, raw_query, headers, body, secrets, region, now=None):
    """Checks one request; returns the access id, or raises Failure.

    headers: (name, value) pairs as received; body: the bytes received;
    secrets: {access id: secret}; region: the region the store is in."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    values = header_values(headers, "authorization")
    if not values:
        raise Failure(403, "AccessDenied", "Access Denied")
    (access_id, date, scope_region, service, terminator,
     names, provided) = parse_authorization(values[0].strip())
    secret = secrets.get(access_id)
    if secret is None:
        raise Failure(403, "InvalidAccessKeyId",
                      "The AWS Access Key Id you provided does not exist in our records.",
                      AWSAccessKeyId=access_id)
    amz_dates = header_values(headers, "x-amz-date")
    amz_date = amz_dates[0].strip() if amz_dates else ""
    check_time(amz_date, now)
    if date != amz_date[:8]:
        raise malformed("Invalid credential date. Date is not the same as X-Amz-Date.")
    if scope_region != region:
        raise Failure(400, "AuthorizationHeaderMalformed",
                      "The authorization header is malformed; the region '%s' is wrong; "
                      "expecting '%s'" % (scope_region, region), Region=region)
    if service != SERVICE or terminator != TERMINATOR:
        raise malformed("the credential scope must end in /%s/%s" % (SERVICE, TERMINATOR))
    if "host" not in names:
        raise malformed("the host header must be signed")
    check_signed_names(headers, names)
    payload_hash = check_payload(headers, body)

    query = canonical_query(raw_query)
    key = signing_key(secret, date, region)
    scope = "/".join([date, region, service, terminator])
    for uri in (raw_path or "/", canonical_uri(raw_path)):
        canonical = canonical_request(method, uri, query, headers, names, payload_hash)
        text = string_to_sign(amz_date, scope, canonical)
        if not hmac.compare_digest(signature(key, text), provided):
            raise Failure(403, "SignatureDoesNotMatch",
                          "The request signature we calculated does not match the signature "
                          "you provided. Check your key and signing method.",
                          AWSAccessKeyId=access_id, StringToSign=text,
                          CanonicalRequest=canonical, SignatureProvided=provided)
    return access_id
