// Draws a text as the canvas draws a shape's label (the canvas font, yellow, through
// the drawing surface) onto black and writes it as PNG, so that an end-to-end test can
// read a label on the screen by comparing glyph pixels. Usage: label_probe TEXT OUT.png.
#include "platform/surface.h"
#include "platform/types.h"

#include <QApplication>
#include <QImage>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) return 2;
    QImage image(400, 40, QImage::Format_RGB32);
    image.fill(Qt::black);
    kelvo::TSurface surface;
    surface.SetImage(&image);
    surface.Font = kelvo::TFont{QStringLiteral("Arial"), -12, kelvo::clYellow, 0, 0};
    surface.Brush.Style = kelvo::TBrushStyle::bsClear;
    surface.Pen.Mode = kelvo::TPenMode::pmCopy;
    surface.TextOut(0, 0, QString::fromUtf8(argv[1]));
    return image.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
