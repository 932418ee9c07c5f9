#!/usr/bin/python3
"""Region statistics computed with numpy, as an independent reference.

    region_reference.py FILE [frame:N] REGION...

REGION is KIND:X,Y;X,Y;... with KIND rect, ellipse or polygon (corner coordinates:
pixel (x, y) covers [x, x+1) x [y, y+1)). A pixel belongs to a region when its centre
lies inside the outline or on it; polygons use the even-odd rule. For every region one
line: count mean sd min max, the values pydicom's modality transform gives, sd with
ddof=0. Everything is tested per pixel in doubled integer coordinates, so that the
pixel set is exact. "frame:N" measures frame N (from 0), with its functional groups' rescale.
Colour is measured on its luma: Y of YBR, 0.299 R + 0.587 G + 0.114 B of RGB.
"""
import sys

import numpy as np
import pydicom
from pydicom.pixel_data_handlers.util import apply_modality_lut


def mask_of(kind, pts, rows, cols):
    y, x = np.mgrid[0:rows, 0:cols].astype(np.int64)
    cx, cy = 2 * x + 1, 2 * y + 1  # doubled centres
    if kind in ("rect", "ellipse"):
        (x0, y0), (x1, y1) = pts
        l, r = sorted((x0, x1))
        t, b = sorted((y0, y1))
        if kind == "rect":
            return (cx >= 2 * l) & (cx <= 2 * r) & (cy >= 2 * t) & (cy <= 2 * b)
        w, h = r - l, b - t
        if w == 0 or h == 0:
            return np.zeros((rows, cols), bool)
        dx, dy = cx - (l + r), cy - (t + b)
        return dx * dx * h * h + dy * dy * w * w <= w * w * h * h
    inside = np.zeros((rows, cols), bool)
    on_edge = np.zeros((rows, cols), bool)
    n = len(pts)
    for i in range(n):
        ax, ay = 2 * pts[i][0], 2 * pts[i][1]
        bx, by = 2 * pts[(i + 1) % n][0], 2 * pts[(i + 1) % n][1]
        # on the segment: collinear and within its box
        cross = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax)
        within = ((cx - ax) * (cx - bx) <= 0) & ((cy - ay) * (cy - by) <= 0)
        on_edge |= (cross == 0) & within
        # ray to +x crosses the edge
        straddles = (ay > cy) != (by > cy)
        if ay != by:
            # x of the crossing > cx  <=>  (ax - cx)(by - ay) + (cy - ay)(bx - ax) > 0, sign by (by - ay)
            num = (ax - cx) * (by - ay) + (cy - ay) * (bx - ax)
            inside ^= straddles & ((num > 0) if by > ay else (num < 0))
    return inside | on_edge


def values_of(ds, frame):
    arr = ds.pixel_array[frame] if int(ds.get("NumberOfFrames", 1) or 1) > 1 else ds.pixel_array
    if int(ds.SamplesPerPixel) == 3:
        if str(ds.PhotometricInterpretation).startswith("YBR"):
            return arr[..., 0].astype(np.float64)
        return arr.astype(np.float64) @ np.array([0.299, 0.587, 0.114])
    for groups, index in (("SharedFunctionalGroupsSequence", 0), ("PerFrameFunctionalGroupsSequence", frame)):
        items = ds.get(groups) or []
        if len(items) > index and "PixelValueTransformationSequence" in items[index]:
            t = items[index].PixelValueTransformationSequence[0]
            return arr * float(t.RescaleSlope) + float(t.RescaleIntercept)
    return np.asarray(apply_modality_lut(arr, ds), dtype=np.float64)


def main():
    ds = pydicom.dcmread(sys.argv[1])
    values = values_of(ds, 0)
    rows, cols = values.shape
    for shape in sys.argv[2:]:
        kind, rest = shape.split(":")
        if kind == "frame":
            values = values_of(ds, int(rest))
            continue
        pts = [tuple(int(v) for v in p.split(",")) for p in rest.split(";")]
        sel = values[mask_of(kind, pts, rows, cols)]
        print(len(sel), repr(sel.mean()), repr(sel.std()), repr(sel.min()), repr(sel.max()))


if __name__ == "__main__":
    main()
