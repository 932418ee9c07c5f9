// Cost of a full canvas paint against the bare picture stretch, and of one mouse-move feedback pair.
#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "canvas/my_cad.h"
#include "canvas/shape.h"
#include "canvas/view_navigation.h"
#include "imaging/picture.h"
#include "platform/surface.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPainter>
#include <QMouseEvent>
#include <QPolygon>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

#include <cstdlib>
#include <memory>
#include <random>

using namespace kelvo;

namespace {

QImage Picture() {
    QImage img(512, 512, QImage::Format_RGB32);
    for (int y = 0; y < 512; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(img.scanLine(y));
        for (int x = 0; x < 512; ++x) {
            const uint32_t g = uint32_t((x ^ y) & 0xFF);
            row[x] = 0xFF000000u | (g << 16) | (g << 8) | g;
        }
    }
    return img;
}

// Gives the canvas `count` shapes of every kind spread over a square of `side` picture
// pixels, with their labels and shadows, as the main window sets them up.
void AddShapes(TMyCAD& cad, int count, int side) {
    TFont font;
    font.Name = QStringLiteral("Arial");
    font.Height = -12;
    font.Color = clYellow;
    cad.SetFont(font);
    TPen pen;
    pen.Color = clYellow;
    cad.SetPen(pen);
    cad.SetShadow(true);
    cad.SetDICOMStyle(true);
    cad.AnnotationDialog = [](TMyCAD*) { return QStringLiteral("note"); };
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pos(0, side - 62);
    std::uniform_int_distribution<int> size(10, 60);
    const TDrawTool kinds[] = {SpRectangle, SpEllipse, SpRuleLine, SpPolyLine, SpLine, SpSector};
    for (int i = 0; i < count; ++i) {
        const TDrawTool kind = kinds[i % 6];
        cad.SetShapeTool(kind);
        auto shape = cad.CreateShape(kind);
        const int x = pos(rng);
        const int y = pos(rng);
        const int w = size(rng);
        const int h = size(rng);
        shape->Points = {{x, y}, {x + w, y + h}};
        if (kind == SpPolyLine || kind == SpSector) {
            shape->Points.push_back({x, y + h});
        }
        cad.AddShape(std::move(shape));
    }
    cad.SetShapeTool(SpNone);
}

// A canvas as the main window sets it up, holding `count` shapes of every kind spread
// over the picture, with their labels and shadows.
std::unique_ptr<TMyCAD> MakeCanvas(double zoom, int count) {
    auto cad = std::make_unique<TMyCAD>();
    cad->SetBackGround(Picture());
    cad->SetZoom(zoom);
    AddShapes(*cad, count, 512);
    cad->Paint();
    return cad;
}

void BM_StretchPicture(benchmark::State& state) {
    const double zoom = double(state.range(0));
    const QImage picture = Picture();
    const int side = int(512 * zoom);
    for (auto _ : state) {
        QImage zoomed = StretchImage(picture, side, side);
        benchmark::DoNotOptimize(zoomed.constBits());
    }
}
BENCHMARK(BM_StretchPicture)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_Paint(benchmark::State& state) {
    auto cad = MakeCanvas(double(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        cad->Paint();
        benchmark::DoNotOptimize(cad->Image().constBits());
    }
}
BENCHMARK(BM_Paint)
    ->ArgsProduct({{1, 2}, {0, 100, 1000, 3000, 10000, 50000}})
    ->Args({4, 0})
    ->Args({4, 1000})
    ->Unit(benchmark::kMillisecond);

// The yardstick for a full paint: Qt's own rasteriser (QPainter, not antialiased)
// drawing the same outlines with their shadows and the same labels onto the same
// stretched picture.
void BM_QPainterOutlines(benchmark::State& state) {
    const double zoom = double(state.range(0));
    auto cad = MakeCanvas(zoom, int(state.range(1)));
    const QImage picture = Picture();
    const int side = int(512 * zoom);
    QFont labelFont(QStringLiteral("Arial"));
    labelFont.setPixelSize(12);
    const auto at = [zoom](TPoint p, int shift) { return QPoint(int(p.X * zoom) + shift, int(p.Y * zoom) + shift); };
    for (auto _ : state) {
        QImage image = StretchImage(picture, side, side);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setFont(labelFont);
        painter.setBrush(Qt::NoBrush);
        for (int pass = 0; pass < 2; ++pass) {
            const int shift = pass == 0 ? 1 : 0;
            painter.setPen(pass == 0 ? Qt::black : Qt::yellow);
            for (int32_t i = cad->ShapeCount() - 1; i >= 0; --i) {
                TMyShape* shape = cad->Shape(i);
                const auto& pts = shape->Points;
                if (pts.size() < 2) continue;
                const QPoint a = at(pts[0], shift);
                const QPoint b = at(pts[1], shift);
                // An ellipse is a kind of rectangle: asked first.
                if (dynamic_cast<TMyEllipse*>(shape) != nullptr) {
                    painter.drawEllipse(QRect(a, b));
                } else if (dynamic_cast<TMyRectangle*>(shape) != nullptr) {
                    painter.drawRect(QRect(a, b));
                } else {
                    QPolygon line;
                    for (const TPoint& p : pts) line << at(p, shift);
                    painter.drawPolyline(line);
                }
                painter.drawText(b, shape->Caption());
            }
        }
        painter.end();
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_QPainterOutlines)
    ->ArgsProduct({{1, 2}, {100, 1000, 3000, 10000, 50000}})
    ->Unit(benchmark::kMillisecond);

// A 2048 x 2048 16-bit picture at zoom 1 in a 1280 x 1024 scroll area, with `count`
// shapes spread over all of it: the canvas renders the visible part only.
struct ScrolledScene {
    explicit ScrolledScene(int count) {
        auto picture = std::make_shared<imaging::TPicture>();
        picture->Allocate(2048, 2048, 1, 1, imaging::TSampleType::U16, 16);
        auto* v = reinterpret_cast<uint16_t*>(picture->Data());
        for (int y = 0; y < 2048; ++y) {
            for (int x = 0; x < 2048; ++x) {
                v[size_t(y) * 2048 + size_t(x)] = uint16_t((x * 37 + y * 101) % 4096);
            }
        }
        picture->ComputeRange();
        scroll.resize(1280, 1024);
        cad = new TMyCAD();
        scroll.setWidget(cad);
        cad->SetPicture(picture);
        AddShapes(*cad, count, 2048);
        scroll.show();
        QCoreApplication::processEvents();
        cad->Paint();
    }
    QScrollArea scroll;
    TMyCAD* cad;
};

// One 32-pixel step of the vertical scroll bar, shown at once.
void BM_ScrollStep2048(benchmark::State& state) {
    ScrolledScene scene(int(state.range(0)));
    QScrollBar* bar = scene.scroll.verticalScrollBar();
    int y = 0;
    int step = 32;
    for (auto _ : state) {
        if (y + step > bar->maximum() || y + step < 0) {
            step = -step;
        }
        y += step;
        bar->setValue(y);
        scene.cad->repaint();
    }
    state.counters["visible_px"] = double(scene.cad->ImageRect().width()) * scene.cad->ImageRect().height();
}
BENCHMARK(BM_ScrollStep2048)->Arg(10000)->Unit(benchmark::kMillisecond);

// One window/level step as the right drag makes it, rendered at once.
void BM_WindowStep2048(benchmark::State& state) {
    ScrolledScene scene(int(state.range(0)));
    double centre = 40;
    for (auto _ : state) {
        centre = centre > 400 ? 40 : centre + 7;
        scene.cad->SetWindow(imaging::TWindow{centre, 400});
        scene.cad->Paint();
    }
}
BENCHMARK(BM_WindowStep2048)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond);

// A 4096 x 4096 16-bit picture at zoom 8 in a 1280 x 1024 scroll area, with the view's
// gestures: from the event the window system would deliver to the frame shown.
struct ZoomedScene {
    ZoomedScene() {
        auto picture = std::make_shared<imaging::TPicture>();
        picture->Allocate(4096, 4096, 1, 1, imaging::TSampleType::U16, 16);
        auto* v = reinterpret_cast<uint16_t*>(picture->Data());
        for (size_t i = 0; i < size_t(4096) * 4096; ++i) {
            v[i] = uint16_t((i % 4096 * 37 + i / 4096 * 101) % 4096);
        }
        picture->ComputeRange();
        scroll.resize(1280, 1024);
        cad = new TMyCAD();
        scroll.setWidget(cad);
        cad->SetPicture(picture);
        navigation = new TViewNavigation(scroll, *cad);
        scroll.show();
        QCoreApplication::processEvents();
        navigation->ZoomAbout(8.0, QPoint(640, 512));
        cad->repaint();
    }
    void Send(QEvent&& e) { QApplication::sendEvent(cad, &e); }
    QScrollArea scroll;
    TMyCAD* cad;
    TViewNavigation* navigation;
};

// One 32-pixel step of a middle-button drag (and, as the yardstick, of the scroll bar).
void BM_PanStep4096Zoom8(benchmark::State& state) {
    ZoomedScene scene;
    const bool drag = state.range(0) != 0;
    QPoint at(600, 500);
    scene.Send(QMouseEvent(QEvent::MouseButtonPress, at, at, Qt::MiddleButton, Qt::MiddleButton, Qt::NoModifier));
    QScrollBar* bar = scene.scroll.verticalScrollBar();
    int step = 32;
    for (auto _ : state) {
        step = (at.y() > 900 || at.y() < 100) ? -step : step;
        at.ry() += step;
        if (drag) {
            scene.Send(QMouseEvent(QEvent::MouseMove, at, at, Qt::NoButton, Qt::MiddleButton, Qt::NoModifier));
        } else {
            bar->setValue(bar->value() - step);
        }
        scene.cad->repaint();
    }
    state.counters["zoom"] = scene.cad->Zoom();
}
BENCHMARK(BM_PanStep4096Zoom8)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// One Alt+wheel notch about the cursor, in and out between zoom 8 and 10.
void BM_WheelZoomStep4096Zoom8(benchmark::State& state) {
    ZoomedScene scene;
    const QPointF at(600, 500);
    int notch = 120;
    for (auto _ : state) {
        scene.Send(QWheelEvent(at, at, QPoint(), QPoint(0, notch), Qt::NoButton, Qt::AltModifier, Qt::NoScrollPhase,
                               false));
        scene.cad->repaint();
        notch = -notch;
    }
    state.counters["zoom"] = scene.cad->Zoom();
}
BENCHMARK(BM_WheelZoomStep4096Zoom8)->Unit(benchmark::kMillisecond);

// A left click (press and release, no move) on a shape with the select tool: on the
// selected shape again (0), or on each of two shapes in turn, moving the selection (1).
void BM_ClickShape(benchmark::State& state) {
    auto cad = MakeCanvas(1, int(state.range(0)));
    // Two rectangles added last lie on top of every other shape.
    const TPoint centres[2] = {{100, 100}, {300, 300}};
    for (const TPoint& c : centres) {
        cad->SetShapeTool(SpRectangle);
        auto target = cad->CreateShape(SpRectangle);
        target->AddPoint({c.X - 20, c.Y - 15});
        target->AddPoint({c.X + 20, c.Y + 15});
        cad->AddShape(std::move(target));
    }
    cad->SetShapeTool(SpNone);
    cad->Paint();
    int k = 0;
    for (auto _ : state) {
        const TPoint at = centres[state.range(1) != 0 ? (++k & 1) : 0];
        cad->MouseDown(TMouseButton::mbLeft, {}, at.X, at.Y);
        cad->MouseUp(TMouseButton::mbLeft, {}, at.X, at.Y);
    }
}
BENCHMARK(BM_ClickShape)->Args({50000, 0})->Args({50000, 1})->Unit(benchmark::kMillisecond);

// One mouse move while a rectangle is spanned: erase and redraw of the rubber band.
void BM_RubberBandMove(benchmark::State& state) {
    auto cad = MakeCanvas(double(state.range(0)), int(state.range(1)));
    cad->SetShapeTool(SpRectangle);
    cad->MouseDown(TMouseButton::mbLeft, {}, 100, 100);
    int k = 0;
    for (auto _ : state) {
        ++k;
        cad->MouseMove({}, 300 + (k & 1), 250 + (k & 1));
    }
    cad->SetShapeTool(SpNone);
}
BENCHMARK(BM_RubberBandMove)->Args({1, 1})->Args({4, 1000})->Args({4, 10000})->Unit(benchmark::kMicrosecond);

// One mouse move while a rectangle of the same screen size is dragged.
void BM_MovingShapeMove(benchmark::State& state) {
    auto cad = MakeCanvas(double(state.range(0)), int(state.range(1)));
    cad->SetShapeTool(SpRectangle);
    auto target = cad->CreateShape(SpRectangle);
    target->AddPoint({200, 200});
    target->AddPoint({400, 360});
    cad->AddShape(std::move(target));
    cad->SetShapeTool(SpNone);
    cad->MouseDown(TMouseButton::mbLeft, {}, 300, 280);
    if (cad->Mode() != ModeMove) {
        state.SkipWithError("the press did not pick the rectangle");
        return;
    }
    int k = 0;
    for (auto _ : state) {
        ++k;
        cad->MouseMove({}, 310 + (k & 1), 290 + (k & 1));
    }
    cad->ReleaseCursor();
}
BENCHMARK(BM_MovingShapeMove)->Args({1, 1})->Args({4, 1000})->Args({4, 10000})->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
