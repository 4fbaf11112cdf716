#include "ReliabilitySupport.h"
#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

using namespace kestrune;
using namespace kestrune::reliability;
using namespace kestrune::testkit;

namespace {

// Holds every waiter until open() lets them all go at once.
class StartingGate {
  public:
    void wait()
    {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }
    void open()
    {
        {
            std::lock_guard guard(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// What a caller of the first run finds when its call returns.
struct CallerOutcome {
    bool succeeded = false;
    std::string error;
    bool configurationWhole = false;
};

} // namespace

// Threads and separate processes run the first configuration at the same moment,
// against a relay slow enough for all of them to overlap: one registration, one file,
// and every caller done or told why.
TEST(Concurrency, SimultaneousFirstRunsFromThreadsAndProcessesProvisionOnce)
{
    AgentFixture fixture;
    LoopbackHttpServer relay;
    relay.server().Post("/provision", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        response.set_content(R"({"device_id":"device-1","server_token":"server-1","client_token":"client-1"})",
                             "application/json");
    });
    relay.start();
    AgentEnvironment environment = fixture.environment();
    environment.provisionURL = relay.url("/provision");
    const AgentManager manager(environment);

    constexpr int threadCount = 16;
    constexpr int processCount = 2;
    std::vector<std::unique_ptr<ChildProcess>> processes;
    for (int i = 0; i < processCount; ++i) {
        processes.push_back(std::make_unique<ChildProcess>(helperPath("kestrune_configure_once"),
                                                           std::vector<std::string>{fixture.home(), fixture.resources(),
                                                                                    environment.provisionURL,
                                                                                    "wss://relay.test", "--wait"},
                                                           true));
        ASSERT_EQ(processes.back()->readByte(), 'r');
    }

    StartingGate gate;
    std::vector<CallerOutcome> outcomes(threadCount);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            gate.wait();
            // Half start at once; the rest arrive while the first run is under way,
            // some of them right as its files appear.
            if (i % 2 == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 * i + 200));
            }
            CallerOutcome& outcome = outcomes[static_cast<std::size_t>(i)];
            try {
                manager.ensureConfigured();
                outcome.succeeded = true;
                outcome.configurationWhole = exists(manager.configPath()) && exists(manager.logPath());
            } catch (const std::exception& error) {
                outcome.error = error.what();
            }
        });
    }
    for (auto& process : processes) {
        process->closeInput();
    }
    gate.open();
    for (auto& thread : threads) {
        thread.join();
    }

    int succeeded = 0;
    for (const auto& outcome : outcomes) {
        if (outcome.succeeded) {
            ++succeeded;
            EXPECT_TRUE(outcome.configurationWhole) << "a caller returned before the configuration was whole";
        } else {
            EXPECT_FALSE(outcome.error.empty()) << "a caller failed without a message";
        }
    }
    for (auto& process : processes) {
        const std::string reply = process->readAll();
        const int status = process->wait();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ++succeeded;
            EXPECT_EQ(reply, "ok\n");
        } else {
            EXPECT_EQ(reply.rfind("error: ", 0), 0u) << reply;
            EXPECT_GT(reply.size(), std::string("error: \n").size()) << "a process failed without a message";
        }
    }
    // The relay answers well, so nobody has a reason to fail.
    EXPECT_EQ(succeeded, threadCount + processCount);
    EXPECT_EQ(relay.requestCount(), 1);

    const auto lines = splitLines(readFile(manager.configPath()));
    ASSERT_EQ(lines.size(), 7u);
    const std::vector<std::string> keys{
        "HALVENIX_DEVICE_ID", "HALVENIX_JWT_SECRET", "HALVENIX_RELAY_SERVER_TOKEN", "HALVENIX_RELAY_CLIENT_TOKEN",
        "HALVENIX_RELAY_URL", "HALVENIX_PORT",       "HALVENIX_ALLOWED_PATHS"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(keys[i] + "='[^']*'"))) << lines[i];
    }
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("HALVENIX_JWT_SECRET='[0-9a-f]{64}'")));
    EXPECT_EQ(lines[0], "HALVENIX_DEVICE_ID='device-1'");
    EXPECT_EQ(readFile(manager.logPath()), "");
    EXPECT_FALSE(exists(manager.configPath() + ".tmp"));

    std::cout << "concurrent first-run callers: " << threadCount << " threads + " << processCount
              << " processes, provisioning requests: " << relay.requestCount() << "\n";
    RecordProperty("concurrent_callers", threadCount + processCount);
}

// Spawning from many threads at once neither leaks a descriptor into this process
// nor lets one child inherit another's pipes.
TEST(Concurrency, ManyParallelProcessRunsLeakNoDescriptors)
{
    constexpr int threadCount = 8;
    constexpr int total = 10000;
    constexpr int listingEvery = 50;
    // Warm up whatever opens descriptors once and keeps them (the loader, locales).
    runProcess("/bin/true", {});
    const int before = openDescriptorCount();

    std::atomic<int> runs{0};
    std::atomic<int> listings{0};
    std::mutex problemsMutex;
    std::vector<std::string> problems;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < total; i += threadCount) {
                try {
                    if (i % listingEvery == 0) {
                        // A child sees 0-2 and the listing's own descriptor, whatever its
                        // siblings have open at that moment.
                        const std::string seen = runProcess("/bin/ls", {"/proc/self/fd"});
                        ++listings;
                        if (seen != "0\n1\n2\n3\n") {
                            std::lock_guard guard(problemsMutex);
                            problems.push_back("a child saw descriptors: " + seen);
                        }
                    } else if (!runProcess("/bin/true", {}).empty()) {
                        std::lock_guard guard(problemsMutex);
                        problems.push_back("/bin/true printed something");
                    }
                    ++runs;
                } catch (const std::exception& error) {
                    std::lock_guard guard(problemsMutex);
                    problems.push_back(error.what());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (std::size_t i = 0; i < problems.size() && i < 10; ++i) {
        ADD_FAILURE() << problems[i];
    }
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems";
    EXPECT_EQ(runs.load(), total);
    EXPECT_EQ(openDescriptorCount(), before);
    std::cout << "process runs: " << runs.load() << " on " << threadCount << " threads (" << listings.load()
              << " descriptor listings)\n";
    RecordProperty("process_runs", runs.load());
}
