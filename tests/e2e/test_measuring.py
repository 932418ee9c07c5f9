"""The measuring workflow in the real program: regions drawn on a CT are listed with
their statistics, exported as CSV that agrees with numpy, undone with Ctrl+Z, saved
beside the picture with Ctrl+S, and found again when the picture is opened anew."""

import csv
import io
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE = os.path.join(HERE, "..", "imaging", "region_reference.py")
LIST_BTN = (537, 576, 186, 33)
PANEL = (713, 8, 300, 553)  # right of the scroll box, when the list is shown
WINDOW_EDIT = (54, 614, 150, 24)  # the strip under the buttons, for pictures from files
CALIBRATE_BTN = (282, 614, 90, 24)




class Measuring(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix="kelvo-measuring-")
        self.scan = os.path.join(self.tmp, "scan.dcm")
        shutil.copy(e2e.pydicom_file("CT_small.dcm"), self.scan)
        self.offset = (self.k.canvas[0] - self.k.origin[0], self.k.canvas[1] - self.k.origin[1])

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def open_scan(self):
        self.k.stop()
        self.k = e2e.OnCanvas(e2e.KelvoTestCase.program, self.x, args=[self.scan], canvas_offset=self.offset)
        self.k.start(title=f"scan.dcm - {e2e.MAIN_TITLE}")

    def at_window(self, box, dx, dy):
        return self.k.origin[0] + box[0] + dx, self.k.origin[1] + box[1] + dy

    def show_list(self):
        self.k.click(*self.at_window(LIST_BTN, LIST_BTN[2] // 2, LIST_BTN[3] // 2))
        self.k.settle(0.5)

    def listed(self):
        """The list's rows, copied with Ctrl+C from the list itself."""
        self.k.click(*self.at_window(PANEL, 150, 400))  # the list's empty part
        self.k.settle(0.2)
        self.k.key("ctrl+c")
        self.k.settle(0.3)
        text = e2e.run(["/usr/bin/xclip", "-o", "-selection", "clipboard"], env=self.x.env(), timeout=10)
        return [line.split("\t") for line in text.splitlines()[1:]]

    def save_through_dialog(self, title, path):
        dialog = self.k.find_window(title, timeout=20)
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.settle(0.5)
        self.k.key("ctrl+a")
        self.k.type_text(path)
        self.k.key("Return")
        e2e.wait_until(lambda: os.path.exists(path), 20, f"{path} to be written")
        self.k.settle(0.5)
        self.x.xdotool("windowfocus", "--sync", self.k.window.wid)

    def test_draw_list_export_undo_save_and_reopen(self):
        self.open_scan()
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((10, 12), (90, 70))
        self.k.click_control("EllipseBtn")
        self.k.canvas_drag((60, 5), (5, 60))
        self.show_list()
        rows = self.listed()
        self.assertEqual([r[:2] for r in rows], [["Roi-1", "Rectangle"], ["Roi-2", "Ellipse"]])
        self.assertIn("mm²", rows[0][2])
        self.assertIn("HU", rows[0][2])

        csv_path = os.path.join(self.tmp, "m.csv")
        self.k.click(*self.at_window(PANEL, 4 + 72, 495 + 12))
        self.save_through_dialog("Export measurements", csv_path)
        with open(csv_path, newline="", encoding="utf-8") as f:
            data = f.read()
        self.assertTrue(data.endswith("\r\n"))
        table = list(csv.reader(io.StringIO(data)))
        self.assertEqual(len(table), 3)
        regions = []
        for row in table[1:]:
            kind = {"Rectangle": "rect", "Ellipse": "ellipse"}[row[1]]
            regions.append(kind + ":" + ";".join(p.strip().replace(" ", ",") for p in row[2].split(";")))
        numpy = e2e.run(["/usr/bin/python3", REFERENCE, self.scan, *regions], timeout=120).split("\n")
        for row, ref in zip(table[1:], numpy):
            count, *values = ref.split()
            self.assertEqual(row[8], count)
            for got, want in zip(row[9:13], values):
                self.assertLessEqual(abs(float(got) - float(want)), 1e-9 * max(1.0, abs(float(want))), row)
            self.assertEqual(row[13], "HU")

        # The canvas takes the keyboard when clicked; Ctrl+Z works from anywhere.
        self.k.key("ctrl+z")
        self.k.settle(0.5)
        self.assertEqual([r[0] for r in self.listed()], ["Roi-1"])
        self.k.key("ctrl+s")
        annotations = self.scan + ".kelvo.json"
        e2e.wait_until(lambda: os.path.exists(annotations), 20, "the annotation file")

        self.open_scan()
        question = self.k.find_window("Annotations", timeout=20)
        self.x.xdotool("windowfocus", "--sync", question.wid)
        self.k.settle(0.3)
        self.k.key("Return")
        self.k.settle(0.5)
        self.x.xdotool("windowfocus", "--sync", self.k.window.wid)
        self.k.click_control("rectangleBtn")
        self.k.canvas_drag((20, 80), (60, 110))
        self.show_list()
        self.assertEqual([r[:2] for r in self.listed()], [["Roi-1", "Rectangle"], ["Roi-2", "Rectangle"]])

        # While a region is moved, its statistics follow it on the canvas: text in the
        # pen's yellow turns up where the moved region's label lines will stand, and
        # nothing else a move draws is yellow (the outline is xor red).
        self.k.click_control("SelectBtn")
        before = self.k.canvas_shot(128, 128)
        self.k.press(*self.k.at(40, 95))
        for y in (85, 75, 65, 55):
            self.k.move(*self.k.at(40, y))
        during = self.k.canvas_shot(128, 128)
        self.k.release()
        self.k.settle()
        turned = sum(1 for x in range(128) for y in range(128)
                     if e2e.is_yellow(during.pixel(x, y)) and not e2e.is_yellow(before.pixel(x, y)))
        self.assertGreater(turned, 30)

    def window_text(self):
        self.k.click(*self.at_window(WINDOW_EDIT, 75, 12))
        self.k.key("ctrl+a", "ctrl+c")
        self.k.settle(0.3)
        return e2e.run(["/usr/bin/xclip", "-o", "-selection", "clipboard"], env=self.x.env(), timeout=10)

    def test_preset_key_and_a_calibrated_ruler(self):
        self.open_scan()
        self.k.click_control("rulelineBtn")
        self.k.canvas_drag((10, 100), (110, 100))
        before = self.k.canvas_shot(128, 128)
        self.k.key("4")  # lung
        self.k.settle(0.5)
        self.assertGreater(len(before.diff(self.k.canvas_shot(128, 128))), 1000)
        self.assertEqual(self.window_text(), "C -600 W 1500 HU")

        self.k.click(*self.at_window(CALIBRATE_BTN, 30, 12))
        dialog = self.k.find_window("Calibrate", timeout=20)
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.settle(0.3)
        self.k.key("ctrl+a")
        self.k.type_text("50")
        self.k.key("Return")
        self.k.settle(0.5)
        self.x.xdotool("windowfocus", "--sync", self.k.window.wid)
        self.show_list()
        self.assertEqual(self.listed()[0][1:3], ["Ruler", "50.00 mm calibrated"])


if __name__ == "__main__":
    e2e.main(sys.argv)
