// The small pictures on the main window's buttons, drawn in code.
#include "app/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

namespace kelvo {
namespace {

const QColor kInk(32, 32, 32);
const QColor kBlue(0, 64, 160);
const QColor kRed(192, 24, 24);
const QColor kWood(214, 176, 96);
const QColor kGreen(0, 128, 64);

void Line(QPainter& p, const QColor& c, qreal w, QPointF a, QPointF b) {
    p.setPen(QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(a, b);
}

void DrawSelect(QPainter& p) {
    // The classic pointer: tip at the top left, a tail down and to the right.
    const QPolygonF arrow{{4.5, 2.5}, {4.5, 15.5}, {7.5, 12.5}, {10.0, 17.5}, {12.0, 16.5}, {9.5, 11.5}, {13.5, 11.5}};
    p.setPen(QPen(kInk, 1.0));
    p.setBrush(Qt::white);
    p.drawPolygon(arrow);
}

void DrawAnnotation(QPainter& p) {
    // Arrow from a text block to the point it annotates.
    Line(p, kInk, 1.5, {15.0, 15.0}, {5.0, 5.0});
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawPolygon(QPolygonF{{3.0, 3.0}, {9.0, 4.5}, {4.5, 9.0}});
    p.setBrush(QColor(255, 240, 140));
    p.setPen(QPen(kInk, 1.0));
    p.drawRect(QRectF(11.5, 13.5, 7.0, 5.0));
    Line(p, kInk, 1.0, {13.0, 16.0}, {17.0, 16.0});
}

void DrawRuler(QPainter& p) {
    p.save();
    p.translate(10.0, 10.0);
    p.rotate(-45.0);
    p.setPen(QPen(kInk, 1.0));
    p.setBrush(kWood);
    p.drawRect(QRectF(-9.5, -3.0, 19.0, 6.0));
    for (int i = 0; i < 7; ++i) {
        const qreal x = -7.5 + i * 2.5;
        Line(p, kInk, 0.8, {x, -3.0}, {x, i % 2 == 0 ? 0.5 : -1.0});
    }
    p.restore();
}

void DrawSector(QPainter& p) {
    const QPointF vertex(3.5, 16.5);
    Line(p, kInk, 1.5, vertex, {18.0, 16.5});
    Line(p, kInk, 1.5, vertex, {14.0, 3.0});
    // The arc between the rays, centred on the vertex.
    p.setPen(QPen(kRed, 1.3));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(vertex.x() - 8.0, vertex.y() - 8.0, 16.0, 16.0), 0, 52 * 16);
}

void DrawPolyLine(QPainter& p) {
    const QPolygonF points{{3.0, 12.0}, {7.0, 3.5}, {16.0, 5.0}, {13.0, 11.0}, {17.0, 17.0}, {6.0, 17.0}};
    p.setPen(QPen(kBlue, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(points);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    for (const QPointF& pt : points) p.drawRect(QRectF(pt.x() - 1.5, pt.y() - 1.5, 3.0, 3.0));
}

void DrawRectangle(QPainter& p) {
    p.setPen(QPen(kBlue, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(3.0, 5.0, 14.0, 10.0));
}

void DrawEllipse(QPainter& p) {
    p.setPen(QPen(kBlue, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(2.5, 4.5, 15.0, 11.0));
}

void DrawDelete(QPainter& p) {
    // A crossed-out shape: a dashed rectangle under a red cross.
    p.setPen(QPen(kInk, 1.0, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(3.5, 3.5, 13.0, 13.0));
    Line(p, kRed, 2.5, {5.0, 5.0}, {15.0, 15.0});
    Line(p, kRed, 2.5, {15.0, 5.0}, {5.0, 15.0});
}

void DrawHelp(QPainter& p) {
    // A question mark in a round badge, built from strokes rather than a font so
    // it looks the same everywhere.
    p.setPen(QPen(kBlue.darker(130), 1.0));
    p.setBrush(kBlue);
    p.drawEllipse(QRectF(1.5, 1.5, 17.0, 17.0));
    QPainterPath hook;
    hook.moveTo(7.0, 7.5);
    hook.cubicTo(7.0, 4.0, 13.0, 4.0, 13.0, 7.5);
    hook.cubicTo(13.0, 9.5, 10.0, 10.0, 10.0, 12.0);
    p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(10.0, 15.0), 1.3, 1.3);
}

void DrawClose(QPainter& p) {
    // An open door with an arrow leaving through it.
    p.setPen(QPen(kInk, 1.0));
    p.setBrush(QColor(120, 80, 40));
    p.drawRect(QRectF(9.5, 2.5, 8.0, 15.0));
    p.setBrush(kWood);
    p.drawPolygon(QPolygonF{{9.5, 2.5}, {14.5, 4.5}, {14.5, 19.0}, {9.5, 17.5}});
    Line(p, kGreen, 2.0, {7.5, 10.0}, {1.5, 10.0});
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawPolygon(QPolygonF{{0.5, 10.0}, {4.5, 6.5}, {4.5, 13.5}});
}

} // namespace

QImage GlyphImage(TGlyph glyph) {
    QImage image(kGlyphSize, kGlyphSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
    case TGlyph::Select:
        DrawSelect(p);
        break;
    case TGlyph::Annotation:
        DrawAnnotation(p);
        break;
    case TGlyph::Ruler:
        DrawRuler(p);
        break;
    case TGlyph::Sector:
        DrawSector(p);
        break;
    case TGlyph::PolyLine:
        DrawPolyLine(p);
        break;
    case TGlyph::Rectangle:
        DrawRectangle(p);
        break;
    case TGlyph::Ellipse:
        DrawEllipse(p);
        break;
    case TGlyph::Delete:
        DrawDelete(p);
        break;
    case TGlyph::Help:
        DrawHelp(p);
        break;
    case TGlyph::Close:
        DrawClose(p);
        break;
    }
    return image;
}

QIcon GlyphIcon(TGlyph glyph) { return QIcon(QPixmap::fromImage(GlyphImage(glyph))); }

} // namespace kelvo
