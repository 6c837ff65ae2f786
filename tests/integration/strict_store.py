"""A scripted S3-like store that checks every request strictly.

Holds its buckets' objects in memory and answers, over HTTP/1.1 with
keep-alive (plain TCP, or TLS with a given ssl.SSLContext), what the tool
sends a store: GET, HEAD, PUT and DELETE of a key and GET of the bucket root
(a ListObjects document with max-keys, marker, prefix and delimiter).

Every request must carry a valid Authorization header, "AWS" (signature
version 2) with a Date (or x-amz-date) within 15 minutes of now, or
"AWS4-HMAC-SHA256" (version 4, checked by sigv4_check for the store's
region); otherwise it is answered with an S3 error document (403 for a
wrong signature). The bucket is the first label of the Host header
(virtual-hosted style, BUCKET.s3.localhost) or, when the host is an IP
address, "localhost" or "s3.localhost", the first segment of the path
(path-style); `locate` is the one place that maps a request to bucket, key
and signed resource, and `authenticate` the one place that picks the
signature scheme.

Faults are scripted per key (`fail`, `cut`, `drop`, `silent`, `raw`; `skip` lets the
first matching requests through), `before` runs a test's action just before a
request is handled (to change the store under a client), `answer` lets a test
write the reply itself (e.g. a listing page of its own), and every request is
recorded (`requests`) for assertions. An object can be given the Size and
LastModified texts its listing shows, whatever its data (`put`). Standard library only; one thread per
connection, all shared state under one lock.
"""

import base64
import datetime
import email.utils
import hashlib
import hmac
import re
import socket
import ssl
import threading
import urllib.parse
import uuid

import sigv4_check

HOST = "127.0.0.1"
WAIT = 60               # seconds a connection waits for the client's next bytes
MAX_SKEW = 15 * 60      # seconds a request's date may be off
MAX_HEAD = 64 * 1024    # bytes a request head may take
DEFAULT_MAX_KEYS = 1000

# Query parameters that belong to the signed resource (signature version 2).
SUBRESOURCES = frozenset([
    "acl", "cors", "delete", "lifecycle", "location", "logging", "notification",
    "partNumber", "policy", "requestPayment", "restore", "tagging", "torrent",
    "uploadId", "uploads", "versionId", "versioning", "versions", "website",
    "response-cache-control", "response-content-disposition",
    "response-content-encoding", "response-content-language",
    "response-content-type", "response-expires",
])

REASONS = {
    100: "Continue", 200: "OK", 204: "No Content", 206: "Partial Content",
    301: "Moved Permanently", 304: "Not Modified", 307: "Temporary Redirect", 400: "Bad Request",
    403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed",
    409: "Conflict", 411: "Length Required", 412: "Precondition Failed",
    500: "Internal Server Error",
    501: "Not Implemented", 503: "Service Unavailable",
}


# Signature version 2, shared with the other test helpers.

def canonical_amz_headers(headers):
    """The x-amz- lines of the string to sign from (name, value) pairs."""
    merged = {}
    for name, value in headers:
        name = name.strip().lower()
        if name.startswith("x-amz-"):
            merged.setdefault(name, []).append(" ".join(value.strip().split()))
    return "".join("%s:%s\n" % (name, ",".join(merged[name])) for name in sorted(merged))


def canonical_resource(bucket, raw_path, query):
    """'/' + bucket + the path as sent, plus the sorted sub-resources."""
    resource = "/" + bucket + raw_path
    params = urllib.parse.parse_qsl(query, keep_blank_values=True)
    subs = sorted((k, v) for k, v in params if k in SUBRESOURCES)
    if subs:
        resource += "?" + "&".join(k + ("=" + v if v else "") for k, v in subs)
    return resource


def string_to_sign(method, headers, resource):
    """The AWS string to sign for a request with (name, value) header pairs."""
    def first(name):
        for n, v in headers:
            if n.strip().lower() == name:
                return v.strip()
        return ""
    has_amz_date = any(n.strip().lower() == "x-amz-date" for n, _ in headers)
    date = "" if has_amz_date else first("date")
    return "%s\n%s\n%s\n%s\n%s%s" % (method, first("content-md5"), first("content-type"),
                                     date, canonical_amz_headers(headers), resource)


def sign(secret, text):
    """Base64 of HMAC-SHA1(secret, text): the signature part of the header."""
    if isinstance(secret, str):
        secret = secret.encode()
    digest = hmac.new(secret, text.encode("utf-8", "surrogateescape"), hashlib.sha1).digest()
    return base64.b64encode(digest).decode()


def http_date(when=None):
    """An RFC 1123 date in GMT for a time in seconds (now by default)."""
    return email.utils.formatdate(when, usegmt=True)


def encode_key(key):
    """A key percent-encoded the way the tool sends it ("/" as %2F too)."""
    return urllib.parse.quote(key.encode("utf-8", "surrogateescape"), safe="-_.!~*'()")


# Requests and replies.

class Request:
    """One request as the store received it."""

    def __init__(self, method, target, version, headers, body):
        self.method = method
        self.target = target            # the request target exactly as sent
        self.version = version
        self.headers = headers          # list of (name, value) in order
        self.body = body                # bytes
        raw_path, _, self.query = target.partition("?")
        self.raw_path = raw_path
        self.params = urllib.parse.parse_qsl(self.query, keep_blank_values=True)
        self.bucket = None
        self.key = None
        self.status = None              # the status the store answered with, if any
        self.error = None               # the S3 error code it answered with, if any

    @property
    def path(self):
        return self.raw_path

    def header(self, name, default=None):
        name = name.lower()
        for n, v in self.headers:
            if n.lower() == name:
                return v.strip()
        return default

    def param(self, name, default=None):
        for k, v in self.params:
            if k == name:
                return v
        return default

    def __repr__(self):
        return "<%s %s -> %s%s>" % (self.method, self.target, self.status,
                                    " " + self.error if self.error else "")


class Reply:
    """length: the Content-Length text to send instead of the body's own
    length (a lying server); close: close the connection after the reply."""

    def __init__(self, status, body=b"", headers=None, length=None, close=False):
        self.status = status
        self.body = body if isinstance(body, bytes) else body.encode()
        self.headers = list(headers or [])
        self.length = length
        self.close = close
        self.error = None

    def head(self):
        lines = ["HTTP/1.1 %d %s" % (self.status, REASONS.get(self.status, "Status"))]
        lines.append("Date: " + http_date())
        lines.append("Server: StrictStore")
        lines += ["%s: %s" % h for h in self.headers]
        # HTTP forbids a length header on 1xx and 204 replies: they never have a body.
        if self.status >= 200 and self.status not in (204, 304):
            length = len(self.body) if self.length is None else self.length
            lines.append("Content-Length: %s" % length)
        return ("\r\n".join(lines) + "\r\n\r\n").encode()


def error_reply(status, code, message, **details):
    """An S3 error document."""
    parts = ["<Code>%s</Code>" % xml_escape(code), "<Message>%s</Message>" % xml_escape(message)]
    for name, value in details.items():
        parts.append("<%s>%s</%s>" % (name, xml_escape(str(value)), name))
    parts.append("<RequestId>%s</RequestId>" % uuid.uuid4().hex[:16].upper())
    body = '<?xml version="1.0" encoding="UTF-8"?>\n<Error>%s</Error>' % "".join(parts)
    reply = Reply(status, body.encode("utf-8", "surrogateescape"),
                  [("Content-Type", "application/xml")])
    reply.error = code
    return reply


class Refusal(Exception):
    """A request the store answers with an error document."""

    def __init__(self, status, code, message, **details):
        super().__init__(code)
        self.reply = error_reply(status, code, message, **details)


def xml_escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("'", "&apos;").replace('"', "&quot;"))


# A listed_time that leaves the LastModified element out of the listing.
OMIT = object()


class StoredObject:
    """listed_size / listed_time: the Size and LastModified texts of the
    object's listing entry instead of its length and time (listed_time OMIT
    leaves the element out)."""

    def __init__(self, data, content_type=None, listed_size=None, listed_time=None):
        self.data = bytes(data)
        self.content_type = content_type
        self.mtime = datetime.datetime.now(datetime.timezone.utc)
        self.etag = '"%s"' % hashlib.md5(self.data).hexdigest()
        self.listed_size = listed_size
        self.listed_time = listed_time

    def listing_entry(self, key):
        """The object's Contents element in a ListObjects document."""
        if self.listed_time is OMIT:
            time = ""
        else:
            text = self.listed_time
            if text is None:
                text = (self.mtime.strftime("%Y-%m-%dT%H:%M:%S.")
                        + "%03dZ" % (self.mtime.microsecond // 1000))
            time = "<LastModified>%s</LastModified>" % xml_escape(text)
        size = len(self.data) if self.listed_size is None else self.listed_size
        return ("<Contents><Key>%s</Key>%s<ETag>%s</ETag><Size>%s</Size>"
                "<StorageClass>STANDARD</StorageClass></Contents>"
                % (xml_escape(key), time, xml_escape(self.etag), xml_escape(str(size))))


# Faults.

class Fault:
    """A scripted misbehaviour for requests to one key (and method).

    kind is "fail" (answer `status` with an error document instead of doing
    the request), "cut" (do the request, then close after `after` bytes of
    the reply's body, half of it by default; a reply without a body is cut
    in its head), "drop" (close the connection without a byte of reply; with
    `handled` the request is carried out first, so only its reply is lost),
    "silent" (read the request, never answer, keep the connection open),
    "raw" (send the bytes action() gives, pieces `after` seconds apart, then close),
    "call" (call action(store, request), then handle the request as usual)
    or "answer" (reply with what action(store, request) returns: a Reply, or
    bytes/str sent as a 200 XML body). key None matches every key. times:
    how many requests it applies to (None: all); skip: how many matching
    requests pass untouched before it applies.
    """

    def __init__(self, kind, key, method=None, bucket=None, times=None, status=500,
                 code=None, after=None, skip=0, action=None, handled=False):
        self.kind = kind
        self.key = key
        self.method = method
        self.bucket = bucket
        self.times = times
        self.status = status
        self.code = code
        self.after = after
        self.skip = skip
        self.action = action
        self.handled = handled
        self.hits = 0
        self.passed = 0     # matching requests let through because of skip

    def matches(self, request):
        if self.times is not None and self.hits >= self.times:
            return False
        return ((self.key is None or request.key == self.key)
                and (self.method is None or request.method == self.method)
                and (self.bucket is None or request.bucket == self.bucket))


# The store.

class StrictStore:
    """The store on a free port of 127.0.0.1; see the module text.

    credentials: {access id: secret}. buckets: the names that exist.
    tls: an ssl.SSLContext for the server side, or None for plain HTTP.
    """

    def __init__(self, credentials=None, buckets=("kuvet",), tls=None, region="us-east-1",
                 conditional=True, tokens=None):
        self.credentials = dict(credentials or {"kuvet-id": "kuvet-secret"})
        self.conditional = conditional  # honour If-Match / If-None-Match on writes
        self.uploads = {}  # multipart uploads begun and not finished: id -> (key, parts)
        self.tokens = dict(tokens or {})  # access id -> the session token it must send
        self.region = region    # what version 4 credential scopes must name
        self.buckets = {name: {} for name in buckets}
        self.tls = tls
        self.requests = []
        self.faults = []
        self.connections = 0
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self._threads = []
        self._socks = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept, daemon=True)
        self._acceptor.start()

    # What the tests use.

    def url(self, bucket="kuvet", scheme=None, path_style=False):
        """The store URL: virtual-hosted, e.g. http://kuvet.s3.localhost:PORT/,
        or path-style, e.g. http://127.0.0.1:PORT/kuvet/."""
        scheme = scheme or ("https" if self.tls else "http")
        if path_style:
            return "%s://%s:%d/%s/" % (scheme, HOST, self.port, bucket)
        return "%s://%s.s3.localhost:%d/" % (scheme, bucket, self.port)

    def config(self, bucket="kuvet", access_id=None, scheme=None, path_style=False, sigv4=False):
        """The .kuvet members for this store: kuvet_url, aws_id, aws_key, and
        the store's region when it is to be signed with version 4."""
        access_id = access_id or next(iter(self.credentials))
        config = {"kuvet_url": self.url(bucket, scheme, path_style), "aws_id": access_id,
                  "aws_key": self.credentials[access_id]}
        if sigv4:
            config["region"] = self.region
        return config

    def put(self, key, data, bucket="kuvet", listed_size=None, listed_time=None):
        """Stores an object directly; listed_size / listed_time script the
        Size and LastModified texts of its listing entry (see StoredObject)."""
        with self.lock:
            self.buckets[bucket][key] = StoredObject(data, listed_size=listed_size,
                                                     listed_time=listed_time)

    def get(self, key, bucket="kuvet"):
        """An object's bytes, or None."""
        with self.lock:
            found = self.buckets[bucket].get(key)
            return None if found is None else found.data

    def keys(self, bucket="kuvet"):
        with self.lock:
            return sorted(self.buckets[bucket])

    def delete(self, key, bucket="kuvet"):
        """Removes an object behind the clients' backs (no request needed)."""
        with self.lock:
            self.buckets[bucket].pop(key, None)

    def clear(self):
        """Empties every bucket and forgets the faults and the request log."""
        with self.lock:
            for objects in self.buckets.values():
                objects.clear()
            self.uploads.clear()
            self.faults = []
            self.requests = []

    def fail(self, key, status=500, code=None, method=None, bucket=None, times=None, skip=0):
        return self._add(Fault("fail", key, method, bucket, times, status=status, code=code,
                               skip=skip))

    def cut(self, key, after=None, method=None, bucket=None, times=None, skip=0):
        return self._add(Fault("cut", key, method, bucket, times, after=after, skip=skip))

    def drop(self, key, handled=False, method=None, bucket=None, times=None, skip=0):
        return self._add(Fault("drop", key, method, bucket, times, skip=skip, handled=handled))

    def silent(self, key, method=None, bucket=None, times=None, skip=0):
        return self._add(Fault("silent", key, method, bucket, times, skip=skip))

    def raw(self, key, pieces, interval=0.0, method=None, bucket=None, times=None, skip=0):
        """Answers matching requests with raw bytes instead of a reply:
        pieces() gives them (bytes, or an iterable of bytes, maybe endless),
        sent `interval` seconds apart until the client or the store stops."""
        return self._add(Fault("raw", key, method, bucket, times, after=interval, skip=skip,
                               action=pieces))

    def before(self, key, action, method=None, bucket=None, times=1, skip=0):
        """Calls action(store, request) just before a matching request is
        handled (after its signature was checked), e.g. to change an object
        between two reads of it."""
        return self._add(Fault("call", key, method, bucket, times, skip=skip, action=action))

    def answer(self, key, action, method=None, bucket=None, times=None, skip=0):
        """Replies to matching requests (after their signature was checked)
        with action(store, request): a Reply, or a bytes/str body sent as
        200 with an XML content type. Key "" matches the listing."""
        return self._add(Fault("answer", key, method, bucket, times, skip=skip, action=action))

    def clear_faults(self):
        """Forgets every scripted fault; objects and the request log stay."""
        with self.lock:
            self.faults = []

    def log(self):
        """A copy of the requests received so far."""
        with self.lock:
            return list(self.requests)

    def refused(self):
        """The requests answered 403 (a bad signature, date or access id)."""
        return [r for r in self.log() if r.status == 403]

    def stop(self):
        self.stopping.set()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            socks = list(self._socks)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in list(self._threads):
            thread.join(timeout=5)
        self._acceptor.join(timeout=5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # Request handling; override or extend these for other behaviour.

    def locate(self, request):
        """Sets request.bucket and request.key; returns the signed resource.

        Virtual-hosted style: the bucket is the Host header's first label and
        the key is the whole decoded path after its leading "/". Path-style
        (a host without a bucket label): the bucket is the path's first
        segment and the key the decoded rest after the "/" that follows it."""
        host = request.header("host", "")
        name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
        if not request.raw_path.startswith("/"):
            raise Refusal(400, "InvalidURI", "Couldn't parse the specified URI.",
                          URI=request.target)
        path = request.raw_path
        if "." not in name or name == "s3.localhost" or re.fullmatch(r"[0-9.]+", name):
            bucket, _, rest = path[1:].partition("/")
            if not bucket:
                raise Refusal(400, "InvalidRequest", "A path-style request must name a bucket",
                              URI=request.target)
            request.bucket = urllib.parse.unquote(bucket)
            path = path[1 + len(bucket):]
        else:
            request.bucket = name.split(".", 1)[0]
        raw_key = urllib.parse.unquote_to_bytes(path[1:])
        request.key = raw_key.decode("utf-8", "surrogateescape")
        return canonical_resource(request.bucket, path or "/", request.query)

    def authenticate(self, request, resource):
        """Raises Refusal unless the request is signed and dated correctly."""
        authorization = request.header("authorization")
        if authorization is None:
            raise Refusal(403, "AccessDenied", "Access Denied")
        scheme, _, credential = authorization.partition(" ")
        if scheme == sigv4_check.ALGORITHM:
            try:
                access_id = sigv4_check.verify(request.method, request.raw_path, request.query,
                                               request.headers, request.body, self.credentials,
                                               self.region)
            except sigv4_check.Failure as failure:
                raise Refusal(failure.status, failure.code, failure.message, **failure.details)
            return self.check_token(request, access_id)
        if scheme != "AWS":
            raise Refusal(400, "InvalidArgument", "Unsupported Authorization Type",
                          ArgumentName="Authorization", ArgumentValue=authorization)
        self.check_date(request)
        access_id, colon, signature = credential.rpartition(":")
        if not colon or not access_id:
            raise Refusal(400, "InvalidArgument",
                          "AWS authorization header is invalid.  Expected AwsAccessKeyId:signature",
                          ArgumentName="Authorization", ArgumentValue=authorization)
        secret = self.credentials.get(access_id)
        if secret is None:
            raise Refusal(403, "InvalidAccessKeyId",
                          "The AWS Access Key Id you provided does not exist in our records.",
                          AWSAccessKeyId=access_id)
        text = string_to_sign(request.method, request.headers, resource)
        if not hmac.compare_digest(sign(secret, text).encode(), signature.encode()):
            raise Refusal(403, "SignatureDoesNotMatch",
                          "The request signature we calculated does not match the signature "
                          "you provided. Check your key and signing method.",
                          AWSAccessKeyId=access_id, StringToSign=text,
                          SignatureProvided=signature)
        self.check_token(request, access_id)

    def check_token(self, request, access_id):
        """A signed request of temporary credentials carries their session token, and only then."""
        if request.header("x-amz-security-token") != self.tokens.get(access_id):
            raise Refusal(403, "InvalidToken", "The provided token is malformed or otherwise invalid.")

    def check_date(self, request):
        text = request.header("x-amz-date") or request.header("date")
        when = None
        if text:
            try:
                when = email.utils.parsedate_to_datetime(text)
            except (TypeError, ValueError, IndexError):
                when = None
        if when is None:
            raise Refusal(403, "AccessDenied",
                          "AWS authentication requires a valid Date or x-amz-date header")
        if when.tzinfo is None:
            when = when.replace(tzinfo=datetime.timezone.utc)
        now = datetime.datetime.now(datetime.timezone.utc)
        if abs((now - when).total_seconds()) > MAX_SKEW:
            raise Refusal(403, "RequestTimeTooSkewed",
                          "The difference between the request time and the current time "
                          "is too large.", RequestTime=text, ServerTime=http_date())

    def handle(self, request):
        """The reply to an authenticated request."""
        with self.lock:
            objects = self.buckets.get(request.bucket)
        if objects is None:
            raise Refusal(404, "NoSuchBucket", "The specified bucket does not exist",
                          BucketName=request.bucket)
        if request.key == "":
            if request.method in ("GET", "HEAD"):
                return self.list_bucket(request, objects)
            raise Refusal(405, "MethodNotAllowed",
                          "The specified method is not allowed against this resource.",
                          Method=request.method, ResourceType="BUCKET")
        if request.param("uploads") is not None or request.param("uploadId") is not None:
            return self.multipart(request, objects)
        if request.method in ("GET", "HEAD"):
            with self.lock:
                found = objects.get(request.key)
            if found is None:
                raise Refusal(404, "NoSuchKey", "The specified key does not exist.",
                              Key=request.key)
            if request.header("if-none-match") in (found.etag, "*"):
                return Reply(304, b"", [("ETag", found.etag)])
            headers = [("Last-Modified", http_date(found.mtime.timestamp())),
                       ("ETag", found.etag),
                       ("Content-Type", found.content_type or "binary/octet-stream")]
            return Reply(200, found.data, headers)
        if request.method == "PUT":
            self.check_digest(request)
            stored = StoredObject(request.body, request.header("content-type"))
            with self.lock:
                self.check_version(request, objects.get(request.key))
                objects[request.key] = stored
            return Reply(200, b"", [("ETag", stored.etag)])
        if request.method == "DELETE":
            with self.lock:
                self.check_version(request, objects.get(request.key))
                objects.pop(request.key, None)
            return Reply(204)
        raise Refusal(405, "MethodNotAllowed",
                      "The specified method is not allowed against this resource.",
                      Method=request.method, ResourceType="OBJECT")

    def multipart(self, request, objects):
        """A multipart upload: start (POST ?uploads), a part (PUT ?partNumber=
        &uploadId=), complete (POST ?uploadId= with the part list), abort
        (DELETE ?uploadId=). Unfinished uploads are in self.uploads."""
        upload_id = request.param("uploadId")
        if request.method == "POST" and upload_id is None:
            upload_id = uuid.uuid4().hex
            with self.lock:
                self.uploads[upload_id] = (request.key, {})
            return Reply(200, "<InitiateMultipartUploadResult><Key>%s</Key><UploadId>%s"
                         "</UploadId></InitiateMultipartUploadResult>" % (xml_escape(request.key), upload_id))
        with self.lock:
            key, parts = self.uploads.get(upload_id, (None, None))
        if key != request.key:
            raise Refusal(404, "NoSuchUpload", "The specified upload does not exist.", UploadId=upload_id)
        if request.method == "PUT":
            etag = '"%s"' % hashlib.md5(request.body).hexdigest()
            with self.lock:
                parts[int(request.param("partNumber"))] = (request.body, etag)
            return Reply(200, b"", [("ETag", etag)])
        if request.method == "DELETE":
            with self.lock:
                self.uploads.pop(upload_id, None)
            return Reply(204)
        listed = re.findall(r"<PartNumber>(\d+)</PartNumber>\s*<ETag>([^<]*)</ETag>",
                            request.body.decode().replace("&quot;", '"'))
        if not listed or any(int(n) not in parts or parts[int(n)][1] != e for n, e in listed) or \
                [int(n) for n, _ in listed] != sorted(int(n) for n, _ in listed):
            raise Refusal(400, "InvalidPart", "One or more of the specified parts could not be found.")
        data = b"".join(parts[int(n)][0] for n, _ in listed)
        stored = StoredObject(data)
        stored.etag = '"%s-%d"' % (hashlib.md5(b"".join(bytes.fromhex(parts[int(n)][1].strip('"'))
                                                        for n, _ in listed)).hexdigest(), len(listed))
        with self.lock:
            self.check_version(request, objects.get(request.key))
            objects[request.key] = stored
            self.uploads.pop(upload_id, None)
        return Reply(200, "<CompleteMultipartUploadResult><Key>%s</Key><ETag>%s</ETag>"
                     "</CompleteMultipartUploadResult>" % (xml_escape(key), xml_escape(stored.etag)))

    def check_version(self, request, found):
        """The conditions of a write on the object's current version."""
        if not self.conditional:
            return
        wanted, absent = request.header("if-match"), request.header("if-none-match")
        if wanted is not None and found is None:
            raise Refusal(404, "NoSuchKey", "The specified key does not exist.", Key=request.key)
        if (wanted is not None and wanted != found.etag) or (absent == "*" and found is not None):
            raise Refusal(412, "PreconditionFailed", "At least one of the pre-conditions you "
                          "specified did not hold", Condition="If-Match" if wanted else "If-None-Match")

    def check_digest(self, request):
        md5 = request.header("content-md5")
        if md5 is None:
            return
        try:
            wanted = base64.b64decode(md5, validate=True)
        except ValueError:
            wanted = b""
        if len(wanted) != 16:
            raise Refusal(400, "InvalidDigest", "The Content-MD5 you specified was invalid.",
                          ContentMD5=md5)
        if hashlib.md5(request.body).digest() != wanted:
            raise Refusal(400, "BadDigest",
                          "The Content-MD5 you specified did not match what we received.",
                          ExpectedDigest=md5)

    def list_bucket(self, request, objects):
        """A ListObjects (version 1) document for the bucket root."""
        try:
            max_keys = int(request.param("max-keys", DEFAULT_MAX_KEYS))
        except ValueError:
            raise Refusal(400, "InvalidArgument", "Provided max-keys not an integer or within "
                          "integer range", ArgumentName="max-keys")
        if max_keys < 0:
            raise Refusal(400, "InvalidArgument", "Argument maxKeys must be an integer between "
                          "0 and 2147483647", ArgumentName="maxKeys")
        max_keys = min(max_keys, DEFAULT_MAX_KEYS)
        marker = request.param("marker", "")
        prefix = request.param("prefix", "")
        delimiter = request.param("delimiter", "")
        with self.lock:
            items = sorted((k, o) for k, o in objects.items()
                           if k > marker and k.startswith(prefix))
        contents, prefixes, truncated, last = [], [], False, None
        for key, found in items:
            common = None
            if delimiter:
                cut = key.find(delimiter, len(prefix))
                if cut >= 0:
                    common = key[:cut + len(delimiter)]
            if common is not None and prefixes and prefixes[-1] == common:
                continue
            if len(contents) + len(prefixes) >= max_keys:
                truncated = True
                break
            if common is not None:
                prefixes.append(common)
                last = common
            else:
                contents.append((key, found))
                last = key
        parts = ['<?xml version="1.0" encoding="UTF-8"?>\n'
                 '<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">',
                 "<Name>%s</Name>" % xml_escape(request.bucket),
                 "<Prefix>%s</Prefix>" % xml_escape(prefix),
                 "<Marker>%s</Marker>" % xml_escape(marker),
                 "<MaxKeys>%d</MaxKeys>" % max_keys]
        if delimiter:
            parts.append("<Delimiter>%s</Delimiter>" % xml_escape(delimiter))
            if truncated and last is not None:
                parts.append("<NextMarker>%s</NextMarker>" % xml_escape(last))
        parts.append("<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false"))
        for key, found in contents:
            parts.append(found.listing_entry(key))
        for common in prefixes:
            parts.append("<CommonPrefixes><Prefix>%s</Prefix></CommonPrefixes>"
                         % xml_escape(common))
        parts.append("</ListBucketResult>")
        body = "".join(parts).encode("utf-8", "surrogateescape")
        return Reply(200, body, [("Content-Type", "application/xml")])

    # Connections.

    def _add(self, fault):
        with self.lock:
            self.faults.append(fault)
        return fault

    def _fault_for(self, request):
        with self.lock:
            for fault in self.faults:
                if fault.matches(request):
                    if fault.passed < fault.skip:
                        fault.passed += 1
                        continue
                    fault.hits += 1
                    return fault
        return None

    def _accept(self):
        while not self.stopping.is_set():
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
                self._socks.append(sock)
            thread = threading.Thread(target=self._serve, args=(sock,), daemon=True)
            with self.lock:
                self._threads.append(thread)
            thread.start()

    def _serve(self, sock):
        sock.settimeout(WAIT)
        try:
            if self.tls is not None:
                sock = self.tls.wrap_socket(sock, server_side=True)
                with self.lock:
                    self._socks.append(sock)
            connection = _Connection(sock)
            while not self.stopping.is_set():
                if not self._exchange(connection):
                    break
        except (OSError, ssl.SSLError, ValueError):
            pass  # the client went away or refused the certificate
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def _exchange(self, connection):
        """Serves one request; False when the connection is to be closed."""
        request = connection.read_request()
        if request is None:
            return False
        if isinstance(request, Reply):  # a request that could not be parsed
            connection.send(request.head() + request.body)
            return False
        with self.lock:
            self.requests.append(request)
        fault = None
        try:
            resource = self.locate(request)
            self.authenticate(request, resource)
            fault = self._fault_for(request)
            if fault is not None and fault.kind == "silent":
                connection.wait_closed(self.stopping)
                return False
            if fault is not None and fault.kind == "drop" and not fault.handled:
                return False
            if fault is not None and fault.kind == "raw":
                pieces = fault.action()
                for piece in [pieces] if isinstance(pieces, bytes) else pieces:
                    connection.send(piece)
                    if self.stopping.wait(fault.after):
                        break
                return False
            if fault is not None and fault.kind == "fail":
                code = fault.code or REASONS.get(fault.status, "Error").replace(" ", "")
                raise Refusal(fault.status, code, "A scripted failure", Key=request.key)
            if fault is not None and fault.kind == "call":
                fault.action(self, request)
            if fault is not None and fault.kind == "answer":
                reply = fault.action(self, request)
                if not isinstance(reply, Reply):
                    reply = Reply(200, reply, [("Content-Type", "application/xml")])
            else:
                reply = self.handle(request)
        except Refusal as refusal:
            reply = refusal.reply
        request.status = reply.status
        request.error = reply.error
        body = b"" if request.method == "HEAD" else reply.body
        if fault is not None and fault.kind == "drop":
            return False
        if fault is not None and fault.kind == "cut":
            head = reply.head()
            if body:
                after = len(body) // 2 if fault.after is None else fault.after
                connection.send(head + body[:after])
            else:
                connection.send(head[:len(head) // 2])
            return False
        connection.send(reply.head() + body)
        if reply.close:
            return False
        keep = request.version == "HTTP/1.1" and \
            (request.header("connection", "") or "").lower() != "close"
        return keep


class _Connection:
    """Reads requests from one socket, keeping what arrived past each one."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = bytearray()

    def _fill(self):
        data = self.sock.recv(1 << 20)
        if not data:
            return False
        self.pending += data
        return True

    def _take(self, count):
        while len(self.pending) < count:
            if not self._fill():
                return None
        data = bytes(self.pending[:count])
        del self.pending[:count]
        return data

    def _line(self):
        while True:
            end = self.pending.find(b"\r\n")
            if end >= 0:
                line = bytes(self.pending[:end])
                del self.pending[:end + 2]
                return line
            if len(self.pending) > MAX_HEAD or not self._fill():
                return None

    def read_request(self):
        """A Request, a Reply to send for a malformed one, or None at the end."""
        try:
            while b"\r\n\r\n" not in self.pending:
                if len(self.pending) > MAX_HEAD:
                    return error_reply(400, "RequestHeaderSectionTooLarge",
                                       "Your request header section exceeds the maximum "
                                       "allowed size.")
                if not self._fill():
                    return None
        except (socket.timeout, OSError):
            return None
        end = self.pending.find(b"\r\n\r\n")
        head = bytes(self.pending[:end]).decode("utf-8", "surrogateescape")
        del self.pending[:end + 4]
        lines = head.split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3 or not parts[2].startswith("HTTP/"):
            return error_reply(400, "BadRequest", "An error occurred when parsing the "
                               "HTTP request.", RequestLine=lines[0])
        headers = []
        for line in lines[1:]:
            name, colon, value = line.partition(":")
            if not colon or name != name.strip():
                return error_reply(400, "BadRequest", "An error occurred when parsing the "
                                   "HTTP request.", HeaderLine=line)
            headers.append((name, value.strip()))
        request = Request(parts[0], parts[1], parts[2], headers, b"")
        if (request.header("expect", "") or "").lower() == "100-continue":
            self.send(b"HTTP/1.1 100 Continue\r\n\r\n")
        try:
            body = self._body(request)
        except (socket.timeout, OSError):
            body = None
        if body is None:
            return None
        if isinstance(body, Reply):
            return body
        request.body = body
        return request

    def _body(self, request):
        chunked = (request.header("transfer-encoding", "") or "").lower()
        if chunked == "chunked":
            pieces = []
            while True:
                line = self._line()
                if line is None:
                    return None
                try:
                    size = int(line.split(b";")[0].strip(), 16)
                except ValueError:
                    return error_reply(400, "IncompleteBody", "Bad chunk size")
                if size == 0:
                    while True:  # trailer lines up to the empty one
                        line = self._line()
                        if line is None:
                            return None
                        if line == b"":
                            return b"".join(pieces)
                piece = self._take(size + 2)
                if piece is None:
                    return None
                pieces.append(piece[:size])
        length = request.header("content-length")
        if length is None:
            if request.method == "PUT":
                return error_reply(411, "MissingContentLength",
                                   "You must provide the Content-Length HTTP header.")
            return b""
        try:
            count = int(length)
        except ValueError:
            return error_reply(400, "InvalidArgument", "Bad Content-Length",
                               ArgumentName="Content-Length", ArgumentValue=length)
        return self._take(count)

    def send(self, data):
        self.sock.sendall(data)

    def wait_closed(self, stopping):
        """Holds the connection, answering nothing, until the client closes
        it or the store stops."""
        self.sock.settimeout(0.2)
        while not stopping.is_set():
            try:
                if not self.sock.recv(65536):
                    return
            except socket.timeout:
                continue
            except OSError:
                return


class PerClass:
    """A test-class mixin: one store for the class, made by new_store() and
    emptied before each test."""

    @classmethod
    def new_store(cls):
        return StrictStore()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.store = cls.new_store()

    @classmethod
    def tearDownClass(cls):
        cls.store.stop()
        super().tearDownClass()

    def setUp(self):
        self.store.clear()
        super().setUp()
