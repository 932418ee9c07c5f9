"""The view settings with the real mouse and keyboard: zoom 2 with scroll bars,
an unreadable zoom falling back to 1, and shadows and labels switched off and
on again, each checked pixel by pixel against the picture."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402


class View(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.bare = self.k.canvas_shot()

    def assertTwiceAsLarge(self, shot, bare, width, height, scroll_y=0):
        """shot shows bare at zoom 2, scrolled down by scroll_y screen pixels."""
        wrong = []
        for y in range(height):
            for x in range(width):
                if shot.pixel(x, y) != bare.pixel(x // 2, (y + scroll_y) // 2):
                    wrong.append((x, y))
        self.assertFalse(wrong, f"{len(wrong)} pixels are not the picture at zoom 2, "
                                f"first {wrong[:5]}")

    def test_zoom_two_doubles_the_picture_and_brings_scroll_bars(self):
        box_left, box_top, box_w, box_h = e2e.CONTROLS["ScrollBox1"]
        ox, oy = self.k.origin
        face = self.k.still_screenshot().crop(ox + box_left, oy + box_top, box_w, box_h)
        self.k.set_zoom("2")
        shot = self.k.still_screenshot()
        self.assertTwiceAsLarge(self.k.canvas_shot(520, 520, shot=shot), self.bare, 520, 520)
        box = shot.crop(ox + box_left, oy + box_top, box_w, box_h)
        # Both scroll bars take a strip of the box that showed the face before.
        self.assertTrue(face.diff(box, box_w - 14, 20, 12, 400), "vertical scroll bar")
        self.assertTrue(face.diff(box, 20, box_h - 14, 400, 12), "horizontal scroll bar")

        # The wheel scrolls the doubled picture.
        self.k.move(*self.k.at(200, 200))
        for _ in range(3):
            self.x.xdotool("click", "5")
        self.k.settle(0.5)
        scrolled = self.k.canvas_shot(480, 400)
        offsets = [off for off in range(2, 700, 2)
                   if all(scrolled.pixel(x, 50) == self.bare.pixel(x // 2, (50 + off) // 2)
                          for x in range(0, 480, 3))]
        self.assertTrue(offsets, "the view moved down the picture")
        self.assertTwiceAsLarge(scrolled, self.bare, 480, 400, scroll_y=offsets[0])

    def test_unreadable_zoom_gives_zoom_one(self):
        self.k.set_zoom("2")
        self.k.set_zoom("abc")
        shot = self.k.still_screenshot()
        self.assertSameRegion(self.k.canvas_shot(shot=shot), self.bare, 0, 0, 512, 512,
                              "picture back at zoom 1")
        cx, cy = self.k.canvas
        self.assertGreater(min(shot.pixel(cx + 520, cy + 300)), 200, "face beside the canvas")

    def test_shadows_and_labels_switch_off_and_on(self):
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((60, 60), (200, 150))
        drawn = self.k.canvas_shot()
        shadow = [(x, 61) for x in range(70, 190)] + [(200, y) for y in range(70, 140)]
        label = (60, 155, 140, 20)  # under the box, below the corner handles
        self.assertPixels(drawn, shadow, e2e.is_black, "shadow at start")
        self.assertGreater(drawn.count(e2e.is_yellow, *label), 15, "label at start")

        self.k.click_control("CheckBox1")  # "Shadow?"
        no_shadow = self.k.canvas_shot()
        for p in shadow:
            self.assertEqual(no_shadow.pixel(*p), self.bare.pixel(*p), f"no shadow at {p}")
        self.assertGreater(no_shadow.count(e2e.is_yellow, *label), 15, "label stays")
        self.assertEqual(no_shadow.count(e2e.is_black, *label), 0, "no label shadow")
        self.k.click_control("CheckBox1")
        self.assertSameRegion(self.k.canvas_shot(), drawn, 0, 0, 512, 512, "shadows back")

        self.k.click_control("CheckBox2")  # "DICOM Style?"
        no_labels = self.k.canvas_shot()
        self.assertSameRegion(no_labels, self.bare, *label, "no label")
        self.assertPixels(no_labels, shadow, e2e.is_black, "shadow stays")
        self.k.click_control("CheckBox2")
        self.assertSameRegion(self.k.canvas_shot(), drawn, 0, 0, 512, 512, "labels back")


if __name__ == "__main__":
    e2e.main(sys.argv)
