#pragma once

#include <QChar>

class QColor;
class QPainter;
class QRect;

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

// Paints the inked part of the block element `c` into `cell`, with `ink`. The
// painter works in device pixels, so the edges fall on the screen's pixel grid;
// the cell's halves are exact when its sides are even.
void paintBlockElement(QPainter& painter, QChar c, const QRect& cell, const QColor& ink);

} // namespace kestrune::app
