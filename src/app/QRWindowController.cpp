#include "QRWindowController.h"

#include "WindowDestroyedElsewhere.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QScreen>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>

namespace kestrune::app {

namespace {

constexpr int windowWidth = 680;
constexpr int windowHeight = 520;
constexpr int qrPointSize = 11;

QFont qrFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(qrPointSize);
    // Smoothed edges of blocks that end between pixels would draw grey lines
    // through the code: each pixel is either ink or paper.
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

// How tall the full block U+2588 is as drawn on `device`, in its logical pixels.
// The font's metrics round the glyph's outline outwards, so the drawn block can be
// a pixel shorter than they say; counting the inked rows is exact.
qreal fullBlockHeight(const QFont& font, const QPaintDevice& device)
{
    const QFontMetrics metrics(font);
    const qreal scale = device.devicePixelRatioF();
    QImage canvas(QSize(metrics.maxWidth(), metrics.height()) * 2 * scale, QImage::Format_Grayscale8);
    canvas.setDevicePixelRatio(scale);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    painter.setFont(font);
    painter.drawText(QPointF(metrics.maxWidth() / 2.0, metrics.height()), QString(QChar(0x2588)));
    painter.end();
    int inkedRows = 0;
    for (int row = 0; row < canvas.height(); ++row) {
        const uchar* pixels = canvas.constScanLine(row);
        inkedRows += std::any_of(pixels, pixels + canvas.width(), [](uchar gray) { return gray < 128; }) ? 1 : 0;
    }
    return inkedRows / scale;
}

// The code is drawn with block characters, and a font's line spacing is taller
// than its full block: left alone, a light seam runs between the rows and a
// scanner reads them as separate bars. Every line is made exactly as tall as the
// full block, so the rows of blocks meet.
void closeLineGaps(QTextEdit& view)
{
    QTextBlockFormat rows;
    rows.setLineHeight(fullBlockHeight(view.font(), view), QTextBlockFormat::FixedHeight);
    QTextCursor everything(view.document());
    everything.select(QTextCursor::Document);
    everything.mergeBlockFormat(rows);
}

} // namespace

QRWindowController::QRWindowController(const QString& qrText)
{
    // No parent: a top-level window with the usual title bar, close, minimise and
    // maximise, free to outlive this controller.
    auto* window = new QWidget;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Kestrune Pairing QR"));

    auto* textView = new QTextEdit(window);
    textView->setReadOnly(true);
    textView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    textView->setFont(qrFont());
    // A wrapped QR code cannot be scanned: long lines scroll instead.
    textView->setLineWrapMode(QTextEdit::NoWrap);
    textView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    textView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    textView->setPlainText(qrText);
    closeLineGaps(*textView);

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(textView);

    QRect geometry(0, 0, windowWidth, windowHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        geometry.moveCenter(screen->availableGeometry().center());
    }
    window->resize(geometry.size());
    window->move(geometry.topLeft());

    window_ = window;
    textView_ = textView;
}

QRWindowController::~QRWindowController()
{
    if (window_ && !window_->isVisible()) {
        delete window_;
    }
}

QWidget* QRWindowController::window() const
{
    return window_;
}

QTextEdit* QRWindowController::textView() const
{
    return textView_;
}

void QRWindowController::showWindow()
{
    if (!window_) {
        return;
    }
    window_->show();
    // On macOS, activateWindow() only makes the window key (makeKeyWindow) and
    // does not activate the application, so an accessory app's window would stay
    // behind the active application's. raise() is what brings it in front: Qt's
    // Cocoa plugin orders the window front and activates the application ignoring
    // other applications (unless QT_MAC_SET_RAISE_PROCESS=0 is set).
    window_->raise();
    window_->activateWindow();
    closeWhenDestroyedElsewhere(window_);
}

} // namespace kestrune::app
