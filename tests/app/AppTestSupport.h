#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::testkit {

// Spins the event loop until `condition` holds; false when the deadline passed first.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(30))
{
    const QDeadlineTimer timer(deadline);
    while (!condition() && !timer.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

// Watches for modal message boxes from a timer (it fires inside their own event
// loop), records each as "text: informative text [what `status` read meanwhile]"
// and presses OK.
class AlertWatcher : public QObject {
  public:
    explicit AlertWatcher(std::function<QString()> status = {}) : status_(std::move(status))
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->isVisible()) {
                const QString status = status_ ? status_() : QString();
                alerts_ << box->text() + ": " + box->informativeText() + " [" + status + "]";
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start(10);
    }
    const QStringList& alerts() const { return alerts_; }

  private:
    std::function<QString()> status_;
    QTimer timer_;
    QStringList alerts_;
};

} // namespace kestrune::testkit
