#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <functional>
#include <thread>

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

} // namespace kestrune::testkit
