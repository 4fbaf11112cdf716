#include "StatusIcon.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QRectF>

namespace kestrune::app {

namespace {

QPixmap drawTerminalGlyph(int side)
{
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const qreal inset = side / 16.0;
    const QRectF square(inset, inset, side - 2 * inset, side - 2 * inset);
    const qreal radius = side / 5.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2b, 0x2f, 0x36));
    painter.drawRoundedRect(square, radius, radius);

    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::TypeWriter);
    font.setBold(true);
    font.setPixelSize(qMax(6, side / 2));
    painter.setFont(font);
    painter.setPen(QColor(0xe8, 0xea, 0xed));
    painter.drawText(square, Qt::AlignCenter, QStringLiteral(">_"));
    return pixmap;
}

} // namespace

QIcon fallbackStatusIcon()
{
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(drawTerminalGlyph(side));
    }
    return icon;
}

QIcon statusIcon()
{
    QIcon themed = QIcon::fromTheme(QStringLiteral("utilities-terminal"));
    // A theme may name the icon and still have nothing to draw at tray size.
    if (themed.isNull() || themed.pixmap(22, 22).isNull()) {
        return fallbackStatusIcon();
    }
    return themed;
}

} // namespace kestrune::app
