#include "QRWindowController.h"

#include "AppTestSupport.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>

#include <gtest/gtest.h>

using kestrune::app::QRWindowController;
using kestrune::testkit::waitUntil;

namespace {

// Block characters, a line far wider than the window, and the agent's trailing blank line.
const QString sampleQR = QStringLiteral("█▀▀▀▀▀█ ▄▀▄ █▀▀▀▀▀█\n█ ███ █ ▀█▄ █ ███ █\n") + QString(240, QChar(0x2588)) +
                         QStringLiteral("\n▀▀▀▀▀▀▀ ▀ ▀ ▀▀▀▀▀▀▀\n\n");

} // namespace

TEST(QRWindowController, ShowsTheTextExactlyInAScannableView)
{
    QRWindowController controller(sampleQR);
    QWidget* window = controller.window();
    QPlainTextEdit* view = controller.textView();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(view, nullptr);
    EXPECT_FALSE(window->isVisible()) << "constructing must not show the window";

    controller.showWindow();
    ASSERT_TRUE(waitUntil([&] { return window->isVisible(); }));

    EXPECT_EQ(window->windowTitle(), QStringLiteral("Kestrune Pairing QR"));
    EXPECT_EQ(window->size(), QSize(680, 520));
    // Centred up to the window frame, which is only known once shown.
    const QPoint offCentre =
        window->frameGeometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 8);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinMaxButtonsHint);

    EXPECT_EQ(view->toPlainText(), sampleQR);
    EXPECT_TRUE(view->isReadOnly());
    EXPECT_TRUE(view->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(view->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    EXPECT_EQ(view->font().pointSize(), 11);
    // Every glyph of the code as wide as the next (fontconfig need not flag the face as fixed).
    const QFontMetrics metrics(view->font());
    EXPECT_EQ(metrics.horizontalAdvance(QChar(u'i')), metrics.horizontalAdvance(QChar(u'W')));
    EXPECT_EQ(metrics.horizontalAdvance(QChar(u' ')), metrics.horizontalAdvance(QChar(0x2588)));
    // Unwrapped: the wide line scrolls sideways instead of breaking the code.
    EXPECT_EQ(view->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_GT(view->horizontalScrollBar()->maximum(), 0);
    EXPECT_TRUE(view->verticalScrollBar()->isVisible());

    window->close();
}
