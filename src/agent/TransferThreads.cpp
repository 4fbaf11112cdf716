#include "agent/TransferThreads.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace kestrune {

namespace {

// Longer than the five-second refresh period, so a running app probes on a
// thread that is already there.
constexpr std::chrono::seconds idleLifetime{12};

// Callers run at different priorities (a health probe must not wait behind agent
// actions), and a new thread starts at its creator's. A thread can only ever be
// made nicer, never less nice, so threads are reused only by callers of the same
// niceness.
int callerNiceness()
{
#if defined(__linux__)
    errno = 0;
    const int niceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    return errno == 0 ? niceness : 0;
#else
    return 0;
#endif
}

std::atomic<int> tasksUnderWay{0};

// The edge of a transfer thread. A task reports its own failures; one that still
// escapes (its reporting ran out of memory, say) must not end the program.
void runToEnd(std::function<void()>& task) noexcept
{
    try {
        task();
    } catch (...) {
    }
    task = nullptr;
    tasksUnderWay.fetch_sub(1);
}

class TransferThreadCache {
  public:
    void run(std::function<void()> task)
    {
        const int niceness = callerNiceness();
        {
            const std::lock_guard lock(mutex_);
            Lane& lane = lanes_[niceness];
            if (lane.idle > 0) {
                --lane.idle;
                lane.tasks.push_back(std::move(task));
                lane.wake.notify_one();
                return;
            }
        }
        std::thread([this, niceness, task = std::move(task)]() mutable {
            runToEnd(task);
            serve(niceness);
        }).detach();
    }

  private:
    struct Lane {
        std::condition_variable wake;
        std::deque<std::function<void()>> tasks;
        int idle = 0; // waiting threads not yet promised a task
    };

    void serve(int niceness)
    {
        std::unique_lock lock(mutex_);
        Lane& lane = lanes_[niceness];
        for (;;) {
            ++lane.idle;
            if (!lane.wake.wait_for(lock, idleLifetime, [&lane] { return !lane.tasks.empty(); })) {
                --lane.idle;
                return;
            }
            std::function<void()> task = std::move(lane.tasks.front());
            lane.tasks.pop_front();
            lock.unlock();
            runToEnd(task);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::map<int, Lane> lanes_; // nodes never move: threads keep references
};

} // namespace

int transferTasksUnderWay() noexcept
{
    return tasksUnderWay.load();
}

void runOnTransferThread(std::function<void()> task)
{
    // Never destroyed: detached threads may still wait on it while the program exits.
    static auto* cache = new TransferThreadCache;
    tasksUnderWay.fetch_add(1);
    try {
        cache->run(std::move(task));
    } catch (...) {
        tasksUnderWay.fetch_sub(1); // no thread could take it
        throw;
    }
}

} // namespace kestrune
