#include "StatusIcon.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QPointF>
#include <QRectF>

namespace kestrune::app {

namespace {

QPixmap drawTerminalGlyph(int side)
{
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    const qreal inset = side / 16.0;
    const QRectF square(inset, inset, side - 2 * inset, side - 2 * inset);
    const qreal radius = side / 5.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2b, 0x2f, 0x36));
    painter.drawRoundedRect(square, radius, radius);

    // Strokes, not text: text would load the font database at start-up, long before
    // a menu needs it, and that is a good part of the time to the icon's appearance.
    QPen pen(QColor(0xe8, 0xea, 0xed), qMax(1.5, side / 10.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
#ifdef Q_OS_MACOS
    // The menu bar draws a template image from its alpha alone, in its own colour
    // for light and dark mode: painted strokes would vanish into the square, so
    // they are cut out of it.
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
#endif
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const qreal unit = square.width() / 8.0;
    const QPointF origin = square.topLeft();
    const QPointF chevron[] = {origin + QPointF(1.8 * unit, 2.6 * unit), origin + QPointF(3.6 * unit, 4.0 * unit),
                               origin + QPointF(1.8 * unit, 5.4 * unit)};
    painter.drawPolyline(chevron, 3);
    painter.drawLine(origin + QPointF(4.4 * unit, 5.4 * unit), origin + QPointF(6.4 * unit, 5.4 * unit));
    return pixmap;
}

} // namespace

QIcon fallbackStatusIcon()
{
    QIcon icon;
    // Up to 128 px, so that a tray at 200 or 300 % scale (a 48 to 72 px slot) draws
    // it from a larger copy rather than blowing a small one up. The D-Bus tray
    // (StatusNotifierItem) sends the host no more than 64 px of it: Qt's own cap.
    for (const int side : {16, 22, 24, 32, 48, 64, 128}) {
        icon.addPixmap(drawTerminalGlyph(side));
    }
#ifdef Q_OS_MACOS
    icon.setIsMask(true); // a template image, see above
#endif
    return icon;
}

QIcon themedStatusIcon()
{
#ifdef Q_OS_MACOS
    return QIcon(); // a theme's coloured icon would ignore the menu bar's appearance
#else
    QIcon themed = QIcon::fromTheme(QStringLiteral("utilities-terminal"));
    // A theme may name the icon and still have nothing to draw at tray size.
    if (themed.isNull() || themed.pixmap(22, 22).isNull()) {
        return QIcon();
    }
    return themed;
#endif
}

} // namespace kestrune::app
