"""Feedback through a submission server that wants STARTTLS and a sign-in: the
server box holds smtp://ann@127.0.0.1:PORT, the program asks for the password in a
masked dialog, and the mail arrives over TLS, signed in as ann. The server is the
tests' SMTP server (tests/support/fake_smtp.py) with a certificate from a CA made for the test, which the program trusts
through OpenSSL's SSL_CERT_FILE; the password shows up in no output of the program."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import about_e2e as ab  # noqa: E402
import kelvo_e2e as e2e  # noqa: E402

SOURCE = os.environ.get("KELVO_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
PASSWORD = "Fe3dback-S3cret"
USER = "ann"


class TlsSubmissionServer:
    """The tests' SMTP server on 127.0.0.1 at a free port, STARTTLS required, one user."""

    def __init__(self, certs, outdir):
        env = dict(os.environ, KELVO_TEST_SMTP_PASSWORD=PASSWORD)
        self.outdir = outdir
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(SOURCE, "tests/support/fake_smtp.py"), "--dir", outdir,
             "--tls", "starttls", "--cert", os.path.join(certs, "good.pem"),
             "--key", os.path.join(certs, "good.key"), "--require-starttls", "--user", USER],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("ready "):
            self.stop()
            raise e2e.E2EError("the TLS server gave no port: " + line)
        self.port = int(line.split()[1])

    def message(self, n, timeout=20.0):
        base = os.path.join(self.outdir, "msg-%03d" % n)
        e2e.wait_until(lambda: os.path.exists(base + ".json"), timeout, "the mail at the server")
        with open(base + ".eml", "rb") as f:
            raw = f.read()
        with open(base + ".json") as f:
            return raw, json.load(f)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait(timeout=10)


class FeedbackOverStartTls(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelvo-e2e-tls-")
        certs = os.path.join(self.tmp, "certs")
        os.makedirs(certs)
        subprocess.run(["sh", os.path.join(SOURCE, "tests/tls/make_test_certs.sh"), certs],
                       check=True, timeout=60)
        os.makedirs(os.path.join(self.tmp, "mail"))
        self.server = TlsSubmissionServer(certs, os.path.join(self.tmp, "mail"))
        # The system's store is left alone; the test CA reaches OpenSSL the standard way.
        env = self.x.env({"SSL_CERT_FILE": os.path.join(certs, "ca.pem")})
        self.k = e2e.Kelvo(e2e.KelvoTestCase.program, self.x, env=env)
        try:
            self.k.start()
        except Exception:
            self.k.stop()
            self.server.stop()
            raise
        self.about = ab.AboutWindow(self.k).open()
        self.about.show_tab("FeedBack")

    def tearDown(self):
        self.k.stop()
        self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_signed_in_feedback_arrives_over_tls_and_the_password_stays_hidden(self):
        server = "smtp://%s@127.0.0.1:%d" % (USER, self.server.port)
        self.about.fill_feedback("Ann", server, "ann@example.org", "Secured feedback",
                                 "Sent over STARTTLS")
        self.about.send()
        dialog = self.k.find_window(ab.MESSAGE_TITLE, 30)
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.settle(0.3)
        self.k.type_text(PASSWORD)
        self.k.settle(0.2)
        self.k.key("Return")
        self.assertEqual(ab.take_message(self.k, timeout=60), ab.MAIL_SENT)

        raw, envelope = self.server.message(1)
        self.assertTrue(envelope["tls"])
        self.assertEqual(envelope["login"], USER)
        self.assertEqual(envelope["mail_from"], "ann@example.org")
        self.assertIn(b"Subject: Secured feedback", raw)
        self.assertIn(b"Sent over STARTTLS", raw)
        self.assertNotIn(PASSWORD, self.k.log())


if __name__ == "__main__":
    e2e.main(sys.argv)
