// Fuzzes the measuring canvas: the input is a script of operations on a fresh canvas:
// Qt mouse events (presses, double clicks, moves, releases of all three buttons) at
// positions from the canvas to far beyond the 32-bit limits, the handlers called
// directly with any 32-bit coordinates, shapes of every kind added with any points,
// tools, zooms from the smallest positive number to the largest, pictures, deletions
// and the label and shadow switches. Every step must stay defined (the build runs
// under AddressSanitizer and UBSan) and leave the canvas consistent.
#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "canvas/my_cad.h"
#include "support/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

namespace {

using kelvo::TMyCAD;
using kelvo::TMyShape;
using kelvo::TPoint;

// Pictures and zooms stay small enough that a paint is cheap; the zoom itself may be
// anything while there is no picture, so screen coordinates reach their limits.
constexpr int kMaxPictureSide = 64;
constexpr double kMaxShownSide = 1024;
constexpr int kMaxSteps = 256;

int32_t AnyInt32(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    // clang-format off
    case 0: return std::numeric_limits<int32_t>::min() + in.ConsumeIntegralInRange(0, 8);
    case 1: return std::numeric_limits<int32_t>::max() - in.ConsumeIntegralInRange(0, 8);
    case 2: return in.ConsumeIntegral<int32_t>();
    default: return in.ConsumeIntegralInRange(-300, 400);
        // clang-format on
    }
}

QPointF AnyPosition(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        // Beyond what 32 bits hold: the canvas must saturate, not convert blindly.
        return QPointF(in.ConsumeFloatingPointInRange(-1e12, 1e12), in.ConsumeFloatingPointInRange(-1e12, 1e12));
    }
    return QPointF(AnyInt32(in), AnyInt32(in)) + QPointF(in.ConsumeProbability<double>(), 0.0);
}

double AnyZoom(FuzzedDataProvider& in) {
    // clang-format off
    static const double table[] = {1.0, 0.5, 2.0, 1.0 / 64, 0.01, 1e-6, 1e-300, 32.0, 256.0, 1e6, 1e300, 0.0, -1.0,
                                   // clang-format on
                                   std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN()};
    if (in.ConsumeBool()) {
        return table[in.ConsumeIntegralInRange<size_t>(0, std::size(table) - 1)];
    }
    return in.ConsumeFloatingPoint<double>();
}

Qt::MouseButton AnyButton(FuzzedDataProvider& in) {
    static const Qt::MouseButton buttons[] = {Qt::LeftButton, Qt::LeftButton, Qt::RightButton, Qt::MiddleButton};
    return buttons[in.ConsumeIntegralInRange(0, 3)];
}

kelvo::TMouseButton AnyTButton(FuzzedDataProvider& in) { return kelvo::TMouseButton(in.ConsumeIntegralInRange(0, 2)); }

// Whether the picture at this zoom stays small enough to paint quickly.
bool Cheap(const QImage& picture, double zoom) {
    if (picture.isNull()) {
        return true;
    }
    return !(double(std::max(picture.width(), picture.height())) * zoom > kMaxShownSide);
}

void Check(const TMyCAD& cad, bool rawPoints) {
    const int32_t count = cad.ShapeCount();
    const int32_t selected = cad.SelectedIndex();
    FUZZ_CHECK(selected >= -1 && selected < count, "SelectedIndex " + std::to_string(selected));
    const kelvo::TMode mode = cad.Mode();
    FUZZ_CHECK(mode == kelvo::ModeNone || mode == kelvo::ModeDraw || mode == kelvo::ModeSelect ||
                   mode == kelvo::ModeResize || mode == kelvo::ModeMove,
               "Mode " + std::to_string(int(mode)));
    const kelvo::TDragState drag = cad.DragState();
    FUZZ_CHECK(drag == kelvo::DragNone || drag == kelvo::DragClickChain || drag == kelvo::DragButtonDown,
               "DragState " + std::to_string(int(drag)));
    FUZZ_CHECK(kelvo::SectorClicks >= 0 && kelvo::SectorClicks <= 2,
               "SectorClicks " + std::to_string(kelvo::SectorClicks));
    FUZZ_CHECK(std::isfinite(cad.Zoom()) && cad.Zoom() > 0.0, "zoom " + std::to_string(cad.Zoom()));
    FUZZ_CHECK(cad.width() <= kelvo::kMaxZoomedSide && cad.height() <= kelvo::kMaxZoomedSide, "canvas size");
    bool currentListed = cad.CurrentShape() == nullptr;
    for (int32_t i = 0; i < count; ++i) {
        const TMyShape* s = cad.Shape(i);
        FUZZ_CHECK(s != nullptr, "shape " + std::to_string(i));
        currentListed = currentListed || s == cad.CurrentShape();
        if (rawPoints) {
            continue;
        }
        for (const TPoint& p : s->Points) {
            FUZZ_CHECK(std::llabs(p.X) <= kelvo::kMaxImageCoordinate && std::llabs(p.Y) <= kelvo::kMaxImageCoordinate,
                       "shape " + std::to_string(i) + " point (" + std::to_string(p.X) + ", " + std::to_string(p.Y) +
                           ")");
        }
    }
    if (!currentListed) {
        // The shape under construction: alive (ASan checks the read), never moved.
        FUZZ_CHECK(cad.CurrentShape()->PointCount() >= 0, "shape under construction");
        FUZZ_CHECK(mode != kelvo::ModeMove && mode != kelvo::ModeResize, "moving an unlisted shape");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    static int qargc = 1;
    static char* qargv[] = {(*argv)[0], nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(qargc, qargv);
    return 0;
}

namespace {

// One fuzzing run: the input, the canvas it drives, and what the checks need to know.
struct TRun {
    FuzzedDataProvider& In;
    TMyCAD& Cad;
    bool RawPoints = false;
    Qt::MouseButtons Held;

    // A mouse event as Qt delivers it.
    void QtMouse() {
        static const QEvent::Type types[] = {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseMove,
                                             QEvent::MouseMove, QEvent::MouseButtonDblClick};
        const QEvent::Type type = types[In.ConsumeIntegralInRange(0, 4)];
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : AnyButton(In);
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) Held |= button;
        if (type == QEvent::MouseButtonRelease) Held &= ~Qt::MouseButtons(button);
        const QPointF p = AnyPosition(In);
        QMouseEvent e(type, p, Cad.mapToGlobal(p), button, Held, Qt::NoModifier);
        QApplication::sendEvent(&Cad, &e);
    }

    // A shape of any kind with any points, through the canvas's own conversion or
    // stored as they come.
    void AddAnyShape() {
        const auto tool = kelvo::TDrawTool(In.ConsumeIntegralInRange(1, 6));
        std::unique_ptr<TMyShape> shape = Cad.CreateShape(tool);
        const bool raw = In.ConsumeIntegralInRange(0, 3) == 0;
        const int n = In.ConsumeIntegralInRange(1, 6);
        for (int k = 0; k < n; ++k) {
            const TPoint p{AnyInt32(In), AnyInt32(In)};
            if (raw) {
                shape->Points.push_back(p);
            } else {
                shape->AddPoint(p);
            }
        }
        RawPoints = RawPoints || raw;
        if (In.ConsumeBool()) shape->Select();
        const kelvo::TDrawTool saved = Cad.ShapeTool();
        Cad.SetShapeTool(tool);
        Cad.AddShape(std::move(shape));
        Cad.SetShapeTool(saved);
        Cad.Paint();
    }

    void ChangeBackGround() {
        if (In.ConsumeIntegralInRange(0, 3) == 0) {
            Cad.SetBackGround(QImage());
            return;
        }
        QImage next(In.ConsumeIntegralInRange(1, kMaxPictureSide), In.ConsumeIntegralInRange(1, kMaxPictureSide),
                    QImage::Format_RGB32);
        next.fill(QColor(0x80, 0x80, 0x80));
        if (!Cheap(next, Cad.Zoom())) {
            Cad.SetZoom(1.0);
        }
        Cad.SetBackGround(next);
        Cad.Paint();
    }

    // Zoom, deletion, switches and pen width.
    void ChangeSettings(int what) {
        switch (what) {
        case 0: {
            const double zoom = AnyZoom(In);
            if (Cheap(Cad.BackGround(), zoom)) Cad.SetZoom(zoom);
            break;
        }
        case 1:
            if (In.ConsumeBool()) {
                Cad.DeleteSelected();
            } else {
                Cad.DeleteShape(In.ConsumeIntegralInRange(-1, Cad.ShapeCount()));
            }
            break;
        case 2:
            if (In.ConsumeBool()) {
                Cad.SetDICOMStyle(!Cad.DICOMStyle());
            } else {
                Cad.SetShadow(!Cad.Shadow());
            }
            break;
        default: {
            kelvo::TPen p = Cad.Pen();
            p.Width = In.ConsumeIntegralInRange(1, 10);
            Cad.SetPen(p);
            break;
        }
        }
    }

    void Step() {
        const int op = In.ConsumeIntegralInRange(0, 13);
        if (op <= 3) {
            QtMouse();
        } else if (op == 4) {
            Cad.MouseDown(AnyTButton(In), {}, AnyInt32(In), AnyInt32(In));
        } else if (op == 5) {
            Cad.MouseMove({}, AnyInt32(In), AnyInt32(In));
        } else if (op == 6) {
            Cad.MouseUp(AnyTButton(In), {}, AnyInt32(In), AnyInt32(In));
        } else if (op == 7) {
            Cad.SetShapeTool(kelvo::TDrawTool(In.ConsumeIntegralInRange(0, 7)));
        } else if (op == 9) {
            AddAnyShape();
        } else if (op == 13) {
            ChangeBackGround();
        } else {
            ChangeSettings(op == 8 ? 0 : op - 9);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    kelvo::ShapeSettings = kelvo::TShapeSettings{};
    kelvo::SectorClicks = 0;
    kelvo::RoiCount = 1;

    TMyCAD cad;
    kelvo::TPen pen;
    pen.Color = kelvo::clYellow;
    cad.SetPen(pen);
    QImage picture(in.ConsumeIntegralInRange(1, kMaxPictureSide), in.ConsumeIntegralInRange(1, kMaxPictureSide),
                   QImage::Format_RGB32);
    picture.fill(QColor(0x40, 0x40, 0x40));
    cad.SetBackGround(picture);
    cad.SetZoom(1.0);
    cad.SetShapeTool(kelvo::TDrawTool(in.ConsumeIntegralInRange(0, 6)));
    TRun run{in, cad, false, {}};
    cad.AnnotationDialog = [&in](TMyCAD* sender) {
        // The dialog's event loop may run anything; deleting shapes is the harshest.
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            sender->DeleteShape(sender->ShapeCount() - 1);
        }
        return QString::fromStdString(in.ConsumeRandomLengthString(80));
    };
    for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
        run.Step();
        Check(cad, run.RawPoints);
    }
    cad.Paint();
    Check(cad, run.RawPoints);
    return 0;
}
