#pragma once

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <vector>

namespace kestrune::testkit {

// Spins the event loop until `condition` holds; false when the deadline passed first.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(30));

struct SeenAlert {
    QString text;
    QString informativeText;
    QString statusWhileOpen; // what `status` read while the alert was up
};

// Watches for modal message boxes from a timer (it fires inside their own event
// loop), records each one and presses OK.
class AlertWatcher : public QObject {
  public:
    explicit AlertWatcher(std::function<QString()> status = {}) : status_(std::move(status))
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->isVisible()) {
                alerts_.push_back({box->text(), box->informativeText(), status_ ? status_() : QString()});
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start(10);
    }
    const std::vector<SeenAlert>& alerts() const { return alerts_; }

  private:
    std::function<QString()> status_;
    QTimer timer_;
    std::vector<SeenAlert> alerts_;
};

// Receives the URLs the program asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

  public:
    UrlRecorder()
    {
        for (const char* scheme : {"https", "file"}) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
        }
    }
    ~UrlRecorder() override
    {
        for (const char* scheme : {"https", "file"}) {
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        }
    }
    std::vector<QUrl> urls;

  public slots:
    void openUrl(const QUrl& url) { urls.push_back(url); }
};

} // namespace kestrune::testkit
