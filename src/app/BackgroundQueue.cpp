#include "BackgroundQueue.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QThreadPool>

#include <utility>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kestrune::app {

namespace {

// More than anyone clicks through in the time an action takes; idle threads expire.
constexpr int maxThreadsPerPool = 16;
// An idle pool hands work to its threads in turn, so every thread that a burst of
// probes started would otherwise be woken by the five-second refresh before it had
// idled long enough to end: one probe thread is kept, the others end.
constexpr int probeThreadExpiryMilliseconds = 8000;

QThreadPool* makePool(QThread::Priority priority)
{
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(maxThreadsPerPool);
    pool->setThreadPriority(priority);
    return pool;
}

// The edge of a pool thread. Even a failure to report a failure (out of memory,
// say) must not end the program: that work then ends unreported.
void runToEnd(const std::function<void()>& work, const BackgroundQueue::FailureHandler& failed) noexcept
{
    try {
        work();
    } catch (...) {
        try {
            if (failed) {
                failed(std::current_exception());
            }
        } catch (...) {
        }
    }
}

} // namespace

BackgroundQueue::BackgroundQueue()
    : utility_(makePool(QThread::LowPriority)), userInitiated_(makePool(QThread::NormalPriority))
{
    utility_->setExpiryTimeout(probeThreadExpiryMilliseconds);
}

BackgroundQueue& BackgroundQueue::shared()
{
    // Deliberately leaked, see the class comment.
    static auto* queue = new BackgroundQueue;
    return *queue;
}

void BackgroundQueue::run(WorkClass workClass, std::function<void()> work, FailureHandler failed)
{
    QThreadPool* pool = workClass == WorkClass::utility ? utility_ : userInitiated_;
#ifdef __linux__
    // Thread priorities mean nothing to Linux's default scheduler, so the pools'
    // threads are made nicer instead, once each. The UI thread then gets the
    // processor first, ahead of them and of the programs they start, which
    // inherit the value: a burst of actions on a small machine cannot freeze it.
    // The scheduler shares by weight, not by rank, so the gap must be wide: at 5
    // and 10, forty actions on two cores left the UI thread a third of a core
    // and stalled it for 30 ms; at 15 and 19 it stays within a frame.
    const int niceness = workClass == WorkClass::utility ? 19 : 15;
    pool->start([niceness, work = std::move(work), failed = std::move(failed)] {
        thread_local bool niced = false;
        if (!niced) {
            niced = true;
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
        }
        runToEnd(work, failed);
    });
#else
    pool->start([work = std::move(work), failed = std::move(failed)] { runToEnd(work, failed); });
#endif
}

bool BackgroundQueue::waitForDone(WorkClass workClass, int milliseconds)
{
    return (workClass == WorkClass::utility ? utility_ : userInitiated_)->waitForDone(milliseconds);
}

bool BackgroundQueue::waitForDone(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    const bool userWorkDone = userInitiated_->waitForDone(static_cast<int>(deadline.remainingTime()));
    const bool utilityDone = utility_->waitForDone(static_cast<int>(deadline.remainingTime()));
    return userWorkDone && utilityDone;
}

} // namespace kestrune::app
