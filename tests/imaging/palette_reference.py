#!/usr/bin/python3
"""Writes PALETTE COLOR pictures and pydicom's colours for them, as reference data for
the loader's palette test.

    palette_reference.py OUTDIR

Every palette of pydicom's palettes/ folder that carries plain (not segmented) tables
becomes a 16 x 16 picture holding the indices 0..255; one more picture has 16-bit
tables whose first entry maps index 50 and indices on both sides of the table. For
each, OUTDIR/<name>.dcm is the picture, and OUTDIR/<name>.rgb holds pydicom's
apply_color_lut output brought to display levels (8-bit tables as they are, 16-bit
ones scaled to 0..255, rounded), 3 bytes a pixel, row by row. OUTDIR/manifest.txt
lists the names.
"""
import os
import sys
import warnings

import numpy as np
import pydicom
import pydicom.data
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.pixel_data_handlers.util import apply_color_lut
from pydicom.uid import ExplicitVRLittleEndian, SecondaryCaptureImageStorage, generate_uid

warnings.simplefilter("ignore")
COLOURS = ("Red", "Green", "Blue")


def picture(indices, bits):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = SecondaryCaptureImageStorage
    ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    ds.SOPClassUID = SecondaryCaptureImageStorage
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID
    ds.Modality = "OT"
    ds.Rows, ds.Columns = indices.shape
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "PALETTE COLOR"
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    ds.PixelData = indices.astype("<u%d" % (bits // 8)).tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    return ds


def write(out, name, ds):
    ds.save_as(os.path.join(out, name + ".dcm"), write_like_original=False)
    ds = pydicom.dcmread(os.path.join(out, name + ".dcm"))
    rgb = apply_color_lut(ds.pixel_array, ds)
    if rgb.dtype == np.uint16:
        rgb = (rgb.astype(np.int64) * 255 + 32767) // 65535
    rgb.astype(np.uint8).tofile(os.path.join(out, name + ".rgb"))
    return name


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    names = []
    folder = os.path.join(os.path.dirname(pydicom.data.__file__), "palettes")
    for file in sorted(os.listdir(folder)):
        if not file.endswith(".dcm"):
            continue
        palette = pydicom.dcmread(os.path.join(folder, file))
        if "RedPaletteColorLookupTableData" not in palette:
            continue
        ds = picture(np.arange(256, dtype=np.uint16).reshape(16, 16), 8)
        for c in COLOURS:
            for part in ("Descriptor", "Data"):
                keyword = f"{c}PaletteColorLookupTable{part}"
                setattr(ds, keyword, getattr(palette, keyword))
        names.append(write(out, os.path.splitext(file)[0], ds))

    # 300 entries from index 50: indices 0..399 reach below and past the table.
    ds = picture(np.arange(400, dtype=np.uint16).reshape(20, 20), 16)
    i = np.arange(300, dtype=np.int64)
    tables = (i * 218, 65535 - i * 218, (i * 997 + 12345) % 65536)
    for c, table in zip(COLOURS, tables):
        setattr(ds, f"{c}PaletteColorLookupTableDescriptor", [300, 50, 16])
        setattr(ds, f"{c}PaletteColorLookupTableData", table.astype("<u2").tobytes())
    names.append(write(out, "sixteen_bit_from_50", ds))

    with open(os.path.join(out, "manifest.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(names) + "\n")


if __name__ == "__main__":
    main()
