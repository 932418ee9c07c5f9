// The canvas inside a scroll area: its image covers only the viewport, and scrolling shows exactly the pixels of a whole-canvas render.
#include "canvas/my_cad.h"
#include "canvas/view_navigation.h"
#include "imaging/picture.h"
#include "support/canvas_fixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

// A monochrome 16-bit picture with a pattern that makes every stretch error visible.
std::shared_ptr<imaging::TPicture> Ramp(int w, int h) {
    auto p = std::make_shared<imaging::TPicture>();
    p->Allocate(w, h, 1, 1, imaging::TSampleType::U16, 16);
    auto* v = reinterpret_cast<uint16_t*>(p->Data());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            v[size_t(y) * size_t(w) + size_t(x)] = uint16_t((x * 37 + y * 101) % 4096);
        }
    }
    p->ComputeRange();
    return p;
}

// Empty when the images agree pixel for pixel; else where and how many differ.
std::string Differences(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) {
        return "sizes differ";
    }
    int count = 0;
    QPoint first;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if ((a.pixel(x, y) | 0xFF000000u) != (b.pixel(x, y) | 0xFF000000u) && count++ == 0) {
                first = QPoint(x, y);
            }
        }
    }
    return count == 0 ? std::string()
                      : std::to_string(count) + " differ, first at " + std::to_string(first.x()) + "," +
                            std::to_string(first.y());
}

class ViewportBacking : public CanvasTest {
protected:
    void SetUp() override {
        CanvasTest::SetUp();
        scroll_ = std::make_unique<QScrollArea>();
        scroll_->resize(300, 220);
        scroll_->setWidget(new TMyCAD());
        // The test moves the mouse itself: the platform's moves under a scrolled
        // canvas would move the feedback of one canvas and not the other.
        Cad()->setAttribute(Qt::WA_TransparentForMouseEvents);
        scroll_->show();
    }
    void TearDown() override {
        scroll_.reset();
        CanvasTest::TearDown();
    }
    TMyCAD* Cad() const { return static_cast<TMyCAD*>(scroll_->widget()); }
    QSize Viewport() const { return scroll_->viewport()->size(); }
    void ScrollTo(int x, int y) {
        scroll_->horizontalScrollBar()->setValue(x);
        scroll_->verticalScrollBar()->setValue(y);
        QApplication::processEvents();
        Cad()->repaint();
    }
    // The same state on both canvases: picture, zoom and a few shapes, one selected.
    static void Prepare(TMyCAD& cad, const std::shared_ptr<imaging::TPicture>& picture, double zoom) {
        ASSERT_TRUE(cad.SetPicture(picture));
        ASSERT_TRUE(cad.SetZoom(zoom));
        cad.ClearShapes();
        cad.SetPen(TPen{RGB(255, 255, 0), TPenStyle::psSolid, 2, TPenMode::pmCopy});
        TFont font;
        font.Name = QStringLiteral("Arial");
        font.Height = -12;
        font.Color = clYellow;
        cad.SetFont(font);
        const TDrawTool kinds[] = {SpRectangle, SpEllipse, SpRuleLine, SpPolyLine};
        std::vector<std::unique_ptr<TMyShape>> shapes;
        for (int i = 0; i < 4; ++i) {
            auto shape = cad.CreateShape(kinds[i]);
            shape->Points = {{20 + 60 * i, 15 + 30 * i}, {150 + 40 * i, 120 + 25 * i}};
            if (kinds[i] == SpPolyLine) {
                shape->Points.push_back({40, 190});
            }
            shape->SetCaption(QStringLiteral("Roi-%1").arg(i));
            shapes.push_back(std::move(shape));
        }
        cad.ReplaceShapes(0, 0, std::move(shapes));
        cad.SetShapeTool(SpNone);
    }
    // Selects the ellipse and starts moving it: hot points in copy mode, the outline in
    // xor, part of both beyond the first view.
    static void Feedback(TMyCAD& cad) {
        cad.MouseDown(TMouseButton::mbLeft, {}, 140, 100);
        cad.MouseMove({}, 190, 170);
        cad.MouseMove({}, 260, 230);
    }

    std::unique_ptr<QScrollArea> scroll_;
};

TEST_F(ViewportBacking, LargePictureAtHighZoomKeepsAnImageNoLargerThanTheViewport) {
    TMyCAD* cad = Cad();
    ASSERT_TRUE(cad->SetPicture(Ramp(4096, 4096)));
    ASSERT_TRUE(cad->SetZoom(4.0));
    QApplication::processEvents();
    cad->repaint();
    EXPECT_EQ(cad->size(), QSize(16384, 16384));
    EXPECT_LE(cad->Image().width(), Viewport().width());
    EXPECT_LE(cad->Image().height(), Viewport().height());
    ScrollTo(9000, 12000);
    EXPECT_EQ(cad->ImageRect(), QRect(QPoint(9000, 12000), Viewport()));
    // A pixel far from the view is still readable, and is the picture's own.
    const QImage far = cad->CanvasPixels(QRect(16380, 3, 1, 1));
    ASSERT_EQ(far.size(), QSize(1, 1));
    const imaging::TPicture& p = *cad->Picture();
    const QImage one = p.Render(0, cad->Window()).copy(4095, 0, 1, 1);
    EXPECT_EQ(Px(far, 0, 0), Px(one, 0, 0));
}

TEST_F(ViewportBacking, ScrolledViewsShowExactlyTheWholeRenderWithFeedback) {
    struct Case {
        double Zoom;
        QPoint Scroll[3];
    };
    const Case cases[] = {{1.0, {{0, 0}, {37, 91}, {120, 60}}},
                          {2.0, {{0, 0}, {250, 330}, {91, 13}}},
                          {3.0, {{0, 0}, {600, 500}, {5, 444}}}};
    const auto picture = Ramp(330, 290);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Zoom);
        TMyCAD whole;
        Prepare(whole, picture, c.Zoom);
        Prepare(*Cad(), picture, c.Zoom);
        ScrollTo(0, 0);
        ASSERT_EQ(whole.ImageRect(), whole.rect()) << "a canvas of its own holds all of itself";
        ASSERT_LT(Cad()->ImageRect().width(), Cad()->width()) << "the view shows a part";
        EXPECT_EQ(Differences(Cad()->CanvasPixels(Cad()->rect()), whole.Image()), "") << "before feedback";
        const QImage before = whole.Image().copy();
        Feedback(whole);
        Feedback(*Cad());
        ASSERT_NE(whole.Image(), before) << "feedback is drawn";
        for (const QPoint& at : c.Scroll) {
            SCOPED_TRACE(testing::Message() << at.x() << "," << at.y());
            ScrollTo(at.x(), at.y());
            const QRect shown = Cad()->ImageRect();
            ASSERT_FALSE(shown.isEmpty());
            EXPECT_EQ(Differences(Cad()->Image(), whole.Image().copy(shown)), "");
        }
        EXPECT_EQ(Differences(Cad()->CanvasPixels(Cad()->rect()), whole.Image()), "")
            << "parts never shown, rendered for the asking";
        Cad()->MouseUp(TMouseButton::mbLeft, {}, 260, 230);
        whole.MouseUp(TMouseButton::mbLeft, {}, 260, 230);
        EXPECT_EQ(Differences(Cad()->CanvasPixels(Cad()->rect()), whole.Image()), "") << "after the move";
    }
}

TEST_F(ViewportBacking, FeedbackDrawnScrolledAndErasedLeavesThePixelsRestored) {
    TMyCAD* cad = Cad();
    Prepare(*cad, Ramp(210, 190), 2.0);
    ScrollTo(0, 0);
    const QImage clean = cad->CanvasPixels(cad->rect());
    TSurface& s = cad->Surface();
    const auto figures = [&s] {
        s.Pen = TPen{RGB(0, 255, 255), TPenStyle::psSolid, 3, TPenMode::pmXor};
        s.Brush = TBrush{clBlack, TBrushStyle::bsClear};
        s.Rectangle(100, 80, 390, 350);
        s.Pen.Mode = TPenMode::pmNotXor;
        s.Pen.Width = 1;
        s.Ellipse(200, 150, 420, 380);
        s.MoveTo(5, 370);
        s.LineTo(410, 20);
    };
    figures();
    EXPECT_NE(cad->CanvasPixels(cad->rect()), clean);
    ScrollTo(140, 190);
    figures();
    EXPECT_EQ(Differences(cad->CanvasPixels(cad->rect()), clean), "");
    EXPECT_EQ(s.RecordedCount(), 0u) << "nothing left to replay";
    ScrollTo(60, 20);
    EXPECT_EQ(Differences(cad->Image(), clean.copy(cad->ImageRect())), "");
}

// Fitting shows a picture from a file whole, without scroll bars; the built-in kind is
// left alone.
TEST_F(ViewportBacking, FitShowsTheWholePictureFromAFile) {
    auto* nav = new TViewNavigation(*scroll_, *Cad());
    const QSize room = scroll_->contentsRect().size();
    for (const QSize side : {QSize(4096, 4096), QSize(64, 32), QSize(300, 1000)}) {
        ASSERT_TRUE(Cad()->SetPicture(Ramp(side.width(), side.height())));
        ASSERT_TRUE(nav->Fit());
        QApplication::processEvents();
        const QSize shown = Cad()->size();
        EXPECT_TRUE(shown.width() <= room.width() && shown.height() <= room.height()) << side.width();
        EXPECT_TRUE(shown.width() >= room.width() - 1 || shown.height() >= room.height() - 1) << side.width();
        EXPECT_FALSE(scroll_->horizontalScrollBar()->isVisible() || scroll_->verticalScrollBar()->isVisible());
    }
    Cad()->SetBackGround(GreyPicture());
    const double zoom = Cad()->Zoom();
    EXPECT_FALSE(nav->Fit());
    EXPECT_EQ(Cad()->Zoom(), zoom);
}

// Alt+wheel (X11 turns it into a horizontal turn) zooms and keeps the picture point
// under the cursor; other wheels leave the zoom.
TEST_F(ViewportBacking, AltWheelZoomsAboutTheCursor) {
    new TViewNavigation(*scroll_, *Cad());
    ASSERT_TRUE(Cad()->SetPicture(Ramp(4096, 4096)));
    ASSERT_TRUE(Cad()->SetZoom(2.0));
    ScrollTo(3000, 2000);
    struct Case {
        QPoint turn;
        Qt::KeyboardModifiers keys;
        double factor;
    };
    const Case cases[] = {{{0, 120}, Qt::AltModifier, 1.25},
                          {{0, -240}, Qt::AltModifier, 0.64},
                          {{120, 0}, Qt::AltModifier, 1.25},
                          {{0, 120}, Qt::AltModifier | Qt::ControlModifier, 1.0},
                          {{0, 120}, Qt::NoModifier, 1.0}};
    const QPoint at(77, 55);
    for (const Case& c : cases) {
        const double zoom = Cad()->Zoom();
        const QPointF before = QPointF(Cad()->mapFrom(scroll_->viewport(), at)) / zoom;
        QWheelEvent wheel(Cad()->mapFrom(scroll_->viewport(), at), QPointF(), QPoint(), c.turn, Qt::NoButton, c.keys,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(Cad(), &wheel);
        QApplication::processEvents();
        ASSERT_DOUBLE_EQ(Cad()->Zoom(), zoom * c.factor) << c.turn.x() << "," << c.turn.y();
        const QPointF after = QPointF(Cad()->mapFrom(scroll_->viewport(), at)) / Cad()->Zoom();
        if (c.factor != 1.0) {
            EXPECT_LT((after - before).manhattanLength(), 1.0 / Cad()->Zoom()) << c.turn.x() << "," << c.turn.y();
        }
    }
}

// 32x and 64x on a 4096 x 4096 picture: a viewport-sized image with the picture's own
// pixels; the zoom box keeps its own limit.
TEST_F(ViewportBacking, HighZoomOnALargePictureKeepsAViewportImage) {
    auto* nav = new TViewNavigation(*scroll_, *Cad());
    const auto picture = Ramp(4096, 4096);
    ASSERT_TRUE(Cad()->SetPicture(picture));
    const QImage whole = picture->Render(0, Cad()->Window());
    for (const int zoom : {32, 64}) {
        ASSERT_TRUE(nav->ZoomAbout(zoom, QPoint(0, 0)));
        ScrollTo(4000 * zoom, 4001 * zoom);
        EXPECT_EQ(Cad()->size(), QSize(4096 * zoom, 4096 * zoom));
        EXPECT_EQ(Cad()->ImageRect(), QRect(QPoint(4000 * zoom, 4001 * zoom), Viewport()));
        EXPECT_EQ(Px(Cad()->Image(), zoom - 1, zoom), Px(whole, 4000, 4002));
    }
    EXPECT_FALSE(Cad()->SetZoom(32.0));
    EXPECT_FALSE(Cad()->SetViewZoom(2049.0)) << "beyond 2^23 pixels a side";
    EXPECT_EQ(Cad()->Zoom(), 64.0);
}

// The middle button, and the left one while Space is held, drag the picture; the tools
// see none of it.
TEST_F(ViewportBacking, MiddleOrSpaceDragPans) {
    new TViewNavigation(*scroll_, *Cad());
    ASSERT_TRUE(Cad()->SetPicture(Ramp(330, 290)));
    ASSERT_TRUE(Cad()->SetZoom(3.0));
    int presses = 0;
    Cad()->OnMouseDown = [&](TMyCAD*, TMouseButton, Qt::KeyboardModifiers, int32_t, int32_t) { ++presses; };
    const auto mouse = [this](QEvent::Type type, Qt::MouseButton button, QPoint global) {
        QMouseEvent e(type, QPointF(50, 50), QPointF(global), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button), Qt::NoModifier);
        QApplication::sendEvent(Cad(), &e);
    };
    const auto space = [this](QEvent::Type type) {
        QKeyEvent e(type, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QApplication::sendEvent(Cad(), &e);
    };
    for (const bool withSpace : {false, true}) {
        ScrollTo(300, 300);
        if (withSpace) space(QEvent::KeyPress);
        const Qt::MouseButton button = withSpace ? Qt::LeftButton : Qt::MiddleButton;
        mouse(QEvent::MouseButtonPress, button, {1000, 1000});
        mouse(QEvent::MouseMove, button, {980, 990});
        mouse(QEvent::MouseButtonRelease, button, {960, 975});
        if (withSpace) space(QEvent::KeyRelease);
        EXPECT_EQ(scroll_->horizontalScrollBar()->value(), 340) << withSpace;
        EXPECT_EQ(scroll_->verticalScrollBar()->value(), 325) << withSpace;
    }
    EXPECT_EQ(presses, 0);
    mouse(QEvent::MouseButtonPress, Qt::LeftButton, {1000, 1000});
    mouse(QEvent::MouseButtonRelease, Qt::LeftButton, {900, 900});
    EXPECT_EQ(presses, 1) << "without Space the left button is the tool's";
    EXPECT_EQ(scroll_->horizontalScrollBar()->value(), 340);
}

} // namespace

// A frame whose late read failed holds zeros: they stay out of the range and the
// canvas will not show them.
TEST_F(ViewportBacking, AFrameThatCouldNotBeReadIsNeverShown) {
    auto p = std::make_shared<imaging::TPicture>();
    p->Allocate(4, 4, 4, 1, imaging::TSampleType::U16, 16);
    std::fill_n(reinterpret_cast<uint16_t*>(p->Data()), 16, uint16_t(500));
    p->FillLater(1, [](int32_t frame, uint8_t* values) {
        if (frame == 2) throw std::runtime_error("read error");
        std::fill_n(reinterpret_cast<uint16_t*>(values), 16, uint16_t(700));
    });
    TMyCAD* cad = Cad();
    ASSERT_TRUE(cad->SetPicture(p));
    EXPECT_TRUE(cad->SetFrame(1));
    EXPECT_FALSE(cad->SetFrame(2));
    EXPECT_FALSE(cad->SetFrame(3));
    EXPECT_EQ(cad->Frame(), 1);
    EXPECT_EQ(p->MinValue(), 500.0);
    EXPECT_EQ(p->LateError(), QStringLiteral("read error"));
}
