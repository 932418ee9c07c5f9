// A seeded random-input soak of the canvas: presses, moves and releases of all three
// buttons over and outside the canvas, delivered as Qt mouse events, mixed with tool
// and zoom changes, deletions and the label and shadow switches. After every event
// the canvas must be consistent; at the end the sanitizer build checks for leaks.
//
// KELVO_SOAK_EVENTS sets the number of events (10000 by default; scripts/soak runs
// 100000), KELVO_SOAK_SEED the seed (1). A failure names the seed and the event, so
// the run replays exactly.
#include "canvas/my_cad.h"
#include "canvas/shape.h"
#include "support/canvas_fixture.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

int64_t EnvOr(const char* name, int64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoll(v, nullptr, 10) : fallback;
}

// No stored coordinate of a shape may come near the ends of 32 bits: beyond this,
// conversions to the screen saturate and the shape can no longer be drawn or hit.
constexpr int64_t kAbsurd = int64_t(1) << 28;

class Soak : public CanvasTest {
protected:
    std::mt19937_64 rng_;
    std::string where_;
    int64_t farthest_ = 0; // the largest stored coordinate seen, for the summary

    int Below(int n) { return int(rng_() % uint64_t(n)); }

    // A coordinate anywhere in 32 bits, at or next to the limits half of the time.
    int Extreme() {
        constexpr int kMin = std::numeric_limits<int>::min(), kMax = std::numeric_limits<int>::max();
        switch (Below(6)) {
        // clang-format off
        case 0: return kMin + Below(3);
        case 1: return kMax - Below(3);
        case 2: return Below(2) == 0 ? kMin / 2 : kMax / 2;
        default: return int(uint32_t(rng_()));
            // clang-format on
        }
    }

    // A point over the canvas most of the time, else around or far outside it, up to
    // the 32-bit limits (where a captured mouse may report it).
    QPoint Point(const TMyCAD& cad) {
        const int w = std::max(cad.width(), 1), h = std::max(cad.height(), 1);
        switch (Below(12)) {
        // clang-format off
        case 0: return {Below(w + 600) - 300, Below(h + 600) - 300};
        case 1: return {Below(20001) - 10000, Below(20001) - 10000};
        case 2: return {Extreme(), Below(2) == 0 ? Extreme() : Below(h)};
        default: return {Below(w), Below(h)};
            // clang-format on
        }
    }

    void Check(TMyCAD& cad) {
        const int32_t count = cad.ShapeCount();
        const int32_t selected = cad.SelectedIndex();
        ASSERT_TRUE(selected >= -1 && selected < count) << where_ << ": SelectedIndex " << selected << " of " << count;
        const TMode mode = cad.Mode();
        ASSERT_TRUE(mode == ModeNone || mode == ModeDraw || mode == ModeSelect || mode == ModeResize ||
                    mode == ModeMove)
            << where_ << ": Mode " << int(mode);
        const TDragState drag = cad.DragState();
        ASSERT_TRUE(drag == DragNone || drag == DragClickChain || drag == DragButtonDown)
            << where_ << ": DragState " << int(drag);
        ASSERT_TRUE(SectorClicks >= 0 && SectorClicks <= 2) << where_ << ": SectorClicks " << SectorClicks;
        auto checkShape = [&](const TMyShape& s, const std::string& what) {
            for (const TPoint& p : s.Points) {
                farthest_ = std::max<int64_t>({farthest_, std::llabs(p.X), std::llabs(p.Y)});
                ASSERT_TRUE(std::llabs(p.X) < kAbsurd && std::llabs(p.Y) < kAbsurd)
                    << where_ << ": " << what << " has the point (" << p.X << ", " << p.Y << ")";
            }
        };
        bool currentInShapes = false;
        for (int32_t i = 0; i < count; ++i) {
            const TMyShape* s = cad.Shape(i);
            ASSERT_NE(s, nullptr) << where_;
            ASSERT_GE(s->PointCount(), 1) << where_ << ": committed shape " << i << " without points";
            checkShape(*s, "shape " + std::to_string(i));
            currentInShapes = currentInShapes || s == cad.CurrentShape();
        }
        // Otherwise it is the shape under construction: it must still be alive, which
        // the sanitizer build checks as this reads it.
        if (TMyShape* current = cad.CurrentShape(); current != nullptr && !currentInShapes) {
            ASSERT_LE(current->PointCount(), 1'000'000) << where_;
            checkShape(*current, "the shape under construction");
            ASSERT_NE(mode, ModeMove) << where_ << ": moving a shape that is not on the canvas";
            ASSERT_NE(mode, ModeResize) << where_ << ": resizing a shape that is not on the canvas";
        }
        const double zoom = cad.Zoom();
        ASSERT_TRUE(std::isfinite(zoom) && zoom > 0.0) << where_ << ": zoom " << zoom;
    }
};

Qt::MouseButton QtButton(int b) { return b == 0 ? Qt::LeftButton : b == 1 ? Qt::RightButton : Qt::MiddleButton; }

} // namespace

TEST_F(Soak, RandomMouseInputKeepsTheCanvasConsistent) {
    const int64_t events = EnvOr("KELVO_SOAK_EVENTS", 10000);
    const uint64_t seed = uint64_t(EnvOr("KELVO_SOAK_SEED", 1));
    rng_.seed(seed);
    const int32_t firstRoi = RoiCount;

    QWidget window;
    window.resize(800, 700);
    QLabel label(&window);
    auto* cad = new TMyCAD(&window); // owned by the window
    cad->move(100, 80);
    cad->SetLabelXY(&label);
    cad->SetBackGround(GreyPicture(512, 512));
    TPen pen;
    pen.Color = clYellow;
    cad->SetPen(pen);
    cad->SetZoom(1.0);
    cad->SetShapeTool(SpNone);
    int dialogs = 0;
    cad->AnnotationDialog = [&](TMyCAD*) {
        ++dialogs;
        return Below(3) == 0 ? QString() : QStringLiteral("note %1").arg(dialogs);
    };
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    Qt::MouseButtons held;
    QPoint last(0, 0);
    auto send = [&](QEvent::Type type, Qt::MouseButton button, QPoint p) {
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) held |= button;
        if (type == QEvent::MouseButtonRelease) held &= ~Qt::MouseButtons(button);
        QMouseEvent e(type, QPointF(p), cad->mapToGlobal(QPointF(p)), button, held, Qt::NoModifier);
        QApplication::sendEvent(cad, &e);
        last = p;
    };

    for (int64_t i = 0; i < events; ++i) {
        where_ = "seed " + std::to_string(seed) + ", event " + std::to_string(i);
        const int r = Below(1000);
        if (cad->ShapeCount() > 300 && Below(3) == 0) {
            // A user clears up now and then; without it a long run spends its time
            // repainting thousands of shapes.
            cad->DeleteShape(Below(cad->ShapeCount()));
        } else if (r < 450) {
            // Presses and releases outside the canvas reach it only while a button is
            // held (the platform's capture); moves follow the same rule.
            const QPoint p = Point(*cad);
            if (held != Qt::NoButton || cad->rect().contains(p)) send(QEvent::MouseMove, Qt::NoButton, p);
        } else if (r < 650) {
            const QPoint p = Point(*cad);
            if (held != Qt::NoButton || cad->rect().contains(p))
                send(QEvent::MouseButtonPress, QtButton(Below(10) < 6 ? 0 : 1 + Below(2)), p);
        } else if (r < 860) {
            // Release a held button mostly; now and then one that is not held.
            Qt::MouseButton b = QtButton(Below(3));
            if (held != Qt::NoButton && Below(5) != 0)
                b = (held & Qt::LeftButton)    ? Qt::LeftButton
                    : (held & Qt::RightButton) ? Qt::RightButton
                                               : Qt::MiddleButton;
            send(QEvent::MouseButtonRelease, b, Below(4) == 0 ? last : Point(*cad));
        } else if (r < 880) {
            const QPoint p = Point(*cad);
            if (cad->rect().contains(p)) send(QEvent::MouseButtonDblClick, QtButton(Below(3)), p);
        } else if (r < 930) {
            cad->SetShapeTool(TDrawTool(Below(7)));
        } else if (r < 950) {
            // Tiny zooms turn small drags into huge picture offsets; at 8, far picture
            // points reach the screen's limits.
            // clang-format off
            static const double zooms[] = {0.25, 0.5, 1.0, 1.0, 1.5, 2.0, 3.0, 1.0 / 64, 0.01, 1e-6, 1e-300,
                                           8.0, 0.0, -1.0, 1e9, std::numeric_limits<double>::quiet_NaN(),
                                           // clang-format on
                                           std::numeric_limits<double>::infinity()};
            cad->SetZoom(Below(5) == 0 ? 0.1 + Below(300) / 100.0 : zooms[Below(int(std::size(zooms)))]);
        } else if (r < 970) {
            if (Below(2) == 0)
                cad->DeleteSelected();
            else
                cad->DeleteShape(Below(cad->ShapeCount() + 3) - 1);
        } else if (r < 985) {
            cad->SetDICOMStyle(!cad->DICOMStyle());
        } else {
            cad->SetShadow(!cad->Shadow());
        }
        Check(*cad);
        if (::testing::Test::HasFatalFailure()) return;
        if ((i + 1) % 20000 == 0) {
            std::printf("soak: %lld events, %d shapes\n", static_cast<long long>(i + 1), cad->ShapeCount());
            std::fflush(stdout);
        }
    }
    // Region numbers are never reused, whatever was deleted.
    EXPECT_GE(RoiCount, firstRoi);
    std::printf("soak: %lld events, seed %llu, %d shapes at the end, %d annotation dialogs, regions up to %d, "
                "farthest coordinate %lld\n",
                static_cast<long long>(events), static_cast<unsigned long long>(seed), cad->ShapeCount(), dialogs,
                RoiCount, static_cast<long long>(farthest_));
}
