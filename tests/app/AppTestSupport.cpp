#include "AppTestSupport.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>

#include <thread>

namespace kestrune::testkit {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    const QDeadlineTimer timer(deadline);
    while (!condition()) {
        if (timer.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

AlertWatcher::AlertWatcher(std::function<QString()> status) : status_(std::move(status))
{
    connect(&timer_, &QTimer::timeout, this, &AlertWatcher::poll);
    timer_.start(10);
}

void AlertWatcher::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
        return;
    }
    alerts_.push_back({box->text(), box->informativeText(), status_ ? status_() : QString()});
    box->done(QMessageBox::Ok);
}

UrlRecorder::UrlRecorder()
{
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
}

UrlRecorder::~UrlRecorder()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void UrlRecorder::openUrl(const QUrl& url)
{
    urls_.push_back(url);
}

} // namespace kestrune::testkit
