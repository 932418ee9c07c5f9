"""Driving the about and feedback window of the real program, and the SMTP
server the feedback tests send to.

Positions are in the about window's client area, as its stored form places the
controls; controls on a tab sit inside the tab's page, whose top-left corner is
PAGE. Message boxes are read by copying their text (Ctrl+C, which Qt's message
box answers by putting its caption, text and buttons on the clipboard) and are
closed with the Return key.
"""

import os
import select
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402
import mail_reader  # noqa: E402

ABOUT_TITLE = "About"
MESSAGE_TITLE = "Kelvo"
XCLIP = "/usr/bin/xclip"
HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_SMTP = os.path.join(os.path.dirname(HERE), "support", "fake_smtp.py")

# The page of a tab inside the tab set at (16, 0): below the 30-pixel tabs and the
# pane's frame.
PAGE = (18, 30)
TABS = {"AboutBox": (56, 15), "FeedBack": (138, 15)}

# (left, top, width, height); on_page says the control lies on a tab's page.
CONTROLS = {
    "Label9": ((32, 368, 113, 17), False),
    "OKButton": ((191, 372, 114, 37), False),
    "Memo1": ((48, 72, 489, 169), True),
    "BitBtn3": ((40, 256, 217, 41), True),
    "BitBtn2": ((280, 256, 225, 41), True),
    "SenderEdit": ((120, 24, 121, 23), True),
    "SmtpEdit": ((344, 26, 121, 23), True),
    "SenderEMail": ((120, 51, 145, 23), True),
    "Myemail": ((344, 53, 161, 23), True),
    "SubjectEdit": ((120, 94, 345, 23), True),
    "DetailMemo": ((120, 128, 345, 129), True),
    "BitBtn1": ((176, 272, 113, 33), True),
    "StatusLabel": ((40, 306, 480, 14), True),
}

MAIL_SENT = "Mail sent !"
MAIL_NOT_SENT = "Mail can not be sent !"
INVALID_ADDRESS = "Invalid E-Mail Address"


class AboutWindow:
    """The about window of a running program (an e2e.Kelvo)."""

    def __init__(self, kelvo):
        self.k = kelvo
        self.x = kelvo.xvfb
        self.window = None
        self.origin = None

    def open(self, timeout=15.0):
        """Presses the main window's information button and waits for the window."""
        self.k.click_control("BitBtn3")
        self.window = self.k.find_window(ABOUT_TITLE, timeout)
        self.origin = self.window.geometry()[:2]
        self.focus()
        self.k.settle(0.3)
        return self

    def is_shown(self):
        return bool(self.k.windows(ABOUT_TITLE))

    def focus(self):
        # No window manager runs on the display: give the window the keyboard.
        self.x.xdotool("windowfocus", "--sync", self.window.wid)

    def rect(self, name):
        """The control's rectangle on the screen."""
        (x, y, w, h), on_page = CONTROLS[name]
        if on_page:
            x, y = x + PAGE[0], y + PAGE[1]
        return self.origin[0] + x, self.origin[1] + y, w, h

    def centre(self, name):
        x, y, w, h = self.rect(name)
        return x + w // 2, y + h // 2

    def click(self, name):
        self.k.click(*self.centre(name))
        self.k.settle(0.2)

    def show_tab(self, caption):
        tx, ty = TABS[caption]
        self.k.click(self.origin[0] + tx, self.origin[1] + ty)
        self.k.settle(0.3)

    def replace_text(self, text):
        """Types text over what the focused field holds: real key strokes, with
        Return between lines."""
        self.k.key("ctrl+a")
        self.k.key("BackSpace")
        for i, line in enumerate(text.split("\n")):
            if i:
                self.k.key("Return")
            if line:
                self.type_text(line)

    def type_text(self, text):
        """Types text with real key strokes. xdotool types a character the keyboard
        map lacks by mapping it to a spare key for the moment and reverting the map
        after the key's release; the program reads the map when it learns of the
        change, so such characters go one at a time and slowly enough for it to
        read the map before the revert."""
        run = ""
        for ch in text:
            if ord(ch) < 128:
                run += ch
                continue
            if run:
                self.k.type_text(run)
                run = ""
            self.x.xdotool("type", "--delay", "300", ch)
            self.k.settle(0.1)
        if run:
            self.k.type_text(run)

    def fill_feedback(self, name, server, mailbox, subject, text):
        """Fills the feedback tab the way a person does: click the first field,
        then type and Tab from field to field in the form's order."""
        self.focus()
        self.click("SenderEdit")
        self.replace_text(name)
        self.k.key("Tab")          # SmtpEdit
        self.replace_text(server)
        self.k.key("Tab")          # SenderEMail
        self.replace_text(mailbox)
        self.k.key("Tab")          # Myemail, read-only
        self.k.key("Tab")          # SubjectEdit
        self.replace_text(subject)
        self.k.key("Tab")          # BitBtn1
        self.k.key("Tab")          # DetailMemo
        self.replace_text(text)
        self.k.settle(0.2)

    def send(self):
        self.click("BitBtn1")

    def shot(self):
        """The about window's client area."""
        return self.x.screenshot().crop(self.origin[0], self.origin[1], 602, 417)


def read_clipboard(xvfb):
    return e2e.run([XCLIP, "-o", "-selection", "clipboard"], env=xvfb.env(), timeout=10,
                   check=False)


def take_message(kelvo, timeout=20.0):
    """Waits for the program's message box, returns its text and closes it."""
    wid = kelvo.find_window(MESSAGE_TITLE, timeout).wid
    xvfb = kelvo.xvfb
    xvfb.xdotool("windowfocus", "--sync", wid)
    kelvo.settle(0.2)
    kelvo.key("ctrl+c")
    copied = e2e.wait_until(lambda: read_clipboard(xvfb), 10, "the message on the clipboard")
    kelvo.key("Return")
    e2e.wait_until(lambda: not kelvo.windows(MESSAGE_TITLE), 10, "the message box to close")
    kelvo.settle(0.2)
    return message_text(copied)


def message_text(copied):
    """The text of a message box from what Ctrl+C copied: separator lines around
    the caption, the text and the buttons."""
    parts = [p.strip() for p in copied.replace("\r", "").split("---------------------------")]
    parts = [p for p in parts if p]
    if len(parts) < 2 or parts[0] != MESSAGE_TITLE:
        raise e2e.E2EError(f"unexpected message box copy: {copied!r}")
    return parts[1]


def no_message(kelvo, seconds):
    """True when no message box shows up within the given time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if kelvo.windows(MESSAGE_TITLE):
            return False
        time.sleep(0.1)
    return True


def clear_clipboard(xvfb):
    subprocess.run([XCLIP, "-selection", "clipboard", "-i", "/dev/null"], env=xvfb.env(),
                   timeout=10, check=False, capture_output=True)


def silent_listener(port, busy_timeout=120.0):
    """A socket listening on 127.0.0.1 that never accepts: clients connect (the
    system completes the handshake) and then hear nothing. Waits for the port
    while another test's server holds it."""
    deadline = time.monotonic() + busy_timeout
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            s.listen(4)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(1.0)


class SmtpSink:
    """The tests' SMTP server (tests/support/fake_smtp.py) on 127.0.0.1 at the given port."""

    def __init__(self, port=25, idle_timeout=300):
        self.dir = tempfile.mkdtemp(prefix="kelvo-smtp-")
        self.port = port
        self.idle_timeout = idle_timeout
        self.proc = None

    def start(self, timeout=20.0, busy_timeout=120.0):
        """Starts the server; while the port is taken by another test's server
        (such as one run by a parallel test run), waits for it to be free."""
        deadline = time.monotonic() + busy_timeout
        while True:
            try:
                return self._start(timeout)
            except e2e.E2EError as exc:
                if "address already in use" not in str(exc) or time.monotonic() > deadline:
                    raise
                time.sleep(1.0)

    def _start(self, timeout):
        log_path = os.path.join(self.dir, "server.log")
        with open(log_path, "wb") as log:
            self.proc = subprocess.Popen(
                ["/usr/bin/python3", FAKE_SMTP, "--dir", self.dir,
                 "--port", str(self.port), "--idle-timeout", str(self.idle_timeout)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log)
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline().decode() if ready else ""
        self.proc.stdout.close()
        if not line.startswith("ready "):
            self.stop()
            with open(log_path, "rb") as log:
                raise e2e.E2EError("the SMTP server did not start: " +
                                   log.read().decode(errors="replace")[-1500:])
        return self

    def stop(self):
        e2e.stop_process(self.proc)
        self.proc = None

    def commands(self):
        """CONNECT, HELO <name>, RSET and QUIT in the order the server saw them,
        from the sessions that greeted it. Connections that never said HELO are
        left out: the program always does, and other programs probing the port
        (a parallel test run's client, say) may not."""
        try:
            with open(os.path.join(self.dir, "commands.log")) as f:
                lines = [line.split(" ", 1) for line in f.read().split("\n")[:-1]]
        except FileNotFoundError:
            return []
        greeted = {peer for peer, command in lines if command.startswith("HELO ")}
        return [command for peer, command in lines if peer in greeted]

    def count(self):
        n = 0
        while os.path.exists(os.path.join(self.dir, "msg-%03d.eml" % (n + 1))):
            n += 1
        return n

    def mail(self, n):
        return mail_reader.read_mail(os.path.join(self.dir, "msg-%03d.eml" % n))

    def envelope(self, n):
        import json
        with open(os.path.join(self.dir, "msg-%03d.json" % n)) as f:
            return json.load(f)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        import shutil
        shutil.rmtree(self.dir, ignore_errors=True)
        return False
