// The yardstick tray app: an icon and a menu shaped like ours, no agent. With
// --probe URL it also does what our status refresh does, the cheapest way: one
// blocking libcurl GET of URL at start and every five seconds, on a fresh handle.

#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <curl/curl.h>

#include <cstring>

namespace {

std::size_t discard(char*, std::size_t size, std::size_t count, void*)
{
    return size * count;
}

void probe(const char* url)
{
    CURL* handle = curl_easy_init();
    curl_easy_setopt(handle, CURLOPT_URL, url);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 1500L);
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_perform(handle);
    curl_easy_cleanup(handle);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const char* probeURL = argc > 2 && std::strcmp(argv[1], "--probe") == 0 ? argv[2] : nullptr;

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
    if (probeURL != nullptr) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        probe(probeURL);
        QObject::connect(&timer, &QTimer::timeout, [probeURL] { probe(probeURL); });
        timer.start(5000);
    }
    return QApplication::exec();
}
