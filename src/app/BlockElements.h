#pragma once

#include <QChar>
#include <QStringView>

class QColor;
class QPainter;
class QPoint;
class QSize;

namespace kestrune::app {

// The block elements U+2580..U+259F, drawn as filled rectangles instead of a
// font's glyphs: a font draws them at its own size, with its own rounding, and
// some fonts have none, so text made of them (a QR code) takes the shape of
// whatever font the desktop uses. Rectangles in whole device pixels do not.

bool isBlockElement(QChar c);

// Whether `c` splits its cell into a left and a right half (the half blocks
// U+258C and U+2590 and the quadrants), so that a cell is two pixels of its
// picture wide rather than one.
bool splitsCellAcross(QChar c);

// Paints the inked parts of `cells`, one character per cell, in a row of cells of
// size `cell` from `origin`, with `ink`; anything but a block element is left
// blank. The painter works in device pixels, so the edges fall on the screen's
// pixel grid; the cells' halves are exact when their sides are even.
void paintBlockElements(QPainter& painter, QStringView cells, const QPoint& origin, const QSize& cell,
                        const QColor& ink);

} // namespace kestrune::app
