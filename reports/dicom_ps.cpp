// Writing a presentation state: the shapes as graphic and text objects on one layer per kind, with each image's window and displayed area.
#include "reports/dicom_common.h"
#include "reports/dicom_module_functions.h"
#include "reports/dicom_pstate.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmpstat/dvpsda.h>
#include <dcmtk/dcmpstat/dvpsgr.h>
#include <dcmtk/dcmpstat/dvpssv.h>
#include <dcmtk/dcmpstat/dvpstx.h>

#include <algorithm>
#include <cmath>

namespace kelvo::reports::dicom {

namespace {

void Check(const OFCondition& status, const char* what) {
    if (status.bad()) Fail(TReportError::Unwritable, QStringLiteral("%1 (%2)").arg(QLatin1String(what), status.text()));
}

template <typename T>
T* Made(T* object, const char* what) {
    if (object == nullptr) Fail(TReportError::Unwritable, QLatin1String(what));
    return object;
}

constexpr TShapeKind kKinds[] = {TShapeKind::Arrow,     TShapeKind::Ruler,     TShapeKind::Angle,
                                 TShapeKind::Polyline, TShapeKind::Rectangle, TShapeKind::Ellipse};

std::string LayerOf(TShapeKind kind) { return KindWord(kind).toUpper().toStdString(); }

// Where a caption's text object is anchored: an arrow's tip (drawn as the line from the
// text to its anchor), else the shape's first point.
TPoint AnchorOf(const TAnnotation& shape) {
    if (shape.Points.empty()) return TPoint{};
    return shape.Kind == TShapeKind::Arrow && shape.Points.size() >= 2 ? shape.Points[1] : shape.Points.front();
}

void AddShape(TPresentationState& ps, const TSource& s, unsigned long frame, DVPSObjectApplicability scope,
              const TAnnotation& shape) {
    const std::string layer = LayerOf(shape.Kind);
    const TOutline outline = OutlineOf(shape);
    if (!outline.Points.empty()) {
        std::vector<Float32> data;
        for (const auto& [x, y] : outline.Points) data.insert(data.end(), {x, y});
        DVPSGraphicObject* g = Made(ps.Annotations().addGraphicObject(layer.c_str(), s.SopClassUid.c_str(),
                                                                      s.SopInstanceUid.c_str(), frame, scope),
                                    "a graphic object");
        Check(g->setData(outline.Points.size(), data.data(), DVPSA_pixels), "a graphic");
        Check(g->setGraphicType(outline.Ellipse ? DVPST_ellipse : DVPST_polyline), "a graphic");
        Check(g->setFilled(OFFalse), "a graphic");
    }
    if (!shape.Caption.isEmpty()) {
        DVPSTextObject* t = Made(ps.Annotations().addTextObject(layer.c_str(), s.SopClassUid.c_str(),
                                                                s.SopInstanceUid.c_str(), frame, scope),
                                 "a text object");
        Check(t->setText(Utf8(shape.Caption).c_str()), "a caption");
        const TPoint anchor = AnchorOf(shape);
        Check(t->setAnchorPoint(anchor.X, anchor.Y, DVPSA_pixels, shape.Kind == TShapeKind::Arrow), "a caption");
    }
}

void AddView(TPresentationState& ps, const TSource& s, const TReportImage& image, unsigned long frame,
             DVPSObjectApplicability scope) {
    DVPSSoftcopyVOI* voi = Made(ps.Windows().createSoftcopyVOI(ps.Series(), s.SopClassUid.c_str(),
                                                               s.SopInstanceUid.c_str(), frame, s.Frames, scope),
                                "a window");
    Check(voi->setVOIWindow(image.Window.Center, std::max(1.0, image.Window.Width)), "a window");
    DVPSDisplayedArea* area = Made(ps.Areas().createDisplayedArea(ps.Series(), s.SopClassUid.c_str(),
                                                                  s.SopInstanceUid.c_str(), frame, s.Frames, scope),
                                   "a displayed area");
    // Displayed areas count whole pixels from 1\1 (the top-left pixel) to the last one shown.
    QRect shown = image.DisplayedArea.isEmpty() ? QRect(0, 0, s.Columns, s.Rows) : image.DisplayedArea;
    shown = shown.intersected(QRect(0, 0, s.Columns, s.Rows));
    if (shown.isEmpty()) shown = QRect(0, 0, s.Columns, s.Rows);
    const double zoom = image.Zoom > 0.0 && std::isfinite(image.Zoom) ? image.Zoom : 1.0;
    Check(area->setDisplayedArea(DVPSD_magnify, shown.left() + 1, shown.top() + 1, shown.right() + 1,
                                 shown.bottom() + 1, zoom),
          "a displayed area");
}

} // namespace

QByteArray WritePs(const std::vector<TReportImage>& images) {
    AddStandardDictionary();
    if (images.empty()) Fail(TReportError::Unwritable, QStringLiteral("no image given"));
    std::vector<TSource> sources;
    for (const TReportImage& image : images) {
        sources.push_back(ReadSource(image.File));
        sources.back().Data().convertToUTF8();
    }
    TPresentationState ps;
    Check(ps.createFromImage(sources.front().Data(), DVPSO_ignoreOverlays, DVPSV_ignoreVOI, OFFalse, OFFalse, OFTrue,
                             DVPSG_oneLayer),
          "the presentation state");
    for (size_t i = 1; i < sources.size(); ++i) Check(ps.addImageReference(sources[i].Data()), "an image reference");
    Check(ps.setPresentationLabel("KELVO"), "the label");
    for (TShapeKind kind : kKinds) {
        const bool used = std::any_of(images.begin(), images.end(), [kind](const TReportImage& image) {
            return std::any_of(image.Shapes.begin(), image.Shapes.end(),
                               [kind](const TAnnotation& a) { return a.Kind == kind; });
        });
        if (used) Check(ps.addGraphicLayer(LayerOf(kind).c_str(), Utf8(KindTitle(kind)).c_str()), "a layer");
    }
    for (size_t i = 0; i < images.size(); ++i) {
        const TSource& s = sources[i];
        const unsigned long frame = (unsigned long)(std::clamp(images[i].Frame, 0, s.Frames - 1)) + 1;
        const DVPSObjectApplicability scope = s.Frames > 1 ? DVPSB_currentFrame : DVPSB_currentImage;
        AddView(ps, s, images[i], frame, scope);
        for (const TAnnotation& shape : images[i].Shapes) AddShape(ps, s, frame, scope, shape);
    }
    DcmFileFormat file;
    Check(ps.write(*file.getDataset(), OFTrue), "the presentation state");
    // The series module's laterality (type 2C) is the image's; DCMTK leaves it out.
    DcmElement* laterality = nullptr;
    if (sources.front().Data().findAndGetElement(DCM_Laterality, laterality).good() && laterality != nullptr)
        file.getDataset()->insert(OFstatic_cast(DcmElement*, laterality->clone()), OFTrue);
    file.getDataset()->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    return ToBytes(file);
}

} // namespace kelvo::reports::dicom
