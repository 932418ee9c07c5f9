#!/usr/bin/python3
"""Writes pydicom's decoding of every DICOM test file that pydicom ships, as reference
data for the loader's tests.

    pydicom_reference.py OUTDIR

OUTDIR/manifest.tsv has one line per file:
    name  ok  frames  rows  columns  samples  slope  intercept  photometric
          patient  study-date  modality  series-description
or  name  error  message
and for every decoded file OUTDIR/<name>.stored (int64, little endian) and
OUTDIR/<name>.modality (float64, little endian, monochrome files only), in the order
frame, row, column, sample.
"""
import os
import sys
import warnings

import numpy as np
import pydicom
import pydicom.data
from pydicom.pixel_data_handlers.util import apply_modality_lut

warnings.simplefilter("ignore")

# JPEG 2000 as pydicom's Pillow handler decodes it (OpenJPEG), GDCM's where Pillow fails.
JPEG2000_SYNTAXES = ("1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    root = os.path.join(os.path.dirname(pydicom.data.__file__), "test_files")
    lines = []
    for name in sorted(os.listdir(root)):
        if not name.endswith(".dcm"):
            continue
        try:
            ds = pydicom.dcmread(os.path.join(root, name), force=True)
            if str(getattr(ds.file_meta, "TransferSyntaxUID", "")) in JPEG2000_SYNTAXES:
                try:
                    ds.convert_pixel_data("pillow")
                except Exception:  # pylint: disable=broad-except
                    ds = pydicom.dcmread(os.path.join(root, name), force=True)
            arr = ds.pixel_array
        except Exception as e:  # pylint: disable=broad-except
            lines.append(f"{name}\terror\t{type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''}")
            continue
        frames = int(getattr(ds, "NumberOfFrames", 1) or 1)
        spp = int(ds.SamplesPerPixel)
        rows, cols = int(ds.Rows), int(ds.Columns)
        stored = np.asarray(arr).astype(np.int64).reshape(frames, rows, cols, spp)
        stored.astype("<i8").tofile(os.path.join(out, name + ".stored"))
        slope = float(getattr(ds, "RescaleSlope", 1) or 1)
        intercept = float(getattr(ds, "RescaleIntercept", 0) or 0)
        if spp == 1:
            modality = np.asarray(apply_modality_lut(arr, ds), dtype=np.float64)
            modality.reshape(frames, rows, cols).astype("<f8").tofile(
                os.path.join(out, name + ".modality"))
        pi = str(ds.PhotometricInterpretation)
        shown = "\t".join(str(ds.get(k, "") or "").replace("\t", " ")
                          for k in ("PatientName", "StudyDate", "Modality", "SeriesDescription"))
        lines.append(f"{name}\tok\t{frames}\t{rows}\t{cols}\t{spp}\t{slope!r}\t{intercept!r}\t{pi}\t{shown}")
    with open(os.path.join(out, "manifest.tsv"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
