// The yardstick tray app: an icon and a menu shaped like ours, no agent. With
// --idle-timer it also runs a five-second timer that does nothing, as ours refreshes.

#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstring>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const bool idleTimer = argc > 1 && std::strcmp(argv[1], "--idle-timer") == 0;

    QMenu menu;
    menu.addAction(QStringLiteral("Status: Checking..."))->setEnabled(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Open Web Dashboard"));
    menu.addAction(QStringLiteral("Show Pairing QR"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Start Agent"));
    menu.addAction(QStringLiteral("Stop Agent"));
    menu.addAction(QStringLiteral("Restart Agent"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("View Logs"));
    menu.addAction(QStringLiteral("Open Settings Folder"));
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &application, &QApplication::quit);

    QPixmap pixmap(22, 22);
    pixmap.fill(QColor(0x2b, 0x2f, 0x36));
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setContextMenu(&menu);
    tray.show();

    QTimer timer;
    if (idleTimer) {
        QObject::connect(&timer, &QTimer::timeout, [] {});
        timer.start(5000);
    }
    return QApplication::exec();
}
