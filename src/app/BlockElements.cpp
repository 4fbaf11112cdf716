#include "BlockElements.h"

#include <QColor>
#include <QPainter>
#include <QRect>

namespace kestrune::app {

namespace {

constexpr char16_t firstBlockElement = 0x2580;
constexpr char16_t lastBlockElement = 0x259F;
constexpr char16_t firstQuadrant = 0x2596;

// A part of a cell, in eighths of its width and height.
struct Part {
    int left, top, right, bottom;
};

constexpr Part quadrantParts[] = {{0, 0, 4, 4}, {4, 0, 8, 4}, {0, 4, 4, 8}, {4, 4, 8, 8}};
constexpr int upperLeft = 1, upperRight = 2, lowerLeft = 4, lowerRight = 8;
// U+2596..U+259F, in code point order.
constexpr int quadrantSets[] = {lowerLeft,
                                lowerRight,
                                upperLeft,
                                upperLeft | lowerLeft | lowerRight,
                                upperLeft | lowerRight,
                                upperLeft | upperRight | lowerLeft,
                                upperLeft | upperRight | lowerRight,
                                upperRight,
                                upperRight | lowerLeft,
                                upperRight | lowerLeft | lowerRight};

// The one part of each element below the quadrants (all are rectangles), and its
// share of ink: the shades are the whole cell, lightly inked.
Part singlePart(char16_t c, int& inkPercent)
{
    inkPercent = 100;
    if (c == 0x2580) {
        return {0, 0, 8, 4}; // upper half
    }
    if (c <= 0x2588) {
        return {0, 8 - (c - 0x2580), 8, 8}; // lower one to eight eighths
    }
    if (c <= 0x258F) {
        return {0, 0, 8 - (c - 0x2588), 8}; // left seven eighths down to one
    }
    if (c == 0x2590) {
        return {4, 0, 8, 8}; // right half
    }
    if (c <= 0x2593) {
        inkPercent = 25 * (c - 0x2590); // light, medium and dark shade
        return {0, 0, 8, 8};
    }
    return c == 0x2594 ? Part{0, 0, 8, 1} : Part{7, 0, 8, 8}; // upper, right one eighth
}

void fillPart(QPainter& painter, const Part& part, const QRect& cell, const QColor& ink)
{
    const auto at = [](int eighths, int length) {
        return (eighths * length + 4) / 8;
    };
    painter.fillRect(cell.left() + at(part.left, cell.width()), cell.top() + at(part.top, cell.height()),
                     at(part.right, cell.width()) - at(part.left, cell.width()),
                     at(part.bottom, cell.height()) - at(part.top, cell.height()), ink);
}

void paintBlockElement(QPainter& painter, char16_t c, const QRect& cell, const QColor& ink)
{
    if (c >= firstQuadrant) {
        for (int quadrant = 0; quadrant < 4; ++quadrant) {
            if ((quadrantSets[c - firstQuadrant] & (1 << quadrant)) != 0) {
                fillPart(painter, quadrantParts[quadrant], cell, ink);
            }
        }
        return;
    }
    int inkPercent = 100;
    const Part part = singlePart(c, inkPercent);
    if (inkPercent == 100) {
        fillPart(painter, part, cell, ink);
        return;
    }
    QColor shade = ink;
    shade.setAlphaF(ink.alphaF() * static_cast<float>(inkPercent) / 100);
    fillPart(painter, part, cell, shade);
}

// Elements whose ink reaches across the whole cell: a run of one of them paints as
// one wide cell, in one fill.
bool spansCellWidth(char16_t c)
{
    return c <= 0x2588 || (c >= 0x2591 && c <= 0x2594);
}

} // namespace

bool isBlockElement(QChar c)
{
    return c.unicode() >= firstBlockElement && c.unicode() <= lastBlockElement;
}

bool splitsCellAcross(QChar c)
{
    return c.unicode() == 0x258C || c.unicode() == 0x2590 || (c.unicode() >= firstQuadrant && isBlockElement(c));
}

void paintBlockElements(QPainter& painter, QStringView cells, const QPoint& origin, const QSize& cell,
                        const QColor& ink)
{
    for (qsizetype at = 0; at < cells.size();) {
        const QChar c = cells[at];
        if (!isBlockElement(c)) {
            ++at;
            continue;
        }
        qsizetype count = 1;
        while (spansCellWidth(c.unicode()) && at + count < cells.size() && cells[at + count] == c) {
            ++count;
        }
        paintBlockElement(painter, c.unicode(),
                          QRect(origin.x() + static_cast<int>(at) * cell.width(), origin.y(),
                                static_cast<int>(count) * cell.width(), cell.height()),
                          ink);
        at += count;
    }
}

} // namespace kestrune::app
