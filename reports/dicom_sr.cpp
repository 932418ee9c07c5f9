// Writing a measurement report: DCMTK's TID 1500 classes make the document, one TID 1501 group per shape.
#include "reports/dicom_common.h"
#include "reports/dicom_module_functions.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmsr/cmr/cid5000.h>
#include <dcmtk/dcmsr/cmr/tid1500.h>
#include <dcmtk/dcmsr/codes/dcm.h>
#include <dcmtk/dcmsr/dsrdoc.h>

#include <cmath>

namespace kelvo::reports::dicom {

namespace {

void Check(const OFCondition& status, const char* what) {
    if (status.bad()) Fail(TReportError::Unwritable, QStringLiteral("%1 (%2)").arg(QLatin1String(what), status.text()));
}

std::string NewUid() {
    char uid[100];
    return dcmGenerateUniqueIdentifier(uid, SITE_INSTANCE_UID_ROOT);
}

DSRImageReferenceValue ImageReference(const TSource& source, int32_t frame) {
    DSRImageReferenceValue ref(source.SopClassUid.c_str(), source.SopInstanceUid.c_str());
    // Frames are named only in multi-frame images, from 1.
    if (source.Frames > 1) ref.getFrameList().addItem(Sint32(frame + 1));
    return ref;
}

DSRSpatialCoordinatesValue Coordinates(const TAnnotation& shape) {
    const TOutline outline = OutlineOf(shape);
    DSRSpatialCoordinatesValue value(outline.Ellipse ? DSRTypes::GT_Ellipse : DSRTypes::GT_Polyline);
    for (const auto& [x, y] : outline.Points) value.getGraphicDataList().addItem(x, y);
    return value;
}

DSRCodedEntryValue ConceptOf(const TReportValue& v) {
    switch (v.Kind) {
    case TValueKind::Length:
        return code::Length();
    case TValueKind::Area:
        return code::Area();
    case TValueKind::Angle:
        return code::Angle();
    default:
        return v.Unit == QLatin1String("[hnsf'U]") ? code::Attenuation() : code::PixelValue();
    }
}

using TGroup = CMR_TID1501_in_TID1500;

// "0.25 × 0.25 mm per pixel (column × row), set by the user from a ruler of known length".
QString CalibrationNote(const TMeasurement& m) {
    return QStringLiteral("%1 x %2 mm per pixel (column x row), set by the user from a ruler of known length")
        .arg(QString::fromStdString(DecimalString(m.MmPerPixelX)), QString::fromStdString(DecimalString(m.MmPerPixelY)));
}

// The first value of a group carries the shape's outline; the others are measured on
// the same region, which a reader finds there (once per group keeps large reports small).
void AddValue(TGroup& group, const TReportValue& v, const TSource& source, const TReportImage& image,
              const TAnnotation& shape, bool first) {
    TGroup::MeasurementValue number(DecimalString(v.Value).c_str(), CID7181_AbstractMultiDimensionalImageModelComponentUnits(
                                                                       code::Unit(v.Unit)));
    // The decimal string holds 16 characters; the double beside it keeps the value exactly.
    Check(number.setFloatingPointRepresentation(v.Value), "the exact value");
    Check(group.addMeasurement(CID7469_GenericIntensityAndSizeMeasurements(ConceptOf(v)), number), "a measurement");
    CMR_TID300_in_TID1501_in_TID1500& m = group.getMeasurement();
    if (v.Kind != TValueKind::Length && v.Kind != TValueKind::Area && v.Kind != TValueKind::Angle)
        Check(m.setDerivation(CID7464_GeneralRegionOfInterestMeasurementModifiers(code::Derivation(v.Kind))),
              "a derivation");
    if (first)
        Check(m.addSpatialCoordinates(CODE_DCM_ImageRegion, Coordinates(shape), ImageReference(source, image.Frame)),
              "a region");
}

QString TrackingName(const TAnnotation& shape, const TMeasurement* m, size_t index) {
    if (m != nullptr && !m->Name.isEmpty()) return m->Name;
    if (!shape.Caption.isEmpty()) return shape.Caption;
    return QStringLiteral("%1 %2").arg(KindTitle(shape.Kind)).arg(index + 1);
}

// Shapes without values (arrows, regions on a picture without values) keep their
// outline as the group's image region (as TID 1410 places it), added once the template
// has become a document tree.
struct TPendingRegion {
    size_t Group;
    DSRSpatialCoordinatesValue Region;
    DSRImageReferenceValue Image;
};

void AddPendingRegions(DSRDocumentTree& tree, const std::vector<TPendingRegion>& pending) {
    const DSRCodedEntryValue group(CODE_DCM_MeasurementGroup);
    size_t index = 0, next = 0;
    for (size_t node = tree.gotoNamedNode(group); node > 0 && next < pending.size();
         node = tree.gotoNextNamedNode(group), ++index) {
        if (pending[next].Group != index) continue;
        Check(tree.addContentItem(DSRTypes::RT_contains, DSRTypes::VT_SCoord, DSRTypes::AM_belowCurrent) > 0 ? EC_Normal
                                                                                                              : EC_IllegalCall,
              "an image region");
        Check(tree.getCurrentContentItem().setConceptName(CODE_DCM_ImageRegion), "an image region");
        Check(tree.getCurrentContentItem().setSpatialCoordinates(pending[next].Region), "an image region");
        Check(tree.addContentItem(DSRTypes::RT_selectedFrom, DSRTypes::VT_Image, DSRTypes::AM_belowCurrent) > 0
                  ? EC_Normal
                  : EC_IllegalCall,
              "an image reference");
        Check(tree.getCurrentContentItem().setImageReference(pending[next].Image), "an image reference");
        tree.goUp();
        tree.goUp();
        ++next;
    }
    if (next != pending.size()) Fail(TReportError::Unwritable, QStringLiteral("a measurement group went missing"));
}

} // namespace

QByteArray WriteSr(const std::vector<TReportImage>& images) {
    AddStandardDictionary();
    if (images.empty()) Fail(TReportError::Unwritable, QStringLiteral("no image given"));
    std::vector<TSource> sources;
    for (const TReportImage& image : images) sources.push_back(ReadSource(image.File));

    CMR_TID1500 report(CMR_CID7021::ImagingMeasurementReport);
    Check(report.setLanguage(CID5000_Languages(CID5000_Languages::English)), "the language");
    Check(report.getObservationContext().addDeviceObserver(NewUid(), "Kelvo"), "the observer");
    Check(report.addProcedureReported(
              CID100_QuantitativeDiagnosticImagingProcedures(DSRCodedEntryValue("363679005", "SCT", "Imaging procedure"))),
          "the procedure");
    Check(report.getImageLibrary().createNewImageLibrary(), "the image library");
    for (TSource& s : sources) {
        Check(report.getImageLibrary().addImageGroup(), "the image library");
        Check(report.getImageLibrary().addImageEntry(s.Data(), TID1600_ImageLibrary::withAllDescriptors), "an image");
    }
    std::vector<TPendingRegion> pending;
    size_t groups = 0;
    for (size_t i = 0; i < images.size(); ++i) {
        const TReportImage& image = images[i];
        for (size_t j = 0; j < image.Shapes.size(); ++j) {
            const TAnnotation& shape = image.Shapes[j];
            const TMeasurement* m = j < image.Measurements.size() ? &image.Measurements[j] : nullptr;
            if (groups > 0) Check(report.addIndividualMeasurements(OFFalse), "a measurement group");
            TGroup& group = report.getIndividualMeasurements();
            Check(group.setTrackingIdentifier(Utf8(TrackingName(shape, m, j)).c_str()), "a tracking identifier");
            Check(group.setTrackingUniqueIdentifier(NewUid()), "a tracking identifier");
            const std::vector<TReportValue> values = m != nullptr ? ReportValues(*m) : std::vector<TReportValue>{};
            for (size_t k = 0; k < values.size(); ++k) AddValue(group, values[k], sources[i], image, shape, k == 0);
            if (values.empty()) pending.push_back({groups, Coordinates(shape), ImageReference(sources[i], image.Frame)});
            // A qualitative evaluation (TID 1501) rather than a method or modifier of each
            // value: those take coded values from fixed context groups, and the note is
            // for the group's lengths and areas alike. Readers that do not know the
            // concept pass over it; the values keep their plain UCUM units.
            if (m != nullptr && m->Calibrated && !values.empty()) {
                Check(group.addQualitativeEvaluation(code::UserCalibration(), Utf8(CalibrationNote(*m)).c_str()),
                      "the calibration note");
            }
            if (!shape.Caption.isEmpty())
                Check(group.addQualitativeEvaluation(CODE_DCM_Comment, Utf8(shape.Caption).c_str()), "a caption");
            ++groups;
        }
    }

    DSRDocument document(DSRTypes::DT_ComprehensiveSR);
    Check(document.setTreeFromRootTemplate(report), "the document tree");
    AddPendingRegions(document.getTree(), pending);
    Check(document.setSpecificCharacterSetType(DSRTypes::CS_UTF8), "the character set");
    Check(document.createNewSeriesInStudy(sources.front().StudyUid.c_str()), "the series");
    Check(document.setSeriesDescription("Kelvo measurements"), "the series description");
    Check(document.setManufacturer("Kelvo"), "the manufacturer");
    for (TSource& s : sources) {
        Check(document.getCurrentRequestedProcedureEvidence().addItem(s.StudyUid.c_str(), s.SeriesUid.c_str(),
                                                                      s.SopClassUid.c_str(), s.SopInstanceUid.c_str()),
              "the evidence");
    }
    DcmFileFormat file;
    Check(document.write(*file.getDataset()), "the document");
    DcmDataset source(sources.front().Data());
    source.convertToUTF8();
    CopyPatientAndStudy(source, *file.getDataset());
    file.getDataset()->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    return ToBytes(file);
}

} // namespace kelvo::reports::dicom
