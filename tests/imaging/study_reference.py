#!/usr/bin/python3
"""Writes a CT series for the study index's tests and benchmark with pydicom: 16-bit
slices whose positions are shuffled against their file names and instance numbers,
each filled with ten times its z in mm. With --extras, also what an index must skip or
keep apart: a duplicate, junk, an empty and a truncated file, a slice of another size,
a series without positions (in a sub-folder) and a multi-frame file.

    study_reference.py DIR SLICES SIDE [--extras]
"""
import random, shutil, sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, CTImageStorage, generate_uid

out, count, side = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
study, rng = generate_uid(), random.Random(7)


def write(name, series, number, z, side, values, frames=1, position=True):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID = CTImageStorage, generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID, ds.Modality = CTImageStorage, meta.MediaStorageSOPInstanceUID, "CT"
    ds.PatientName, ds.PatientID, ds.StudyInstanceUID, ds.StudyID = "Test^Study", "K1", study, "1"
    ds.StudyDate, ds.StudyTime, ds.StudyDescription, ds.AccessionNumber = "20240102", "120000", "Chest", ""
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = series[0], series[1], number
    ds.Rows = ds.Columns = side
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    if position:
        ds.ImageOrientationPatient, ds.ImagePositionPatient = [1, 0, 0, 0, 1, 0], [0, 0, z]
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.PixelData = np.repeat(np.array(values, "<i2"), side * side).tobytes()
    ds.save_as(out + "/" + name, write_like_original=False)


main = (generate_uid(), 1)
zs = [2.5 * k - 20 for k in range(count)]
names = ["IM%06d" % i for i in range(count)]
rng.shuffle(names)
for rank, (name, z) in enumerate(zip(names, zs)):
    write(name, main, count - rank, z, side, [round(z * 10)])
if "--extras" in sys.argv:
    import os
    shutil.copy(out + "/" + names[0], out + "/ZDUPLICA")
    write("SMALL", main, 999, 100.0, side // 2, [1000])
    open(out + "/NOTES.TXT", "w").write("not an image\n")
    open(out + "/EMPTY", "w").close()
    open(out + "/TRUNC", "wb").write(open(out + "/" + names[1], "rb").read()[:400])
    os.mkdir(out + "/SUB")
    unplaced = (generate_uid(), 2)
    for name, number in (("A", 3), ("B", 1), ("C", 2)):
        write("SUB/" + name, unplaced, number, 0, side, [number * 10], position=False)
    write("MULTI", (generate_uid(), 3), 1, 0, side, [0, 10, 20], frames=3)
