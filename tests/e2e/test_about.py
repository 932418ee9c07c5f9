"""The about window of the real program: opened modally by the information
button, centred, keeping its state between showings, and its vendor link and
purchase buttons reaching the desktop opener (a fake xdg-open first on PATH)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import about_e2e as ab  # noqa: E402
import kelvo_e2e as e2e  # noqa: E402


class AboutWindow(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        self.opener = e2e.FakeXdgOpen(self.x.tmp)
        self.k = e2e.Kelvo(e2e.KelvoTestCase.program, self.x,
                           env=self.opener.env(self.x.env()))
        try:
            self.k.start()
        except Exception:
            self.k.stop()
            raise
        self.about = ab.AboutWindow(self.k).open()

    def tearDown(self):
        super().tearDown()
        self.opener.cleanup()

    def test_opens_centred_with_its_caption_size_and_first_tab(self):
        x, y, w, h = self.about.window.geometry()
        self.assertEqual((w, h), (602, 417))
        self.assertLessEqual(abs(x - (self.x.width - w) // 2), 1)
        self.assertLessEqual(abs(y - (self.x.height - h) // 2), 1)
        self.assertEqual(self.about.window.name(), "About")
        # The description memo of the first tab is on show: a white box with text.
        shot = self.about.shot()
        mx, my, mw, mh = self.local("Memo1")
        self.assertEqual(shot.pixel(mx + mw - 20, my + mh - 20), (255, 255, 255))
        self.assertGreater(shot.count(lambda p: max(p) < 100, mx, my, mw, mh), 200)

    def test_is_modal_and_keeps_its_state_between_showings(self):
        # The main window takes no input while the about window is up.
        self.k.click_control("BitBtn2")
        self.k.settle(0.5)
        self.assertTrue(self.k.running())
        self.assertTrue(self.about.is_shown())

        self.about.show_tab("FeedBack")
        self.about.focus()
        self.about.click("SenderEdit")
        self.about.type_text("Ann Example")
        self.k.settle(0.3)
        before = self.about.shot()
        self.about.click("OKButton")
        e2e.wait_until(lambda: not self.about.is_shown(), 10, "the about window to close")

        self.about.open()
        after = self.about.shot()
        # Same tab, same text in the name field, same preset server and author.
        for name in ("SenderEdit", "SmtpEdit", "Myemail"):
            x, y, w, h = self.local(name)
            # The start of the text; the frame and the caret follow the focus.
            self.assertFalse(before.diff(after, x + 3, y + 3, 55, h - 6),
                             f"{name} shows what it showed before")

    def test_vendor_label_and_purchase_buttons_open_their_links(self):
        self.about.click("Label9")
        self.about.click("BitBtn3")
        self.about.click("BitBtn2")
        calls = self.opener.wait_calls(3)
        self.assertEqual(calls, [
            ["http://www.example.com/"],
            ["http://www.example.org/software/graphics/kelvo/download.html"],
            ["https://secure.example.net/order?PRODUCT=160001"],
        ])
        # The window stays up: the links open beside it.
        self.assertTrue(self.about.is_shown())

    def local(self, name):
        x, y, w, h = self.about.rect(name)
        return x - self.about.origin[0], y - self.about.origin[1], w, h


if __name__ == "__main__":
    e2e.main(sys.argv)
