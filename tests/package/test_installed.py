"""The Debian package as a user gets it: unpacked with dpkg-deb into a private
root, its control data, files and icons are checked, file managers (through GIO)
offer it for DICOM files and pictures, and the program it holds starts on a
private X display, with the built-in picture or, as "Open with" starts it, with
a DICOM file."""

import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import kelvo_e2e as e2e  # noqa: E402

DEB = None
VERSION = None
APP_ID = os.environ.get("KELVO_APP_ID", "org.example.Kelvo")
ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]
OPENS = ["application/dicom", "image/png", "image/jpeg", "image/tiff", "image/bmp"]
CT_SMALL = "/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm"


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG")
    return struct.unpack(">II", head[16:24])


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvo-deb-")
        cls.root = os.path.join(cls.tmp, "root")
        e2e.run(["dpkg-deb", "-x", DEB, cls.root], timeout=60)
        cls.usr = os.path.join(cls.root, "usr")
        cls.program = os.path.join(cls.usr, "bin", "kelvo")
        cls.desktop = os.path.join(cls.usr, "share", "applications", APP_ID + ".desktop")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return e2e.run(["dpkg-deb", "-f", DEB, name], timeout=30).strip()

    def desktop_env(self, env=None):
        """A session that sees the unpacked package as installed, and nothing of
        this user's own settings."""
        env = dict(env if env is not None else os.environ)
        home = os.path.join(self.tmp, "home")
        os.makedirs(home, exist_ok=True)
        env.update(PATH=os.path.join(self.usr, "bin") + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
                   XDG_DATA_DIRS=os.path.join(self.usr, "share") + os.pathsep + "/usr/share",
                   XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_CONFIG_DIRS=os.path.join(home, "etc"),
                   HOME=home)
        return env

    def test_control_data_names_the_version_and_computed_dependencies(self):
        self.assertEqual(self.field("Package"), "kelvo")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), "amd64")
        depends = [d.strip().split(" ")[0] for d in self.field("Depends").split(",")]
        # From the scan of the linked shared libraries, and the plugins it cannot see.
        for package in ("libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6widgets6",
                        "qt6-qpa-plugins"):
            self.assertIn(package, depends)
        self.assertEqual(self.field("Section"), "graphics")

    def test_files_are_where_the_desktop_looks_for_them(self):
        share = os.path.join(self.usr, "share")
        self.assertTrue(os.access(self.program, os.X_OK))
        for path in (self.desktop,
                     os.path.join(share, "metainfo", APP_ID + ".metainfo.xml"),
                     os.path.join(share, "icons", "hicolor", "scalable", "apps", APP_ID + ".svg"),
                     os.path.join(share, "man", "man1", "kelvo.1.gz"),
                     os.path.join(share, "doc", "kelvo", "copyright"),
                     os.path.join(share, "doc", "kelvo", "changelog.gz")):
            self.assertTrue(os.path.isfile(path), path)
        hicolor = os.path.join(share, "icons", "hicolor")
        found = sorted(int(d.split("x")[0]) for d in os.listdir(hicolor) if d != "scalable")
        self.assertEqual(found, ICON_SIZES)
        for size in ICON_SIZES:
            png = os.path.join(hicolor, f"{size}x{size}", "apps", APP_ID + ".png")
            self.assertEqual(png_size(png), (size, size), png)

    def test_packaged_program_reports_its_version(self):
        out = e2e.run([self.program, "--version"], timeout=30)
        self.assertTrue(out.startswith(f"kelvo {VERSION}"), out)

    def test_file_managers_offer_kelvo_for_dicom_files_and_pictures(self):
        env = self.desktop_env()
        # What the desktop-file-utils trigger does when the package is installed.
        e2e.run(["update-desktop-database", os.path.dirname(self.desktop)], env=env)
        for mime in OPENS:
            with self.subTest(mime=mime):
                out = e2e.run(["gio", "mime", mime], env=env, timeout=30)
                registered = out.split("Registered applications:")[-1].split("Recommended")[0]
                self.assertIn(APP_ID + ".desktop", registered.split(), out)
        # And the system's own rule calls a DICOM file what the launcher asks for.
        out = e2e.run(["gio", "info", "-a", "standard::content-type", CT_SMALL], env=env,
                      timeout=30)
        self.assertIn("standard::content-type: application/dicom", out)

    def test_packaged_program_shows_its_window_with_the_built_in_picture(self):
        with e2e.Xvfb() as x:
            # The display comes from Qt's own option, which must reach Qt past
            # the program's command line.
            env = self.desktop_env(x.env())
            del env["DISPLAY"]
            prog = e2e.Kelvo(self.program, x, args=["-display", x.display], env=env)
            try:
                prog.start()
                self.assertEqual(prog.window.name(), e2e.MAIN_TITLE)
                canvas = prog.canvas_shot()
                self.assertEqual(canvas.count(lambda p: not (p[0] == p[1] == p[2])), 0)
                self.assertGreater(min(canvas.pixel(256, 51)), 200, "the skull of the head slice")
                # The class the launcher's StartupWMClass names.
                wm_class = e2e.run(["xprop", "-id", prog.window.wid, "WM_CLASS"], env=x.env())
                self.assertIn('"kelvo"', wm_class)
                prog.click_control("BitBtn2")
                self.assertEqual(prog.wait_exit(15), 0)
            finally:
                prog.stop()

    def from_launcher(self, x, file):
        """The program as a file manager's "Open with" starts it: the launcher's Exec
        line with %f replaced by the file, the program looked up on PATH."""
        with open(self.desktop, encoding="utf-8") as f:
            line = next(l.split("=", 1)[1].strip() for l in f if l.startswith("Exec="))
        argv = [file if a == "%f" else a for a in shlex.split(line)]
        env = self.desktop_env(x.env())
        program = shutil.which(argv[0], path=env["PATH"])
        self.assertEqual(program, self.program)
        return e2e.Program(program, x, args=argv[1:], env=env)

    def test_open_with_shows_the_dicom_file(self):
        with e2e.Xvfb() as x:
            prog = self.from_launcher(x, CT_SMALL)
            try:
                # The window names the file once it shows it.
                prog.start(title="CT_small.dcm - " + e2e.MAIN_TITLE)
                prog.settle(1.0)
                self.assertEqual(prog.windows("Open"), [], "no complaint about the file")
                self.assertTrue(prog.running())
            finally:
                prog.stop()


if __name__ == "__main__":
    if len(sys.argv) < 3 or not os.path.isfile(sys.argv[1]):
        raise SystemExit("usage: test_installed.py <package.deb> <version>")
    DEB, VERSION = os.path.abspath(sys.argv[1]), sys.argv[2]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
