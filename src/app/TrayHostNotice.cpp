#include "TrayHostNotice.h"

#include <QLabel>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

namespace kestrune::app {

namespace {

// Qt announces no tray host's arrival, so availability is asked for again.
constexpr int pollIntervalMilliseconds = 1000;

std::unique_ptr<QWidget> makeNoticeWindow()
{
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Kestrune needs a system tray"));
    auto* text = new QLabel(
        QStringLiteral("<p><b>Kestrune is running, but this desktop has no system tray to show it in.</b></p>"
                       "<p>Kestrune lives in the system tray (the notification area of the panel). To see it, "
                       "install or enable a tray host: on GNOME, the \"AppIndicator and KStatusNotifierItem "
                       "Support\" extension; on other desktops, a panel with a system tray or notification area "
                       "applet, or a stand-alone tray such as trayer or stalonetray.</p>"
                       "<p>There is no need to start Kestrune again: its icon appears by itself as soon as a tray "
                       "is there, and this window then closes.</p>"),
        window.get());
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(20, 16, 20, 16);
    layout->addWidget(text);
    window->setFixedWidth(460);
    return window;
}

} // namespace

void TrayHostNotice::showWhenTrayAvailable(QSystemTrayIcon* icon)
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        icon->show();
        return;
    }
    new TrayHostNotice(icon);
}

TrayHostNotice::TrayHostNotice(QSystemTrayIcon* icon)
    : QObject(icon), icon_(icon), poll_(new QTimer(this)), window_(makeNoticeWindow())
{
    connect(poll_, &QTimer::timeout, this, &TrayHostNotice::dockIfTrayAppeared);
    poll_->start(pollIntervalMilliseconds);
    window_->show();
}

TrayHostNotice::~TrayHostNotice() = default;

void TrayHostNotice::dockIfTrayAppeared()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    poll_->stop();
    icon_->show();
    deleteLater(); // and the notice with it
}

} // namespace kestrune::app
