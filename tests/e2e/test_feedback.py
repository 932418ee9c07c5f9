"""Feedback mail from the real program: the about window opened with the
information button, the feedback tab filled with real key strokes, "SendMail!"
pressed, and the mail looked for at an SMTP server on 127.0.0.1:25 that keeps
what it receives."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import about_e2e as ab  # noqa: E402
import kelvo_e2e as e2e  # noqa: E402

SERVER = "127.0.0.1"


def has_ink(shot, rect):
    """True when the rectangle holds text: some pixel much darker than the face."""
    x, y, w, h = rect
    return shot.count(lambda p: max(p) < 128, x, y, w, h) > 3


class FeedbackCase(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        self.sink = ab.SmtpSink(port=25).start()
        try:
            super().setUp()
        except Exception:
            self.sink.stop()
            raise
        self.about = ab.AboutWindow(self.k).open()
        self.about.show_tab("FeedBack")

    def tearDown(self):
        super().tearDown()
        self.sink.stop()

    def send(self, name, mailbox, subject, text, server=SERVER):
        self.about.fill_feedback(name, server, mailbox, subject, text)
        self.about.send()
        return ab.take_message(self.k, timeout=60)

    def assertButtonsEnabled(self):
        """Both buttons work again: "SendMail!" answers a click with a message, and
        OK closes the window."""
        self.about.focus()
        self.about.send()
        self.assertIn(ab.take_message(self.k, timeout=60),
                      (ab.MAIL_NOT_SENT, ab.MAIL_SENT))
        self.about.focus()
        self.about.click("OKButton")
        e2e.wait_until(lambda: not self.about.is_shown(), 10, "the about window to close")


class FeedbackReachesTheServer(FeedbackCase):
    def test_typed_feedback_arrives_and_a_second_one_carries_only_its_own_text(self):
        self.assertEqual(self.send("Ann", "ann@example.org", "First feedback",
                                   "Hello author\nsecond line"), ab.MAIL_SENT)
        shot = self.x.screenshot()
        self.assertTrue(has_ink(shot, self.about.rect("StatusLabel")),
                        "the status line shows the result")
        self.assertEqual(self.sink.count(), 1)
        mail = self.sink.mail(1)
        self.assertEqual(mail["from"], "ann@example.org")
        self.assertEqual(mail["to"], "support@example.com")
        self.assertEqual(mail["subject"], "First feedback")
        # The session puts one empty line between the header and the text.
        self.assertEqual(mail["body"], "\nHello author\nsecond line\n")
        self.assertEqual(mail["defects"], [])
        # A Date and a Message-ID even though nobody typed one.
        self.assertIn("Date", mail["names"])
        self.assertIn("Message-ID", mail["names"])
        self.assertEqual(self.sink.envelope(1), {"helo": "Ann", "mail_from": "ann@example.org",
                                                 "rcpt_tos": ["support@example.com"],
                                                 "login": None, "tls": False})

        self.assertEqual(self.send("Bob", "bob@example.org", "Second feedback",
                                   "Only this"), ab.MAIL_SENT)
        self.assertEqual(self.sink.count(), 2)
        second = self.sink.mail(2)
        self.assertEqual(second["body"], "\nOnly this\n")
        self.assertEqual(second["subject"], "Second feedback")
        self.assertEqual(second["from"], "bob@example.org")
        # The second send said goodbye on the first connection before opening its own.
        self.assertEqual(self.sink.commands(), ["CONNECT", "HELO Ann", "RSET", "QUIT",
                                                "CONNECT", "HELO Bob", "RSET"])

        # Showing the tab again starts with an empty status line.
        self.about.show_tab("AboutBox")
        self.about.show_tab("FeedBack")
        self.assertFalse(has_ink(self.x.screenshot(), self.about.rect("StatusLabel")))

    def test_text_beyond_us_ascii_arrives_intact(self):
        subject = "Café é 日本語"
        text = "Déjà vu é\n日本語のテキスト"
        self.assertEqual(self.send("Ann", "ann@example.org", subject, text), ab.MAIL_SENT)
        mail = self.sink.mail(1)
        self.assertEqual(mail["subject"], subject)
        self.assertEqual(mail["body"], "\n" + text + "\n")
        self.assertEqual(mail["defects"], [])

    def test_mailbox_without_at_is_refused_without_network_activity(self):
        self.assertEqual(self.send("Ann", "ann.example.org", "Hello", "text"),
                         ab.INVALID_ADDRESS)
        time.sleep(0.5)
        self.assertEqual(self.sink.commands(), [])
        self.assertEqual(self.sink.count(), 0)


    def test_server_given_by_name_is_looked_up(self):
        # feedback.test is 127.0.0.1 in the program's name table (KELVO_TEST_HOSTS).
        self.assertEqual(self.send("Ann", "ann@example.org", "Named", "text",
                                   server="feedback.test"), ab.MAIL_SENT)
        e2e.wait_until(lambda: self.sink.count() == 1, 10, "the mail to arrive")


class FailedSendsSayNotSent(FeedbackCase):
    def test_server_name_that_cannot_be_resolved(self):
        self.assertEqual(self.send("Ann", "ann@example.org", "Hello", "text",
                                   server="unlisted-host"), ab.MAIL_NOT_SENT)
        self.assertButtonsEnabled()
        self.assertEqual(self.sink.commands(), [])

    def test_closed_port(self):
        self.sink.stop()
        self.assertEqual(self.send("Ann", "ann@example.org", "Hello", "text"),
                         ab.MAIL_NOT_SENT)
        self.assertButtonsEnabled()

    def test_server_that_stays_silent_gives_up_after_the_time_out(self):
        self.sink.stop()
        with ab.silent_listener(25):
            self.about.fill_feedback("Ann", SERVER, "ann@example.org", "Hello", "text")
            before = self.about.shot()
            self.about.send()
            started = time.monotonic()
            self.assertTrue(ab.no_message(self.k, 5), "the send waits for the server")
            during = self.about.shot()
            self.assertTrue(has_ink(during, _local(self.about, "StatusLabel")),
                            "the status line says what the send is doing")
            text = ab.take_message(self.k, timeout=60)
            waited = time.monotonic() - started
        self.assertEqual(text, ab.MAIL_NOT_SENT)
        self.assertGreater(waited, 25)
        self.assertLess(waited, 45)
        after = self.about.shot()
        for name in ("BitBtn1", "OKButton"):
            self.assertTrue(during.diff(after, *_local(self.about, name)),
                            f"{name} looks disabled during the send and enabled after it")
        self.assertFalse(before.diff(after, *_local(self.about, "OKButton")),
                         "OK looks as it did before the send")
        self.assertButtonsEnabled()


def _local(about, name):
    """The control's rectangle in the about window's own shot."""
    x, y, w, h = about.rect(name)
    return x - about.origin[0], y - about.origin[1], w, h


if __name__ == "__main__":
    e2e.main(sys.argv)
