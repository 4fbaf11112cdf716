#include "BlockElements.h"
#include "QRWindowController.h"

#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QWheelEvent>
#include <QWindow>

#include <gtest/gtest.h>

using namespace kestrune::app;

// What U+2580 to U+259F ink, in eighths of the cell: each part's left, top, width and height.
const char* const elementParts[] = {
    "0084", "0781", "0682", "0583",      "0484",      "0385",      "0286",      "0187", "0088",      "0078",     "0068",
    "0058", "0048", "0038", "0028",      "0018",      "4048",      "0088",      "0088", "0088",      "0081",     "7018",
    "0444", "4444", "0044", "0044 0484", "0044 4444", "0084 0444", "0084 4444", "4044", "4044 0444", "4044 0484"};

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
        for (const char* part = elementParts[i]; *part != '\0'; part += part[4] == ' ' ? 5 : 4) {
            QPainter(&expected).fillRect(part[0] - '0', part[1] - '0', part[2] - '0', part[3] - '0', ink);
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
