#include "agent/AgentManager.h"
#include "common/AgentFixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;

// One manager shared by everything the app runs in the background at once: job
// control, health refreshes and pairing output. Built to run under ThreadSanitizer.
TEST(CoreConcurrency, OverlappingLifecycleHealthAndPairingOnOneManager)
{
    AgentFixture fixture;
    LoopbackHttpServer agent;
    agent.server().Get("/healthz", [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    agent.start();
    AgentEnvironment environment = fixture.environment();
    environment.healthURL = agent.url("/healthz");
    // Generous: a busy machine must not turn a healthy answer into a time-out here.
    environment.timings.healthRequestTimeout = std::chrono::seconds(20);
    environment.timings.healthWait = std::chrono::seconds(25);
    const AgentManager manager(environment);
    manager.ensureConfigured();
    manager.writeLaunchAgent();

    constexpr int sequences = 20;
    std::atomic<int> healthy{0};
    std::atomic<int> unhealthy{0};
    std::atomic<int> pairings{0};
    std::mutex problemsMutex;
    std::vector<std::string> problems;
    const auto report = [&](const std::string& problem) {
        std::lock_guard guard(problemsMutex);
        problems.push_back(problem);
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < sequences; ++i) {
        threads.emplace_back([&, i] {
            try {
                // start, stop, restart in an order that differs from thread to thread.
                if (i % 2 == 0) {
                    manager.start();
                    manager.stop();
                } else {
                    manager.stop();
                    manager.start();
                }
                (manager.isAgentHealthy() ? healthy : unhealthy)++;
                manager.stop();
                manager.start(); // a restart
                const std::string qr = manager.pairingQROutput();
                if (qr != "QR for device-1\n\n") {
                    report("pairing output: " + qr);
                }
                ++pairings;
                (manager.isAgentHealthy() ? healthy : unhealthy)++;
            } catch (const std::exception& error) {
                report(error.what());
            }
        });
    }
    // The menu's periodic refresh, running throughout.
    std::atomic<bool> done{false};
    std::atomic<int> refreshes{0};
    std::vector<std::thread> refreshers;
    for (int i = 0; i < 2; ++i) {
        refreshers.emplace_back([&] {
            while (!done.load()) {
                (manager.isAgentHealthy() ? healthy : unhealthy)++;
                ++refreshes;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    done = true;
    for (auto& thread : refreshers) {
        thread.join();
    }
    for (const auto& problem : problems) {
        ADD_FAILURE() << problem;
    }
    EXPECT_EQ(pairings.load(), sequences);
    EXPECT_EQ(healthy.load(), 2 * sequences + refreshes.load());
    EXPECT_EQ(unhealthy.load(), 0);
    EXPECT_GT(refreshes.load(), 0);

    // Every launchctl call was whole and one of the three the manager makes.
    const std::string domain = "gui/" + std::to_string(::getuid());
    const std::set<std::string> known{"bootstrap " + domain + " " + manager.launchAgentPath(),
                                      "kickstart -k " + domain + "/app.halvenix.server",
                                      "bootout " + domain + " " + manager.launchAgentPath()};
    const auto calls = fixture.launchctlCalls();
    EXPECT_EQ(calls.size(), static_cast<std::size_t>(sequences) * 6); // 2 starts of 2 calls, 2 stops of 1
    for (const auto& call : calls) {
        EXPECT_EQ(known.count(call), 1u) << call;
    }
    std::cout << "overlapping sequences: " << sequences << ", launchctl calls: " << calls.size()
              << ", health refreshes: " << healthy.load() + unhealthy.load() << ", pairing fetches: " << pairings.load()
              << "\n";
}
