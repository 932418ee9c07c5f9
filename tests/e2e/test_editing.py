"""Editing shapes with the real mouse: selecting and moving one, resizing a
rectangle by a corner, deleting, and the delete button with nothing selected.
Where the canvas must be back to the bare picture, it is compared pixel by pixel
with the screen before anything was drawn."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402


class Editing(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.bare = self.k.canvas_shot()

    def draw_rectangle(self, a, b):
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag(a, b)

    def test_selected_shape_moves_with_a_drag(self):
        self.draw_rectangle((60, 60), (160, 130))
        self.k.click_control("SelectBtn")
        # Press inside the box, drag it 150 right and 200 down.
        self.k.canvas_drag((100, 90), (250, 290), steps=12)
        shot = self.k.canvas_shot()
        self.assertPixels(shot, e2e.rect_edges(210, 260, 310, 330), e2e.is_yellow, "moved outline")
        # The old place shows the bare picture again, label and handles included.
        self.assertSameRegion(shot, self.bare, 40, 40, 150, 125, "old place")
        # The moved shape stays selected: its corner handles are drawn.
        self.assertNotEqual(shot.pixel(210 - 3, 260 - 3), self.bare.pixel(210 - 3, 260 - 3))

    def test_rectangle_resizes_by_its_corner(self):
        self.draw_rectangle((60, 60), (160, 130))
        self.k.click_control("SelectBtn")
        self.k.canvas_click((100, 90))  # selects it
        # The release corner (160, 130) is a handle; drag it out by (80, 60).
        self.k.canvas_drag((160, 130), (240, 190), steps=10)
        shot = self.k.canvas_shot()
        self.assertPixels(shot, e2e.rect_edges(60, 60, 240, 190), e2e.is_yellow, "resized outline")
        # The old right edge and bottom edge are gone (picture there again).
        self.assertSameRegion(shot, self.bare, 150, 70, 8, 50, "old right edge")
        self.assertSameRegion(shot, self.bare, 70, 125, 70, 8, "old bottom edge")

    def test_delete_removes_the_selected_shape(self):
        self.draw_rectangle((60, 60), (160, 130))
        self.draw_rectangle((250, 250), (400, 380))
        self.k.click_control("SelectBtn")
        self.k.canvas_click((100, 90))
        self.k.click_control("SpeedButton1")
        shot = self.k.canvas_shot()
        self.assertSameRegion(shot, self.bare, 0, 0, 240, 240, "deleted shape's place")
        self.assertPixels(shot, e2e.rect_edges(250, 250, 400, 380), e2e.is_yellow, "other shape")
        # Delete the other one too: the canvas is the bare picture again.
        self.k.canvas_click((300, 300))
        self.k.click_control("SpeedButton1")
        self.assertSameRegion(self.k.canvas_shot(), self.bare, 0, 0, 512, 512, "empty canvas")

    def test_delete_with_nothing_selected_does_nothing(self):
        self.draw_rectangle((60, 60), (160, 130))
        self.draw_rectangle((250, 250), (400, 380))
        self.k.click_control("SelectBtn")
        self.k.canvas_click((300, 300))
        self.k.click_control("SpeedButton1")  # deletes the second; the first is unselected
        before = self.k.canvas_shot()
        self.k.click_control("SpeedButton1")
        self.k.click_control("SpeedButton1")
        after = self.k.canvas_shot()
        self.assertSameRegion(after, before, 0, 0, 512, 512, "delete with nothing selected")
        self.assertPixels(after, e2e.rect_edges(60, 60, 160, 130), e2e.is_yellow, "kept shape")


if __name__ == "__main__":
    e2e.main(sys.argv)
