#include "BlockElements.h"
#include "QRWindowController.h"

#include <QtWidgets>

#include <gtest/gtest.h>

#include <vector>

using namespace kestrune::app;

// What U+2580 to U+259F ink, in eighths of the cell: left, top, width and height of each part.
// clang-format off
const std::vector<QRect> elementParts[] = {{{0, 0, 8, 4}}, {{0, 7, 8, 1}}, {{0, 6, 8, 2}}, {{0, 5, 8, 3}},
    {{0, 4, 8, 4}}, {{0, 3, 8, 5}}, {{0, 2, 8, 6}}, {{0, 1, 8, 7}}, {{0, 0, 8, 8}}, {{0, 0, 7, 8}}, {{0, 0, 6, 8}},
    {{0, 0, 5, 8}}, {{0, 0, 4, 8}}, {{0, 0, 3, 8}}, {{0, 0, 2, 8}}, {{0, 0, 1, 8}}, {{4, 0, 4, 8}}, {{0, 0, 8, 8}},
    {{0, 0, 8, 8}}, {{0, 0, 8, 8}}, {{0, 0, 8, 1}}, {{7, 0, 1, 8}}, {{0, 4, 4, 4}}, {{4, 4, 4, 4}}, {{0, 0, 4, 4}},
    {{0, 0, 4, 4}, {0, 4, 8, 4}}, {{0, 0, 4, 4}, {4, 4, 4, 4}}, {{0, 0, 8, 4}, {0, 4, 4, 4}},
    {{0, 0, 8, 4}, {4, 4, 4, 4}}, {{4, 0, 4, 4}}, {{4, 0, 4, 4}, {0, 4, 4, 4}}, {{4, 0, 4, 4}, {0, 4, 8, 4}}};
// clang-format on

TEST(BlockElementsTest, EachElementInksItsParts)
{
    for (int i = 0; i < 32; ++i) {
        QImage painted(8, 8, QImage::Format_ARGB32); // an eighth of the cell is a device pixel
        painted.fill(Qt::transparent);
        QImage expected = painted;
        QPainter painter(&painted);
        paintBlockElements(painter, QString(QChar(0x2580 + i)), {}, painted.size(), Qt::black);
        painter.end();
        // All ink, but for the light, medium and dark shades, U+2591 to U+2593.
        const QColor ink = QColor::fromRgbF(0, 0, 0, i >= 0x11 && i <= 0x13 ? (i - 0x10) / 4.0 : 1);
        for (const QRect& part : elementParts[i]) {
            QPainter(&expected).fillRect(part, ink);
        }
        EXPECT_TRUE(painted == expected) << "U+" << std::hex << 0x2580 + i;
    }
}

// After a login banner, as the agent's output can come; and a copy gives back what the agent
// printed, no-break spaces and Unicode separators too, but for line ends: LF for CR LF and CR.
TEST(QRWindowTest, CodeRefitsToZoomAndScreenAndCopiesAsPrinted)
{
    ASSERT_EQ(QGuiApplication::screens().size(), 2) << "the test's platform has no second screen of another ratio";
    const QString code =
        QStringLiteral("\u2588\u2580\u2584 \u2588\n\u2584 \u2580\u2588\u2584\n\nScan\u00A0it\u2028now\u2029.");
    QRWindowController controller(QStringLiteral("Last login\r\n").repeated(300) + code + QStringLiteral("\r.\n"));
    controller.showWindow();
    QTextEdit& view = *controller.textView();
    view.moveCursor(QTextCursor::End);
    const QImage first = view.viewport()->grab().toImage();
    // Half a step of a fine wheel, the other half, the second screen, Ctrl + minus, back: the
    // font's size after each, and the code's line pitch in device pixels as the font calls for it.
    const int steps[][4] = {{60, 0, 0, 11}, {60, 0, 0, 12}, {0, 0, 1, 12}, {0, Qt::Key_Minus, 1, 11}, {0, 0, 0, 11}};
    for (const auto& [wheel, key, screen, points] : steps) {
        QWheelEvent turn({}, {}, {}, {0, wheel}, {}, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier);
        QCoreApplication::sendEvent(view.viewport(), &turn);
        QCoreApplication::sendEvent(&view, &press);
        controller.window()->windowHandle()->setScreen(QGuiApplication::screens()[screen]);
        const qreal ratio = view.devicePixelRatioF();
        const QTextBlock line = view.document()->findBlockByNumber(300);
        const QAbstractTextDocumentLayout* layout = view.document()->documentLayout();
        EXPECT_EQ(view.font().pointSizeF(), points);
        EXPECT_NEAR((layout->blockBoundingRect(line.next()).top() - layout->blockBoundingRect(line).top()) * ratio,
                    2 * qRound(QFontMetricsF(view.font()).horizontalAdvance(u' ') * ratio), 0.05)
            << "at " << points << " points and pixel ratio " << ratio;
    }
    EXPECT_TRUE(view.viewport()->grab().toImage() == first) << "the first layout did not come back";
    // Qt lays the text out again from its start, a step at a time: the code still paints.
    view.document()->setDefaultFont(view.font());
    EXPECT_TRUE(view.viewport()->grab().toImage() == first) << "the code did not paint while it was laid out again";
    view.selectAll();
    view.copy();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              (QStringLiteral("Last login\n").repeated(300) + code + "\n.\n").toStdString());
    delete controller.window();
}
