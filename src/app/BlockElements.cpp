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

// The one part of every element that is not a quadrant (they are all rectangles),
// and its share of ink: the shades are the full cell, lightly inked.
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
        inkPercent = 25 * (c - 0x2590); // light, medium, dark shade
        return {0, 0, 8, 8};
    }
    return c == 0x2594 ? Part{0, 0, 8, 1} : Part{7, 0, 8, 8}; // upper, right one eighth
}

void fillPart(QPainter& painter, const Part& part, const QRect& cell, const QColor& ink)
{
    const auto scaled = [](int eighths, int length) { return (eighths * length + 4) / 8; };
    painter.fillRect(QRect(QPoint(cell.left() + scaled(part.left, cell.width()), cell.top() + scaled(part.top, cell.height())),
                           QPoint(cell.left() + scaled(part.right, cell.width()) - 1,
                                  cell.top() + scaled(part.bottom, cell.height()) - 1)),
                     ink);
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

void paintBlockElement(QPainter& painter, QChar c, const QRect& cell, const QColor& ink)
{
    if (!isBlockElement(c)) {
        return;
    }
    if (c.unicode() >= firstQuadrant) {
        const int set = quadrantSets[c.unicode() - firstQuadrant];
        for (int quadrant = 0; quadrant < 4; ++quadrant) {
            if ((set & (1 << quadrant)) != 0) {
                fillPart(painter, quadrantParts[quadrant], cell, ink);
            }
        }
        return;
    }
    int inkPercent = 100;
    const Part part = singlePart(c.unicode(), inkPercent);
    QColor shaded = ink;
    shaded.setAlphaF(ink.alphaF() * inkPercent / 100);
    fillPart(painter, part, cell, shaded);
}

} // namespace kestrune::app
