#pragma once

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
    explicit AlertWatcher(std::function<QString()> status = {});
    const std::vector<SeenAlert>& alerts() const { return alerts_; }

  private:
    void poll();

    std::function<QString()> status_;
    QTimer timer_;
    std::vector<SeenAlert> alerts_;
};

// Receives the URLs the program asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

  public:
    UrlRecorder();
    ~UrlRecorder() override;
    const std::vector<QUrl>& urls() const { return urls_; }

  public slots:
    void openUrl(const QUrl& url);

  private:
    std::vector<QUrl> urls_;
};

} // namespace kestrune::testkit
