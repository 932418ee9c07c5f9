#!/usr/bin/python3
"""Writes PALETTE COLOR pictures and pydicom's colours for them, as reference data for
the loader's palette test.

    palette_reference.py OUTDIR

Every palette of pydicom's palettes/ folder that carries plain (not segmented) tables
becomes a 16 x 16 picture holding the indices 0..255; one more picture has 16-bit
tables whose first entry maps index 50 and indices on both sides of the table, and
three more carry segmented tables (discrete, linear and indirect segments, 8- and
16-bit items, indirect segments that copy linear and indirect ones). For each, OUTDIR/<name>.dcm is the picture, and OUTDIR/<name>.rgb holds pydicom's
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


class Segments:
    """Segmented table data built segment by segment; indirect segments name the
    segment they start copying from by its number."""

    def __init__(self, bits):
        self.bits, self.items, self.starts = bits, [], []

    def discrete(self, *values):
        self.starts.append(len(self.items))
        self.items += [0, len(values), *values]
        return self

    def linear(self, length, value):
        self.starts.append(len(self.items))
        self.items += [1, length, value]
        return self

    def indirect(self, count, segment):
        offset = self.starts[segment]
        self.starts.append(len(self.items))
        if self.bits == 8:
            self.items += [2, count] + [(offset >> s) & 0xFF for s in (0, 8, 16, 24)]
        else:
            self.items += [2, count, offset & 0xFFFF, offset >> 16]
        return self

    def data(self):
        items = self.items + [0] * (len(self.items) % 2 if self.bits == 8 else 0)
        return np.array(items, dtype="<u%d" % (self.bits // 8)).tobytes()


def segmented(indices, bits, descriptor, channels):
    ds = picture(indices, bits=16 if indices.max() > 255 else 8)
    for c, segments in zip(COLOURS, channels):
        setattr(ds, f"{c}PaletteColorLookupTableDescriptor", descriptor)
        setattr(ds, f"Segmented{c}PaletteColorLookupTableData", segments.data())
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

    # 8-bit items: a linear segment through exact halves (0..255 in 2 steps), indirect
    # segments that copy discrete and linear segments; 104 + 152 entries in the odd-length green table.
    ramp = np.arange(256, dtype=np.uint16).reshape(16, 16)
    red = Segments(8).discrete(10, 200, 30, 40).linear(100, 255).indirect(2, 0).linear(48, 0)
    green = Segments(8).discrete(0).linear(2, 255).linear(4, 1).linear(97, 254).indirect(3, 1).linear(49, 3)
    blue = Segments(8).discrete(50, 60).linear(61, 200).discrete(7).indirect(2, 1).indirect(1, 0).linear(128, 0)
    names.append(write(out, "segmented_eight_bit", segmented(ramp, 8, [256, 0, 8], (red, green, blue))))

    # 16-bit items, 300 entries from index 20: indices 0..399 reach both sides. Blue
    # copies an indirect segment; pydicom takes offsets within a copy from where the
    # copy starts, so that one starts at the first segment, where both readings agree.
    wide = np.arange(400, dtype=np.uint16).reshape(20, 20)
    red = Segments(16).discrete(0).linear(199, 65535).linear(100, 3)
    green = Segments(16).discrete(65535, 1).linear(97, 40000).indirect(2, 0).linear(102, 7)
    blue = Segments(16).discrete(30000).linear(3, 30001).indirect(2, 0).indirect(3, 0).linear(284, 12345)
    names.append(write(out, "segmented_sixteen_bit_from_20", segmented(wide, 16, [300, 20, 16], (red, green, blue))))

    # 65536 entries written as 0 in the descriptor, in one linear segment each.
    big = Segments(16).discrete(65535).linear(65535, 0)
    rising = Segments(16).discrete(0).linear(65535, 65535)
    names.append(write(out, "segmented_full_range", segmented(wide, 16, [0, 0, 16], (big, rising, big))))

    with open(os.path.join(out, "manifest.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(names) + "\n")


if __name__ == "__main__":
    main()
