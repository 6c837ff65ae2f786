"""A scripted S3-like store on a free port of 127.0.0.1 that checks every request."""
# Requests must be well formed, dated and signed (version 2, or version 4
# through sigv4_check); writes honour If-Match and If-None-Match. Objects,
# multipart uploads and ListObjects pages after a marker are served from
# memory, over TLS when the store has a server context. Faults are scripted per key and method; every request is logged.
# One thread per connection; the shared state is under one lock.

import base64
import datetime
import email.utils
import hashlib
import hmac
import re
import socketserver
import threading
import urllib.parse
from http import HTTPStatus
from xml.sax.saxutils import escape as sax_escape

import sigv4_check

XML = [("Content-Type", "application/xml")]
SUBRESOURCES = ("partNumber", "uploadId", "uploads")  # the query names version 2 signs, of those kuvet sends


def escape(text):
    return sax_escape(text, {'"': "&quot;", "'": "&apos;"})


class Request:
    """One request as received, and the bucket and key it names."""

    def __init__(self, method, target, headers):
        self.method, self.target, self.headers = method, target, headers
        self.raw_path, _, self.query = target.partition("?")
        self.params = urllib.parse.parse_qsl(self.query, keep_blank_values=True)
        self.body, self.status, self.error = b"", None, None  # status and error: of the reply
        # The bucket is the Host's first label, or the path's first segment
        # when the Host is an IP address (path-style).
        host, path = (self.header("host") or "").rsplit(":", 1)[0], self.raw_path
        if re.fullmatch(r"[0-9.]+", host):
            host, _, rest = path[1:].partition("/")
            path = "/" + rest
        self.bucket = host.split(".")[0]
        self.key = urllib.parse.unquote_to_bytes(path[1:]).decode("utf-8", "surrogateescape")
        subs = ["%s=%s" % p if p[1] else p[0] for p in sorted(self.params) if p[0] in SUBRESOURCES]
        self.resource = "/%s%s%s" % (self.bucket, path, "?" + "&".join(subs) if subs else "")

    def header(self, name, default=None):
        return next((v for n, v in self.headers if n.lower() == name.lower()), default)

    def param(self, name, default=None):
        return dict(self.params).get(name, default)

    def __repr__(self):
        return "<%s %s -> %s %s>" % (self.method, self.target, self.status, self.error or "")


class Reply:
    """length: the Content-Length to claim (a lying store); close: close after the reply."""

    def __init__(self, status, body=b"", headers=(), length=None, close=False):
        self.status, self.headers, self.length, self.close, self.error = status, list(headers), length, close, None
        self.body = body if isinstance(body, bytes) else body.encode("utf-8", "surrogateescape")
        self.wire = (None, None)  # how it goes out: whole, or ("cut", None), ("drop", None), ("raw", (pieces, s))

    def sent(self, how, arg=None):
        self.wire = (how, arg)
        return self

    def head(self):
        lines = ["HTTP/1.1 %d %s" % (self.status, HTTPStatus(self.status).phrase),
                 "Date: " + email.utils.formatdate(usegmt=True)] + ["%s: %s" % h for h in self.headers]
        if self.status not in (204, 304):
            lines.append("Content-Length: %s" % (len(self.body) if self.length is None else self.length))
        return ("\r\n".join(lines) + "\r\n\r\n").encode()


class Refusal(Exception):
    """A request answered with an S3 error document, self.reply."""

    def __init__(self, status, code, **details):
        super().__init__(code)
        fields = "".join("<%s>%s</%s>" % (n, escape(str(v)), n) for n, v in dict(Code=code, **details).items())
        self.reply = Reply(status, '<?xml version="1.0" encoding="UTF-8"?>\n<Error>%s</Error>' % fields, XML)
        self.reply.error = code


class Stored:
    """An object; listed_size and listed_time: the Size and LastModified texts of its listing entry."""

    def __init__(self, data, content_type=None, listed_size=None, listed_time=None):
        self.data, self.content_type, self.listed_size, self.listed_time = bytes(data), content_type, listed_size, listed_time
        self.mtime = datetime.datetime.now(datetime.timezone.utc)
        self.etag = '"%s"' % hashlib.md5(self.data).hexdigest()


class StrictStore:
    """credentials {access id: secret}; tokens {access id: the session token it must send}."""

    def __init__(self, credentials=None, tls=None, region="us-east-1", tokens=None):
        self.credentials = dict(credentials or {"kuvet-id": "kuvet-secret"})
        self.tokens, self.tls, self.region = dict(tokens or {}), tls, region
        self.buckets = {"kuvet": {}}
        self.uploads, self.requests, self.faults = {}, [], []
        self.lock, self.stopping = threading.Lock(), threading.Event()
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), lambda sock, _, server: self._serve(sock))
        self.server.daemon_threads, self.port = True, self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True).start()

    def url(self, path_style=False):
        return ("https" if self.tls else "http") + ("://127.0.0.1:%d/kuvet/" if path_style
                                                     else "://kuvet.s3.localhost:%d/") % self.port

    def config(self, path_style=False, sigv4=False):
        """The .kuvet members for this store; sigv4 adds its region."""
        access_id, secret = next(iter(self.credentials.items()))
        return dict(kuvet_url=self.url(path_style), aws_id=access_id, aws_key=secret, **({"region": self.region} if sigv4 else {}))

    # The objects, seen and changed without a request.

    def put(self, key, data, **listed):
        with self.lock:
            self.buckets["kuvet"][key] = Stored(data, **listed)

    def get(self, key):
        with self.lock:
            return getattr(self.buckets["kuvet"].get(key), "data", None)

    def delete(self, key):
        with self.lock:
            self.buckets["kuvet"].pop(key, None)

    def keys(self):
        with self.lock:
            return sorted(self.buckets["kuvet"])

    # Empties the bucket; forgets uploads, faults and the log.
    def clear(self):
        with self.lock:
            self.buckets["kuvet"].clear()
            self.uploads, self.faults, self.requests = {}, [], []

    def log(self):
        with self.lock:
            return list(self.requests)

    # The requests answered 403: a bad signature, date, access id or token.
    def refused(self):
        return [r for r in self.log() if r.status == 403]

    # Faults: an action answers the requests of one key ("" is the listing,
    # None any) and method (None: any), `times` of them (None: all) after
    # letting `skip` of them through.

    def answer(self, key, action, method=None, times=None, skip=0):
        """Replies with action(store, request): a Reply, a body sent as 200 XML, or None to do the request."""
        with self.lock:
            self.faults.append(dict(key=key, method=method, times=times, skip=skip, hits=0, action=action))

    def fail(self, key, status=500, code=None, **match):
        """Answers an error document instead of doing the request."""
        code = code or HTTPStatus(status).phrase.replace(" ", "")
        self.answer(key, lambda store, request: Refusal(status, code).reply, **match)

    def cut(self, key, **match):
        """Does the request, then closes half way through the reply's body (its head, when it has none)."""
        self.answer(key, lambda store, request: store.outcome(request).sent("cut"), **match)

    def drop(self, key, handled=False, **match):
        """Closes the connection without a reply; handled: after doing the request."""
        self.answer(key, lambda store, request: (store.outcome(request) if handled else Reply(None)).sent("drop"), **match)

    def raw(self, key, pieces, interval=0.0, **match):
        """Sends the bytes pieces() gives `interval` s apart, then closes."""
        self.answer(key, lambda store, request: Reply(None).sent("raw", (pieces, interval)), **match)

    def before(self, key, action, times=1, **match):
        """Calls action(store, request) just before the request is handled."""
        # Whatever the action returns, the request is then handled.
        self.answer(key, lambda store, request: (action(store, request), None)[1], times=times, **match)

    def clear_faults(self):
        with self.lock:
            self.faults = []

    def _action_for(self, request):
        with self.lock:
            for fault in self.faults:
                if fault["key"] in (None, request.key) and fault["method"] in (None, request.method) \
                        and fault["hits"] != fault["times"]:
                    if not fault["skip"]:
                        fault["hits"] += 1
                        return fault["action"]
                    fault["skip"] -= 1
        return lambda store, request: None

    def stop(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()

    def _serve(self, sock):
        """One connection, served request after request."""
        try:
            sock.settimeout(60)
            sock = self.tls.wrap_socket(sock, server_side=True) if self.tls else sock
            reader = sock.makefile("rb")
            while not self.stopping.is_set() and self._exchange(sock, reader):
                pass
        except (OSError, ValueError):
            pass  # the client went away, or sent what no store would read
        finally:
            sock.close()

    def _exchange(self, sock, reader):
        """Serves one request; False when the connection is to be closed."""
        line = lambda: reader.readline(65536).decode("utf-8", "surrogateescape")  # noqa: E731
        method, target, version = line().split(" ")
        headers, well_formed = [], version == "HTTP/1.1\r\n"
        for text in iter(line, "\r\n"):
            if not text:
                return False  # the client went away
            name, colon, value = text.partition(":")
            well_formed = well_formed and colon and name == name.strip() and text.endswith("\r\n")
            headers.append((name, value.strip()))
        request = Request(method, target, headers)
        request.body = reader.read(int(request.header("content-length") or 0))
        if len(request.body) < int(request.header("content-length") or 0):
            return False  # the client went away before the whole body came
        with self.lock:
            self.requests.append(request)
        try:
            if not well_formed:
                raise Refusal(400, "BadRequest")
            self.authenticate(request)
            reply = self._action_for(request)(self, request)
            reply = self.handle(request) if reply is None else reply
        except Refusal as refusal:
            reply = refusal.reply
        reply = reply if isinstance(reply, Reply) else Reply(200, reply, XML)
        (how, arg), request.status, request.error = reply.wire, reply.status, reply.error
        if how == "raw":
            for piece in arg[0]():
                sock.sendall(piece)
                if self.stopping.wait(arg[1]):
                    break
        elif how != "drop":
            head, body = reply.head(), b"" if method == "HEAD" else reply.body
            cut = head + body[:len(body) // 2] if body else head[:len(head) // 2]
            sock.sendall(head + body if how is None else cut)
        return how is None and not reply.close and request.header("connection") != "close"

    def outcome(self, request):
        """What handle() answers, a refusal included."""
        try:
            return self.handle(request)
        except Refusal as refusal:
            return refusal.reply

    def authenticate(self, request):
        """Raises Refusal unless the request is signed, dated and has its access id's session token."""
        authorization = request.header("authorization") or ""
        if authorization.startswith(sigv4_check.ALGORITHM):
            access_id = sigv4_check.verify(request.method, request.raw_path, request.query, request.headers,
                                           request.body, self.credentials, self.region, Refusal)
        else:
            access_id, _, signature = authorization[4:].rpartition(":")
            try:
                now = datetime.datetime.now(datetime.timezone.utc)
                skew = abs((now - email.utils.parsedate_to_datetime(request.header("date"))).total_seconds())
            except (TypeError, ValueError):
                skew = float("inf")
            if not authorization.startswith("AWS ") or access_id not in self.credentials or skew > 15 * 60:
                raise Refusal(403, "AccessDenied", Why="no known access id, or a date more than 15 minutes off")
            # The string to sign: the method, Content-MD5, Content-Type, Date, the x-amz- headers and the resource.
            values = {}
            for name, value in request.headers:
                values.setdefault(name.lower(), []).append(value)
            text = "\n".join([request.method] + [values.get(n, [""])[0] for n in ("content-md5", "content-type", "date")]
                             + ["".join("%s:%s\n" % (n, ",".join(values[n])) for n in sorted(values) if n.startswith("x-amz-"))
                                + request.resource])
            digest = hmac.new(self.credentials[access_id].encode(), text.encode("utf-8", "surrogateescape"), "sha1").digest()
            if not hmac.compare_digest(base64.b64encode(digest).decode(), signature):
                raise Refusal(403, "SignatureDoesNotMatch", StringToSign=text)
        if request.header("x-amz-security-token") != self.tokens.get(access_id):
            raise Refusal(403, "InvalidToken")

    def handle(self, request):
        """The reply to an authenticated request."""
        objects = self.buckets.get(request.bucket)
        if objects is None:
            raise Refusal(404, "NoSuchBucket")
        if request.param("uploads") is not None or request.param("uploadId") is not None:
            return self.multipart(request, objects)
        if (request.method, request.key) == ("GET", ""):
            return self.list_bucket(request, objects)
        with self.lock:
            found = objects.get(request.key)
        if request.method in ("GET", "HEAD") and found and request.header("if-none-match") in (found.etag, "*"):
            return Reply(304, b"", [("ETag", found.etag)])
        if request.method in ("GET", "HEAD") and found:
            return Reply(200, found.data, [("ETag", found.etag), ("Content-Type", found.content_type or "binary/octet-stream"),
                                           ("Last-Modified", email.utils.format_datetime(found.mtime, usegmt=True))])
        if request.method in ("GET", "HEAD"):
            raise Refusal(404, "NoSuchKey")
        if request.method == "PUT" and request.header("content-length") is None:
            raise Refusal(411, "MissingContentLength")
        if request.method not in ("PUT", "DELETE") or not request.key:
            raise Refusal(405, "MethodNotAllowed")
        return self.write(request, objects, Stored(request.body, request.header("content-type"))
                          if request.method == "PUT" else None)

    def write(self, request, objects, stored):
        """Stores `stored` (deletes, when None) if the request's conditions hold on the current version."""
        with self.lock:
            found = objects.get(request.key)
            wanted, absent = request.header("if-match"), request.header("if-none-match")
            if wanted is not None and found is None:
                raise Refusal(404, "NoSuchKey")
            if (wanted not in (None, found and found.etag) or absent == "*" and found):
                raise Refusal(412, "PreconditionFailed")
            if stored is None:
                objects.pop(request.key, None)
                return Reply(204)
            objects[request.key] = stored
        return Reply(200, b"", [("ETag", stored.etag)])

    def multipart(self, request, objects):
        """Starts (POST ?uploads), takes a part of (PUT), aborts (DELETE) or completes (POST) an upload."""
        upload_id = request.param("uploadId")
        with self.lock:  # self.uploads: {id: (key, {part number: Stored})} of those unfinished
            if upload_id is None and request.method == "POST":
                self.uploads[str(len(self.requests))] = (request.key, {})
                return Reply(200, "<InitiateMultipartUploadResult><UploadId>%d</UploadId>"
                             "</InitiateMultipartUploadResult>" % len(self.requests))
            key, parts = self.uploads.get(upload_id, (None, {}))
            if key != request.key:
                raise Refusal(404, "NoSuchUpload")
            if request.method == "PUT":
                parts[int(request.param("partNumber"))] = part = Stored(request.body)
                return Reply(200, b"", [("ETag", part.etag)])
            if request.method == "DELETE":
                del self.uploads[upload_id]
                return Reply(204)
        listed = [(int(n), e) for n, e in re.findall(r"<PartNumber>(\d+)</PartNumber>\s*<ETag>([^<]*)</ETag>",
                                                     request.body.decode().replace("&quot;", '"'))]
        if not listed or listed != sorted(listed) or any(n not in parts or parts[n].etag != e for n, e in listed):
            raise Refusal(400, "InvalidPart")
        stored = Stored(b"".join(parts[n].data for n, _ in listed))
        digest = hashlib.md5(b"".join(bytes.fromhex(e.strip('"')) for _, e in listed)).hexdigest()
        stored.etag = '"%s-%d"' % (digest, len(listed))
        self.write(request, objects, stored)
        with self.lock:
            self.uploads.pop(upload_id, None)
        return Reply(200, "<CompleteMultipartUploadResult><ETag>%s</ETag></CompleteMultipartUploadResult>"
                     % escape(stored.etag))

    def list_bucket(self, request, objects):
        """A ListObjects page: the first 1000 keys after the marker."""
        marker = request.param("marker", "")
        with self.lock:
            items = sorted((k, o) for k, o in objects.items() if k > marker)
        entries = ["<Contents><Key>%s</Key><LastModified>%s</LastModified><ETag>%s</ETag><Size>%s</Size>"
                   "</Contents>" % (escape(key), escape(o.listed_time or o.mtime.strftime("%Y-%m-%dT%H:%M:%S.000Z")),
                                    escape(o.etag), escape(str(len(o.data) if o.listed_size is None else o.listed_size)))
                   for key, o in items[:1000]]
        return Reply(200, '<?xml version="1.0" encoding="UTF-8"?>\n<ListBucketResult xmlns="http://s3.amazonaws.com'
                     '/doc/2006-03-01/"><Name>%s</Name><Marker>%s</Marker><IsTruncated>%s</IsTruncated>%s'
                     '</ListBucketResult>' % (request.bucket, escape(marker), str(len(items) > 1000).lower(),
                                              "".join(entries)), XML)


class PerClass:
    """A test-class mixin: one store for the class, made by new_store(), emptied before each test."""

    new_store = StrictStore

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.store = cls.new_store()
        cls.addClassCleanup(cls.store.stop)

    def setUp(self):
        self.store.clear()
        super().setUp()
