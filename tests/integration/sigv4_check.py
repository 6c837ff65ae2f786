"""Signature version 4 ("AWS4-HMAC-SHA256") checked as a store checks it."""
# The canonical request is rebuilt from the request as it arrived and signed
# with the key derived from the secret, the date, the region and "s3". Host,
# Content-Type and every x-amz- header sent must be signed, the payload hash
# must be the body's (or UNSIGNED-PAYLOAD), and the path must be sent in its
# canonical form: stores differ in whether they re-encode it, so both must agree.

import datetime
import hashlib
import hmac
import re
import urllib.parse

ALGORITHM = "AWS4-HMAC-SHA256"
AUTHORIZATION = re.compile(ALGORITHM + r" Credential=([^/,]+)/(\d{8})/([^/,]+)/s3/aws4_request, ?"
                           r"SignedHeaders=([^,]+), ?Signature=([0-9a-f]{64})")


# Decoded, then every byte but A-Z a-z 0-9 - . _ ~ (and `safe`) as %XX.
def encode(text, safe=""):
    return urllib.parse.quote(urllib.parse.unquote_to_bytes(text), safe=safe)


def mac(key, text):
    return hmac.new(key, text.encode("utf-8", "surrogateescape"), hashlib.sha256)


def verify(method, raw_path, raw_query, headers, body, secrets, region, refusal):
    """The access id of a request as received ((name, value) headers), or raises refusal(status, code, **details)."""
    values = {}
    for name, value in headers:
        values.setdefault(name.lower(), []).append(" ".join(value.split()))
    found = AUTHORIZATION.fullmatch(values.get("authorization", [""])[0])
    if not found or found.group(1) not in secrets:
        raise refusal(403, "InvalidAccessKeyId")
    access_id, day, scope_region, names, provided = found.groups()
    if scope_region != region:
        raise refusal(400, "AuthorizationHeaderMalformed", Region=region)
    amz_date = values.get("x-amz-date", [""])[0]
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    try:
        skew = abs((now - datetime.datetime.strptime(amz_date, "%Y%m%dT%H%M%SZ")).total_seconds())
    except ValueError:
        skew = float("inf")
    if skew > 15 * 60 or day != amz_date[:8]:
        raise refusal(403, "RequestTimeTooSkewed")
    names = names.split(";")
    unsigned = [n for n in values if (n.startswith("x-amz-") or n in ("host", "content-type")) and n not in names]
    if names != sorted(set(names)) or unsigned or any(n not in values for n in names):
        raise refusal(403, "AccessDenied", Unsigned=unsigned, Signed=names)
    payload = values.get("x-amz-content-sha256", [""])[0]
    if payload not in ("UNSIGNED-PAYLOAD", hashlib.sha256(body).hexdigest()):
        raise refusal(400, "XAmzContentSHA256Mismatch")
    query = "&".join("%s=%s" % p for p in sorted((encode(n), encode(v)) for n, _, v in
                                                   (p.partition("=") for p in raw_query.split("&") if p)))
    key = ("AWS4" + secrets[access_id]).encode()
    for part in (day, region, "s3", "aws4_request"):
        key = mac(key, part).digest()
    for path in (raw_path or "/", encode(raw_path, "/") or "/"):
        canonical = "\n".join([method, path, query, "".join("%s:%s\n" % (n, ",".join(values[n])) for n in names),
                               ";".join(names), payload])
        text = "\n".join([ALGORITHM, amz_date, day + "/" + region + "/s3/aws4_request",
                          hashlib.sha256(canonical.encode("utf-8", "surrogateescape")).hexdigest()])
        if not hmac.compare_digest(mac(key, text).hexdigest(), provided):
            raise refusal(403, "SignatureDoesNotMatch", CanonicalRequest=canonical)
    return access_id
