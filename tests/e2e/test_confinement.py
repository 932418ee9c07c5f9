"""While a shape is dragged with the select tool, the real pointer stays where the
shape's box still fits on the canvas, and is free again after the release."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402


class Confinement(e2e.KelvoTestCase, unittest.TestCase):
    def test_pointer_is_held_inside_while_a_shape_is_dragged_toward_the_edges(self):
        # A box 100 x 60 with its corner at (100, 100), pressed 50 right of and 30
        # under that corner: the pointer may go from 50 to 461 across and from 30
        # to 481 down, so the box can reach every edge of the 512 x 512 canvas.
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((100, 100), (200, 160))
        self.k.click_control("SelectBtn")
        cx, cy = self.k.canvas
        self.k.press(*self.k.at(150, 130))
        try:
            stops = [((700, 130), (461, 130)), ((-200, 130), (50, 130)),
                     ((150, 900), (150, 481)), ((150, -300), (150, 30)),
                     ((900, 900), (461, 481))]
            for target, held in stops:
                with self.subTest(target=target):
                    self.k.move(*self.k.at(*target), sync=False)
                    x, y = self.k.pointer()
                    self.assertEqual((x - cx, y - cy), held)
        finally:
            self.k.release()
        self.k.settle()
        # The shape went to the lower right corner of the canvas.
        shot = self.k.canvas_shot()
        self.assertPixels(shot, e2e.rect_edges(411, 451, 511, 511), e2e.is_yellow, "moved box")
        # After the release the pointer goes anywhere again.
        free = self.k.at(700, 600)
        self.k.move(*free)
        self.assertEqual(self.k.pointer(), free)


if __name__ == "__main__":
    e2e.main(sys.argv)
