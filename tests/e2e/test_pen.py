"""The pen settings with the real mouse and keyboard: a colour picked in the
colour dialog applies to shapes drawn afterwards only, the dialog remembers it,
Cancel changes nothing, and the line width box sets the width of new outlines."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

RED = (255, 0, 0)
COLOUR_DIALOG = "Select Color"


class Pen(e2e.KelvoTestCase, unittest.TestCase):
    def open_colour_dialog(self):
        self.k.click_control("Shape1")
        dialog = self.k.find_window(COLOUR_DIALOG)
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.settle()
        return dialog

    def close_colour_dialog(self, key):
        self.k.key(key)
        e2e.wait_until(lambda: not self.k.windows(COLOUR_DIALOG), 10, "colour dialog to close")
        self.k.settle()

    def swatch(self):
        return self.k.still_screenshot().pixel(*self.k.control_centre("Shape1"))

    def test_picked_colour_applies_to_new_shapes_only(self):
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((40, 40), (160, 120))
        before = self.k.canvas_shot()
        self.assertEqual(self.swatch(), e2e.YELLOW)

        self.open_colour_dialog()
        self.k.key("alt+h")  # the dialog's HTML field
        self.k.key("ctrl+a")
        self.k.type_text("#ff0000")
        self.close_colour_dialog("Return")
        self.assertEqual(self.swatch(), RED)
        self.assertSameRegion(self.k.canvas_shot(), before, 0, 0, 512, 512,
                              "picking a colour repaints nothing")

        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((260, 260), (400, 360))
        shot = self.k.canvas_shot()
        self.assertPixels(shot, e2e.rect_edges(260, 260, 400, 360), lambda p: p == RED,
                          "new rectangle")
        self.assertPixels(shot, e2e.rect_edges(40, 40, 160, 120), e2e.is_yellow,
                          "earlier rectangle")

        # The dialog opens with the colour picked last; Cancel keeps it.
        dialog = self.open_colour_dialog()
        dx, dy, dw, dh = dialog.geometry()
        dialog_shot = self.k.still_screenshot().crop(dx, dy, dw, dh)
        self.assertGreater(dialog_shot.count(lambda p: p == RED), 1500, "red preview")
        self.close_colour_dialog("Escape")
        self.assertEqual(self.swatch(), RED)

    def test_line_width_box_sets_the_width_of_new_outlines(self):
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((40, 40), (160, 120))
        self.k.click(*self.k.control_centre("SpinEdit1"))
        self.k.key("ctrl+a")
        self.k.type_text("4")
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((260, 260), (400, 360))
        shot = self.k.canvas_shot()

        def thickness(x, top):
            return shot.count(e2e.is_yellow, x, top - 6, 1, 13)

        self.assertEqual(thickness(100, 40), 1, "the first rectangle keeps width 1")
        self.assertEqual(thickness(330, 260), 4, "the new one is 4 pixels wide")


if __name__ == "__main__":
    e2e.main(sys.argv)
