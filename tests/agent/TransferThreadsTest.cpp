#include "agent/TransferThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <semaphore>
#include <set>
#include <thread>

using namespace kestrune;
using namespace std::chrono_literals;

TEST(TransferThreads, TaskNeverWaitsBehindAHungTaskAndFinishedThreadsAreReused)
{
    // A transfer that hangs (a relay that never answers) must not hold up a probe.
    auto hung = std::make_shared<std::binary_semaphore>(0);
    auto hungStarted = std::make_shared<std::promise<void>>();
    auto hungStartedFuture = hungStarted->get_future();
    runOnTransferThread([hung, hungStarted] {
        hungStarted->set_value();
        hung->acquire();
    });
    ASSERT_EQ(hungStartedFuture.wait_for(10s), std::future_status::ready);

    // Sequential tasks after the first run on one reused thread, never on the hung one.
    std::set<std::thread::id> threads;
    for (int i = 0; i < 20; ++i) {
        std::promise<std::thread::id> ran;
        auto ranFuture = ran.get_future();
        runOnTransferThread([&ran] { ran.set_value(std::this_thread::get_id()); });
        ASSERT_EQ(ranFuture.wait_for(10s), std::future_status::ready) << "task " << i << " waited";
        threads.insert(ranFuture.get());
        std::this_thread::sleep_for(1ms); // lets the thread go back to waiting
    }
    EXPECT_LE(threads.size(), 2u);
    hung->release();
}

TEST(TransferThreads, ManyConcurrentTasksAllRunExactlyOnce)
{
    constexpr int taskCount = 200;
    auto ran = std::make_shared<std::atomic<int>>(0);
    auto allDone = std::make_shared<std::counting_semaphore<taskCount>>(0);
    std::vector<std::thread> submitters;
    for (int s = 0; s < 4; ++s) {
        submitters.emplace_back([&] {
            for (int i = 0; i < taskCount / 4; ++i) {
                runOnTransferThread([ran, allDone] {
                    ran->fetch_add(1);
                    allDone->release();
                });
            }
        });
    }
    for (auto& submitter : submitters) {
        submitter.join();
    }
    for (int i = 0; i < taskCount; ++i) {
        ASSERT_TRUE(allDone->try_acquire_for(10s)) << "only " << i << " tasks finished";
    }
    EXPECT_EQ(ran->load(), taskCount);
}
