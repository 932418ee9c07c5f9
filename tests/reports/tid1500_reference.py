#!/usr/bin/python3
"""Measurement reports written and read with pydicom alone, by the DICOM standard's TID 1500,
for the reports tests: none of Kelvo's or DCMTK's code is involved.

    tid1500_reference.py write SOURCE OUT VARIANT   VARIANT: good, not-tid1500, unknown-unit, outside
    tid1500_reference.py values SR                  prints "concept unit value" per measurement
"""
import sys

import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

COMPREHENSIVE_SR = "1.2.840.10008.5.1.4.1.1.88.33"


def code(value, scheme, meaning):
    c = Dataset()
    c.CodeValue, c.CodingSchemeDesignator, c.CodeMeaning = value, scheme, meaning
    return c


def item(relationship, value_type, concept):
    i = Dataset()
    i.RelationshipType, i.ValueType = relationship, value_type
    if concept is not None:
        i.ConceptNameCodeSequence = Sequence([concept])
    return i


def image_ref(source):
    i = item("SELECTED FROM", "IMAGE", None)
    r = Dataset()
    r.ReferencedSOPClassUID, r.ReferencedSOPInstanceUID = source.SOPClassUID, source.SOPInstanceUID
    i.ReferencedSOPSequence = Sequence([r])
    return i


def scoord(relationship, graphic_type, points, source):
    i = item(relationship, "SCOORD", code("111030", "DCM", "Image Region"))
    i.GraphicType = graphic_type
    i.GraphicData = [float(v) for p in points for v in p]
    i.ContentSequence = Sequence([image_ref(source)])
    return i


def num(concept, value, unit, children):
    i = item("CONTAINS", "NUM", concept)
    m = Dataset()
    m.NumericValue = value
    m.MeasurementUnitsCodeSequence = Sequence([unit])
    i.MeasuredValueSequence = Sequence([m])
    i.ContentSequence = Sequence(children)
    return i


def text(concept, value):
    i = item("CONTAINS", "TEXT", concept)
    i.TextValue = value
    return i


def group(tracking, children):
    g = item("CONTAINS", "CONTAINER", code("125007", "DCM", "Measurement Group"))
    g.ContinuityOfContent = "SEPARATE"
    g.ContentSequence = Sequence([text(code("112039", "DCM", "Tracking Identifier"), tracking)] + children)
    return g


def write(source_path, out, variant):
    src = pydicom.dcmread(source_path, stop_before_pixels=True)
    mm = code("mm", "UCUM", "millimeter")
    if variant == "unknown-unit":
        mm = code("cm", "UCUM", "centimeter")
    far = 10000 if variant == "outside" else 0
    # A ruler the TID 1501 way (the length inferred from its line), a rectangle and an
    # ellipse the TID 1410 way (the region beside its values).
    ruler = group("Ruler A", [num(code("410668003", "SCT", "Length"), "12.5", mm,
                                  [scoord("INFERRED FROM", "POLYLINE", [(10, 20), (30 + far, 40)], src)])])
    mean = num(code("112031", "DCM", "Attenuation Coefficient"), "-3.25", code("[hnsf'U]", "UCUM", "Hounsfield unit"),
               [item("HAS CONCEPT MOD", "CODE", code("121401", "DCM", "Derivation"))])
    mean.ContentSequence[0].ConceptCodeSequence = Sequence([code("373098007", "SCT", "Mean")])
    box = group("Box", [scoord("CONTAINS", "POLYLINE", [(5, 6), (25, 6), (25, 16), (5, 16), (5, 6)], src), mean,
                        text(code("121106", "DCM", "Comment"), "Roi-7")])
    oval = group("Oval", [scoord("CONTAINS", "ELLIPSE", [(40, 50), (60, 50), (50, 45), (50, 55)], src)])

    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = COMPREHENSIVE_SR
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(out, {}, file_meta=meta, preamble=b"\0" * 128)
    for keyword in ("PatientName", "PatientID", "PatientBirthDate", "PatientSex", "StudyInstanceUID", "StudyDate",
                    "StudyTime", "StudyID", "AccessionNumber", "ReferringPhysicianName"):
        setattr(ds, keyword, getattr(src, keyword, ""))
    ds.SOPClassUID, ds.SOPInstanceUID = COMPREHENSIVE_SR, meta.MediaStorageSOPInstanceUID
    ds.Modality, ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = "SR", generate_uid(), 1, 1
    ds.Manufacturer, ds.ContentDate, ds.ContentTime = "pydicom", "20240101", "120000"
    ds.ValueType, ds.ContinuityOfContent = "CONTAINER", "SEPARATE"
    ds.CompletionFlag, ds.VerificationFlag = "COMPLETE", "UNVERIFIED"
    if variant == "not-tid1500":
        ds.ConceptNameCodeSequence = Sequence([code("18748-4", "LN", "Diagnostic Imaging Report")])
        ds.ContentSequence = Sequence([text(code("121071", "DCM", "Finding"), "Nothing to measure")])
    else:
        ds.ConceptNameCodeSequence = Sequence([code("126000", "DCM", "Imaging Measurement Report")])
        template = Dataset()
        template.MappingResource, template.TemplateIdentifier = "DCMR", "1500"
        ds.ContentTemplateSequence = Sequence([template])
        measurements = item("CONTAINS", "CONTAINER", code("126010", "DCM", "Imaging Measurements"))
        measurements.ContinuityOfContent = "SEPARATE"
        measurements.ContentSequence = Sequence([ruler, box, oval])
        ds.ContentSequence = Sequence([measurements])
    ds.save_as(out, write_like_original=False)


def values(path):
    def walk(items):
        for i in items:
            if i.ValueType == "NUM":
                m = i.MeasuredValueSequence[0]
                value = float(m.FloatingPointValue) if "FloatingPointValue" in m else float(m.NumericValue)
                derivation = [c.ConceptCodeSequence[0].CodeMeaning for c in i.get("ContentSequence", [])
                              if c.ValueType == "CODE" and c.ConceptNameCodeSequence[0].CodeValue == "121401"]
                name = derivation[0] if derivation else i.ConceptNameCodeSequence[0].CodeMeaning
                print("%s|%s|%r" % (name, m.MeasurementUnitsCodeSequence[0].CodeValue, value))
            walk(i.get("ContentSequence", []))
    def measurements(items):
        for i in items:
            if i.ValueType == "CONTAINER" and i.ConceptNameCodeSequence[0].CodeValue == "126010":
                walk(i.ContentSequence)
            else:
                measurements(i.get("ContentSequence", []))
    measurements(pydicom.dcmread(path).ContentSequence)


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        values(sys.argv[2])
