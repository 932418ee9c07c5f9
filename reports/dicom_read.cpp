// Reading a measurement report (TID 1500, ours or another program's) or a presentation state back into shapes per referenced image.
#include "reports/dicom_common.h"
#include "reports/dicom_module_functions.h"
#include "reports/dicom_pstate.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmpstat/dvpsgr.h>
#include <dcmtk/dcmpstat/dvpstx.h>
#include <dcmtk/dcmsr/codes/dcm.h>
#include <dcmtk/dcmsr/dsrdoc.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

namespace kelvo::reports::dicom {

namespace {

using TFloats = std::vector<std::pair<float, float>>;

// Collects shapes per (image, frame), keeping the targets' bounds and naming the rest.
class TCollector {
public:
    TCollector(const QString& name, const std::vector<TReportTarget>& targets) : name_(name), targets_(targets) {}

    void Add(const QString& uid, int32_t frame, TAnnotation shape, std::vector<TReportValue> values) {
        if (!targets_.empty()) {
            const auto t = std::find_if(targets_.begin(), targets_.end(),
                                        [&uid](const TReportTarget& x) { return x.SopInstanceUid == uid; });
            if (t == targets_.end()) {
                if (!read_.MissingImages.contains(uid)) read_.MissingImages.push_back(uid);
                return;
            }
            CheckInside(shape, *t);
            if (frame < 0 || frame >= std::max(1, t->Frames))
                Fail(TReportError::OutsideImage, QStringLiteral("frame %1 of %2").arg(frame + 1).arg(uid));
        }
        auto it = std::find_if(read_.Images.begin(), read_.Images.end(), [&](const TReportShapes& s) {
            return s.SopInstanceUid == uid && s.Frame == frame;
        });
        if (it == read_.Images.end()) {
            read_.Images.push_back(TReportShapes{uid, frame, {}, {}});
            it = read_.Images.end() - 1;
        }
        if (IsRegion(shape.Kind)) shape.RoiNumber = std::max(0, RoiNumberOf(shape.Caption));
        it->Shapes.push_back(std::move(shape));
        it->Values.push_back(std::move(values));
    }

    TReadReport Done(TReportKind kind) {
        read_.Kind = kind;
        if (!targets_.empty() && read_.Images.empty() && !read_.MissingImages.isEmpty())
            Fail(TReportError::OtherImage, name_);
        return std::move(read_);
    }

private:
    QString name_;
    const std::vector<TReportTarget>& targets_;
    TReadReport read_;
};

// --- measurement reports ---

struct TRegionRef {
    bool Found = false;
    DSRTypes::E_GraphicType Type = DSRTypes::GT_invalid;
    TFloats Points;
    QString Uid;
    int32_t Frame = 0;
};

struct TGroupRead {
    QString Caption;
    std::vector<TReportValue> Values;
    TRegionRef Region;
};

// Calls `visit` on each child of the current node, the cursor on it; the cursor is back
// on the node afterwards.
void Children(DSRDocumentTree& tree, const std::function<void()>& visit) {
    const size_t at = tree.getNodeID();
    if (tree.goDown() > 0) {
        do {
            const size_t child = tree.getNodeID();
            visit();
            tree.gotoNode(child);
        } while (tree.gotoNext() > 0);
    }
    tree.gotoNode(at);
}

std::optional<TValueKind> KindOfConcept(const DSRCodedEntryValue& name) {
    if (name == code::Length()) return TValueKind::Length;
    if (name == code::Area()) return TValueKind::Area;
    if (name == code::Angle()) return TValueKind::Angle;
    return std::nullopt;
}

QString KnownUnit(const DSRCodedEntryValue& unit) {
    for (const char* known : {"mm", "mm2", "deg", "[hnsf'U]", "1"}) {
        if (unit.getCodingSchemeDesignator() == "UCUM" && unit.getCodeValue() == known) return QLatin1String(known);
    }
    Fail(TReportError::UnknownUnit, QStringLiteral("%1 (%2)").arg(FromUtf8(unit.getCodeValue()),
                                                                  FromUtf8(unit.getCodingSchemeDesignator())));
}

void ReadRegion(DSRDocumentTree& tree, TRegionRef& region) {
    if (region.Found) return;
    DSRSpatialCoordinatesValue* scoord = tree.getCurrentContentItem().getSpatialCoordinatesPtr();
    if (scoord == nullptr) return;
    region.Found = true;
    region.Type = scoord->getGraphicType();
    const DSRGraphicDataList& list = scoord->getGraphicDataList();
    for (size_t i = 1; i <= list.getNumberOfItems(); ++i) {
        const DSRGraphicDataItem& p = list.getItem(i);
        region.Points.emplace_back(p.Column, p.Row);
    }
    Children(tree, [&] {
        const DSRImageReferenceValue* image = tree.getCurrentContentItem().getImageReferencePtr();
        if (image == nullptr) return;
        region.Uid = FromUtf8(image->getSOPInstanceUID());
        if (!image->getFrameList().isEmpty()) region.Frame = image->getFrameList().getItem(1) - 1;
    });
    if (region.Uid.isEmpty()) Fail(TReportError::Damaged, QStringLiteral("an image region without its image"));
}

void ReadMeasurement(DSRDocumentTree& tree, TGroupRead& group) {
    DSRContentItem& item = tree.getCurrentContentItem();
    const DSRNumericMeasurementValue* number = item.getNumericValuePtr();
    if (number == nullptr || number->isEmpty()) return;
    std::optional<TValueKind> kind = KindOfConcept(item.getConceptName());
    Children(tree, [&] {
        DSRContentItem& child = tree.getCurrentContentItem();
        if (child.getValueType() == DSRTypes::VT_Code && child.getConceptName() == CODE_DCM_Derivation)
            if (const auto d = DerivationKind(*child.getCodeValuePtr())) kind = d;
        if (child.getValueType() == DSRTypes::VT_SCoord) ReadRegion(tree, group.Region);
    });
    const QString unit = KnownUnit(number->getMeasurementUnit());
    if (!kind) return; // a measurement Kelvo does not draw (a volume, say)
    Float64 value = 0.0;
    if (number->getFloatingPointRepresentation(value).bad()) value = OFStandard::atof(number->getNumericValue().c_str());
    group.Values.push_back({*kind, value, unit});
}

TReadReport ReadSr(DcmDataset& data, const QString& name, const std::vector<TReportTarget>& targets) {
    DSRDocument document;
    if (document.read(data).bad()) Fail(TReportError::Damaged, name);
    DSRDocumentTree& tree = document.getTree();
    if (tree.gotoNamedNode(CODE_DCM_ImagingMeasurements) == 0) Fail(TReportError::NotTid1500, name);
    std::vector<TGroupRead> groups;
    const DSRCodedEntryValue groupConcept(CODE_DCM_MeasurementGroup);
    std::vector<size_t> nodes;
    for (size_t node = tree.gotoNamedNode(groupConcept); node > 0; node = tree.gotoNextNamedNode(groupConcept))
        nodes.push_back(node);
    TCollector out(name, targets);
    for (size_t node : nodes) {
        tree.gotoNode(node);
        TGroupRead group;
        Children(tree, [&] {
            DSRContentItem& item = tree.getCurrentContentItem();
            switch (item.getValueType()) {
            case DSRTypes::VT_Text:
                if (item.getConceptName() == CODE_DCM_Comment) group.Caption = FromUtf8(item.getStringValue());
                break;
            case DSRTypes::VT_Num:
                ReadMeasurement(tree, group);
                break;
            case DSRTypes::VT_SCoord:
                ReadRegion(tree, group.Region);
                break;
            default:
                break;
            }
        });
        if (!group.Region.Found) continue; // measured on the image as a whole: no shape
        const auto has = [&group](TValueKind k) {
            return std::any_of(group.Values.begin(), group.Values.end(), [k](const TReportValue& v) { return v.Kind == k; });
        };
        const DSRTypes::E_GraphicType type = group.Region.Type;
        if (type == DSRTypes::GT_Point || type == DSRTypes::GT_Multipoint)
            Fail(TReportError::UnsupportedShape, QStringLiteral("a point graphic"));
        TAnnotation shape = ShapeOf(type == DSRTypes::GT_Ellipse, type == DSRTypes::GT_Circle, group.Region.Points,
                                    has(TValueKind::Length), has(TValueKind::Angle));
        shape.Caption = group.Caption;
        out.Add(group.Region.Uid, group.Region.Frame, std::move(shape), std::move(group.Values));
    }
    return out.Done(TReportKind::MeasurementReport);
}

// --- presentation states ---

TPoint AnchorPointOf(const TAnnotation& shape) {
    if (shape.Points.empty()) return TPoint{};
    return shape.Kind == TShapeKind::Arrow && shape.Points.size() >= 2 ? shape.Points[1] : shape.Points.front();
}

std::vector<unsigned long> FramesOf(const OFString& frames) {
    std::vector<unsigned long> out;
    const QStringList parts = FromUtf8(frames).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& p : parts) {
        bool ok = false;
        const unsigned long f = p.trimmed().toULong(&ok);
        if (ok && f > 0) out.push_back(f);
    }
    if (out.empty()) out.push_back(1);
    return out;
}

void ReadLayer(TPresentationState& ps, const char* layer, const OFString& uid, unsigned long frame, TCollector& out) {
    const std::optional<TShapeKind> known = KindOfWord(QString::fromLatin1(layer).toLower());
    std::vector<TAnnotation> shapes;
    const size_t graphics = ps.Annotations().getNumberOfGraphicObjects(layer, uid.c_str(), frame);
    for (size_t k = 0; k < graphics; ++k) {
        DVPSGraphicObject* g = ps.Annotations().getGraphicObject(layer, uid.c_str(), frame, k);
        if (g == nullptr) continue;
        if (g->getAnnotationUnits() != DVPSA_pixels)
            Fail(TReportError::UnsupportedShape, QStringLiteral("a graphic placed on the display, not on the image"));
        if (g->getGraphicType() == DVPST_point) Fail(TReportError::UnsupportedShape, QStringLiteral("a point graphic"));
        TFloats points;
        for (size_t i = 0; i < g->getNumberOfPoints(); ++i) {
            Float32 x = 0, y = 0;
            g->getPoint(i, x, y);
            points.emplace_back(x, y);
        }
        shapes.push_back(ShapeOf(g->getGraphicType() == DVPST_ellipse, g->getGraphicType() == DVPST_circle, points,
                                 known == TShapeKind::Ruler, known == TShapeKind::Angle, known));
    }
    const size_t texts = ps.Annotations().getNumberOfTextObjects(layer, uid.c_str(), frame);
    for (size_t k = 0; k < texts; ++k) {
        DVPSTextObject* t = ps.Annotations().getTextObject(layer, uid.c_str(), frame, k);
        if (t == nullptr || !t->haveAnchorPoint() || t->getAnchorPointAnnotationUnits() != DVPSA_pixels) continue;
        const TPoint anchor{int32_t(std::nearbyint(t->getAnchorPoint_x())), int32_t(std::nearbyint(t->getAnchorPoint_y()))};
        const auto owner = std::find_if(shapes.begin(), shapes.end(), [&](const TAnnotation& s) {
            return s.Caption.isEmpty() && AnchorPointOf(s) == anchor;
        });
        if (owner != shapes.end()) owner->Caption = QString::fromUtf8(t->getText());
    }
    for (TAnnotation& s : shapes) out.Add(FromUtf8(uid), int32_t(frame) - 1, std::move(s), {});
}

// A value present, of its proper VR: DCMTK's presentation state keeps only values of the
// VR it expects, and leaves the others as missing strings.
bool HasValue(DcmItem& item, const DcmTagKey& key, DcmEVR vr) {
    DcmElement* element = nullptr;
    OFString text;
    return item.findAndGetElement(key, element).good() && element != nullptr && element->ident() == vr &&
           element->getOFString(text, 0).good() && !text.empty();
}

// DCMTK reads graphic annotations without their layer or image and then compares those
// missing strings when asked for an image's objects; such a state is refused first.
void CheckAnnotations(DcmDataset& data, const QString& name) {
    DcmSequenceOfItems* annotations = nullptr;
    if (data.findAndGetSequence(DCM_GraphicAnnotationSequence, annotations).bad() || annotations == nullptr) return;
    for (unsigned long i = 0; i < annotations->card(); ++i) {
        DcmItem* annotation = annotations->getItem(i);
        if (!HasValue(*annotation, DCM_GraphicLayer, EVR_CS))
            Fail(TReportError::Damaged, QStringLiteral("%1 (a graphic annotation without its layer)").arg(name));
        DcmSequenceOfItems* images = nullptr;
        if (annotation->findAndGetSequence(DCM_ReferencedImageSequence, images).bad() || images == nullptr) continue;
        for (unsigned long k = 0; k < images->card(); ++k) {
            for (const DcmTagKey& key : {DCM_ReferencedSOPClassUID, DCM_ReferencedSOPInstanceUID}) {
                if (!HasValue(*images->getItem(k), key, EVR_UI))
                    Fail(TReportError::Damaged, QStringLiteral("%1 (a graphic annotation without its image)").arg(name));
            }
        }
    }
}

TReadReport ReadPs(DcmDataset& data, const QString& name, const std::vector<TReportTarget>& targets) {
    CheckAnnotations(data, name);
    TPresentationState ps;
    if (ps.read(data).bad()) Fail(TReportError::Damaged, name);
    TCollector out(name, targets);
    for (size_t i = 0; i < ps.numberOfImageReferences(); ++i) {
        OFString study, series, sopClass, uid, frames, ae, fileSet, fileSetUid;
        if (ps.getImageReference(i, study, series, sopClass, uid, frames, ae, fileSet, fileSetUid).bad()) continue;
        for (unsigned long frame : FramesOf(frames)) {
            for (size_t l = 0; l < ps.getNumberOfGraphicLayers(); ++l) {
                if (const char* layer = ps.getGraphicLayerName(l)) ReadLayer(ps, layer, uid, frame, out);
            }
        }
    }
    return out.Done(TReportKind::PresentationState);
}

} // namespace

TReadReport Read(const QByteArray& bytes, const QString& name, const std::vector<TReportTarget>& targets) {
    AddStandardDictionary();
    const std::unique_ptr<DcmFileFormat> file = FromBytes(bytes, name);
    DcmDataset& data = *file->getDataset();
    OFString sopClass;
    data.findAndGetOFString(DCM_SOPClassUID, sopClass);
    if (sopClass == UID_GrayscaleSoftcopyPresentationStateStorage) return ReadPs(data, name, targets);
    if (DSRTypes::sopClassUIDToDocumentType(sopClass) != DSRTypes::DT_invalid) return ReadSr(data, name, targets);
    Fail(TReportError::NotAReport, name);
}

} // namespace kelvo::reports::dicom
