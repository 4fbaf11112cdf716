#include "BlockTextView.h"

#include "BlockElements.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace kestrune::app {

namespace {

// What the view shows: QTextDocument breaks lines at CR LF and at a lone CR too, and
// keeps them only as breaks.
QString withLineFeeds(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
}

// Whether the widget may have another device pixel ratio after an event of this type:
// its window moved to another screen, or (from Qt 6.6 on) its screen's ratio changed.
bool mayChangePixelRatio(QEvent::Type type)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    if (type == QEvent::DevicePixelRatioChange) {
        return true;
    }
#endif
    return type == QEvent::ScreenChangeInternal;
}

} // namespace

BlockTextView::BlockTextView(const QString& text, const QFont& font, QWidget* parent)
    : QTextEdit(parent), text_(withLineFeeds(text)), givenFont_(font)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFont(font);
    // A wrapped QR code cannot be scanned: long lines scroll instead.
    setLineWrapMode(QTextEdit::NoWrap);
    // One edit, so the text is laid out once: the view lays its document out
    // again after each.
    document()->setUndoRedoEnabled(false);
    // Half the usual margin: a typical code and its line of text then fit a 680 by
    // 520 window at 100 % with each common monospace font, and no scroll bar shows.
    document()->setDocumentMargin(2);
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    // Each character one position, each line end one block break: positions in the
    // document are indexes into text_.
    cursor.insertText(text_);
    findGrids();
    fitGridsToPixels();
    cursor.endEditBlock();
    setTextCursor(QTextCursor(document())); // at the start, as the text is read
}

void BlockTextView::findGrids()
{
    bool inGrid = false;
    for (QTextBlock line = document()->begin(); line.isValid(); line = line.next()) {
        const QString text = line.text();
        const auto any = [&](bool (*test)(QChar)) {
            return std::any_of(text.begin(), text.end(), test);
        };
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

bool BlockTextView::event(QEvent* event)
{
    if (mayChangePixelRatio(event->type())) {
        refit();
    }
    return QTextEdit::event(event);
}

void BlockTextView::changeEvent(QEvent* event)
{
    QTextEdit::changeEvent(event); // the document takes the font first
    if (event->type() == QEvent::FontChange) {
        refit();
    }
}

void BlockTextView::keyPressEvent(QKeyEvent* event)
{
    // Shift does not matter: plus is Shift + = on many layouts.
    const Qt::KeyboardModifiers modifiers = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if ((event->modifiers() & modifiers) == Qt::ControlModifier) {
        switch (event->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            zoomTo(zoomSteps_ + 1);
            return;
        case Qt::Key_Minus:
            zoomTo(zoomSteps_ - 1);
            return;
        case Qt::Key_0:
            zoomTo(0);
            return;
        default:
            break;
        }
    }
    QTextEdit::keyPressEvent(event);
}

void BlockTextView::wheelEvent(QWheelEvent* event)
{
    if ((event->modifiers() & Qt::ControlModifier) == 0) {
        wheelAngle_ = 0;
        QTextEdit::wheelEvent(event);
        return;
    }
    // Whole steps only: QTextEdit would zoom a fine-grained wheel by fractions of a
    // point, and zooming back would not come back to the font given.
    wheelAngle_ += event->angleDelta().y();
    const int steps = wheelAngle_ / QWheelEvent::DefaultDeltasPerStep;
    wheelAngle_ -= steps * QWheelEvent::DefaultDeltasPerStep;
    if (steps != 0) {
        zoomTo(zoomSteps_ + steps);
    }
    event->accept();
}

void BlockTextView::zoomTo(int steps)
{
    if (givenFont_.pointSizeF() + steps < 1) {
        return;
    }
    zoomSteps_ = steps;
    QFont zoomed = givenFont_;
    zoomed.setPointSizeF(givenFont_.pointSizeF() + steps);
    setFont(zoomed); // the grids are fitted again (changeEvent)
}

void BlockTextView::refit()
{
    // Each fit lays the document out again.
    if (fittedFont_ != font() || fittedPixelRatio_ != devicePixelRatioF()) {
        fitGridsToPixels();
    }
}

QSize BlockTextView::cellSize(const Grid& grid) const
{
    const qreal width = QFontMetricsF(font()).horizontalAdvance(u' ') * devicePixelRatioF();
    // Two picture pixels high, and one or two across: the cell's halves are whole
    // pixels, and each picture pixel is square.
    const int columns = grid.twoColumnsPerCell ? 2 : 1;
    const int pixel = std::max(1, static_cast<int>(std::lround(width / columns)));
    return {pixel * columns, pixel * 2};
}

void BlockTextView::fitGridsToPixels()
{
    fittedFont_ = font();
    fittedPixelRatio_ = devicePixelRatioF();
    const QFontMetricsF metrics(font());
    const qreal spaceWidth = metrics.horizontalAdvance(u' ');
    // The font may take its blocks from another font, of another width.
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
    // The text layout draws the text above, between and below the grids, a stretch
    // at a time; the grids are painted here, on the background the viewport filled in.
    const QRect dirty = event->rect();
    int stretchTop = dirty.top();
    const auto drawText = [&](int stretchBottom) {
        if (stretchBottom >= stretchTop) {
            QPaintEvent stretch(QRect(QPoint(dirty.left(), stretchTop), QPoint(dirty.right(), stretchBottom)));
            QTextEdit::paintEvent(&stretch);
        }
    };
    for (const Grid& grid : grids_) {
        const QRect band = gridArea(grid).toAlignedRect();
        drawText(std::min(dirty.bottom(), band.top() - 1));
        stretchTop = std::max(stretchTop, band.bottom() + 1);
    }
    drawText(dirty.bottom());
    QPainter painter(viewport());
    for (const Grid& grid : grids_) {
        paintGrid(painter, grid, dirty);
    }
}

QRectF BlockTextView::gridArea(const Grid& grid) const
{
    const QTextBlock firstLine = document()->findBlockByNumber(grid.firstLine);
    // Lays the text out down to the grid if it is not yet: Qt lays a long text out a
    // step at a time, and the steps after the first wait for the event loop.
    const QRectF block = document()->documentLayout()->blockBoundingRect(firstLine);
    const QTextLine line = firstLine.layout()->lineAt(0);
    if (!line.isValid()) {
        return {};
    }
    const QPointF scroll(horizontalScrollBar()->value(), verticalScrollBar()->value());
    const QSize cell = cellSize(grid);
    // The block's top, not its line's: a line of fixed height starts above its block.
    return {block.topLeft() + QPointF(line.x(), 0) - scroll,
            QSizeF(line.textLength() * cell.width(), grid.lineCount * cell.height()) / fittedPixelRatio_};
}

void BlockTextView::paintGrid(QPainter& painter, const Grid& grid, const QRect& dirty) const
{
    const QRectF area = gridArea(grid);
    if (area.isNull()) {
        return;
    }
    // From here on the painter works in device pixels, and the grid starts on one.
    const QTransform toDevice = painter.deviceTransform();
    const QPoint origin = toDevice.map(area.topLeft()).toPoint();
    painter.save();
    painter.setWorldTransform(toDevice.inverted());
    const QSize cell = cellSize(grid);
    // Only the rows to repaint: a blinking cursor repaints a line at a time.
    const QRect dirtyPixels = toDevice.mapRect(QRectF(dirty)).toAlignedRect();
    const int firstRow = std::max(0, (dirtyPixels.top() - origin.y()) / cell.height());
    const int endRow = std::min(grid.lineCount, (dirtyPixels.bottom() - origin.y()) / cell.height() + 1);
    const int selectionStart = textCursor().selectionStart();
    const int selectionEnd = textCursor().selectionEnd();
    QTextBlock line = document()->findBlockByNumber(grid.firstLine + firstRow);
    for (int row = firstRow; row < endRow; ++row, line = line.next()) {
        const QString text = line.text();
        const QPoint rowOrigin = origin + QPoint(0, row * cell.height());
        // A code line is far shorter than int's range.
        const int length = static_cast<int>(text.size());
        const int from = std::clamp(selectionStart - line.position(), 0, length);
        const int to = std::clamp(selectionEnd - line.position(), from, length);
        painter.fillRect(
            QRect(rowOrigin + QPoint(from * cell.width(), 0), QSize((to - from) * cell.width(), cell.height())),
            palette().color(QPalette::Highlight));
        const auto paintCells = [&](int first, int end, QPalette::ColorRole ink) {
            paintBlockElements(painter, QStringView(text).sliced(first, end - first),
                               rowOrigin + QPoint(first * cell.width(), 0), cell, palette().color(ink));
        };
        paintCells(0, from, QPalette::Text);
        paintCells(from, to, QPalette::HighlightedText);
        paintCells(to, length, QPalette::Text);
    }
    painter.restore();
}

QMimeData* BlockTextView::createMimeDataFromSelection() const
{
    // Not the document's plain text: that turns no-break spaces into spaces and
    // Unicode line and paragraph separators into line feeds.
    const QTextCursor cursor = textCursor();
    auto* data = new QMimeData;
    data->setText(text_.mid(cursor.selectionStart(), cursor.selectionEnd() - cursor.selectionStart()));
    return data;
}

} // namespace kestrune::app
