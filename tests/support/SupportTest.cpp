#include "common/TestFiles.h"
#include "support/AtomicWrite.h"
#include "support/KestruneError.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace std::chrono;
using namespace testing;

// The mode, a stale temporary file, the rename and what each failing call leaves are
// the fault-injection tests' to show.
TEST(AtomicWrite, WritersAtOnceLeaveOneWholeContentAndNothingFollowsALink)
{
    TemporaryDirectory directory;
    const std::string destination = directory / "config.env";
    // Writers at once: one whole content wins.
    std::vector<std::jthread> writers;
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        writers.emplace_back([&, letter] { atomicWrite(std::string(200000, letter), destination, 0600); });
    }
    writers.clear();
    const std::string result = readFile(destination);
    EXPECT_EQ(result, std::string(200000, result[0]));

    // Failures throw the platform's error and leave nothing behind.
    EXPECT_THROW(atomicWrite("x", directory / "absent/file", 0600), std::system_error); // folders are the caller's

    // A symlink at the temporary path is never followed.
    writeFile(directory / "victim", "untouched", 0644);
    ASSERT_EQ(::symlink((directory / "victim").c_str(), (destination + ".tmp").c_str()), 0);
    EXPECT_THROW(atomicWrite("secret", destination, 0600), std::system_error);
    EXPECT_EQ(readFile(directory / "victim"), "untouched");
}

TEST(ProcessRunner, OutputIsUntrimmedAndTheMessageIsTheTrimmedErrorElseOutput)
{
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "printf '  spaced  \\n\\n'; echo ignored >&2"}), "  spaced  \n\n");
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "printf 'ok\\377'"}), ""); // not UTF-8: read as empty
    const std::pair<const char*, const char*> failures[] = {
        {"printf '  word \\n'; exit 1", "word"},
        {"echo first >&2; printf other; exit 1", "first"},
        {"echo >&2; echo text; exit 2", ""}, // a lone line feed is not empty
        {"printf '\\342\\200\\250 wide \\343\\200\\200' >&2; exit 1", "wide"},
        {"kill -TERM $$", ""},
    };
    for (const auto& [script, message] : failures) {
        EXPECT_THAT([&] { runProcess("/bin/sh", {"-c", script}); }, ThrowsMessage<KestruneError>(StrEq(message)));
    }
    // No search path is used (a failure to start, and output past a pipe's buffer on
    // both streams, are the fault table's).
    EXPECT_THROW(runProcess("sh", {"-c", "true"}), std::system_error);
}

// This process's standard input is a file, it holds an inheritable descriptor of its
// own and it ignores a signal, and a foreign spawner that closes nothing starts a child
// just as each of ours is spawned: our children see none of these, and no stranger ever
// holds a pipe's write end (the reader would then wait for it to end). A leak into this
// process is the fault-injection tests' to show.
TEST(ProcessRunner, ChildrenInheritNothingEvenBesideAForeignSpawner)
{
    TemporaryDirectory directory;
    writeFile(directory / "input", "not for the child");
    const int savedInput = ::dup(STDIN_FILENO);
    ::dup2(::open((directory / "input").c_str(), O_RDONLY), STDIN_FILENO);
    std::signal(SIGUSR1, SIG_IGN);
    spawnCall = [](pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                   const posix_spawnattr_t* attributes, char* const* argv, char* const* environment) {
        EXPECT_EQ(std::system("/bin/sleep 4 >/dev/null 2>&1 &"), 0); // the sleep keeps what it inherited
        return ::posix_spawn(pid, path, actions, attributes, argv, environment);
    };
    const auto begin = steady_clock::now();
    EXPECT_EQ(runProcess("/bin/ls", {"/proc/self/fd"}), "0\n1\n2\n3\n"); // 3 is ls's own listing
    EXPECT_LT(steady_clock::now() - begin, 2s);
    EXPECT_EQ(runProcess("/bin/readlink", {"/proc/self/fd/0"}), "/dev/null\n");
    // Signals 1 to 31: glibc's spawn leaves its own two above them ignored, and the
    // child's C library takes those back.
    const std::string ignored = runProcess("/bin/sed", {"-n", "s/^SigIgn:\t//p", "/proc/self/status"});
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7fffffff, 0u) << ignored;
    spawnCall = ::posix_spawn;
    ::dup2(savedInput, STDIN_FILENO);
    std::signal(SIGUSR1, SIG_DFL);
}
