#include "QRWindowController.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QRect>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

namespace kestrune::app {

namespace {

constexpr int windowWidth = 680;
constexpr int windowHeight = 520;
constexpr int qrPointSize = 11;

QFont qrFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(qrPointSize);
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

    auto* textView = new QPlainTextEdit(window);
    textView->setReadOnly(true);
    textView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    textView->setFont(qrFont());
    // A wrapped QR code cannot be scanned: long lines scroll instead. Lines keep
    // the font's own spacing with no added leading, so block rows meet.
    textView->setLineWrapMode(QPlainTextEdit::NoWrap);
    textView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    textView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    textView->setPlainText(qrText);

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

QPlainTextEdit* QRWindowController::textView() const
{
    return textView_;
}

void QRWindowController::showWindow()
{
    if (!window_) {
        return;
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

} // namespace kestrune::app
