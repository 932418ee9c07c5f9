#!/usr/bin/python3
"""Every C++ source and header of the tree, and every Python test script, is named in
the CMakeLists.txt of its folder (or the nearest one above it).

The build lists its files explicitly, so a file that was added but not listed is
silently left out: a test program that never runs, a header no target shows. This
walks the tree and names each such file.

    check_listed.py SOURCE_ROOT
"""
import os
import re
import sys

SKIP_DIRS = {".git", "corpus", "__pycache__"}


def tokens(cmake_file):
    with open(cmake_file, encoding="utf-8") as f:
        text = re.sub(r"#[^\n]*", " ", f.read())
    words = set()
    for word in re.split(r"[\s()\"]+", text):
        words.add(re.sub(r"^\$\{\w+\}/", "", word))
    return words


def names(relpath):
    """The ways a folder's CMakeLists.txt may name the file: its path, or the short
    name that kelvo_add_tests, the benchmark and the end-to-end lists take."""
    base = os.path.basename(relpath)
    stem, ext = os.path.splitext(base)
    out = {relpath}
    for suffix in ("_test", "_bench"):
        if ext == ".cpp" and stem.endswith(suffix) and os.path.dirname(relpath) == "":
            out.add(stem[: -len(suffix)])
    if ext == ".py" and stem.startswith("test_"):
        out.add(stem[len("test_"):])
    return out


def wanted(name):
    return name.endswith((".cpp", ".h")) or (name.startswith("test_") and name.endswith(".py"))


def unlisted(root):
    missing = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not d.startswith("build"))
        for name in sorted(files):
            if not wanted(name):
                continue
            owner = folder
            while not os.path.exists(os.path.join(owner, "CMakeLists.txt")) and owner != root:
                owner = os.path.dirname(owner)
            cmake_file = os.path.join(owner, "CMakeLists.txt")
            path = os.path.join(folder, name)
            if not os.path.exists(cmake_file):
                missing.append((path, "no CMakeLists.txt above it"))
                continue
            if not names(os.path.relpath(path, owner)) & tokens(cmake_file):
                missing.append((path, "not named in " + os.path.relpath(cmake_file, root)))
    return missing


def main():
    root = os.path.abspath(sys.argv[1])
    missing = unlisted(root)
    for path, why in missing:
        print("%s: %s" % (os.path.relpath(path, root), why))
    if missing:
        print("%d file(s) are not built or run: add them to their folder's list" % len(missing))
        return 1
    print("every source, header and test script is listed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
