#pragma once

#include <QFont>
#include <QString>
#include <QTextEdit>

#include <vector>

class QEvent;
class QKeyEvent;
class QMimeData;
class QPaintEvent;
class QWheelEvent;

namespace kestrune::app {

// A read-only, selectable view of a text in which lines made of block elements
// and spaces (a QR code in text) are painted on the device pixel grid: each
// character cell a whole number of device pixels, the same for every cell, with
// square picture pixels, whatever the font, the display scale and the zoom. The
// text itself stays as given: selecting and copying it gives it back unchanged,
// but for line ends, which copy as LF (CR LF and a lone CR included).
//
// Ctrl + wheel, Ctrl + plus (or =) and Ctrl + minus zoom in whole points of the
// font, Ctrl + 0 goes back to the font given; `font` is given in points.
class BlockTextView : public QTextEdit {
  public:
    BlockTextView(const QString& text, const QFont& font, QWidget* parent);

  protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
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
    // `steps` whole points from the font given, or back to it at 0.
    void zoomTo(int steps);
    // A cell's size in device pixels at the current device pixel ratio: about as
    // wide as the font's characters.
    QSize cellSize(const Grid& grid) const;
    // Makes each grid's characters one cell wide and its lines one cell high in
    // the layout, so that selecting follows the painted cells, and hides their glyphs.
    void fitGridsToPixels();
    // Fits them again if the font or the pixel ratio has changed since.
    void refit();
    // Where the grid is in the viewport, in its logical pixels, as wide as its first line.
    QRectF gridArea(const Grid& grid) const;
    void paintGrid(QPainter& painter, const Grid& grid, const QRect& dirty) const;

    // The text as shown: document position i holds text_[i], its block breaks included.
    QString text_;
    QFont givenFont_;
    int zoomSteps_ = 0;
    int wheelAngle_ = 0; // the part of a step that a fine-grained wheel has turned so far
    std::vector<Grid> grids_;
    QFont fittedFont_;
    qreal fittedPixelRatio_ = 0;
};

} // namespace kestrune::app
