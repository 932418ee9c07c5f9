"""The files that tie Kelvo into the desktop: the MIME rule recognises DICOM files
by name and by content (and nothing else, as GIO sees it), the launcher, AppStream data and icon
agree on one name, and the manual page formats without warnings."""

import configparser
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE = None   # packaging/ in the sources
BUILT = None    # packaging/ in the build tree
APP_ID = "org.example.Kelvo"
CT_SMALL = "/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm"
PICTURE_TYPES = ["image/png", "image/jpeg", "image/tiff", "image/bmp"]


class MimeRule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvo-mime-")
        packages = os.path.join(cls.tmp, "mime", "packages")
        os.makedirs(packages)
        shutil.copy(os.path.join(SOURCE, "mime", "kelvo-dicom.xml"), packages)
        # On the search path, so that the tool has no notice to give about it.
        env = dict(os.environ, XDG_DATA_DIRS=cls.tmp, XDG_DATA_HOME=cls.tmp)
        cls.done = subprocess.run(["update-mime-database", os.path.join(cls.tmp, "mime")],
                                  env=env, capture_output=True, text=True, timeout=60,
                                  check=False)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_the_database_accepts_the_rule(self):
        # It reports what it cannot use on stderr, and still exits 0.
        self.assertEqual((self.done.returncode, self.done.stderr), (0, ""))

    def content_type(self, name, data):
        """What GIO, as file managers use it, calls a file, knowing only our rule."""
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        env = dict(os.environ, XDG_DATA_DIRS=self.tmp, XDG_DATA_HOME=self.tmp)
        out = subprocess.run(["gio", "info", "-a", "standard::content-type", path], env=env,
                             capture_output=True, text=True, timeout=60, check=True).stdout
        return out.rsplit("standard::content-type:", 1)[1].strip()

    def test_dicom_files_are_known_by_name_or_content_and_pictures_are_not(self):
        with open(CT_SMALL, "rb") as f:
            dicom = f.read()
        with open(os.path.join(os.path.dirname(SOURCE), "docs", "screenshot.png"), "rb") as f:
            png = f.read()
        cases = [
            ("scan", dicom, "application/dicom"),           # by the mark after the preamble
            ("export.dcm", png[:300], "application/dicom"),  # by the name alone
            ("picture", png, "application/octet-stream"),
            ("mark-too-early", b"DICM" + bytes(300), "application/octet-stream"),
            ("ends-in-the-mark", bytes(128) + b"DIC" + bytes([0x80]), "application/octet-stream"),
        ]
        for name, data, expected in cases:
            with self.subTest(name=name):
                self.assertEqual(self.content_type(name, data), expected)


class Launcher(unittest.TestCase):
    def setUp(self):
        entry = configparser.ConfigParser(interpolation=None, strict=True)
        entry.optionxform = str
        entry.read(os.path.join(SOURCE, APP_ID + ".desktop"), encoding="utf-8")
        self.entry = entry["Desktop Entry"]
        self.meta = ET.parse(os.path.join(BUILT, APP_ID + ".metainfo.xml")).getroot()

    def test_file_managers_can_hand_over_one_dicom_file_or_picture(self):
        self.assertEqual(self.entry["Exec"], "kelvo %f")
        types = [t for t in self.entry["MimeType"].split(";") if t]
        self.assertEqual(types, ["application/dicom"] + PICTURE_TYPES)
        self.assertIn("application/dicom",
                      [m.text for m in self.meta.iter("mediatype")])

    def test_launcher_metainfo_and_icon_share_one_name(self):
        self.assertEqual(self.meta.findtext("id"), APP_ID)
        self.assertEqual(self.meta.findtext("launchable"), APP_ID + ".desktop")
        self.assertEqual(self.meta.findtext("icon"), APP_ID)
        self.assertEqual(self.entry["Icon"], APP_ID)
        self.assertTrue(os.path.exists(os.path.join(SOURCE, "icons", APP_ID + ".svg")))
        self.assertEqual([b.text for b in self.meta.iter("binary")], ["kelvo"])

    def test_manual_page_formats_without_warnings(self):
        done = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8",
                               os.path.join(SOURCE, "kelvo.1")],
                              capture_output=True, text=True, timeout=60, check=False)
        self.assertEqual((done.returncode, done.stderr), (0, ""))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit("usage: test_data_files.py <packaging sources> <packaging build>")
    SOURCE, BUILT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
