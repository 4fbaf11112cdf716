#pragma once

#include <exception>
#include <functional>

class QThreadPool;

namespace kestrune::app {

// The two kinds of background work. Health probes run apart from agent actions, so
// a probe never waits behind a slow start, stop or pairing request.
enum class WorkClass {
    utility,       // status probes: low priority
    userInitiated, // what the user just asked for
};

// Worker threads for everything that blocks. Each class has its own pool, wide
// enough that actions chosen in quick succession run side by side.
//
// The pools are never destroyed: the process may end while a probe still waits on
// the network, and nothing at exit should block on it beyond waitForDone's bound.
class BackgroundQueue {
  public:
    using FailureHandler = std::function<void(const std::exception_ptr&)>;

    static BackgroundQueue& shared();

    // Runs `work` on a thread of `workClass`'s pool and returns at once. `work`
    // must own what it touches. Whatever it throws goes to `failed` on the same
    // thread; nothing escapes the thread, where it would end the program.
    void run(WorkClass workClass, std::function<void()> work, FailureHandler failed = {});

    // Waits up to `milliseconds` for `workClass`'s pool to go idle; true when it did.
    bool waitForDone(WorkClass workClass, int milliseconds);
    // The same for both pools.
    bool waitForDone(int milliseconds);

    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

  private:
    BackgroundQueue();

    QThreadPool* utility_;
    QThreadPool* userInitiated_;
};

} // namespace kestrune::app
