#include "AppTestSupport.h"

#include <QDeadlineTimer>

#include <thread>

namespace kestrune::testkit {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    const QDeadlineTimer timer(deadline);
    while (!condition() && !timer.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

} // namespace kestrune::testkit
