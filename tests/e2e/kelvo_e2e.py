"""Reusable pieces for driving the real Kelvo program on a private X display.

A test starts its own Xvfb (the display number is picked by the server through
-displayfd), runs the program with DISPLAY pointing at it, finds the window with
xdotool, sends real pointer and key input, and reads the screen back with
ImageMagick's import. Everything started here is stopped again, and every wait
has a time-out, so a hung program fails the test instead of hanging it.
"""

import contextlib
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

XVFB = "/usr/bin/Xvfb"
XDOTOOL = "/usr/bin/xdotool"
IMPORT = "/usr/bin/import"
CONVERT = "/usr/bin/convert"

MAIN_TITLE = "Kelvo was used in DICOM Application"


class E2EError(AssertionError):
    """A step of the harness could not be done (time-out, tool failure)."""


# Names the programs under test can resolve, all on this machine.
TEST_HOSTS = "feedback.test=127.0.0.1"


def run(cmd, env=None, timeout=15, check=True, binary=False):
    """Runs a command to its end and returns its standard output."""
    try:
        done = subprocess.run(cmd, env=env, timeout=timeout, capture_output=True,
                              check=False)
    except subprocess.TimeoutExpired as exc:
        raise E2EError(f"timed out after {timeout}s: {' '.join(cmd)}") from exc
    if check and done.returncode != 0:
        raise E2EError(f"{' '.join(cmd)} exited {done.returncode}: "
                       f"{done.stderr.decode(errors='replace').strip()}")
    return done.stdout if binary else done.stdout.decode(errors="replace")


def stop_process(proc, timeout=5.0):
    """Ends a process we started: politely first, then for sure."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=timeout)


def log_tail(path, limit):
    """The last `limit` characters of a log file, or "" when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")[-limit:]
    except OSError:
        return ""


def wait_until(predicate, timeout, what, interval=0.05):
    """Polls predicate until it returns a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise E2EError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


class Xvfb:
    """A private virtual X server on a display number of its own choosing."""

    def __init__(self, width=1280, height=1024):
        self.width = width
        self.height = height
        self.display = None
        self.proc = None
        self.tmp = tempfile.mkdtemp(prefix="kelvo-e2e-")
        self.log_path = os.path.join(self.tmp, "xvfb.log")

    def start(self, timeout=20.0):
        read_fd, write_fd = os.pipe()
        log = open(self.log_path, "wb")
        try:
            self.proc = subprocess.Popen(
                [XVFB, "-displayfd", str(write_fd), "-screen", "0",
                 f"{self.width}x{self.height}x24", "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        finally:
            os.close(write_fd)
            log.close()
        text = b""
        deadline = time.monotonic() + timeout
        try:
            while not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise E2EError("Xvfb did not report a display: " + self.log())
                ready, _, _ = select.select([read_fd], [], [], left)
                if ready:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        raise E2EError("Xvfb closed its display pipe: " + self.log())
                    text += chunk
        finally:
            os.close(read_fd)
        self.display = ":" + text.decode().strip()
        return self

    def log(self):
        return log_tail(self.log_path, 2000)

    def env(self, extra=None):
        """An environment for a client of this display, on Qt's X11 platform."""
        env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY", "SESSION_MANAGER"):
            env.pop(name, None)
        env["DISPLAY"] = self.display
        env["QT_QPA_PLATFORM"] = "xcb"
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env["XDG_RUNTIME_DIR"] = runtime
        env["LC_ALL"] = "C.UTF-8"
        # The program resolves names from this table instead of asking the machine's
        # resolver, so no test reaches a name server.
        env["KELVO_TEST_HOSTS"] = TEST_HOSTS
        if extra:
            env.update(extra)
        return env

    def stop(self):
        stop_process(self.proc)
        self.proc = None
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # --- input and screen, for any client of this display ---

    def xdotool(self, *args, timeout=15):
        return run([XDOTOOL, *map(str, args)], env=self.env(), timeout=timeout)

    def screenshot(self, timeout=20):
        data = run([IMPORT, "-display", self.display, "-window", "root", "-depth", "8",
                    "rgb:-"], env=self.env(), timeout=timeout, binary=True)
        if len(data) != self.width * self.height * 3:
            raise E2EError(f"screenshot has {len(data)} bytes, expected "
                           f"{self.width * self.height * 3}")
        return Screenshot(self.width, self.height, data)


class Screenshot:
    """The screen as 8-bit RGB, addressed in screen pixels."""

    def __init__(self, width, height, data):
        self.width = width
        self.height = height
        self.data = data

    def pixel(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError(f"pixel ({x},{y}) outside the screen")
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def crop(self, left, top, width, height):
        rows = []
        for y in range(top, top + height):
            i = (y * self.width + left) * 3
            rows.append(self.data[i:i + width * 3])
        return Screenshot(width, height, b"".join(rows))

    def count(self, predicate, left=0, top=0, width=None, height=None):
        """How many pixels of the rectangle satisfy predicate((r, g, b))."""
        width = self.width - left if width is None else width
        height = self.height - top if height is None else height
        n = 0
        for y in range(top, top + height):
            row = self.data[(y * self.width + left) * 3:(y * self.width + left + width) * 3]
            for i in range(0, len(row), 3):
                if predicate((row[i], row[i + 1], row[i + 2])):
                    n += 1
        return n

    def diff(self, other, left=0, top=0, width=None, height=None):
        """The pixels of the rectangle that differ between two shots, as (x, y)."""
        width = self.width - left if width is None else width
        height = self.height - top if height is None else height
        out = []
        for y in range(top, top + height):
            a = (y * self.width + left) * 3
            b = (y * other.width + left) * 3
            if self.data[a:a + width * 3] == other.data[b:b + width * 3]:
                continue
            for x in range(width):
                if self.data[a + 3 * x:a + 3 * x + 3] != other.data[b + 3 * x:b + 3 * x + 3]:
                    out.append((left + x, y))
        return out

    def save_png(self, path):
        """Writes the shot as PNG, to look at when a check fails."""
        proc = subprocess.run([CONVERT, "-size", f"{self.width}x{self.height}", "-depth",
                               "8", "rgb:-", path], input=self.data, capture_output=True,
                              timeout=30, check=False)
        if proc.returncode != 0:
            raise E2EError("convert failed: " + proc.stderr.decode(errors="replace"))


class FakeXdgOpen:
    """A directory holding an xdg-open that records each call instead of opening.

    Put bin_dir first on PATH; every call appends its arguments as one JSON list
    to the record file and exits 0.
    """

    def __init__(self, tmp_root=None):
        self.dir = tempfile.mkdtemp(prefix="kelvo-xdg-", dir=tmp_root)
        self.bin_dir = os.path.join(self.dir, "bin")
        os.makedirs(self.bin_dir)
        self.record = os.path.join(self.dir, "calls.jsonl")
        script = os.path.join(self.bin_dir, "xdg-open")
        with open(script, "w") as f:
            f.write("#!/usr/bin/python3\n"
                    "import json, sys\n"
                    f"with open({self.record!r}, 'a') as f:\n"
                    "    f.write(json.dumps(sys.argv[1:]) + '\\n')\n")
        os.chmod(script, 0o755)

    def env(self, env):
        env = dict(env)
        env["PATH"] = self.bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
        return env

    def calls(self):
        try:
            with open(self.record) as f:
                return [json.loads(line) for line in f if line.endswith("\n")]
        except FileNotFoundError:
            return []

    def wait_calls(self, n, timeout=10.0):
        return wait_until(lambda: len(self.calls()) >= n and self.calls(), timeout,
                          f"{n} call(s) of xdg-open")

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False


class Window:
    """A top-level window of a client, found by its title."""

    def __init__(self, xvfb, wid):
        self.xvfb = xvfb
        self.wid = wid

    def geometry(self):
        """(x, y, width, height) of the client area on the screen."""
        out = self.xvfb.xdotool("getwindowgeometry", "--shell", self.wid)
        vals = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]), int(vals["HEIGHT"])

    def name(self):
        return self.xvfb.xdotool("getwindowname", self.wid).rstrip("\n")


class Program:
    """The real program, started on an Xvfb display, with pointer and key helpers."""

    def __init__(self, exe, xvfb, args=(), extra_env=None, env=None):
        self.exe = exe
        self.xvfb = xvfb
        self.args = list(args)
        self.env = env if env is not None else xvfb.env(extra_env)
        self.proc = None
        self.log_path = os.path.join(xvfb.tmp, "program.log")

    def start(self, title=MAIN_TITLE, timeout=30.0):
        log = open(self.log_path, "wb")
        try:
            self.proc = subprocess.Popen([self.exe, *self.args], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        finally:
            log.close()
        self.window = self.find_window(title, timeout)
        return self

    def find_window(self, title, timeout=30.0, visible=True):
        cmd = ["search", "--sync"]
        if visible:
            cmd.append("--onlyvisible")
        cmd += ["--name", "^" + title + "$"]
        deadline = time.monotonic() + timeout
        while True:
            if self.proc is not None and self.proc.poll() is not None:
                raise E2EError(f"program exited {self.proc.returncode}: {self.log()}")
            try:
                out = self.xvfb.xdotool(*cmd, timeout=max(1.0, deadline - time.monotonic()))
                return Window(self.xvfb, out.split()[0])
            except E2EError as exc:
                # xdotool walks the window tree without a server grab, so a window that
                # closes during the walk (a file dialog going away) fails the whole search
                # with BadWindow; the window sought may well be there: search again.
                if "BadWindow" in str(exc) and time.monotonic() < deadline:
                    continue
                raise E2EError(f"no window {title!r}: {exc}; log: {self.log()}") from exc

    def windows(self, title):
        out = run([XDOTOOL, "search", "--onlyvisible", "--name", "^" + title + "$"],
                  env=self.xvfb.env(), check=False)
        return out.split()

    def log(self):
        return log_tail(self.log_path, 3000)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=15.0):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired as exc:
            raise E2EError(f"program still running after {timeout}s") from exc

    def stop(self):
        stop_process(self.proc)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # --- input, in screen coordinates ---

    def move(self, x, y, sync=True):
        # xdotool's --sync waits for the pointer to move, forever if it is
        # already there, or if the program puts it back at once (confinement);
        # such moves go without it and settle instead.
        if not sync:
            self.xvfb.xdotool("mousemove", x, y)
            self.settle(0.2)
            self.wait_pointer_still()
        elif self.pointer() != (x, y):
            self.xvfb.xdotool("mousemove", "--sync", x, y)

    def click(self, x, y, button=1):
        self.move(x, y)
        self.xvfb.xdotool("click", button)

    def press(self, x, y, button=1):
        self.move(x, y)
        self.xvfb.xdotool("mousedown", button)

    def release(self, button=1):
        self.xvfb.xdotool("mouseup", button)

    def drag(self, x0, y0, x1, y1, steps=8, button=1):
        """Press at the start, move in steps to the end and release there."""
        self.press(x0, y0, button)
        for i in range(1, steps + 1):
            self.move(x0 + (x1 - x0) * i // steps, y0 + (y1 - y0) * i // steps)
        self.release(button)

    def key(self, *keys):
        self.xvfb.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, text):
        self.xvfb.xdotool("type", "--delay", "20", text)

    def wait_pointer_still(self, timeout=10.0):
        """Waits until the program has stopped moving the pointer."""
        last = [self.pointer()]

        def still():
            time.sleep(0.15)
            now = self.pointer()
            same = now == last[0]
            last[0] = now
            return same
        wait_until(still, timeout, "the pointer to rest")

    def pointer(self):
        out = self.xvfb.xdotool("getmouselocation", "--shell")
        vals = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(vals["X"]), int(vals["Y"])

    def settle(self, seconds=0.3):
        """Gives the program time to paint what the last input asked for."""
        time.sleep(seconds)


# Controls of the main window: (left, top, width, height) in the window's
# client area, as the stored form places them (panel children offset by the
# panel's own position 8, 0).
CONTROLS = {
    "SelectBtn": (43, 25, 30, 30),
    "LineBtn": (43, 55, 30, 30),
    "rulelineBtn": (43, 85, 30, 30),
    "Sectorbtn": (43, 115, 30, 30),
    "rectangleBtn": (43, 145, 30, 30),
    "EllipseBtn": (43, 174, 30, 30),
    "PolyLineBtn": (43, 204, 30, 30),
    "SpeedButton1": (43, 234, 30, 30),
    "Label1": (43, 264, 58, 15),  # up to the frame around the tool buttons
    "SpinEdit1": (48, 300, 41, 24),
    "Shape1": (48, 352, 41, 9),
    "Edit1": (32, 390, 65, 23),
    "Button1": (32, 419, 57, 20),
    "CheckBox2": (24, 456, 97, 17),
    "CheckBox1": (24, 480, 97, 17),
    "ScrollBox1": (152, 8, 553, 553),
    "BitBtn3": (112, 576, 153, 33),
    "BitBtn2": (352, 576, 177, 33),
}

YELLOW = (255, 255, 0)
BLACK = (0, 0, 0)


def is_yellow(p):
    return p == YELLOW


def is_black(p):
    return p == BLACK


def rect_edges(left, top, right, bottom, inset=8):
    """Yellow outline pixels of a rectangle with corners (left, top), (right, bottom),
    which covers columns left..right-1 and rows top..bottom-1; away from the corners."""
    return ([(x, top) for x in range(left + inset, right - inset)] +
            [(x, bottom - 1) for x in range(left + inset, right - inset)] +
            [(left, y) for y in range(top + inset, bottom - inset)] +
            [(right - 1, y) for y in range(top + inset, bottom - inset)])


class Kelvo(Program):
    """The main window of the real program, with its controls and canvas."""

    def start(self, title=MAIN_TITLE, timeout=30.0):
        super().start(title, timeout)
        # No window manager runs on the private display, so give the window the
        # keyboard focus the way one would.
        self.xvfb.xdotool("windowfocus", "--sync", self.window.wid)
        self.origin = self.window.geometry()[:2]
        self.settle(0.5)
        self.canvas = self.find_canvas()
        return self

    def control_centre(self, name):
        x, y, w, h = CONTROLS[name]
        return self.origin[0] + x + w // 2, self.origin[1] + y + h // 2

    def click_control(self, name, button=1):
        self.click(*self.control_centre(name), button=button)
        self.settle(0.2)

    def find_canvas(self):
        """The canvas's top-left corner on the screen: the first picture pixel
        (dark air) inside the scroll box's frame."""
        shot = self.still_screenshot()
        left, top, _, _ = CONTROLS["ScrollBox1"]
        sx, sy = self.origin[0] + left, self.origin[1] + top
        x = next(x for x in range(sx, sx + 12) if max(shot.pixel(x, sy + 40)) < 60)
        y = next(y for y in range(sy, sy + 12) if max(shot.pixel(sx + 40, y)) < 60)
        return x, y

    def at(self, x, y):
        """Screen position of a canvas pixel."""
        return self.canvas[0] + x, self.canvas[1] + y

    def canvas_shot(self, width=512, height=512, shot=None):
        """The canvas as shown; without a given shot, once the screen is still,
        so that a busy machine's late repaint is not taken for the result."""
        shot = shot or self.still_screenshot()
        return shot.crop(self.canvas[0], self.canvas[1], width, height)

    def canvas_shot_when(self, predicate, width=512, height=512, timeout=20.0):
        """The canvas once predicate holds for it, or as it stands at the timeout: a
        loaded machine may take longer than any fixed pause to act on the input, and
        a still screen before then only says that nothing has been drawn yet."""
        deadline = time.monotonic() + timeout
        while True:
            shot = self.canvas_shot(width, height)
            if predicate(shot) or time.monotonic() >= deadline:
                return shot

    def still_screenshot(self, timeout=10.0):
        last = [self.xvfb.screenshot()]

        def still():
            time.sleep(0.1)
            now = self.xvfb.screenshot()
            same = now.data == last[0].data
            last[0] = now
            return now if same else None
        return wait_until(still, timeout, "the screen to stop changing")

    def canvas_drag(self, a, b, steps=8):
        self.drag(*self.at(*a), *self.at(*b), steps=steps)
        self.settle()

    def canvas_click(self, p, button=1):
        self.click(*self.at(*p), button=button)
        self.settle(0.15)

    def set_zoom(self, text):
        self.click(*self.control_centre("Edit1"))
        self.key("ctrl+a")
        if text:
            self.type_text(text)
        else:
            self.key("BackSpace")
        self.click_control("Button1")
        self.settle(0.4)

    def answer_annotation(self, text, timeout=15.0):
        """Types into the annotation dialog that a new line opens, then OK."""
        dialog = self.find_window("Please Input ", timeout)
        self.xvfb.xdotool("windowfocus", "--sync", dialog.wid)
        if text:
            self.type_text(text)
        self.key("Return")
        wait_until(lambda: not self.windows("Please Input "), timeout,
                   "the annotation dialog to close")
        self.settle()


@contextlib.contextmanager
def session(exe, extra_env=None, fake_opener=False):
    """An Xvfb with the program running on it (and a fake opener when asked)."""
    with Xvfb() as xvfb:
        opener = FakeXdgOpen(xvfb.tmp) if fake_opener else None
        env = xvfb.env(extra_env)
        if opener:
            env = opener.env(env)
        prog = Kelvo(exe, xvfb, env=env)
        try:
            prog.start()
            yield xvfb, prog, opener
        finally:
            prog.stop()


def program_path(argv):
    if len(argv) < 2 or not os.access(argv[1], os.X_OK):
        raise SystemExit("usage: test_*.py <path-of-kelvo>")
    return os.path.abspath(argv[1])


class KelvoTestCase:
    """Mixin for unittest.TestCase: one Xvfb per test class, a fresh program per test.

    The program path comes from the command line (see main); the running
    program is self.k, its display self.x.
    """

    program = None

    @classmethod
    def setUpClass(cls):
        cls.x = Xvfb().start()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def setUp(self):
        self.k = Kelvo(KelvoTestCase.program, self.x)
        try:
            self.k.start()
        except Exception:
            self.k.stop()
            raise

    def tearDown(self):
        self.k.stop()

    def assertPixels(self, shot, points, predicate, what):
        """Every canvas point of the list satisfies predicate, in a canvas shot."""
        bad = [(p, shot.pixel(*p)) for p in points if not predicate(shot.pixel(*p))]
        self.assertFalse(bad, f"{what}: {len(bad)} of {len(points)} pixels wrong, "
                              f"first {bad[:5]}")

    def assertNear(self, shot, points, colour, what, radius=1, share=1.0):
        """Each canvas point (or the given share of them) has a pixel of the
        colour within radius: for lines, whose rasterisation may put a pixel one
        step aside of the ideal point."""
        def near(p):
            for dy in range(-radius, radius + 1):
                for dx in range(-radius, radius + 1):
                    q = (p[0] + dx, p[1] + dy)
                    if 0 <= q[0] < shot.width and 0 <= q[1] < shot.height \
                            and shot.pixel(*q) == colour:
                        return True
            return False
        bad = [p for p in points if not near(p)]
        self.assertLessEqual(len(bad), int(len(points) * (1.0 - share)),
                             f"{what}: {len(bad)} of {len(points)} points have no "
                             f"{colour} pixel nearby, first {bad[:5]}")

    def assertSameRegion(self, a, b, left, top, width, height, what):
        diff = a.diff(b, left, top, width, height)
        self.assertFalse(diff, f"{what}: {len(diff)} pixels differ, first {diff[:5]}")

    def assertChangesWithin(self, before, after, boxes, what):
        """Every pixel that changed lies in one of the (left, top, right, bottom) boxes."""
        diff = before.diff(after)
        stray = [p for p in diff
                 if not any(l <= p[0] < r and t <= p[1] < b for l, t, r, b in boxes)]
        self.assertFalse(stray, f"{what}: {len(stray)} pixels changed outside "
                                f"{boxes}, first {stray[:5]}")
        return diff


def main(argv):
    """Runs the unittest classes of the calling script against argv[1]."""
    import unittest
    KelvoTestCase.program = program_path(argv)
    unittest.main(module="__main__", argv=[argv[0]], verbosity=2)


def pydicom_file(name):
    """A sample file that Debian's pydicom ships (its own python3 knows where)."""
    out = subprocess.run(["/usr/bin/python3", "-c",
                          "import pydicom.data, os; print(os.path.dirname(pydicom.data.__file__))"],
                         capture_output=True, timeout=60, check=True)
    return os.path.join(out.stdout.decode().strip(), "test_files", name)


class OnCanvas(Kelvo):
    """The program started with a file: its canvas sits where the built-in one does."""

    def __init__(self, *args, canvas_offset, **kwargs):
        super().__init__(*args, **kwargs)
        self.offset = canvas_offset

    def find_canvas(self):
        return self.origin[0] + self.offset[0], self.origin[1] + self.offset[1]
