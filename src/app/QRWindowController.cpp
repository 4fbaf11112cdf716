#include "QRWindowController.h"

#include "BlockTextView.h"
#include "WindowDestroyedElsewhere.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include <mutex>

namespace kestrune::app {

namespace {

constexpr int windowWidth = 680;
constexpr int windowHeight = 520;
constexpr int qrPointSize = 11;

QFont qrFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(qrPointSize);
    // Character for character as the agent printed it, with no ligatures; and the
    // code's lines, whose glyphs are never drawn, are laid out without shaping.
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

} // namespace

QRWindowController::QRWindowController(const QString& qrText)
{
    // No parent: a top-level window with the usual title bar, close, minimise and
    // maximise, free to outlive this controller.
    auto* window = new QWidget;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Kestrune Pairing QR"));

    // The code is drawn from the text's block characters, on the screen's pixel
    // grid, so that it scans whatever the font and the display scale.
    auto* textView = new BlockTextView(qrText, qrFont(), window);
    // The window is the text's frame: a bevel inside it would cost its strokes on every paint.
    textView->setFrameShape(QFrame::NoFrame);
    // Scroll bars only where there is something to scroll: each paint of a shown one
    // makes the UI thread wait on Qt's fill helper threads, which on a busy machine
    // wait for a processor.
    textView->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    textView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(textView);

    // Centred, and no larger than the screen's free area: 680 by 520 is taller than
    // a 1366 by 768 screen at 150 % (910 by 512).
    QRect geometry(0, 0, windowWidth, windowHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        geometry.setSize(geometry.size().boundedTo(screen->availableGeometry().size()));
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

void QRWindowController::prepareFont()
{
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        // A font of its own, not a copy that shares the theme's caches with the UI thread.
        const QFont wanted = qrFont();
        QFont font(wanted.families(), wanted.pointSize());
        font.setStyleHint(wanted.styleHint(), wanted.styleStrategy());
        QFontMetricsF(font).height();
    });
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
