"""The real program's command line, run without any display: help and the version
answer on standard output with status 0, and mistakes get one line on standard
error and status 2, before the window system is touched."""

import os
import re
import subprocess
import sys
import unittest

PROGRAM = None
VERSION = None


def run(*args, timeout=30):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env["LC_ALL"] = "C.UTF-8"
    return subprocess.run([PROGRAM, *args], env=env, capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL, check=False)


class CommandLine(unittest.TestCase):
    def test_help_describes_the_file_argument_and_options(self):
        for flag in ("--help", "-h"):
            done = run(flag)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stderr, "")
            self.assertTrue(done.stdout.startswith("Usage: kelvo [options] [FILE | LINK]\n"), done.stdout)
            for part in ("--version", "FILE", "DICOM", "-platform"):
                self.assertIn(part, done.stdout)

    def test_version_names_the_project_version(self):
        # From a git checkout the description of the commit follows in brackets.
        pattern = r"kelvo " + re.escape(VERSION) + r"( \(git [0-9A-Za-z.+_-]+\))?\n"
        for args in (["--version"], ["-v"], ["-platform", "offscreen", "--version"]):
            done = run(*args)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertRegex(done.stdout, "^" + pattern + "$")
            self.assertEqual(done.stderr, "")

    def test_mistakes_exit_2_with_one_line_on_stderr(self):
        cases = [
            (["--bogus"], "Unknown option 'bogus'"),
            (["one.dcm", "two.dcm"], "2 files given"),
        ]
        for args, says in cases:
            with self.subTest(args=args):
                done = run(*args)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
                self.assertTrue(done.stderr.startswith("kelvo: "), done.stderr)
                self.assertIn(says, done.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 3 or not os.access(sys.argv[1], os.X_OK):
        raise SystemExit("usage: test_command_line.py <kelvo> <project version>")
    PROGRAM, VERSION = os.path.abspath(sys.argv[1]), sys.argv[2]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
