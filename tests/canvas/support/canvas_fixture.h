// Shared set-up for the canvas tests: one QApplication per program and fresh shared settings per test.
#pragma once

#include "canvas/my_cad.h"
#include "canvas/shape.h"

#include <gtest/gtest.h>

#include <QImage>

#include <functional>
#include <memory>

namespace kelvo::test {

// Resets the process-wide drawing settings before each test, and gives a 512 x 512
// grey picture and a surface of the same size.
class CanvasTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static QImage GreyPicture(int w = 512, int h = 512);
    // A canvas on the screen over a 200 x 100 grey picture, drawing in yellow; its
    // annotation dialog answers `annotation`. `prepare` runs before the canvas is shown.
    static std::unique_ptr<TMyCAD> ShownCanvas(const QString& annotation,
                                               const std::function<void(TMyCAD&)>& prepare = {});
    static uint32_t Px(const QImage& img, int x, int y) { return img.pixel(x, y) | 0xFF000000u; }

    QImage image_;
    TSurface surface_;
};

} // namespace kelvo::test
