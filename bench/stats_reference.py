#!/usr/bin/python3
"""Region statistics of a Kelvo annotation file computed with pydicom and numpy, and the
whole-process comparison of `kelvo --export csv` with this script.

    stats_reference.py FILE ANNOTATIONS     one line per region: name count mean sd min max
    stats_reference.py FOLDER ANNOTATIONS   the same for a study: each region on the image
                                            its "sop_instance_uid" and "frame" name
    stats_reference.py --compare KELVO      times both on pydicom's CT_small.dcm with 100
                                            regions (best of 5, wall time), after checking
                                            that they agree
    stats_reference.py --compare-series KELVO
                                            the same on a 500-slice 512 x 512 series written
                                            by tests/imaging/study_reference.py, the 100
                                            regions on every fifth slice (best of 3)

The pixel rules (a pixel belongs to a region when its centre lies inside the outline or
on it) and the modality values are those of tests/imaging/region_reference.py, which the
imaging tests hold Kelvo's statistics to.
"""
import csv
import json
import os
import subprocess
import sys
import tempfile
import time

import pydicom
import pydicom.data

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "imaging"))
from region_reference import mask_of, values_of  # noqa: E402

KINDS = {"rectangle": "rect", "ellipse": "ellipse", "polyline": "polygon"}


def statistics(picture, annotations):
    values = values_of(pydicom.dcmread(picture), 0)
    rows, cols = values.shape
    with open(annotations, encoding="utf-8") as f:
        shapes = json.load(f)["shapes"]
    out = []
    for s in shapes:
        if s["kind"] not in KINDS:
            continue
        sel = values[mask_of(KINDS[s["kind"]], [tuple(p) for p in s["points"]], rows, cols)]
        out.append((s["caption"], len(sel), sel.mean(), sel.std(), sel.min(), sel.max()))
    return out


def folder_statistics(folder, annotations):
    """Every header is read, as an index of the folder must, then the pixels of the
    images that carry regions."""
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            try:
                files[str(pydicom.dcmread(path, stop_before_pixels=True).SOPInstanceUID)] = path
            except (pydicom.errors.InvalidDicomError, AttributeError):
                continue
    with open(annotations, encoding="utf-8") as f:
        shapes = json.load(f)["shapes"]
    by_image = {}
    for s in shapes:
        if s["kind"] in KINDS and s.get("sop_instance_uid") in files:
            by_image.setdefault((s["sop_instance_uid"], s.get("frame", 0)), []).append(s)
    out = []
    for (uid, frame), regions in by_image.items():
        values = values_of(pydicom.dcmread(files[uid]), frame)
        rows, cols = values.shape
        for s in regions:
            sel = values[mask_of(KINDS[s["kind"]], [tuple(p) for p in s["points"]], rows, cols)]
            out.append((s["caption"], len(sel), sel.mean(), sel.std(), sel.min(), sel.max()))
    return out


def hundred_regions(path, images=None):
    """100 regions; with images (SOP Instance UIDs), region i on image 5 i."""
    shapes = []
    for i in range(100):
        x, y = (i * 37) % 100, (i * 53) % 100
        kind = ("rectangle", "ellipse", "polyline")[i % 3]
        points = [[x, y], [x + 5 + i % 23, y + 4 + i % 19]]
        if kind == "polyline":
            points = [[x, y], [x + 20, y + 3], [x + 9, y + 25]]
        shapes.append({"kind": kind, "points": points, "color": "#ff0000", "width": 1, "style": "solid",
                       "caption": "Roi-%d" % (i + 1), "roi": i + 1})
        if images:
            shapes[-1].update({"sop_instance_uid": images[(5 * i) % len(images)], "frame": 0})
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"format": "kelvo-annotations", "version": 1, "shapes": shapes}, f)


def best_of(runs, command):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, capture_output=True)
        times.append(time.perf_counter() - start)
    return min(times)


def agree_and_time(kelvo, picture, annotations, out, reference, runs):
    kelvo_command = [kelvo, "--export", "csv", out, picture, "--annotations", annotations]
    subprocess.run(kelvo_command, check=True)
    with open(out, encoding="utf-8", newline="") as f:
        kelvo_rows = {r["Name"]: r for r in csv.DictReader(f)}
    if len(kelvo_rows) != len(reference):
        raise SystemExit("kelvo wrote %d regions, numpy measured %d" % (len(kelvo_rows), len(reference)))
    for name, count, mean, sd, low, high in reference:
        r = kelvo_rows[name]
        if int(r["Count"]) != count or abs(float(r["Mean"]) - mean) > 1e-6 * max(1, abs(mean)) or \
                abs(float(r["SD"]) - sd) > 1e-6 * max(1, sd) or float(r["Min"]) != low or float(r["Max"]) != high:
            raise SystemExit("%s differs: kelvo %s, numpy %s" % (name, r, (count, mean, sd, low, high)))
    k = best_of(runs, kelvo_command)
    p = best_of(runs, [sys.executable, os.path.abspath(__file__), picture, annotations])
    print("%d regions agree; kelvo --export csv %.0f ms, stats_reference.py %.0f ms, ratio %.2f (load %s)"
          % (len(reference), k * 1000, p * 1000, k / p, ", ".join("%.1f" % v for v in os.getloadavg())))


def compare(kelvo):
    picture = pydicom.data.get_testdata_file("CT_small.dcm")
    with tempfile.TemporaryDirectory() as d:
        annotations, out = os.path.join(d, "regions.kelvo.json"), os.path.join(d, "out.csv")
        hundred_regions(annotations)
        agree_and_time(kelvo, picture, annotations, out, statistics(picture, annotations), 5)


def compare_series(kelvo):
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as d:
        series = os.path.join(d, "series")
        os.mkdir(series)
        # Written at bench time: 500 files of half a megabyte each are no source to keep.
        subprocess.run([sys.executable, os.path.join(here, "..", "tests", "imaging", "study_reference.py"), series,
                        "500", "512"], check=True)
        images = sorted(str(pydicom.dcmread(os.path.join(series, n), stop_before_pixels=True).SOPInstanceUID)
                        for n in sorted(os.listdir(series)))
        annotations, out = os.path.join(d, "regions.kelvo.json"), os.path.join(d, "out.csv")
        hundred_regions(annotations, images)
        agree_and_time(kelvo, series, annotations, out, folder_statistics(series, annotations), 3)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--compare":
        compare(os.path.abspath(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "--compare-series":
        compare_series(os.path.abspath(sys.argv[2]))
    elif len(sys.argv) == 3:
        measure = folder_statistics if os.path.isdir(sys.argv[1]) else statistics
        for line in measure(sys.argv[1], sys.argv[2]):
            print(" ".join(str(v) for v in line))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
