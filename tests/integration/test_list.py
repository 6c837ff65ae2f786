"""kuvet list: a line per object and the total, page after page, as stores write them; listings that fail."""
# Keys, sizes and times as stores write them, and listings that would never
# end. TZ is set, so the times printed are known.

import datetime

import harness
import strict_store

UTC, HOUR = datetime.timezone.utc, datetime.timedelta(hours=1)
WHEN = datetime.datetime(2026, 12, 5, 7, 41, 9, tzinfo=UTC)


# A listing line: the time in the C locale's "%c", e.g. "Sat Dec  5 07:41:09 2026", the size column, the key.
def line(when, size, key):
    return "%s %2d %s  %8s  %s" % (when.strftime("%a %b"), when.day, when.strftime("%H:%M:%S %Y"), size, key)


# A listing page of our own; keys go in as XML text as they are.
def page(keys, truncated, next_marker=None):
    return '<?xml version="1.0"?><ListBucketResult>%s<IsTruncated>%s</IsTruncated>%s</ListBucketResult>' % (
        "" if next_marker is None else "<NextMarker>%s</NextMarker>" % next_marker, str(truncated).lower(),
        "".join("<Contents><Key>%s</Key><LastModified>2026-12-05T07:41:09.000Z</LastModified><Size>1</Size>"
                "</Contents>" % key for key in keys))


class ListTest(strict_store.PerClass, harness.KuvetTestCase):

    def list(self, *args, tz="UTC"):
        return self.kuvet("list", *args, env={"TZ": tz})

    def test_lines_and_total(self):
        today = datetime.datetime.now(UTC).replace(hour=0, minute=0, second=0, microsecond=0)
        rows = [  # key, Size text, LastModified text, the time and size column shown
            ("<tag> \"q\" it's a&b", "0", "2026-12-05T07:41:09.000Z", WHEN, "0 B "),
            ("a&amp;b", "1001", "Sat, 05 Dec 2026 07:41:09 GMT", WHEN, "1.0 KB"),
            ("dir/\u00e9 1+1=2 %41", "3.2e12", "2026-12-05T07:41:09+02:00", WHEN - 2 * HOUR, "3.2 TB"),
            ("no size", "many", "2026-12-05T07:41:09Z", WHEN, "0 B "),
            ("no date", "500", "sometime", today, "500 B "),
        ]
        self.write_config(self.store.config())
        for key, size, time, _, _ in rows:
            self.store.put(key, b"", listed_size=size, listed_time=time)
        rows.sort(key=lambda row: row[0].encode())
        for tz, offset in (("UTC", 0), ("KVT-5:30", 5.5)):  # a POSIX TZ rule, 5:30 east of UTC
            expected = [line(shown + offset * HOUR, column, key) for key, _, _, shown, column in rows]
            self.assertOutput(self.list(tz=tz), "\n".join(expected + ["3.2 TB Total\n"]), 0)
        self.assertEqual(self.list("-l").lines[-1], "3200000001501 Total")

    def test_pages_follow_the_last_key(self):
        keys = ["file %04d +&\u00e9'.txt" % n for n in range(1234)]
        for key in keys:
            self.store.put(key, b"x")
        for sigv4 in (False, True):  # version 4 signs the marker too
            with self.subTest(sigv4=sigv4):
                start = len(self.store.log())
                self.write_config(self.store.config(sigv4=sigv4))
                result = self.list()
                self.assertEqual(([x[36:] for x in result.lines[:-1]], result.lines[-1], result.status),
                                 (keys, "1.2 KB Total", 0))
                self.assertEqual([r.param("marker") for r in self.store.log()[start:]], [None, keys[999]])

    def test_pages_as_stores_write_them(self):
        decoded = [line(WHEN, "1 B ", key) for key in ("it's", "caf\u00e9 \u00e9 \U0001F600", "a&amp;b",
                                                          "nul&#0; &#xD800; &#;", "line?break", "esc?[2J?")]
        # the page for each marker (None: any other), status, the output (when it fails: a line of it), most requests
        rows = [
            ({"": page(["it&apos;s", "caf&#xE9; &#233; &#128512;", "a&amp;amp;b", "nul&#0; &#xD800; &#;",
                        "line&#10;break", "esc&#27;[2J&#155;"], False)}, 0, "\n".join(decoded + ["6 B Total\n"]), 1),
            ({"": page(["a", "b"], True, "b&amp;c \u00e9"), "b&c \u00e9": page(["d"], False)}, 0,
             "\n".join([line(WHEN, "1 B ", k) for k in "abd"] + ["3 B Total\n"]), 2),
            ({"": page(["a"], True), None: strict_store.Refusal(500, "InternalError").reply}, 1,
             "Error! Could not list the store:\nHTTP/1.1 500 Internal Server Error\r\n", 2),
            ({None: "<html>maintenance</html>"}, 1, "Error! The store's reply is not a listing:\n", 1),
            ({None: page(["a", "b"], True)}, 1, "Error! The store's listing is truncated but names no next key.", 2),
            ({None: page([], True)}, 1, "Error! The store's listing is truncated but names no next key.", 1),
            ({"": page(["a", "b"], True, "b"), "b": page(["c"], True, "a"), None: page(["b", "c"], True, "b")}, 1,
             "Error! The store's listing is truncated but names no next key.", 2),
            (None, 1, "Error! Could not list the store:\n? Total\n", 0),
        ]
        for pages, status, out, most in rows:
            with self.subTest(pages=pages):
                self.store.clear()
                # After 20 pages the store gives up, so a client that goes round and round still ends.
                self.store.answer("", lambda store, request, pages=pages: pages.get(request.param("marker", ""), pages.get(None))
                                  if len(store.log()) <= 20 else strict_store.Refusal(500, "Loop").reply, method="GET")
                url = "http://kuvet.s3.localhost:%d/" % harness.free_port() if pages is None else self.store.url()
                self.write_config(self.store.config(), kuvet_url=url)
                result = self.list()
                self.assertEqual(result.status, status, result)
                (self.assertIn if status else self.assertEqual)(out, result.out)
                self.assertLessEqual(len(self.store.log()), most, result)
                self.assertTrue(status == 0 or result.out.endswith("\n? Total\n"), result)

