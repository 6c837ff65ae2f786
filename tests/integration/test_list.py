"""kuvet list against real stores: s3rver, and the strict store, which checks
every signature and can serve listing entries and pages of a test's own.

kuvet runs with a fixed TZ so that the local times it prints are known; the
expected lines are built here from the C locale's "%c" form.
"""

import datetime
import itertools
import re
import urllib.parse
import xml.etree.ElementTree as ElementTree

import harness
import s3
import strict_store

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)
WEEKDAYS = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun",
          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

# A zone 5:30 east of UTC, written as a POSIX TZ rule (no zone files needed).
EAST_TZ, EAST_OFFSET = "KVT-5:30", 5 * 3600 + 30 * 60

# Keys that need decoding in the listing or encoding in a request.
AWKWARD_KEYS = ["it's", "a&b", "a&amp;b", "with space.txt", "1+1=2 (x).txt",
                "\u00fcn\u00ef \u00e7\u00f8d\u00e9.txt", "sub/folder/deep.txt",
                '<tag> "q"', "%41 plain"]

MANY = 1234          # objects for a listing of two pages (1000 a page)
UNKNOWN_MARKER = strict_store.error_reply(400, "InvalidArgument", "Unexpected marker")


def seconds_of(when):
    return int((when - EPOCH).total_seconds())


def c_time(seconds, offset=0):
    """strftime("%c") of the C locale for the local time at `offset`
    seconds east of UTC, e.g. "Sat Dec  5 07:41:09 2026"."""
    t = EPOCH + datetime.timedelta(seconds=seconds + offset)
    return "%s %s %2d %02d:%02d:%02d %d" % (WEEKDAYS[t.weekday()], MONTHS[t.month - 1], t.day,
                                             t.hour, t.minute, t.second, t.year)


def size_text(size):
    """A byte count in decimal units, one decimal above 1000 bytes."""
    if size < 0:
        return "?"
    for limit, unit in ((1e15, "PB"), (1e12, "TB"), (1e9, "GB"), (1e6, "MB"), (1e3, "KB")):
        if size > limit:
            return "%.1f %s" % (size / limit, unit)
    return "%.0f B" % size


def item_line(seconds, size, key, offset=0):
    text = size_text(size)
    if text.endswith(" B"):
        text += " "
    return "%s  %8s  %s" % (c_time(seconds, offset), text, key)


def table(entries, offset=0):
    """The expected output for (key, size, seconds) entries in listing order."""
    lines = [item_line(seconds, size, key, offset) for key, size, seconds in entries]
    lines.append(size_text(sum(size for _, size, _ in entries)) + " Total")
    return ("\n".join(lines) + "\n").encode()


def midnight_utc_today():
    return seconds_of(datetime.datetime.now(UTC).replace(hour=0, minute=0, second=0,
                                                         microsecond=0))


# The time of every entry of the pages below.
PAGE_TIME = seconds_of(datetime.datetime(2026, 12, 5, 7, 41, 9, tzinfo=UTC))


def page(keys, truncated, next_marker=None, size=1, when="2026-12-05T07:41:09.000Z"):
    """A ListObjects document of our own; keys are inserted as XML text as
    they are (so they may hold entity references)."""
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n'
             '<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">'
             "<Name>kuvet</Name><Prefix></Prefix><Marker></Marker><MaxKeys>1000</MaxKeys>"]
    if next_marker is not None:
        parts.append("<NextMarker>%s</NextMarker>" % next_marker)
    parts.append("<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false"))
    for key in keys:
        parts.append("\n  <Contents><Key>%s</Key><LastModified>%s</LastModified>"
                     "<ETag>&quot;0&quot;</ETag><Size>%d</Size><Owner><ID>1</ID>"
                     "<DisplayName>me</DisplayName></Owner><StorageClass>STANDARD"
                     "</StorageClass></Contents>" % (key, when, size))
    parts.append("\n</ListBucketResult>")
    return "".join(parts)


def utf8_order(keys):
    return sorted(keys, key=lambda k: k.encode("utf-8"))


class ListCases:
    """What every store must list right. A backend mixin provides config(),
    seed(key, data), seed_many(pairs), listed() (the store's own listing as
    (key, size, seconds) in order) and missing_store_config()."""

    def setUp(self):
        super().setUp()
        self.write_config(self.config())

    def list(self, *extra, tz="UTC"):
        return self.kuvet("list", *extra, env={"TZ": tz})

    def assertListing(self, result, entries, offset=0):
        self.assertOutput(result, table(entries, offset), 0)

    def test_an_empty_store_lists_only_the_total(self):
        self.assertOutput(self.list(), "0 B Total\n", 0)

    def test_items_line_by_line(self):
        sizes = {"empty": 0, "five hundred": 500, "thousand": 1000, "just over": 1001,
                 "notes.txt": 1234, "mega": 1500000}
        for key, size in sizes.items():
            self.seed(key, b"k" * size)
        listed = self.listed()
        self.assertEqual([(k, s) for k, s, _ in listed],
                         [(k, sizes[k]) for k in utf8_order(sizes)])
        result = self.list()
        self.assertListing(result, listed)
        # The columns spelled out: the time, two blanks, the size in 8
        # columns (a text in " B" one blank longer), two blanks, the key.
        columns = {"empty": "      0 B   empty", "five hundred": "    500 B   five hundred",
                   "thousand": "   1000 B   thousand", "just over": "    1.0 KB  just over",
                   "notes.txt": "    1.2 KB  notes.txt", "mega": "    1.5 MB  mega"}
        for line, key in zip(result.lines, utf8_order(sizes)):
            self.assertRegex(line, r"^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z][a-z] [ 1-3]\d "
                             r"\d\d:\d\d:\d\d \d{4}" + re.escape(columns[key]) + "$")
        self.assertEqual(result.lines[-1], "1.5 MB Total")

    def test_times_are_local(self):
        self.seed("a.txt", b"abc")
        listed = self.listed()
        self.assertListing(self.list(tz=EAST_TZ), listed, EAST_OFFSET)

    def test_awkward_keys_are_listed_decoded(self):
        for number, key in enumerate(AWKWARD_KEYS):
            self.seed(key, b"x" * number)
        listed = self.listed()
        self.assertEqual([k for k, _, _ in listed], utf8_order(AWKWARD_KEYS))
        self.assertListing(self.list(), listed)

    def test_more_than_one_page(self):
        objects = [("file %04d +&\u00e9'.txt" % n, b"m" * (n % 100)) for n in range(MANY)]
        self.seed_many(objects)
        listed = self.listed()
        self.assertEqual(len(listed), MANY)
        result = self.list()
        self.assertListing(result, listed)
        self.assertEqual(len(result.lines), MANY + 1)
        total = sum(len(data) for _, data in objects)
        self.assertEqual(result.lines[-1], size_text(total) + " Total")

    def test_bytes_lists_exact_sizes(self):
        self.seed("one", b"1" * 1234567)
        self.seed("two", b"22")
        lines = self.list("-l").lines
        self.assertEqual([line[-17:] for line in lines[:2]] + lines[2:],
                         ["     1234567  one", "           2  two", "1234569 Total"])

    def test_a_missing_store_fails_with_its_reply(self):
        self.write_config(self.missing_store_config())
        result = self.list()
        self.assertEqual(result.status, 1, result)
        lines = result.lines
        self.assertEqual(lines[0], "Error! Could not list the store:", result)
        self.assertTrue(lines[1].startswith("HTTP/1.1 404 "), result)
        self.assertIn("<Code>NoSuchBucket</Code>", result.out)
        self.assertEqual(lines[-1], "? Total")
        self.assertEqual(result.out.count("Total"), 1)

    def test_no_store_listening_fails(self):
        self.write_config(self.config(), kuvet_url="http://kuvet.s3.localhost:%d/"
                          % harness.free_port())
        result = self.list()
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.lines[-2:], ["Error! Could not list the store:", "? Total"],
                         result)


class S3rverTest(ListCases, harness.KuvetTestCase):
    """s3rver over HTTP; every test gets a bucket of its own."""

    numbers = itertools.count()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = s3.S3rver(buckets=()).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        super().tearDownClass()

    def setUp(self):
        self.bucket = "list-%d" % next(self.numbers)
        status, _, body = self.server.request("PUT", "", bucket=self.bucket)
        if status != 200:
            raise RuntimeError("s3rver did not create %s: %d %r" % (self.bucket, status, body))
        super().setUp()

    def config(self):
        return self.server.config(self.bucket)

    def missing_store_config(self):
        return self.server.config("no-such-bucket")

    def seed(self, key, data):
        self.server.put(key, data, bucket=self.bucket)

    def seed_many(self, pairs):
        self.server.put_many(pairs, bucket=self.bucket)

    def listed(self):
        """The bucket's own listing, page by page, read with a standard parser."""
        entries, marker = [], None
        while True:
            query = "" if marker is None else "marker=" + urllib.parse.quote(marker, safe="")
            status, _, body = self.server.request("GET", "", bucket=self.bucket, query=query)
            self.assertEqual(status, 200, body)
            root = ElementTree.fromstring(body)
            for contents in root.findall("{*}Contents"):
                when = datetime.datetime.strptime(contents.findtext("{*}LastModified"),
                                                  "%Y-%m-%dT%H:%M:%S.%fZ")
                entries.append((contents.findtext("{*}Key"), int(contents.findtext("{*}Size")),
                                seconds_of(when.replace(tzinfo=UTC))))
            if root.findtext("{*}IsTruncated") != "true":
                return entries
            marker = entries[-1][0]

    def test_s3rver_writes_an_apostrophe_as_a_character_reference(self):
        # What the decoding has to deal with: s3rver's text for "it's".
        self.seed("it's", b"")
        _, _, body = self.server.request("GET", "", bucket=self.bucket)
        self.assertIn(b"<Key>it&#x27;s</Key>", body)
        self.assertIn(b"  it's\n", self.list().stdout)


class StrictStoreTest(strict_store.PerClass, ListCases, harness.KuvetTestCase):
    """The strict store: every request must be signed right (checked after
    each run), and listing entries and pages can be scripted."""

    UNIT_BUCKETS = ("b", "kb", "mb", "gb", "tb", "pb")

    @classmethod
    def new_store(cls):
        return strict_store.StrictStore(buckets=("kuvet",) + cls.UNIT_BUCKETS)

    def setUp(self):
        self.expect_refusals = False
        super().setUp()

    def list(self, *extra, tz="UTC"):
        result = super().list(*extra, tz=tz)
        if not self.expect_refusals:
            self.assertEqual(self.store.refused(), [], result)
        return result

    def config(self, bucket="kuvet"):
        return self.store.config(bucket)

    def missing_store_config(self):
        return dict(self.store.config(), kuvet_url=self.store.url("no-such-bucket"))

    def seed(self, key, data, bucket="kuvet", **listed):
        self.store.put(key, data, bucket=bucket, **listed)

    def seed_many(self, pairs):
        for key, data in pairs:
            self.store.put(key, data)

    def listed(self):
        with self.store.lock:
            objects = sorted(self.store.buckets["kuvet"].items())
        return [(key, len(found.data), seconds_of(found.mtime.replace(microsecond=0)))
                for key, found in objects]

    def listings(self):
        """The listing requests the store received."""
        return [r for r in self.store.log() if r.method == "GET" and r.key == ""]

    def test_more_than_one_page(self):
        super().test_more_than_one_page()
        requests = self.listings()
        self.assertEqual([r.status for r in requests], [200, 200])
        self.assertEqual(requests[0].target, "/")
        last_of_first_page = "file 0999 +&\u00e9'.txt"
        self.assertEqual(requests[1].target,
                         "/?marker=file%200999%20%2B%26%C3%A9'.txt")
        self.assertEqual(requests[1].param("marker"), last_of_first_page)

    def test_every_size_unit(self):
        sizes = {  # bucket: [(listed size text, size column)], total line
            "b": ([("0", "0 B "), ("12", "12 B "), ("500", "500 B ")], "512 B Total"),
            "kb": ([("1001", "1.0 KB"), ("1234", "1.2 KB")], "2.2 KB Total"),
            "mb": ([("1000000", "1000.0 KB"), ("1500000", "1.5 MB")], "2.5 MB Total"),
            "gb": ([("999999999", "1000.0 MB"), ("2500000000", "2.5 GB")], "3.5 GB Total"),
            "tb": ([("1000000000000", "1000.0 GB"), ("3.2e12", "3.2 TB")], "4.2 TB Total"),
            "pb": ([("4500000000000000", "4.5 PB"), ("1e18", "1000.0 PB"),
                    ("not a number", "0 B ")], "1004.5 PB Total"),
        }
        when = "2026-12-05T07:41:09.000Z"
        for bucket, (entries, total) in sizes.items():
            with self.subTest(bucket=bucket):
                keys = ["%s %d" % (bucket, n) for n in range(len(entries))]
                for key, (listed, _) in zip(keys, entries):
                    self.seed(key, b"", bucket=bucket, listed_size=listed, listed_time=when)
                self.write_config(self.config(bucket))
                expected = ["Sat Dec  5 07:41:09 2026  %8s  %s" % (column, key)
                            for key, (_, column) in zip(keys, entries)]
                self.assertOutput(self.list(), "\n".join(expected + [total]) + "\n", 0)

    def test_other_forms_of_time(self):
        def at(*fields):
            return seconds_of(datetime.datetime(*fields, tzinfo=UTC))
        cases = [
            ("Sat, 05 Dec 2026 07:41:09 GMT", at(2026, 12, 5, 7, 41, 9)),
            ("2026-12-05T07:41:09+02:00", at(2026, 12, 5, 5, 41, 9)),
            ("2026-12-05T07:41:09-0530", at(2026, 12, 5, 13, 11, 9)),
            ("December 5, 2026 07:41:09", at(2026, 12, 5, 7, 41, 9)),
            ("2026/12/05 07:41", at(2026, 12, 5, 7, 41)),
            ("2026-13-05T07:41:09.000Z", at(2027, 1, 5, 7, 41, 9)),
            ("2026-25-05T07:41:09.000Z", at(2028, 1, 5, 7, 41, 9)),
            ("Smarch 05, 2026 10:00", at(2025, 12, 5, 10, 0)),
            ("2026-02-30T00:00:00.000Z", at(2026, 3, 2)),
            ("2026-12-05 12:15 PM", at(2026, 12, 5, 12, 15)),
            ("2026-12-05 12:15 AM", at(2026, 12, 5, 0, 15)),
            ("2026-12-05 3:07 pm", at(2026, 12, 5, 15, 7)),
            ("2026-12-05 11:59:59 PM", at(2026, 12, 5, 23, 59, 59)),
            ("2026-12-05 07:41 AM", at(2026, 12, 5, 7, 41)),
            ("1970-01-01T00:00:00.000Z", 0),
            ("1969-12-31T23:59:59.000Z", -1),
            ("2000-03-01T00:00:00.000Z", 951868800),
        ]
        entries = []
        for number, (text, seconds) in enumerate(cases):
            key = "t%02d %s" % (number, text)
            self.seed(key, b"x" * number, listed_time=text)
            entries.append((key, number, seconds))
        self.assertListing(self.list(), entries)

    def test_a_missing_time_is_midnight_utc_today(self):
        self.seed("no time", b"abc", listed_time=strict_store.OMIT)
        self.seed("no date", b"de", listed_time="sometime")
        for tz, offset in (("UTC", 0), (EAST_TZ, EAST_OFFSET)):
            with self.subTest(tz=tz):
                before = midnight_utc_today()
                result = self.list(tz=tz)
                after = midnight_utc_today()
                # A run across midnight may take either day.
                self.assertIn(result.stdout,
                              [table([("no date", 2, day), ("no time", 3, day)], offset)
                               for day in {before, after}])

    def test_entities_and_character_references_are_decoded(self):
        keys = {
            "it&apos;s": "it's",
            "it&#x27;s hex": "it's hex",
            "it&#39;s dec": "it's dec",
            "a&amp;b": "a&b",
            "a&amp;amp;b": "a&amp;b",
            "&lt;tag&gt; &quot;q&quot;": '<tag> "q"',
            "caf&#xE9; &#233;": "caf\u00e9 \u00e9",
            "smile &#128512;": "smile \U0001F600",
            "nb&nbsp;sp": "nb&nbsp;sp",
            # References that name no character are kept as written.
            "nul&#0;x &#xD800; &#; &#x110000;": "nul&#0;x &#xD800; &#; &#x110000;",
            "open&amp": "open&amp",
        }
        self.store.answer("", lambda store, request: page(keys, False), method="GET")
        entries = [(plain, 1, PAGE_TIME) for plain in keys.values()]
        self.assertListing(self.list(), entries)

    def test_the_next_marker_is_followed_decoded(self):
        pages = {"": page(["a", "b"], True, next_marker="b&amp;c \u00e9"),
                 "b&c \u00e9": page(["d"], False)}
        self.script_pages(lambda marker: pages.get(marker, UNKNOWN_MARKER))
        self.assertListing(self.list(), [(key, 1, PAGE_TIME) for key in ("a", "b", "d")])
        self.assertEqual([r.target for r in self.listings()],
                         ["/", "/?marker=b%26c%20%C3%A9"])

    def test_a_failure_on_the_second_page(self):
        self.seed_many(("k%04d" % n, b"1") for n in range(MANY))
        self.store.fail("", 500, code="InternalError", method="GET", skip=1)
        result = self.list()
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error! Could not list the store:\nHTTP/1.1 500 ", result.out)
        self.assertIn("<Code>InternalError</Code>", result.out)
        self.assertEqual(result.lines[-1], "? Total")
        self.assertEqual(len(self.listings()), 2)

    def test_a_wrong_secret_is_refused(self):
        self.expect_refusals = True
        self.seed("there.txt", b"x")
        self.write_config(self.config(), aws_key="not the secret")
        result = self.list()
        self.assertEqual(result.status, 1, result)
        self.assertTrue(result.out.startswith(
            "Error! Could not list the store:\nHTTP/1.1 403 Forbidden\r\n"), result)
        self.assertIn("<Code>SignatureDoesNotMatch</Code>", result.out)
        self.assertTrue(result.out.endswith("\n? Total\n"), result)
        self.assertNotIn("there.txt", result.out)
        self.assertEqual([r.error for r in self.store.log()], ["SignatureDoesNotMatch"])

    def test_a_reply_that_is_no_listing_is_a_failure(self):
        # Before: a 2xx body without a listing printed "0 B Total", status 0.
        self.store.answer("", lambda store, request: "<html>maintenance</html>", method="GET")
        result = self.list()
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error! The store's reply is not a listing:", result.out)
        self.assertEqual(result.lines[-1], "? Total")

    def test_control_characters_in_keys_do_not_reach_the_terminal(self):
        self.script_pages(lambda marker: page(["line&#10;break", "esc&#27;[2J"], False))
        result = self.list()
        self.assertEqual(result.status, 0, result)
        self.assertEqual(len(result.lines), 3, result)
        self.assertTrue(result.lines[0].endswith(" line?break"), result)
        self.assertTrue(result.lines[1].endswith(" esc?[2J"), result)

    # Stores that never stop saying there is more. The scripted store gives
    # up with a 500 after LOOP_GUARD pages, so a client that does not notice
    # still ends; a right one stops long before.
    LOOP_GUARD = 20

    def script_pages(self, reply_for):
        def answer(store, request):
            if len(self.listings()) > self.LOOP_GUARD:
                return strict_store.error_reply(500, "InternalError", "Listing loop")
            return reply_for(request.param("marker", ""))
        self.store.answer("", answer, method="GET")

    def assertLoopStopped(self, most):
        result = self.list()
        self.assertEqual(result.status, 1, result)
        self.assertNotIn("Listing loop", result.out)
        self.assertLessEqual(len(self.listings()), most, result)
        self.assertIn("Error! ", result.out)
        self.assertEqual(result.lines[-1], "? Total", result)

    def test_a_truncated_page_that_repeats_ends_with_an_error(self):
        self.script_pages(lambda marker: page(["a", "b"], True))
        self.assertLoopStopped(2)

    def test_a_truncated_page_without_keys_ends_with_an_error(self):
        self.script_pages(lambda marker: page([], True))
        self.assertLoopStopped(1)

    def test_a_next_marker_going_back_ends_with_an_error(self):
        # The next marker names a key before the one asked from: asking
        # again would go round for ever (b, a, b, ...).
        pages = {"": page(["a", "b"], True, next_marker="b"),
                 "b": page(["c"], True, next_marker="a"),
                 "a": page(["b", "c"], True, next_marker="b")}
        self.script_pages(lambda marker: pages.get(marker, UNKNOWN_MARKER))
        self.assertLoopStopped(2)


if __name__ == "__main__":
    import unittest
    unittest.main()
