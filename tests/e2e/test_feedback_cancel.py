"""Closing the about window, and then the program, while a feedback send waits for
a server on 127.0.0.1:25 that accepts the connection and never greets: the send is
cancelled, the window opens again at once and says so, and the program ends at once."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import about_e2e as ab  # noqa: E402
import kelvo_e2e as e2e  # noqa: E402


def has_ink(shot, rect):
    x, y, w, h = rect
    return shot.count(lambda p: max(p) < 128, x, y, w, h) > 3


class ClosingDuringASend(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        self.silent = ab.silent_listener(25)
        try:
            super().setUp()
        except Exception:
            self.silent.close()
            raise
        self.about = ab.AboutWindow(self.k).open()
        self.about.show_tab("FeedBack")

    def tearDown(self):
        super().tearDown()
        self.silent.close()

    def start_waiting_send(self):
        self.about.fill_feedback("Ann", "127.0.0.1", "ann@example.org", "Hello", "text")
        self.about.send()
        # The send hangs on the silent server (its time-out is 30 s).
        self.assertTrue(ab.no_message(self.k, 1.5), "the send waits for the server")

    def close_about_with_escape(self):
        self.about.focus()
        self.k.key("Escape")
        e2e.wait_until(lambda: not self.about.is_shown(), 5, "the about window to close")

    def test_escape_cancels_the_send_and_the_window_opens_again_at_once(self):
        self.start_waiting_send()
        self.close_about_with_escape()
        closed = time.monotonic()
        # Opened again well before the send's 30 s time-out could have run out.
        self.about.open(timeout=5)
        self.assertLess(time.monotonic() - closed, 10)
        self.assertTrue(ab.no_message(self.k, 1), "a cancelled send shows no message box")
        self.assertTrue(has_ink(self.x.screenshot(), self.about.rect("StatusLabel")),
                        "the status line says the send was cancelled")
        # The buttons work again: OK closes the window.
        self.about.click("OKButton")
        e2e.wait_until(lambda: not self.about.is_shown(), 10, "the about window to close")

    def test_closing_the_program_after_the_window_ends_it_at_once(self):
        self.start_waiting_send()
        self.close_about_with_escape()
        self.k.click_control("BitBtn2")
        closed = time.monotonic()
        self.assertEqual(self.k.wait_exit(15), 0)
        self.assertLess(time.monotonic() - closed, 2)


if __name__ == "__main__":
    e2e.main(sys.argv)
