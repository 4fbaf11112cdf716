#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "support/AtomicWrite.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono;

namespace {

// This program started as `--configure-once HOME RESOURCES URL` is a second process
// for the overlapping first runs below: one first run, then it exits at once.
[[maybe_unused]] const bool ranAsConfigureOnce = [] {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(file, argument, '\0');) {
        arguments.push_back(argument);
    }
    if (arguments.size() != 5 || arguments[1] != "--configure-once") {
        return false;
    }
    AgentEnvironment environment;
    environment.homeDirectory = arguments[2];
    environment.resourcesDirectory = arguments[3];
    environment.provisionURL = arguments[4];
    environment.relayURL = "wss://relay.test";
    try {
        AgentManager(environment).ensureConfigured();
        std::_Exit(0);
    } catch (...) {
        std::_Exit(1);
    }
}();

auto openDescriptorCount()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

} // namespace

// Threads and processes run the first configuration at once against a relay slow
// enough for all of them to overlap: one registration, one whole file.
TEST(Concurrency, OverlappingFirstRunsFromThreadsAndProcessesProvisionOnce)
{
    AgentFixture fixture;
    fixture.relay().answer(CannedReply{
        httpReply(200, R"({"device_id":"device-1","server_token":"server-1","client_token":"client-1"})").bytes,
        milliseconds(500)});
    const AgentManager manager = fixture.manager();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<std::thread> callers;
    for (int i = 0; i < 10; ++i) {
        callers.emplace_back([&, i] {
            EXPECT_NO_THROW(i < 2 ? (void)runProcess(self, {"--configure-once", fixture.home(), fixture.resources(),
                                                            fixture.environment().provisionURL})
                                  : manager.ensureConfigured());
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(fixture.relay().requestCount(), 1);
    EXPECT_EQ(splitLines(readFile(manager.configPath())).size(), 7u);
}

TEST(Concurrency, ConcurrentAtomicWritersNeverInterleave)
{
    TemporaryDirectory directory;
    const std::string destination = directory / "config.env";
    std::vector<std::thread> writers;
    for (char letter = 'a'; letter < 'a' + 8; ++letter) {
        writers.emplace_back([&, letter] {
            for (int round = 0; round < 5; ++round) {
                atomicWrite(std::string(200000, letter), destination, 0600);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const std::string result = readFile(destination);
    ASSERT_EQ(result.size(), 200000u);
    EXPECT_EQ(result.find_first_not_of(result[0]), std::string::npos);
}

// Eight threads of runProcess while other code starts long-lived children of its
// own that close no descriptors: no descriptor leaks into this process or into a
// sibling, and no stranger ever holds a pipe's write end (the reader would then
// wait for the stranger to end).
TEST(Concurrency, ParallelProcessRunsBesideAForeignSpawnerLeakNothing)
{
    runProcess("/bin/true", {}); // whatever opens once and stays open, before counting
    const auto before = openDescriptorCount();
    std::vector<pid_t> strangers(300);
    std::thread stranger([&] {
        char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("4"), nullptr};
        for (pid_t& pid : strangers) {
            ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ);
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    std::vector<std::thread> runners;
    for (int t = 0; t < 8; ++t) {
        runners.emplace_back([] {
            for (int i = 0; i < 30; ++i) {
                const auto begin = steady_clock::now();
                EXPECT_EQ(runProcess("/bin/ls", {"/proc/self/fd"}), "0\n1\n2\n3\n");
                EXPECT_LT(steady_clock::now() - begin, 2s);
            }
        });
    }
    for (auto& runner : runners) {
        runner.join();
    }
    stranger.join();
    for (const pid_t pid : strangers) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}
