"""Drawing one shape of each kind with the real mouse: the outline in the pen's
yellow, its black shadow one pixel down and right, its label, and nothing
changed elsewhere on the canvas."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

# Room for hot-point squares (4 pixels each way), shadows and labels.
MARGIN = 6


def box(a, b, below=0, right=0):
    """(left, top, right, bottom) around two canvas points, with margins."""
    return (min(a[0], b[0]) - MARGIN, min(a[1], b[1]) - MARGIN,
            max(a[0], b[0]) + MARGIN + right, max(a[1], b[1]) + MARGIN + below)


def segment(a, b, skip=8):
    """Canvas points along a segment, leaving out its ends (hot points, arrowheads)."""
    n = max(abs(b[0] - a[0]), abs(b[1] - a[1]))
    pts = []
    for i in range(skip, n - skip):
        pts.append((a[0] + (b[0] - a[0]) * i // n, a[1] + (b[1] - a[1]) * i // n))
    return pts


class Drawing(e2e.KelvoTestCase, unittest.TestCase):
    def draw_and_check(self, tool, draw, outline, shadow, allowed, what, slanted=()):
        """Draws with a tool, then checks outline, shadow and that nothing else moved.

        outline and shadow are exact pixels; slanted are points on slanted lines,
        each of which needs a yellow pixel beside it and, mostly, a black one (its
        shadow) near its lower right neighbour: where the line steps, the line
        itself covers its shadow."""
        self.k.click_control(tool)
        before = self.k.canvas_shot()
        draw()
        after = self.k.canvas_shot()
        self.assertPixels(after, outline, e2e.is_yellow, f"{what} outline")
        self.assertPixels(after, shadow, e2e.is_black, f"{what} shadow")
        self.assertNear(after, slanted, e2e.YELLOW, f"{what} slanted outline")
        self.assertNear(after, [(x + 1, y + 1) for x, y in slanted], e2e.BLACK,
                        f"{what} slanted shadow", share=0.8)
        self.assertChangesWithin(before, after, allowed, what)
        return before, after

    def test_rectangle_by_one_drag(self):
        a, b = (60, 60), (200, 150)
        top = [(x, 60) for x in range(70, 190)]
        right = [(199, y) for y in range(70, 140)]
        _, after = self.draw_and_check(
            "rectangleBtn", lambda: self.k.canvas_drag(a, b),
            outline=top + right,
            shadow=[(x, 61) for x in range(70, 190)] + [(200, y) for y in range(70, 140)],
            allowed=[box(a, b, below=24)], what="rectangle")
        # Inside the box the picture is untouched, and the label "Roi-" sits under it.
        self.assertEqual(after.count(e2e.is_yellow, 70, 70, 120, 70), 0)
        self.assertGreater(after.count(e2e.is_yellow, 60, 152, 140, 20), 15)

    def test_ellipse_by_one_drag(self):
        a, b = (300, 40), (420, 120)
        _, after = self.draw_and_check(
            "EllipseBtn", lambda: self.k.canvas_drag(a, b),
            # The extreme points of the ellipse inside its box.
            outline=[(360, 40), (300, 80), (359, 119)],
            shadow=[(360, 120)],
            allowed=[box(a, b, below=24)], what="ellipse")
        self.assertGreater(after.count(e2e.is_yellow, 300, 40, 120, 80), 250)
        self.assertEqual(after.count(e2e.is_yellow, 330, 60, 60, 40), 0, "only the outline")
        self.assertGreater(after.count(e2e.is_yellow, 300, 122, 120, 20), 15)

    def test_ruler_shows_its_length(self):
        a, b = (60, 220), (220, 300)
        _, after = self.draw_and_check(
            "rulelineBtn", lambda: self.k.canvas_drag(a, b),
            outline=[], shadow=[], slanted=segment(a, b),
            allowed=[box(a, b, below=30, right=90)], what="ruler")
        line = len(segment(a, b, skip=0))
        self.assertGreater(after.count(e2e.is_yellow, 40, 200, 280, 130), line + 30,
                           "a length label beside the line")

    def test_annotation_arrow_carries_the_typed_text(self):
        # Not at 45 degrees, where the shadow would fall on the line itself.
        a, b = (300, 200), (410, 270)
        text_area = (415, 260, 80, 26)

        def draw():
            self.k.canvas_drag(a, b)
            self.k.answer_annotation("Lesion A")

        _, after = self.draw_and_check(
            "LineBtn", draw, outline=[], shadow=[], slanted=segment(a, b),
            allowed=[box(a, b, below=26, right=90)], what="annotation")
        self.assertGreater(after.count(e2e.is_yellow, *text_area), 20, "the typed text")

        # A cancelled dialog still commits the line, without text.
        c, d = (300, 350), (400, 450)
        self.k.canvas_drag(c, d)
        dialog = self.k.find_window("Please Input ")
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.key("Escape")
        e2e.wait_until(lambda: not self.k.windows("Please Input "), 10, "dialog to close")
        self.k.settle()
        shot = self.k.canvas_shot()
        self.assertNear(shot, segment(c, d), e2e.YELLOW, "cancelled annotation line")
        self.assertEqual(shot.count(e2e.is_yellow, 405, 440, 80, 26), 0, "no text")

    def test_angle_gauge_by_three_clicks(self):
        vertex, arm1, arm2 = (100, 420), (220, 420), (160, 330)

        def draw():
            self.k.canvas_click(vertex)
            self.k.canvas_click(arm1)
            self.k.canvas_click(arm2)

        _, after = self.draw_and_check(
            "Sectorbtn", draw,
            outline=segment(vertex, arm1), shadow=[(x, 421) for x in range(115, 205)],
            slanted=segment(vertex, arm2),
            allowed=[(vertex[0] - MARGIN, arm2[1] - MARGIN, arm1[0] + MARGIN + 60,
                      vertex[1] + MARGIN + 24)], what="angle")
        self.assertGreater(after.count(e2e.is_yellow, 80, 424, 120, 24), 15, "angle label")

    def test_polyline_by_clicks_ended_with_a_right_click(self):
        pts = [(300, 330), (420, 340), (440, 430), (330, 470)]

        def draw():
            for p in pts[:-1]:
                self.k.canvas_click(p)
            self.k.canvas_click(pts[-1], button=3)

        outline = []
        for a, b in zip(pts, pts[1:]):
            outline += segment(a, b)
        _, after = self.draw_and_check(
            "PolyLineBtn", draw, outline=[], shadow=[], slanted=outline,
            allowed=[(294, 324, 446, 500)], what="polyline")
        self.assertGreater(after.count(e2e.is_yellow, 300, 472, 150, 24), 15, "Roi label")


if __name__ == "__main__":
    e2e.main(sys.argv)
