"""Pictures from files in the real program: opened from the command line, with the
Open button and with Ctrl+O through the file dialog; a right-button drag changes
the window and Ctrl+R restores it; a ruler on a CT reads in millimetres; a JPEG 2000
file shows as its uncompressed twin.

Dropping a file is tested on the widget (QDropEvent), since the private display has
no drag source that speaks the X drag-and-drop protocol."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

OPEN_BTN = (8, 576, 97, 33)



def titled(name):
    return f"{name} - {e2e.MAIN_TITLE}"



class Imaging(e2e.KelvoTestCase, unittest.TestCase):
    def start_with(self, path):
        """Stops the program of setUp and starts it again with a file to open."""
        offset = (self.k.canvas[0] - self.k.origin[0], self.k.canvas[1] - self.k.origin[1])
        self.k.stop()
        self.k = e2e.OnCanvas(e2e.KelvoTestCase.program, self.x, args=[path], canvas_offset=offset)
        self.k.start(title=titled(os.path.basename(path)))

    def yellow_of(self, shot, left, top, width, height):
        return {(x, y) for y in range(height) for x in range(width)
                if 0 <= left + x < shot.width and 0 <= top + y < shot.height
                and shot.pixel(left + x, top + y) == e2e.YELLOW}

    def probe(self, text):
        """The yellow pixels of a label reading text, drawn as the canvas draws it."""
        exe = os.environ.get("KELVO_LABEL_PROBE")
        if not exe:
            self.skipTest("no label probe")
        with tempfile.TemporaryDirectory() as tmp:
            png = os.path.join(tmp, "label.png")
            e2e.run([exe, text, png], env=self.x.env(), timeout=30)
            ppm = e2e.run([e2e.CONVERT, png, "ppm:-"], binary=True, timeout=30)
        # A binary PPM: "P6\n<w> <h>\n255\n" then RGB triples.
        parts = ppm.split(b"\n", 3)
        width, height = map(int, parts[1].split())
        shot = e2e.Screenshot(width, height, parts[3])
        return self.yellow_of(shot, 0, 0, width, height), width, height

    def open_through_dialog(self, path, how):
        how()
        dialog = self.k.find_window("Open", timeout=20)
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.settle(0.5)
        self.k.type_text(path)
        self.k.key("Return")
        self.k.find_window(titled(os.path.basename(path)), timeout=20)
        self.k.settle(0.5)

    def test_command_line_window_level_and_millimetre_ruler(self):
        self.start_with(e2e.pydicom_file("CT_small.dcm"))
        before = self.k.canvas_shot(128, 128)
        # Right drag with the select tool: wider window, higher centre.
        self.k.drag(*self.k.at(30, 30), *self.k.at(90, 70), button=3)
        dragged = self.k.canvas_shot_when(lambda shot: len(before.diff(shot)) > 1000, 128, 128)
        self.assertGreater(len(before.diff(dragged)), 1000, "the window changed the picture")
        self.k.key("ctrl+r")
        restored = self.k.canvas_shot_when(lambda shot: not before.diff(shot), 128, 128)
        self.assertSameRegion(restored, before, 0, 0, 128, 128, "Ctrl+R gives the file's window back")

        # A ruler 10 across and 24 down: 26 pixels of 0.661468 mm = 17.20 mm.
        expected, w, h = self.probe("l =     17.20 mm")
        self.assertTrue(expected, "the probe drew the label")
        # The new ruler is selected: its hot point square at the end point covers the
        # label's first pixels.
        def readable(points):
            return {p for p in points if p[0] < 108 and p[1] < 94 and (p[0] > 4 or p[1] > 4)}

        def label(shot):
            return readable(self.yellow_of(shot, 20, 34, min(w, 108), min(h, 94)))
        self.k.click_control("rulelineBtn")
        self.k.canvas_drag((10, 10), (20, 34))
        shown = label(self.k.canvas_shot_when(lambda shot: label(shot) == readable(expected), 128, 128))
        self.assertEqual(shown, readable(expected), "the ruler reads l =     17.20 mm")
        wrong, _, _ = self.probe("l =      0.68 in")
        self.assertNotEqual(shown, readable(wrong))

    def test_large_picture_fits_then_alt_wheel_zooms_and_middle_drag_pans(self):
        """A 1200 x 1200 board of 100-pixel blocks opens fitted; three Alt+wheel notches
        keep the block under the cursor; a middle drag moves the picture with it."""
        block = lambda bx, by: 255 if (bx * bx + by) % 3 == 0 else 0  # noqa: E731
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "board.pgm")
            with open(path, "wb") as f:
                f.write(b"P5 1200 1200 255\n" + bytes(block(x // 100, y // 100)
                                                     for y in range(1200) for x in range(1200)))
            self.start_with(path)
            view = 553 - 2 - 3  # the box less its frame and the canvas's margin

            def check(zoom, sx, sy, what):
                def wrong(shot):
                    return [(x, y) for y in range(8, 525, 23) for x in range(8, 525, 23)
                            if max(abs((v + s) / zoom % 100 - 50) for v, s in ((x, sx), (y, sy))) < 44
                            and abs(shot.pixel(x, y)[0] - block(int((x + sx) / zoom) // 100,
                                                               int((y + sy) / zoom) // 100)) > 60]
                bad = wrong(self.k.canvas_shot_when(lambda shot: not wrong(shot), 545, 545))
                self.assertFalse(bad, f"{what}: {len(bad)} samples wrong, first {bad[:5]}")

            zoom = view / 1200
            check(zoom, 0, 0, "fitted")
            self.k.move(*self.k.at(274, 274))
            self.x.xdotool("keydown", "alt", "click", "--repeat", "3", "4", "keyup", "alt")
            point = 274 / zoom
            zoom *= 1.25 ** 3
            scroll = round(point * zoom - 274)
            check(zoom, scroll, scroll, "three notches about the cursor")
            self.k.drag(*self.k.at(300, 300), *self.k.at(200, 240), button=2)
            check(zoom, scroll + 100, scroll + 60, "dragged by the middle button")

    def test_jpeg_2000_file_shows_as_its_uncompressed_twin(self):
        """pydicom's lossless JPEG 2000 MR holds MR_small's values: both show alike."""
        bare = self.k.canvas_shot(64, 64)
        self.start_with(e2e.pydicom_file("MR_small.dcm"))
        plain = self.k.canvas_shot_when(lambda shot: len(bare.diff(shot)) > 1000, 64, 64)
        self.assertGreater(len(bare.diff(plain)), 1000, "the MR replaced the built-in picture")
        self.start_with(e2e.pydicom_file("MR_small_jp2klossless.dcm"))
        shown = self.k.canvas_shot_when(lambda shot: not plain.diff(shot), 64, 64)
        self.assertSameRegion(shown, plain, 0, 0, 64, 64, "the decoded MR shows as the stored one")

    def test_open_button_and_ctrl_o(self):
        x, y, w, h = OPEN_BTN
        self.open_through_dialog(e2e.pydicom_file("CT_small.dcm"),
                                 lambda: self.k.click(self.k.origin[0] + x + w // 2,
                                                      self.k.origin[1] + y + h // 2))
        self.x.xdotool("windowfocus", "--sync", self.k.window.wid)
        self.open_through_dialog(e2e.pydicom_file("MR_small.dcm"), lambda: self.k.key("ctrl+o"))

    def test_bad_file_on_the_command_line_keeps_the_built_in_picture(self):
        bare = self.k.canvas_shot()
        offset = (self.k.canvas[0] - self.k.origin[0], self.k.canvas[1] - self.k.origin[1])
        self.k.stop()
        self.k = e2e.OnCanvas(e2e.KelvoTestCase.program, self.x, args=[e2e.pydicom_file("rtplan.dcm")],
                          canvas_offset=offset)
        self.k.proc = None
        log = open(self.k.log_path, "wb")
        self.k.proc = subprocess.Popen([self.k.exe, e2e.pydicom_file("rtplan.dcm")], env=self.k.env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        box = self.k.find_window("Open", timeout=30)
        self.x.xdotool("windowfocus", "--sync", box.wid)
        self.k.key("Return")
        e2e.wait_until(lambda: not self.k.windows("Open"), 15, "the message box to close")
        self.k.window = self.k.find_window(e2e.MAIN_TITLE, timeout=30)
        self.k.origin = self.k.window.geometry()[:2]
        self.k.canvas = self.k.find_canvas()
        # Where the box stood is repainted once the X server's expose reaches the
        # program, which a loaded machine may take longer than a fixed pause for.
        shown = self.k.canvas_shot_when(lambda shot: not shot.diff(bare, 0, 0, 512, 512))
        self.assertSameRegion(shown, bare, 0, 0, 512, 512, "built-in picture kept")


if __name__ == "__main__":
    e2e.main(sys.argv)
