#pragma once

#include <QString>
#include <QTextEdit>

#include <vector>

class QFont;
class QMimeData;
class QPaintEvent;

namespace kestrune::app {

// A read-only, selectable view of a text in which lines made of block elements
// and spaces (a QR code in text) are painted on the device pixel grid: each
// character cell a whole number of device pixels, the same for every cell, with
// square picture pixels, whatever the font and the display scale. The text itself
// stays as given: selecting and copying it gives it back unchanged.
class BlockTextView : public QTextEdit {
  public:
    BlockTextView(const QString& text, const QFont& font, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;
    // Plain text only: the settings that make room for the cells in the layout are
    // no part of what the user copies.
    QMimeData* createMimeDataFromSelection() const override;

  private:
    // Consecutive lines of block elements and spaces, holding at least one block element.
    struct Grid {
        int firstLine;
        int lineCount;
        bool hasBlockElement;
        bool twoColumnsPerCell;
    };

    void findGrids();
    // A cell's size in device pixels at the current device pixel ratio: about as
    // wide as the font's characters.
    QSize cellSize(const Grid& grid) const;
    // Makes each grid's characters one cell wide and its lines one cell high in
    // the layout, so that selecting follows the painted cells, and hides their glyphs.
    void fitGridsToPixels();
    // Where the grid is in the viewport, in its logical pixels, as wide as its first line.
    QRectF gridArea(const Grid& grid) const;
    void paintGrid(QPainter& painter, const Grid& grid, const QRect& dirty) const;

    std::vector<Grid> grids_;
    qreal fittedPixelRatio_ = 0;
};

} // namespace kestrune::app
