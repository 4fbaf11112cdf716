#include "BackgroundQueue.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QThreadPool>

#include <utility>

namespace kestrune::app {

namespace {

// More than anyone clicks through in the time an action takes; idle threads expire.
constexpr int maxThreadsPerPool = 16;

QThreadPool* makePool(QThread::Priority priority)
{
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(maxThreadsPerPool);
    pool->setThreadPriority(priority);
    return pool;
}

} // namespace

BackgroundQueue::BackgroundQueue()
    : utility_(makePool(QThread::LowPriority)), userInitiated_(makePool(QThread::NormalPriority))
{
}

BackgroundQueue& BackgroundQueue::shared()
{
    // Deliberately leaked, see the class comment.
    static auto* queue = new BackgroundQueue;
    return *queue;
}

void BackgroundQueue::run(WorkClass workClass, std::function<void()> work)
{
    QThreadPool* pool = workClass == WorkClass::utility ? utility_ : userInitiated_;
    pool->start(std::move(work));
}

bool BackgroundQueue::waitForDone(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    const bool userWorkDone = userInitiated_->waitForDone(static_cast<int>(deadline.remainingTime()));
    const bool utilityDone = utility_->waitForDone(static_cast<int>(deadline.remainingTime()));
    return userWorkDone && utilityDone;
}

} // namespace kestrune::app
