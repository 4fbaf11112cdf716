#include "agent/TransferThreads.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <semaphore>

using namespace std::chrono_literals;

// A transfer that hangs (a relay that never answers) must not hold up the next ones.
TEST(TransferThreads, TaskNeverWaitsBehindAHungTask)
{
    auto hung = std::make_shared<std::binary_semaphore>(0);
    auto hungStarted = std::make_shared<std::promise<void>>();
    auto started = hungStarted->get_future();
    kestrune::runOnTransferThread([hung, hungStarted] {
        hungStarted->set_value();
        hung->acquire();
    });
    ASSERT_EQ(started.wait_for(10s), std::future_status::ready);
    for (int i = 0; i < 3; ++i) {
        auto ran = std::make_shared<std::promise<void>>();
        auto done = ran->get_future();
        kestrune::runOnTransferThread([ran] { ran->set_value(); });
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "task " << i << " waited";
    }
    hung->release();
}
