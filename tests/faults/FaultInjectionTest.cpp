// Runs under libfiu's POSIX preload library (CTest sets LD_PRELOAD), which makes the
// libc calls below fail on command.
#define FIU_ENABLE 1
#include "common/AgentFixture.h"
#include "support/AtomicWrite.h"
#include "support/Platform.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>

#include <fiu.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fiu-control.h>
#include <map>
#include <optional>
#include <set>
#include <system_error>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace testing;

namespace {

// The calls counted, each with the error it fails with. close is not among them: Linux
// frees the descriptor even when close fails, and libfiu's failure would keep it open.
// waitpid fails as it can while our child lives: interrupted.
const std::map<std::string, int> failingCalls = {
    {"posix/io/oc/open", EACCES},   {"posix/io/rw/read", EIO},     {"posix/io/rw/write", ENOSPC},
    {"posix/io/rw/ftruncate", EIO}, {"posix/io/sync/fsync", EIO},  {"posix/io/dir/rename", EROFS},
    {"posix/io/dir/unlink", EIO},   {"posix/io/net/poll", ENOMEM}, {"posix/proc/waitpid", EINTR},
    {"kestrune/pipe", EMFILE},      {"kestrune/spawn", EAGAIN},    {"kestrune/flock", ENOLCK},
    {"kestrune/fchmod", EPERM}};
thread_local bool counted = false; // only the thread under test counts
int callCount = 0, failAt = 0;
std::string failedCall;
std::string staleTemporary; // an atomic write's temporary file, left "stale" and world-writable by a crash

int failTheNumberedCall(const char* name, int*, void** info, unsigned*)
{
    if (counted && std::filesystem::exists(staleTemporary) &&
        readFile(staleTemporary) != "stale") { // once in use, it is private
        EXPECT_EQ(fileMode(staleTemporary), 0600u) << "before call " << callCount + 1;
    }
    if (!counted || ++callCount != failAt) {
        return 0;
    }
    failedCall = name;
    *info = reinterpret_cast<void*>(static_cast<intptr_t>(failingCalls.at(name))); // libfiu's errno
    return 1;
}

// libfiu has no point for these calls: the code makes them through pointers, and here
// they fail as the real ones do: with -1 and errno set, or (posix_spawn) returning the error.
constexpr char pipePoint[] = "kestrune/pipe", lockPoint[] = "kestrune/flock", modePoint[] = "kestrune/fchmod",
               spawnPoint[] = "kestrune/spawn";
template <auto call, const char* point, bool returnsError = false, class... Arguments>
int failable(Arguments... arguments)
{
    fiu_return_on(point, returnsError ? failingCalls.at(failedCall) : (errno = failingCalls.at(failedCall), -1));
    return call(arguments...);
}

// Runs the operation named on the fixture's home (launchd's, with a launchctl that
// records its calls and succeeds) and returns its output, if it has one. The systemd
// backend starts no process: its failures are made real against a real manager.
std::string run(const std::string& operation, const AgentFixture& fixture)
{
    if (operation == "runProcess") { // past a pipe's buffer: a child writing to a pipe nobody reads never ends
        return runProcess("/bin/sh", {"-c", "seq 30000; seq 30000 >&2; echo end"});
    }
    operation == "atomicWrite"        ? atomicWrite("new", fixture.home() + "/file", 0600)
    : operation == "firstRun"         ? fixture.manager().ensureConfigured()
    : operation == "writeLaunchAgent" ? fixture.manager().writeLaunchAgent()
    : operation == "stop"             ? fixture.manager().stop()
                                      : fixture.manager().start();
    return {};
}

// The output and every file in the home with its mode and text, temporary ones too.
// Left out: the empty log that a failed first run may leave (it comes first by design),
// and a stale temporary file that a failed write never opened.
std::set<std::string> outcome(const AgentFixture& fixture, const std::string& output)
{
    std::set<std::string> outcome{"output " + output};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(fixture.home())) {
        const std::string text = entry.is_regular_file() ? readFile(entry.path()) : "stale";
        if (text != "stale" && entry.path().filename() != "server.log") {
            outcome.insert(entry.path().string() + " " + std::to_string(fileMode(entry.path())) + " " + text);
        }
    }
    return outcome;
}

class FaultInjection : public TestWithParam<std::string> {};

// Fails the first counted call, then the second, and so on, until a run meets no
// failure. Whatever fails, the run either throws a text of its own naming the step and
// the cause, and changes nothing, or it finishes as a faultless run would (the folder
// sync after a rename, and start, absorb failures); it leaves no descriptor, child or
// temporary file, ends in time, and a clean run after it finishes.
TEST_P(FaultInjection, EveryCallFailingInTurnFailsCleanlyOrIsAbsorbed)
{
    makePipeCall = failable<platform::makeCloseOnExecPipe, pipePoint>;
    lockCall = failable<::flock, lockPoint>;
    changeModeCall = failable<::fchmod, modePoint>;
    spawnCall = failable<::posix_spawn, spawnPoint, true>;
    for (const auto& [call, error] : failingCalls) {
        ASSERT_EQ(fiu_enable_external(call.c_str(), 1, nullptr, 0, failTheNumberedCall), 0);
    }
    run(GetParam(), AgentFixture()); // whatever opens once and stays open, before counting
    // Each run is on a fresh fixture whose home already holds a file, and a clean run follows it.
    for (failAt = 1; failAt == 1 || !failedCall.empty(); ++failAt) {
        const long descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
        SCOPED_TRACE("call " + std::to_string(failAt) + " failing");
        { // the fixture's relay and its connections close before the count
            AgentFixture fixture;
            writeFile(fixture.home() + "/file", "old", 0644);
            const std::set<std::string> before = outcome(fixture, "");
            writeFile(staleTemporary = fixture.home() + "/file.tmp", "stale", 0666);
            std::string output;
            std::optional<std::string> failure;
            failedCall.clear();
            callCount = 0;
            counted = true;
            try {
                output = run(GetParam(), fixture);
            } catch (const std::system_error& error) { // a platform failure passes as its own type
                failure = error.what();
            }
            counted = false;
            SCOPED_TRACE(failedCall);
            if (failure) {
                EXPECT_FALSE(GetParam() == "start" || failedCall.empty()) << *failure;
                EXPECT_THAT(*failure,
                            AllOf(StartsWith("Failed to "), HasSubstr(std::strerror(failingCalls.at(failedCall)))));
            }
            EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1); // no child, ended or running
            const std::set<std::string> made = outcome(fixture, output);
            const std::set<std::string> clean = outcome(fixture, run(GetParam(), fixture));
            EXPECT_EQ(made, failure ? before : clean);
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), descriptors);
    }
}

INSTANTIATE_TEST_SUITE_P(Core, FaultInjection,
                         Values("atomicWrite", "firstRun", "writeLaunchAgent", "runProcess", "stop", "start"),
                         [](const TestParamInfo<std::string>& info) { return info.param; });

} // namespace
