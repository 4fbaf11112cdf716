#include "MainThreadChannel.h"

#include <QMetaObject>
#include <QObject>

#include <mutex>
#include <utility>

namespace kestrune::app {

struct MainThreadChannel::State {
    std::mutex mutex;
    QObject* receiver;
};

MainThreadChannel::MainThreadChannel(QObject* receiver) : state_(std::make_shared<State>())
{
    state_->receiver = receiver;
}

void MainThreadChannel::post(std::function<void()> call) const
{
    // Posting under the lock closes the gap between seeing the receiver alive and
    // queueing to it; once queued, the receiver's destruction discards the call.
    std::lock_guard lock(state_->mutex);
    if (state_->receiver != nullptr) {
        QMetaObject::invokeMethod(state_->receiver, std::move(call), Qt::QueuedConnection);
    }
}

void MainThreadChannel::close() const
{
    std::lock_guard lock(state_->mutex);
    state_->receiver = nullptr;
}

} // namespace kestrune::app
