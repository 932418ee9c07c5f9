"""Links opened through the launcher on a real X display reach a fake xdg-open
first on PATH whole and unchanged, as its single argument."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

PROBE = os.environ.get("KELVO_LINK_PROBE", "")

LONG = ("www.example.com/catalogue/software/graphics/medical/download.html"
        "?product=annotation-component&version=2.0&lang=en&ref=about-window#get")

# (type number, URL, the one argument xdg-open must receive)
CASES = [
    (3, "www.example.com/", "http://www.example.com/"),
    (4, "shop.example.com/order?id=4711&q=a%20b", "https://shop.example.com/order?id=4711&q=a%20b"),
    (5, "support@example.com", "mailto:support@example.com"),
    (3, LONG, "http://" + LONG),
    (1, "ftp.example.org/pub/it's here", "ftp://ftp.example.org/pub/it's%20here"),
    (6, "comp.lang.c++", "news:comp.lang.c++"),
    (0, "/tmp/some file.txt", "file:///tmp/some%20file.txt"),
    (7, "bbs.example.org;rm -rf x", "telnet:bbs.example.org;rm%20-rf%20x"),
]


@unittest.skipUnless(PROBE and os.access(PROBE, os.X_OK), "KELVO_LINK_PROBE not built")
class LinksReachTheDesktopOpener(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb = e2e.Xvfb().start()

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.stop()

    def open_link(self, opener, type_number, url):
        env = opener.env(self.xvfb.env())
        return e2e.run([PROBE, str(type_number), url], env=env, timeout=20).strip()

    def test_each_link_arrives_whole_as_one_argument(self):
        for type_number, url, expected in CASES:
            with self.subTest(url=url), e2e.FakeXdgOpen(self.xvfb.tmp) as opener:
                self.assertEqual(self.open_link(opener, type_number, url), "opened")
                calls = opener.wait_calls(1)
                self.assertEqual(calls, [[expected]])

    def test_link_that_would_be_altered_is_not_opened(self):
        with e2e.FakeXdgOpen(self.xvfb.tmp) as opener:
            self.assertEqual(self.open_link(opener, 4, "http://www.example.com/"), "refused")
            self.assertEqual(self.open_link(opener, 3, ""), "refused")
            # Give a stray opener time to show up before saying there was none.
            time.sleep(1.0)
            self.assertEqual(opener.calls(), [])


if __name__ == "__main__":
    e2e.program_path(sys.argv)
    unittest.main(argv=[sys.argv[0]], verbosity=2)
