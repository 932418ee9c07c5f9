"""The zoom box under a German number format (decimal comma): it takes the
comma, and the point as well, so "2.0" and "2,0" both double the picture."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

GERMAN = {"LC_ALL": "de_DE.UTF-8", "LANG": "de_DE.UTF-8"}


class GermanNumbers(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        # As KelvoTestCase.setUp, with the user's number format German.
        self.k = e2e.Kelvo(e2e.KelvoTestCase.program, self.x, extra_env=GERMAN)
        try:
            self.k.start()
        except Exception:
            self.k.stop()
            raise
        self.bare = self.k.canvas_shot()

    def assertTwiceAsLarge(self, what):
        shot = self.k.canvas_shot(300, 300)
        wrong = [(x, y) for y in range(0, 300, 3) for x in range(0, 300, 3)
                 if shot.pixel(x, y) != self.bare.pixel(x // 2, y // 2)]
        self.assertFalse(wrong, f"{what}: {len(wrong)} pixels are not the picture at zoom 2, "
                                f"first {wrong[:5]}")

    def test_zoom_box_takes_comma_and_point(self):
        for text in ("2.0", "1", "2,0"):
            self.k.set_zoom(text)
            if text == "1":
                self.assertSameRegion(self.k.canvas_shot(), self.bare, 0, 0, 512, 512, "zoom 1")
            else:
                self.assertTwiceAsLarge(f"zoom {text!r}")


if __name__ == "__main__":
    e2e.main(sys.argv)
