// The canvas tests' fixture: a widgets application with the C number format, and fresh
// drawing settings for every test.
#include "canvas_fixture.h"

#include "tests/support/application.h"

#include <QLocale>
#include <QTest>

namespace kelvo::test {

namespace {

// Expected label texts are written with a point; a test that needs another number
// format sets it itself.
const auto* const kEnv = AddApplicationEnvironment(AppKind::Widgets, [] { QLocale::setDefault(QLocale::c()); });

} // namespace

void CanvasTest::SetUp() {
    ShapeSettings = TShapeSettings{};
    SectorClicks = 0;
    image_ = GreyPicture(200, 120);
    surface_.SetImage(&image_);
}

void CanvasTest::TearDown() { ShapeSettings = TShapeSettings{}; }

std::unique_ptr<TMyCAD> CanvasTest::ShownCanvas(const QString& annotation,
                                                const std::function<void(TMyCAD&)>& prepare) {
    auto cad = std::make_unique<TMyCAD>();
    cad->SetBackGround(GreyPicture(200, 100));
    TPen pen;
    pen.Color = clYellow;
    cad->SetPen(pen);
    cad->AnnotationDialog = [annotation](TMyCAD*) { return annotation; };
    if (prepare) {
        prepare(*cad);
    }
    cad->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(cad.get()));
    return cad;
}

QImage CanvasTest::GreyPicture(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(0x40, 0x40, 0x40));
    return img;
}

} // namespace kelvo::test
