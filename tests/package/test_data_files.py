"""The files that tie Kelvo into the desktop: the MIME rule recognises DICOM files
by name and by content (and nothing else), the launcher, AppStream data and icon
agree on one name, and the manual page formats without warnings."""

import configparser
import os
import shutil
import struct
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


def read_magic(path):
    """The rules of a compiled shared-mime-info 'magic' file, as
    {type: [(offset, value)]} for single-range matches."""
    with open(path, "rb") as f:
        data = f.read()
    assert data.startswith(b"MIME-Magic\0\n"), "not a magic file"
    rules, pos, current = {}, 12, None
    while pos < len(data):
        if data[pos:pos + 1] == b"[":
            end = data.index(b"]\n", pos)
            current = data[pos + 1:end].split(b":", 1)[1].decode()
            pos = end + 2
            continue
        # [indent]>offset=<2-byte big-endian length><value>[&mask][~word][+range]\n
        gt = data.index(b">", pos)
        eq = data.index(b"=", gt)
        offset = int(data[gt + 1:eq])
        (length,) = struct.unpack(">H", data[eq + 1:eq + 3])
        value = data[eq + 3:eq + 3 + length]
        pos = data.index(b"\n", eq + 3 + length) + 1
        rules.setdefault(current, []).append((offset, value))
    return rules


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

    def test_dicom_files_are_known_by_their_extension(self):
        with open(os.path.join(self.tmp, "mime", "globs2")) as f:
            globs = [line.strip().split(":") for line in f if not line.startswith("#")]
        self.assertIn(["application/dicom", "*.dcm"], [g[1:] for g in globs])

    def test_dicom_files_are_known_by_content_and_pictures_are_not(self):
        rules = read_magic(os.path.join(self.tmp, "mime", "magic"))
        self.assertEqual(list(rules), ["application/dicom"])

        def matches(data):
            return any(data[o:o + len(v)] == v for o, v in rules["application/dicom"])

        with open(CT_SMALL, "rb") as f:
            self.assertTrue(matches(f.read()), "a real DICOM file")
        with open(os.path.join(os.path.dirname(SOURCE), "docs", "screenshot.png"), "rb") as f:
            self.assertFalse(matches(f.read()), "a PNG picture")
        self.assertFalse(matches(b"DICM" + bytes(200)), "the mark at the start, not after the preamble")
        self.assertFalse(matches(bytes(128) + b"DIC"), "a file that ends inside the mark")


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
