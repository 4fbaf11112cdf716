#include "BlockTextView.h"

#include "BlockElements.h"

#include <QFontMetricsF>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocumentFragment>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace kestrune::app {

BlockTextView::BlockTextView(const QString& text, const QFont& font, QWidget* parent) : QTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFont(font);
    // A wrapped QR code cannot be scanned: long lines scroll instead.
    setLineWrapMode(QTextEdit::NoWrap);
    setPlainText(text);
    findGrids();
    fitGridsToPixels();
}

void BlockTextView::findGrids()
{
    bool inGrid = false;
    for (QTextBlock line = document()->begin(); line.isValid(); line = line.next()) {
        const QString text = line.text();
        const auto any = [&](bool (*test)(QChar)) { return std::any_of(text.begin(), text.end(), test); };
        const bool gridLine = !text.isEmpty() && !any([](QChar c) { return c != u' ' && !isBlockElement(c); });
        if (gridLine && !inGrid) {
            grids_.push_back({line.blockNumber(), 0, false, false});
        }
        inGrid = gridLine;
        if (gridLine) {
            Grid& grid = grids_.back();
            ++grid.lineCount;
            grid.hasBlockElement = grid.hasBlockElement || any(isBlockElement);
            grid.twoColumnsPerCell = grid.twoColumnsPerCell || any(splitsCellAcross);
        }
    }
    // Lines of spaces alone are ordinary text.
    std::erase_if(grids_, [](const Grid& grid) { return !grid.hasBlockElement; });
}

QSize BlockTextView::cellSize(const Grid& grid) const
{
    const qreal width = QFontMetricsF(font()).horizontalAdvance(u' ') * devicePixelRatioF();
    // Two picture pixels high per cell, and one or two across: the cell's halves are
    // whole pixels, and each picture pixel is square.
    const int columns = grid.twoColumnsPerCell ? 2 : 1;
    const int pixel = std::max(1, static_cast<int>(std::lround(width / columns)));
    return {pixel * columns, pixel * 2};
}

void BlockTextView::fitGridsToPixels()
{
    fittedPixelRatio_ = devicePixelRatioF();
    const QFontMetricsF metrics(font());
    const qreal spaceWidth = metrics.horizontalAdvance(u' ');
    // The font may take its blocks from another font, with another width.
    const qreal blockWidth = metrics.horizontalAdvance(QChar(0x2588));
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    for (const Grid& grid : grids_) {
        const QSizeF cell = QSizeF(cellSize(grid)) / fittedPixelRatio_;
        QTextCharFormat characters;
        characters.setForeground(Qt::transparent); // the cells are painted instead
        characters.setFontLetterSpacingType(QFont::AbsoluteSpacing);
        characters.setFontLetterSpacing(cell.width() - blockWidth);
        characters.setFontWordSpacing(blockWidth - spaceWidth); // spaces only
        QTextBlockFormat lines;
        lines.setLineHeight(cell.height(), QTextBlockFormat::FixedHeight);
        cursor.setPosition(document()->findBlockByNumber(grid.firstLine).position());
        cursor.setPosition(document()->findBlockByNumber(grid.firstLine + grid.lineCount - 1).position(),
                           QTextCursor::KeepAnchor);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.mergeCharFormat(characters);
        cursor.mergeBlockFormat(lines);
    }
    cursor.endEditBlock();
}

void BlockTextView::paintEvent(QPaintEvent* event)
{
    // The window moved to a screen of another pixel ratio.
    if (fittedPixelRatio_ != devicePixelRatioF()) {
        fitGridsToPixels();
    }
    QTextEdit::paintEvent(event);
    QPainter painter(viewport());
    for (const Grid& grid : grids_) {
        paintGrid(painter, grid);
    }
}

void BlockTextView::paintGrid(QPainter& painter, const Grid& grid) const
{
    QTextBlock line = document()->findBlockByNumber(grid.firstLine);
    const QPointF scroll(horizontalScrollBar()->value(), verticalScrollBar()->value());
    const QPointF topLeft = line.layout()->position() + line.layout()->lineAt(0).position() - scroll;
    // From here on the painter works in device pixels, and the grid starts on one.
    const QTransform toDevice = painter.deviceTransform();
    const QPoint origin = toDevice.map(topLeft).toPoint();
    painter.save();
    painter.setWorldTransform(toDevice.inverted());
    const QSize cell = cellSize(grid);
    const int selectionStart = textCursor().selectionStart();
    const int selectionEnd = textCursor().selectionEnd();
    for (int row = 0; row < grid.lineCount; ++row, line = line.next()) {
        const QString text = line.text();
        for (int column = 0; column < text.size(); ++column) {
            const int position = line.position() + column;
            const bool selected = position >= selectionStart && position < selectionEnd;
            const QRect cellRect(origin + QPoint(column * cell.width(), row * cell.height()), cell);
            painter.fillRect(cellRect, palette().color(selected ? QPalette::Highlight : QPalette::Base));
            paintBlockElement(painter, text[column], cellRect,
                              palette().color(selected ? QPalette::HighlightedText : QPalette::Text));
        }
    }
    painter.restore();
}

QMimeData* BlockTextView::createMimeDataFromSelection() const
{
    auto* data = new QMimeData;
    data->setText(textCursor().selection().toPlainText());
    return data;
}

} // namespace kestrune::app
