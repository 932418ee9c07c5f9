"""Program start and end on a real display: the window's caption, size and place,
the picture on the canvas, the position label, and the buttons at the bottom."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402


class Startup(e2e.KelvoTestCase, unittest.TestCase):
    def test_window_opens_centred_at_its_stored_size(self):
        self.assertEqual(self.k.window.name(), e2e.MAIN_TITLE)
        x, y, w, h = self.k.window.geometry()
        self.assertEqual((w, h), (731, 646))
        self.assertEqual((x, y), ((self.x.width - 731) // 2, (self.x.height - 646) // 2))

    def test_canvas_shows_the_grey_picture_at_512_by_512(self):
        ox, oy = self.k.origin
        cx, cy = self.k.canvas
        # Inside the scroll box's one-pixel frame, 3 pixels in from its left.
        self.assertEqual((cx - ox, cy - oy), (152 + 1 + 3, 8 + 1))
        shot = self.k.still_screenshot()
        canvas = self.k.canvas_shot(shot=shot)
        coloured = canvas.count(lambda p: not (p[0] == p[1] == p[2]))
        self.assertEqual(coloured, 0, "every pixel of the picture is grey")
        # Landmarks of the head slice: air, skull, brain.
        self.assertLess(max(canvas.pixel(10, 10)), 30)
        self.assertGreater(min(canvas.pixel(256, 51)), 200)
        self.assertTrue(80 <= canvas.pixel(256, 300)[0] <= 150)
        # The picture ends after 512 pixels; the scroll box's face follows.
        self.assertLess(max(shot.pixel(cx + 511, cy + 256)), 30)
        self.assertGreater(min(shot.pixel(cx + 512, cy + 256)), 200)
        self.assertLess(max(shot.pixel(cx + 256, cy + 511)), 30)
        self.assertGreater(min(shot.pixel(cx + 256, cy + 512)), 200)

    def test_position_label_starts_empty_and_follows_the_pointer(self):
        lx, ly, lw, lh = e2e.CONTROLS["Label1"]
        ox, oy = self.k.origin
        area = (ox + lx, oy + ly, lw, lh)
        face = self.k.still_screenshot().pixel(ox + lx - 3, oy + ly + 5)

        def ink(shot):
            return shot.count(lambda p: p != face, *area)

        self.assertEqual(ink(self.k.still_screenshot()), 0, "the label starts empty")
        self.k.move(*self.k.at(100, 50))
        self.k.settle()
        first = self.k.still_screenshot()
        self.assertGreater(ink(first), 20)
        self.k.move(*self.k.at(387, 411))
        self.k.settle()
        second = self.k.still_screenshot()
        self.assertGreater(ink(second), 20)
        self.assertTrue(first.diff(second, *area), "the label shows the new position")

    def test_scroll_box_follows_a_larger_window_and_the_buttons_stay_below_it(self):
        self.x.xdotool("windowsize", "--sync", self.k.window.wid, 900, 800)
        self.k.settle(0.5)
        shot = self.k.still_screenshot()
        ox, oy = self.k.origin
        frame = shot.pixel(ox + 152, oy + 300)
        # The scroll box's right frame moved from 704 to 873, its bottom from 560 to 714.
        self.assertEqual(shot.pixel(ox + 152 + 722 - 1, oy + 300), frame)
        self.assertNotEqual(shot.pixel(ox + 704, oy + 300), frame)
        self.assertEqual(shot.pixel(ox + 400, oy + 8 + 707 - 1), frame)
        # The picture stays where it was.
        self.assertEqual(self.k.find_canvas(), self.k.canvas)
        # The close button now sits 70 pixels above the bottom edge, and works there.
        bx, _, bw, bh = e2e.CONTROLS["BitBtn2"]
        self.k.click(ox + bx + bw // 2, oy + 800 - 70 + bh // 2)
        self.assertEqual(self.k.wait_exit(15), 0)

    def test_close_button_ends_the_program(self):
        self.k.click_control("BitBtn2")
        self.assertEqual(self.k.wait_exit(15), 0)

    def test_alt_c_ends_the_program(self):
        self.k.key("alt+c")
        self.assertEqual(self.k.wait_exit(15), 0)


if __name__ == "__main__":
    e2e.main(sys.argv)
