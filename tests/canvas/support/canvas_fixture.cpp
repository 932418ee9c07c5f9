#include "canvas_fixture.h"

#include <QApplication>
#include <QLocale>

namespace kelvo::testing {

namespace {

class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "canvas_test";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
        // Expected label texts are written with a point; a test that needs another
        // number format sets it itself.
        QLocale::setDefault(QLocale::c());
    }
    void TearDown() override { delete app_; }

private:
    QApplication* app_ = nullptr;
};

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

} // namespace

void CanvasTest::SetUp() {
    ShapeSettings = TShapeSettings{};
    SectorClicks = 0;
    image_ = GreyPicture(200, 120);
    surface_.SetImage(&image_);
}

void CanvasTest::TearDown() { ShapeSettings = TShapeSettings{}; }

QImage CanvasTest::GreyPicture(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(0x40, 0x40, 0x40));
    return img;
}

} // namespace kelvo::testing
