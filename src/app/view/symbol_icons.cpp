#include "app/view/symbol_icons.hpp"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <array>
#include <functional>
#include <map>
#include <string>

namespace kestro::view {
namespace {

constexpr int canvas = 64;

using Draw = std::function<void(QPainter&, const QColor&)>;

// Draws `glyph` knocked out of a filled disc.
void discWith(QPainter& p, const QColor& colour, const std::function<void(QPainter&)>& glyph) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(4, 4, 56, 56));
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    glyph(p);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

QPen stroke(const QColor& colour, double width) {
    QPen pen(colour, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void slash(QPainter& p, const QColor& colour) {
    // A gap in the background's place first, so that the slash stands out from the picture.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(stroke(Qt::black, 12));
    p.drawLine(QPointF(10, 8), QPointF(56, 54));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setPen(stroke(colour, 5));
    p.drawLine(QPointF(10, 8), QPointF(56, 54));
}

void clockwiseArrow(QPainter& p, const QColor& colour, QRectF box, double width) {
    p.setBrush(Qt::NoBrush);
    p.setPen(stroke(colour, width));
    // From the top, round to about eleven o'clock.
    p.drawArc(box, 60 * 16, -300 * 16);
    auto centre = box.center();
    double r = box.width() / 2;
    QPointF tip(centre.x() + r * 0.5, centre.y() - r * 0.866);
    QPainterPath head;
    head.moveTo(tip + QPointF(width * 1.6, 0));
    head.lineTo(tip + QPointF(-width * 1.2, -width * 1.6));
    head.lineTo(tip + QPointF(-width * 1.2, width * 1.6));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(head);
}

const std::map<std::string, Draw, std::less<>>& drawings() {
    static const std::map<std::string, Draw, std::less<>> table{
        {"arrow.clockwise", [](QPainter& p, const QColor& c) { clockwiseArrow(p, c, QRectF(12, 12, 40, 40), 6); }},
        {"arrow.clockwise.circle.fill",
         [](QPainter& p, const QColor& c) {
             discWith(p, c, [](QPainter& q) { clockwiseArrow(q, Qt::black, QRectF(19, 19, 26, 26), 5); });
         }},
        {"play.circle.fill",
         [](QPainter& p, const QColor& c) {
             discWith(p, c, [](QPainter& q) {
                 q.setBrush(Qt::black);
                 q.drawPolygon(QPolygonF({QPointF(25, 18), QPointF(47, 32), QPointF(25, 46)}));
             });
         }},
        {"stop.circle.fill",
         [](QPainter& p, const QColor& c) {
             discWith(p, c, [](QPainter& q) {
                 q.setBrush(Qt::black);
                 q.drawRoundedRect(QRectF(21, 21, 22, 22), 3, 3);
             });
         }},
        {"plus.circle.fill",
         [](QPainter& p, const QColor& c) {
             discWith(p, c, [](QPainter& q) {
                 q.setBrush(Qt::black);
                 q.drawRect(QRectF(29, 16, 6, 32));
                 q.drawRect(QRectF(16, 29, 32, 6));
             });
         }},
        {"xmark.circle.fill",
         [](QPainter& p, const QColor& c) {
             discWith(p, c, [](QPainter& q) {
                 q.setPen(stroke(Qt::black, 6));
                 q.drawLine(QPointF(22, 22), QPointF(42, 42));
                 q.drawLine(QPointF(42, 22), QPointF(22, 42));
             });
         }},
        {"ellipsis.circle.fill",
         [](QPainter& p, const QColor& c) {
             discWith(p, c, [](QPainter& q) {
                 q.setBrush(Qt::black);
                 for (double x : {18.0, 32.0, 46.0}) q.drawEllipse(QPointF(x, 32), 4, 4);
             });
         }},
        {"hourglass",
         [](QPainter& p, const QColor& c) {
             p.setPen(stroke(c, 4));
             p.setBrush(Qt::NoBrush);
             p.drawLine(QPointF(16, 8), QPointF(48, 8));
             p.drawLine(QPointF(16, 56), QPointF(48, 56));
             p.drawPolyline(QPolygonF({QPointF(20, 8), QPointF(20, 16), QPointF(32, 32), QPointF(20, 48),
                                       QPointF(20, 56)}));
             p.drawPolyline(QPolygonF({QPointF(44, 8), QPointF(44, 16), QPointF(32, 32), QPointF(44, 48),
                                       QPointF(44, 56)}));
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawPolygon(QPolygonF({QPointF(23, 52), QPointF(32, 42), QPointF(41, 52)}));
         }},
        {"chart.bar.fill",
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(8, 36, 12, 20), 2, 2);
             p.drawRoundedRect(QRectF(26, 22, 12, 34), 2, 2);
             p.drawRoundedRect(QRectF(44, 8, 12, 48), 2, 2);
         }},
        {"flame.fill",
         [](QPainter& p, const QColor& c) {
             QPainterPath flame;
             flame.moveTo(32, 4);
             flame.cubicTo(40, 18, 52, 26, 50, 40);
             flame.cubicTo(49, 52, 40, 60, 32, 60);
             flame.cubicTo(22, 60, 14, 52, 14, 42);
             flame.cubicTo(14, 32, 22, 26, 24, 18);
             flame.cubicTo(28, 24, 28, 30, 30, 32);
             flame.cubicTo(34, 24, 34, 14, 32, 4);
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawPath(flame);
         }},
        {"envelope.fill",
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(6, 14, 52, 36), 5, 5);
             p.setCompositionMode(QPainter::CompositionMode_Clear);
             p.setPen(stroke(Qt::black, 4));
             p.drawPolyline(QPolygonF({QPointF(10, 18), QPointF(32, 36), QPointF(54, 18)}));
             p.setCompositionMode(QPainter::CompositionMode_SourceOver);
         }},
        {"mic.slash.fill",
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(23, 6, 18, 32), 9, 9);
             p.setBrush(Qt::NoBrush);
             p.setPen(stroke(c, 4));
             p.drawArc(QRectF(15, 18, 34, 30), 180 * 16, 180 * 16);
             p.drawLine(QPointF(32, 48), QPointF(32, 58));
             slash(p, c);
         }},
        {"headphones",
         [](QPainter& p, const QColor& c) {
             p.setBrush(Qt::NoBrush);
             p.setPen(stroke(c, 5));
             p.drawArc(QRectF(8, 8, 48, 48), 0, 180 * 16);
             p.drawLine(QPointF(8.5, 32), QPointF(8.5, 44));
             p.drawLine(QPointF(55.5, 32), QPointF(55.5, 44));
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(6, 34, 14, 24), 4, 4);
             p.drawRoundedRect(QRectF(44, 34, 14, 24), 4, 4);
         }},
        {"wifi.slash",
         [](QPainter& p, const QColor& c) {
             p.setBrush(Qt::NoBrush);
             p.setPen(stroke(c, 5));
             for (double r : {26.0, 17.0, 8.0}) p.drawArc(QRectF(32 - r, 48 - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawEllipse(QPointF(32, 50), 4, 4);
             slash(p, c);
         }},
        {"key.slash.fill",
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawEllipse(QRectF(6, 20, 24, 24));
             p.drawRect(QRectF(26, 29, 32, 6));
             p.drawRect(QRectF(46, 33, 5, 10));
             p.drawRect(QRectF(38, 33, 5, 8));
             p.setCompositionMode(QPainter::CompositionMode_Clear);
             p.drawEllipse(QPointF(15, 32), 4, 4);
             p.setCompositionMode(QPainter::CompositionMode_SourceOver);
             slash(p, c);
         }},
        {"lock.slash.fill",
         [](QPainter& p, const QColor& c) {
             p.setBrush(Qt::NoBrush);
             p.setPen(stroke(c, 5));
             p.drawArc(QRectF(19, 8, 26, 30), 0, 180 * 16);
             p.drawLine(QPointF(19.5, 23), QPointF(19.5, 30));
             p.drawLine(QPointF(44.5, 23), QPointF(44.5, 30));
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(12, 28, 40, 30), 5, 5);
             slash(p, c);
         }},
        {"exclamationmark.triangle.fill",
         [](QPainter& p, const QColor& c) {
             QPainterPath triangle;
             triangle.moveTo(32, 6);
             triangle.lineTo(60, 56);
             triangle.lineTo(4, 56);
             triangle.closeSubpath();
             p.setPen(stroke(c, 4));
             p.setBrush(c);
             p.drawPath(triangle);
             p.setCompositionMode(QPainter::CompositionMode_Clear);
             p.setPen(Qt::NoPen);
             p.setBrush(Qt::black);
             p.drawRoundedRect(QRectF(29, 20, 6, 22), 3, 3);
             p.drawEllipse(QPointF(32, 49), 3.5, 3.5);
             p.setCompositionMode(QPainter::CompositionMode_SourceOver);
         }},
    };
    return table;
}

}  // namespace

QColor menuColour(MenuColour colour) {
    switch (colour) {
        // Mid tones: each stands at least 3:1 against a white menu and a dark grey one (#2f2f2f),
        // since the coloured symbols reach a tray host's menu as pictures it cannot recolour.
        case MenuColour::orange: return QColor(0xCC, 0x7A, 0x00);
        case MenuColour::green: return QColor(0x2E, 0x9E, 0x48);
        case MenuColour::gray: return QColor(0x8A, 0x8A, 0x8E);
        case MenuColour::red: return QColor(0xE5, 0x48, 0x4D);
        case MenuColour::standard: break;
    }
    return QApplication::palette().color(QPalette::WindowText);
}

bool hasSymbol(std::string_view symbol) { return drawings().find(symbol) != drawings().end(); }

QIcon symbolIcon(std::string_view symbol, const QColor& colour, double opacity) {
    QPixmap pixmap(canvas, canvas);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        auto found = drawings().find(symbol);
        if (found != drawings().end()) {
            found->second(painter, colour);
        } else {
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            painter.drawEllipse(QPointF(32, 32), 10, 10);
        }
    }
    if (opacity < 1.0) {
        QPixmap faded(canvas, canvas);
        faded.fill(Qt::transparent);
        QPainter painter(&faded);
        painter.setOpacity(opacity);
        painter.drawPixmap(0, 0, pixmap);
        painter.end();
        pixmap = faded;
    }
    // The colour is part of the meaning (a red error line, a gray disabled start): the disabled
    // look keeps it instead of Qt's generated grey.
    QIcon icon(pixmap);
    icon.addPixmap(pixmap, QIcon::Disabled);
    return icon;
}

QIcon applicationIcon() {
    QPixmap pixmap(canvas, canvas);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2B, 0x5F, 0xD9));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
    painter.setPen(stroke(Qt::white, 8));
    painter.drawLine(QPointF(22, 14), QPointF(22, 50));
    painter.drawLine(QPointF(44, 14), QPointF(24, 33));
    painter.drawLine(QPointF(28, 30), QPointF(45, 50));
    painter.end();
    return QIcon(pixmap);
}

}  // namespace kestro::view
