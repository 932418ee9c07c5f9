"""Double clicks with the real mouse: the second press of a double click counts as
a plain press. A double click and a right click make a polyline of three vertices,
whose two coinciding hot points cancel; a click followed at once by a press and
drag with the select tool moves the shape."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402


class DoubleClick(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.bare = self.k.canvas_shot()

    def assertInverted(self, shot, left, top, what):
        """The 4 x 4 pixels from (left, top) show a hot-point square: the picture
        inverted (not-xor with black)."""
        for y in range(top, top + 4):
            for x in range(left, left + 4):
                want = tuple(255 - c for c in self.bare.pixel(x, y))
                self.assertEqual(shot.pixel(x, y), want, f"{what} at ({x},{y})")

    def test_double_click_then_right_click_makes_three_vertices(self):
        b, c = (150, 150), (300, 150)
        self.k.click_control("PolyLineBtn")
        self.k.move(*self.k.at(*b))
        self.x.xdotool("click", "--repeat", "2", "--delay", "80", "1")
        self.k.settle(0.2)
        self.k.canvas_click(c, button=3)
        shot = self.k.canvas_shot()
        self.assertNear(shot, [(x, 150) for x in range(160, 290)], e2e.YELLOW, "the segment")
        # The hot point of the last vertex shows (its upper left quarter, away from
        # the line); the two at the double-clicked vertex cancel each other.
        self.assertInverted(shot, c[0] - 4, c[1] - 4, "hot point of the last vertex")
        self.assertSameRegion(shot, self.bare, b[0] - 4, b[1] - 4, 4, 4,
                              "two coinciding hot points at the double click")

    def test_click_then_press_and_drag_at_once_moves_the_shape(self):
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((60, 300), (160, 380))
        self.k.click_control("SelectBtn")
        start = self.k.at(100, 340)
        self.k.move(*start)
        # One xdotool call, so the press follows the click within the double-click time.
        self.x.xdotool("click", "1", "mousedown", "1")
        for i in range(1, 9):
            self.k.move(start[0] + 150 * i // 8, start[1] - 100 * i // 8)
        self.k.release()
        self.k.settle()
        shot = self.k.canvas_shot()
        self.assertPixels(shot, e2e.rect_edges(210, 200, 310, 280), e2e.is_yellow, "moved outline")
        self.assertSameRegion(shot, self.bare, 40, 290, 140, 110, "old place")


if __name__ == "__main__":
    e2e.main(sys.argv)
