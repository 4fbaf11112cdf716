#pragma once

#include <functional>
#include <memory>

class QObject;

namespace kestrune::app {

// Carries calls from worker threads back to one receiver's thread, for as long as
// the receiver lives. Copies share one state, so a worker may hold its copy after
// the receiver is gone: once closed, posts are dropped.
class MainThreadChannel {
  public:
    explicit MainThreadChannel(QObject* receiver);

    // Queues `call` to run on the receiver's thread, in the receiver's context (a
    // call still queued when the receiver is destroyed never runs). Any thread.
    void post(std::function<void()> call) const;

    // Called by the receiver's destructor before its QObject part goes away.
    void close() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace kestrune::app
