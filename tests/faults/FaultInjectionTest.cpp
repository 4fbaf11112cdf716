// Runs under libfiu's POSIX preload library (CTest sets LD_PRELOAD): each libc call
// below, made by the thread under test, can be made to fail on command.
#define FIU_ENABLE 1
#include "common/AgentFixture.h"
#include "support/AtomicWrite.h"
#include "support/Platform.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fiu.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fiu-control.h>
#include <map>
#include <optional>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

// The calls counted, each with the error it fails with. close is not among them:
// Linux frees the descriptor even when close fails, and libfiu's failure would not.
// waitpid fails as it really can while our child lives: interrupted.
const std::map<std::string, int> failingCalls = {
    {"posix/io/oc/open", EACCES},   {"posix/io/rw/read", EIO},     {"posix/io/rw/write", ENOSPC},
    {"posix/io/rw/ftruncate", EIO}, {"posix/io/sync/fsync", EIO},  {"posix/io/dir/rename", EROFS},
    {"posix/io/dir/unlink", EIO},   {"posix/io/net/poll", ENOMEM}, {"posix/proc/waitpid", EINTR},
    {"kestrune/pipe", EMFILE},      {"kestrune/spawn", EAGAIN}};
thread_local bool counted = false;
int callCount = 0, failAt = 0;
std::string failedCall;

int failTheNumberedCall(const char* name, int*, void** info, unsigned*)
{
    if (!counted || ++callCount != failAt) {
        return 0;
    }
    failedCall = name;
    *info = reinterpret_cast<void*>(static_cast<intptr_t>(failingCalls.at(name)));
    return 1;
}

int failablePipe(std::array<int, 2>& descriptors)
{
    if (fiu_fail("kestrune/pipe") != 0) {
        errno = static_cast<int>(reinterpret_cast<intptr_t>(fiu_failinfo()));
        return -1;
    }
    return platform::makeCloseOnExecPipe(descriptors);
}

int failableSpawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                  const posix_spawnattr_t* attributes, char* const argv[], char* const environment[])
{
    if (fiu_fail("kestrune/spawn") != 0) {
        return static_cast<int>(reinterpret_cast<intptr_t>(fiu_failinfo()));
    }
    return ::posix_spawn(pid, path, actions, attributes, argv, environment);
}

// An operation on a fresh fixture: `run` returns its output, if any, and `observe`
// the state it leaves, which a failed run must leave as it found it.
struct Operation {
    const char* name;
    std::function<std::string(AgentFixture&)> run;
    std::function<std::string(AgentFixture&)> observe = [](AgentFixture&) {
        return std::string();
    };
    std::function<void(AgentFixture&)> prepare = [](AgentFixture&) {
    };
    bool absorbsEveryFailure = false;
};

std::string textAndMode(const std::string& path)
{
    return exists(path) ? readFile(path) + " mode " + std::to_string(fileMode(path)) : "absent";
}

AgentManager systemdManager(const AgentFixture& fixture)
{
    AgentEnvironment environment = fixture.environment();
    environment.serviceManager = ServiceManagerKind::systemd;
    environment.systemctlPath = environment.launchctlPath; // records its calls and succeeds
    return AgentManager(environment);
}

long openDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

void PrintTo(const Operation& operation, std::ostream* out)
{
    *out << operation.name;
}

class FaultInjection : public testing::TestWithParam<Operation> {};

// Fails the first counted call, then the second, and so on, until a run meets no
// failure. Whatever fails, the run either throws a text of its own naming the step
// and the cause and changes nothing, or it finishes; it leaves no descriptor, child
// or temporary file, ends in time, and a clean run after it makes what it made.
TEST_P(FaultInjection, EveryCallFailingInTurnFailsCleanlyOrIsAbsorbed)
{
    const Operation& operation = GetParam();
    makePipeCall = failablePipe;
    spawnCall = failableSpawn;
    for (const auto& [call, error] : failingCalls) {
        ASSERT_EQ(fiu_enable_external(call.c_str(), 1, nullptr, 0, failTheNumberedCall), 0);
    }
    AgentFixture warmUp; // whatever opens once and stays open, before counting
    operation.prepare(warmUp);
    operation.run(warmUp);
    for (failAt = 1;; ++failAt) {
        AgentFixture fixture;
        operation.prepare(fixture);
        const std::string before = operation.observe(fixture);
        const long descriptors = openDescriptors();
        std::string made;
        std::optional<std::string> failure;
        failedCall.clear();
        callCount = 0;
        ::alarm(60); // a hang ends the whole run
        counted = true;
        try {
            made = operation.run(fixture);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        counted = false;
        ::alarm(0);
        SCOPED_TRACE(std::string(operation.name) + ", call " + std::to_string(failAt) + " failing: " + failedCall);
        if (failure) {
            EXPECT_FALSE(operation.absorbsEveryFailure || failedCall.empty()) << *failure;
            EXPECT_THAT(*failure, testing::StartsWith("Failed to "));
            EXPECT_THAT(*failure,
                        testing::HasSubstr(std::strerror(failedCall.empty() ? 0 : failingCalls.at(failedCall))));
        }
        made += operation.observe(fixture);
        if (failure) {
            EXPECT_EQ(made, before);
        }
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1); // no child, ended or running
        for (int i = 0; i < 200 && openDescriptors() != descriptors; ++i) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(10)); // a transfer thread closes its own just after answering
        }
        EXPECT_EQ(openDescriptors(), descriptors);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(fixture.home())) {
            EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
        }
        const std::string clean = operation.run(fixture) + operation.observe(fixture);
        if (!failure) {
            EXPECT_EQ(made, clean);
        }
        if (failedCall.empty()) {
            break;
        }
    }
}

std::string fileIn(const AgentFixture& fixture)
{
    return fixture.home() + "/file";
}

std::string nothing()
{
    return {};
}

INSTANTIATE_TEST_SUITE_P(
    Core, FaultInjection,
    testing::Values(Operation{"atomicWrite",
                              [](AgentFixture& fixture) {
                                  atomicWrite("new", fileIn(fixture), 0600);
                                  return nothing();
                              },
                              [](AgentFixture& fixture) { return textAndMode(fileIn(fixture)); },
                              [](AgentFixture& fixture) {
                                  writeFile(fileIn(fixture), "old", 0644);
                              }},
                    // A second provisioning would show as a new secret.
                    Operation{"firstRun",
                              [](AgentFixture& fixture) {
                                  fixture.manager().ensureConfigured();
                                  return nothing();
                              },
                              [](AgentFixture& fixture) {
                                  return textAndMode(fixture.manager().configPath());
                              }},
                    Operation{"writeLaunchAgent",
                              [](AgentFixture& fixture) {
                                  systemdManager(fixture).writeLaunchAgent();
                                  return nothing();
                              },
                              [](AgentFixture& fixture) {
                                  return textAndMode(systemdManager(fixture).launchAgentPath());
                              }},
                    // Past a pipe's buffer: a child left writing to a pipe nobody reads never ends.
                    Operation{"runProcess",
                              [](AgentFixture&) {
                                  return runProcess("/bin/sh", {"-c", "seq 30000; seq 30000 >&2; echo end"});
                              }},
                    Operation{"stop",
                              [](AgentFixture& fixture) {
                                  systemdManager(fixture).stop();
                                  return nothing();
                              }},
                    Operation{.name = "start",
                              .run =
                                  [](AgentFixture& fixture) {
                                      systemdManager(fixture).start();
                                      return nothing();
                                  },
                              .absorbsEveryFailure = true}),
    [](const testing::TestParamInfo<Operation>& info) { return std::string(info.param.name); });

} // namespace
